// Writing the manifest: keys in declaration order, tags first, absent optionals omitted.
#include "json_members.hpp"
#include "karnid/manifest/schema.hpp"
#include "schema_names.hpp"

namespace karnid::manifest {
namespace {

void write_artifact(json::Writer& w, const Artifact& a) {
  w.begin_object();
  member_string(w, "path", a.path);
  member_string(w, "sha256", a.sha256);
  member_string(w, "kind", to_json_name(a.kind));
  member_u64(w, "format_version", a.format_version);
  member_u64(w, "dim", a.dim);
  member_u64(w, "vector_count", a.vector_count);
  member_u64(w, "bytes_per_vec", a.bytes_per_vec);
  w.key("params");
  write_json(w, a.params);
  member_u64(w, "file_size_bytes", a.file_size_bytes);
  w.end_object();
}

void write_auxiliary_artifact(json::Writer& w, const AuxiliaryArtifact& a) {
  w.begin_object();
  member_string(w, "name", a.name);
  member_string(w, "path", a.path);
  member_string(w, "sha256", a.sha256);
  member_u64(w, "file_size_bytes", a.file_size_bytes);
  member_bool(w, "required", a.required);
  w.end_object();
}

void write_embedding(json::Writer& w, const Embedding& e) {
  w.begin_object();
  member_string(w, "model", e.model);
  member_u64(w, "dim", e.dim);
  member_if_present(w, "model_revision", e.model_revision);
  member_if_present(w, "tokenizer_revision", e.tokenizer_revision);
  member_if_present(w, "pooling", e.pooling);
  member_if_present(w, "corpus_digest", e.corpus_digest);
  member_if_present(w, "embedding_matrix_digest", e.embedding_matrix_digest);
  member_if_present(w, "normalization", e.normalization);
  w.end_object();
}

void write_encoder(json::Writer& w, const EncoderSpec& e) {
  w.begin_object();
  member_string(w, "model", e.model);
  member_u64(w, "dim", e.dim);
  member_if_present(w, "model_revision", e.model_revision);
  member_if_present(w, "normalization", e.normalization);
  w.end_object();
}

void write_metric(json::Writer& w, const MetricSpec& m) {
  w.begin_object();
  member_string(w, "name", m.name);
  member_if_present(w, "version", m.version);
  member_if_present(w, "digest", m.digest);
  w.end_object();
}

// ---- calibration ----

void write_ordinalization(json::Writer& w, const CalibrationOrdinalization& o) {
  w.begin_object();
  member_string(w, "kind", to_json_name(o.kind));
  member_u64(w, "dim", o.dim);
  switch (o.kind) {
    case CalibrationOrdinalization::Kind::TopK:
      member_u64(w, "k", o.k);
      break;
    case CalibrationOrdinalization::Kind::Bucket:
      member_u64(w, "bits", o.bits);
      break;
    case CalibrationOrdinalization::Kind::CallerDefined:
      member_string(w, "name", o.name);
      break;
    default:
      break;
  }
  w.end_object();
}

void write_profile_artifact(json::Writer& w, const ProfileArtifactRef& p) {
  w.begin_object();
  member_string(w, "path", p.path);
  member_string(w, "sha256", p.sha256);
  member_u64(w, "file_size_bytes", p.file_size_bytes);
  member_u64(w, "dim", p.dim);
  member_u64(w, "sample_count", p.sample_count);
  member_string(w, "parameterization", to_json_name(p.parameterization));
  member_string(w, "format", p.format);
  if (!p.shape.empty()) {
    w.key("shape");
    w.begin_array();
    for (const std::uint64_t d : p.shape) w.u64(d);
    w.end_array();
  }
  member_if_present(w, "source_digest", p.source_digest);
  w.end_object();
}

void write_null_model(json::Writer& w, const NullModelSpec& n) {
  w.begin_object();
  member_string(w, "kind", to_json_name(n.kind));
  switch (n.kind) {
    case NullModelSpec::Kind::WeightedMarginalProfile:
      member_string(w, "parameterization", to_json_name(n.parameterization));
      break;
    case NullModelSpec::Kind::EmpiricalTailTable:
      member_string(w, "statistic", n.statistic);
      break;
    case NullModelSpec::Kind::CallerDefined:
      member_string(w, "name", n.name);
      member_if_present(w, "parameterization", n.caller_parameterization);
      break;
    default:
      break;
  }
  w.end_object();
}

void write_calibration(json::Writer& w, const CalibrationProfileRef& c) {
  w.begin_object();
  member_string(w, "schema_version", c.schema_version);
  member_string(w, "profile_id", c.profile_id);
  member_if_present(w, "created_at", c.created_at);
  w.key("calibrated_for");
  write_encoder(w, c.calibrated_for);
  w.key("ordinalization");
  write_ordinalization(w, c.ordinalization);
  if (c.profile) {
    w.key("profile");
    write_profile_artifact(w, *c.profile);
  }
  w.key("null_model");
  write_null_model(w, c.null_model);
  w.end_object();
}

// ---- encoder distortion ----

void write_bounds(json::Writer& w, const DistortionBounds& b) {
  w.begin_object();
  member_if_present(w, "declared_lower_bound", b.declared_lower_bound);
  member_if_present(w, "declared_upper_bound", b.declared_upper_bound);
  member_if_present(w, "estimated_distortion", b.estimated_distortion);
  member_if_present(w, "violation_rate", b.violation_rate);
  member_if_present(w, "max_observed_violation", b.max_observed_violation);
  member_if_present(w, "quantile_observed_violation", b.quantile_observed_violation);
  w.end_object();
}

void write_scope(json::Writer& w, const DistortionScope& s) {
  w.begin_object();
  member_if_present(w, "corpus_digest", s.corpus_digest);
  member_if_present(w, "query_set_digest", s.query_set_digest);
  member_if_present(w, "pair_sample_digest", s.pair_sample_digest);
  member_if_present(w, "domain", s.domain);
  member_if_present(w, "sample_size", s.sample_size);
  member_if_present(w, "confidence", s.confidence);
  member_if_present(w, "coverage", s.coverage);
  member_if_present(w, "estimator_version", s.estimator_version);
  w.end_object();
}

void write_evidence(json::Writer& w, const DistortionEvidence& e) {
  w.begin_object();
  member_string(w, "kind", to_json_name(e.kind));
  member_if_present(w, "estimator_id", e.estimator_id);
  member_if_present(w, "estimator_hash", e.estimator_hash);
  w.end_object();
}

void write_distortion_profile(json::Writer& w, const DistortionProfileArtifactRef& p) {
  w.begin_object();
  member_string(w, "path", p.path);
  member_string(w, "sha256", p.sha256);
  member_u64(w, "file_size_bytes", p.file_size_bytes);
  member_string(w, "format", p.format);
  member_if_present(w, "source_digest", p.source_digest);
  w.end_object();
}

void write_encoder_distortion(json::Writer& w, const EncoderDistortionProfileRef& d) {
  w.begin_object();
  member_string(w, "schema_version", d.schema_version);
  member_string(w, "profile_id", d.profile_id);
  member_if_present(w, "created_at", d.created_at);
  w.key("encoder");
  write_encoder(w, d.encoder);
  member_if_present(w, "tokenizer_revision", d.tokenizer_revision);
  member_if_present(w, "pooling", d.pooling);
  w.key("source_metric");
  write_metric(w, d.source_metric);
  w.key("embedding_metric");
  write_metric(w, d.embedding_metric);
  w.key("bounds");
  write_bounds(w, d.bounds);
  w.key("scope");
  write_scope(w, d.scope);
  w.key("evidence");
  write_evidence(w, d.evidence);
  if (d.profile) {
    w.key("profile");
    write_distortion_profile(w, *d.profile);
  }
  member_if_present(w, "calibration_profile_id", d.calibration_profile_id);
  w.end_object();
}

// ---- row identity and build ----

void write_row_identity(json::Writer& w, const RowIdentity& r) {
  w.begin_object();
  member_string(w, "kind", to_json_name(r.kind));
  if (r.kind == RowIdentity::Kind::Jsonl) {
    member_string(w, "path", r.path);
    member_string(w, "sha256", r.sha256);
    member_u64(w, "row_count", r.row_count);
    member_string(w, "id_kind", r.id_kind);
    if (r.db) {
      w.key("db");
      w.begin_object();
      member_if_present(w, "path", r.db->path);
      member_if_present(w, "table", r.db->table);
      member_if_present(w, "id_column", r.db->id_column);
      w.end_object();
    }
  } else {
    member_u64(w, "row_count", r.row_count);
  }
  w.end_object();
}

void write_build(json::Writer& w, const BuildInfo& b) {
  w.begin_object();
  member_string(w, "invocation_id", b.invocation_id);
  member_if_present(w, "builder_id", b.builder_id);
  member_if_present(w, "source_repo", b.source_repo);
  member_if_present(w, "source_commit", b.source_commit);
  member_if_present(w, "ci_provider", b.ci_provider);
  member_if_present(w, "ci_run_id", b.ci_run_id);
  w.end_object();
}

}  // namespace

void write_json(json::Writer& w, const ManifestIndexParams& p) {
  w.begin_object();
  member_string(w, "kind", to_json_name(p.kind));
  if (p.kind == ManifestIndexKind::RankQuant) member_u64(w, "bits", p.bits);
  if (p.kind == ManifestIndexKind::Bitmap) member_u64(w, "n_top", p.n_top);
  w.end_object();
}

std::string serialize_manifest(const IndexManifest& m, json::Writer::Style style) {
  std::string out;
  out.reserve(2048);
  json::Writer w(out, style);
  w.begin_object();
  member_string(w, "schema_version", m.schema_version);
  member_string(w, "manifest_id", m.manifest_id);
  member_string(w, "created_at", m.created_at);
  w.key("artifact");
  write_artifact(w, m.artifact);
  if (!m.auxiliary_artifacts.empty()) {
    w.key("auxiliary_artifacts");
    w.begin_array();
    for (const AuxiliaryArtifact& a : m.auxiliary_artifacts) write_auxiliary_artifact(w, a);
    w.end_array();
  }
  w.key("embedding");
  write_embedding(w, m.embedding);
  if (m.encoder_distortion) {
    w.key("encoder_distortion");
    write_encoder_distortion(w, *m.encoder_distortion);
  }
  if (m.calibration) {
    w.key("calibration");
    write_calibration(w, *m.calibration);
  }
  w.key("row_identity");
  write_row_identity(w, m.row_identity);
  if (m.build) {
    w.key("build");
    write_build(w, *m.build);
  }
  if (!m.attestations.empty()) {
    w.key("attestations");
    w.begin_array();
    for (const json::Value& a : m.attestations) w.value(a);
    w.end_array();
  }
  if (!m.extensions.empty()) {
    w.key("extensions");
    w.begin_object();
    for (const auto& [key, value] : m.extensions) {
      w.key(key);
      w.value(value);
    }
    w.end_object();
  }
  w.end_object();
  return out;
}

}  // namespace karnid::manifest
