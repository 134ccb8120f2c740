// Writing the manifest: keys in declaration order, tags first, absent optionals omitted.
#include "karnid/manifest/schema.hpp"
#include "schema_names.hpp"

namespace karnid::manifest {
namespace {

void write_opt(json::Writer& w, std::string_view key, const std::optional<std::string>& value) {
  if (!value) return;
  w.key(key);
  w.string(*value);
}

void write_opt(json::Writer& w, std::string_view key, const std::optional<double>& value) {
  if (!value) return;
  w.key(key);
  w.f64(*value);
}

void write_opt(json::Writer& w, std::string_view key, const std::optional<std::uint64_t>& value) {
  if (!value) return;
  w.key(key);
  w.u64(*value);
}

void write_str(json::Writer& w, std::string_view key, std::string_view value) {
  w.key(key);
  w.string(value);
}

void write_u64(json::Writer& w, std::string_view key, std::uint64_t value) {
  w.key(key);
  w.u64(value);
}

void write_encoder(json::Writer& w, const EncoderSpec& e) {
  w.begin_object();
  write_str(w, "model", e.model);
  write_u64(w, "dim", e.dim);
  write_opt(w, "model_revision", e.model_revision);
  write_opt(w, "normalization", e.normalization);
  w.end_object();
}

void write_metric(json::Writer& w, const MetricSpec& m) {
  w.begin_object();
  write_str(w, "name", m.name);
  write_opt(w, "version", m.version);
  write_opt(w, "digest", m.digest);
  w.end_object();
}

void write_calibration(json::Writer& w, const CalibrationProfileRef& c) {
  w.begin_object();
  write_str(w, "schema_version", c.schema_version);
  write_str(w, "profile_id", c.profile_id);
  write_opt(w, "created_at", c.created_at);
  w.key("calibrated_for");
  write_encoder(w, c.calibrated_for);
  w.key("ordinalization");
  w.begin_object();
  write_str(w, "kind", to_json_name(c.ordinalization.kind));
  write_u64(w, "dim", c.ordinalization.dim);
  switch (c.ordinalization.kind) {
    case CalibrationOrdinalization::Kind::TopK:
      write_u64(w, "k", c.ordinalization.k);
      break;
    case CalibrationOrdinalization::Kind::Bucket:
      write_u64(w, "bits", c.ordinalization.bits);
      break;
    case CalibrationOrdinalization::Kind::CallerDefined:
      write_str(w, "name", c.ordinalization.name);
      break;
    default:
      break;
  }
  w.end_object();
  if (c.profile) {
    const ProfileArtifactRef& p = *c.profile;
    w.key("profile");
    w.begin_object();
    write_str(w, "path", p.path);
    write_str(w, "sha256", p.sha256);
    write_u64(w, "file_size_bytes", p.file_size_bytes);
    write_u64(w, "dim", p.dim);
    write_u64(w, "sample_count", p.sample_count);
    write_str(w, "parameterization", to_json_name(p.parameterization));
    write_str(w, "format", p.format);
    if (!p.shape.empty()) {
      w.key("shape");
      w.begin_array();
      for (const std::uint64_t d : p.shape) w.u64(d);
      w.end_array();
    }
    write_opt(w, "source_digest", p.source_digest);
    w.end_object();
  }
  w.key("null_model");
  w.begin_object();
  write_str(w, "kind", to_json_name(c.null_model.kind));
  switch (c.null_model.kind) {
    case NullModelSpec::Kind::WeightedMarginalProfile:
      write_str(w, "parameterization", to_json_name(c.null_model.parameterization));
      break;
    case NullModelSpec::Kind::EmpiricalTailTable:
      write_str(w, "statistic", c.null_model.statistic);
      break;
    case NullModelSpec::Kind::CallerDefined:
      write_str(w, "name", c.null_model.name);
      write_opt(w, "parameterization", c.null_model.caller_parameterization);
      break;
    default:
      break;
  }
  w.end_object();
  w.end_object();
}

void write_encoder_distortion(json::Writer& w, const EncoderDistortionProfileRef& d) {
  w.begin_object();
  write_str(w, "schema_version", d.schema_version);
  write_str(w, "profile_id", d.profile_id);
  write_opt(w, "created_at", d.created_at);
  w.key("encoder");
  write_encoder(w, d.encoder);
  write_opt(w, "tokenizer_revision", d.tokenizer_revision);
  write_opt(w, "pooling", d.pooling);
  w.key("source_metric");
  write_metric(w, d.source_metric);
  w.key("embedding_metric");
  write_metric(w, d.embedding_metric);
  w.key("bounds");
  w.begin_object();
  write_opt(w, "declared_lower_bound", d.bounds.declared_lower_bound);
  write_opt(w, "declared_upper_bound", d.bounds.declared_upper_bound);
  write_opt(w, "estimated_distortion", d.bounds.estimated_distortion);
  write_opt(w, "violation_rate", d.bounds.violation_rate);
  write_opt(w, "max_observed_violation", d.bounds.max_observed_violation);
  write_opt(w, "quantile_observed_violation", d.bounds.quantile_observed_violation);
  w.end_object();
  w.key("scope");
  w.begin_object();
  write_opt(w, "corpus_digest", d.scope.corpus_digest);
  write_opt(w, "query_set_digest", d.scope.query_set_digest);
  write_opt(w, "pair_sample_digest", d.scope.pair_sample_digest);
  write_opt(w, "domain", d.scope.domain);
  write_opt(w, "sample_size", d.scope.sample_size);
  write_opt(w, "confidence", d.scope.confidence);
  write_opt(w, "coverage", d.scope.coverage);
  write_opt(w, "estimator_version", d.scope.estimator_version);
  w.end_object();
  w.key("evidence");
  w.begin_object();
  write_str(w, "kind", to_json_name(d.evidence.kind));
  write_opt(w, "estimator_id", d.evidence.estimator_id);
  write_opt(w, "estimator_hash", d.evidence.estimator_hash);
  w.end_object();
  if (d.profile) {
    w.key("profile");
    w.begin_object();
    write_str(w, "path", d.profile->path);
    write_str(w, "sha256", d.profile->sha256);
    write_u64(w, "file_size_bytes", d.profile->file_size_bytes);
    write_str(w, "format", d.profile->format);
    write_opt(w, "source_digest", d.profile->source_digest);
    w.end_object();
  }
  write_opt(w, "calibration_profile_id", d.calibration_profile_id);
  w.end_object();
}

}  // namespace

void write_json(json::Writer& w, const ManifestIndexParams& p) {
  w.begin_object();
  write_str(w, "kind", to_json_name(p.kind));
  if (p.kind == ManifestIndexKind::RankQuant) write_u64(w, "bits", p.bits);
  if (p.kind == ManifestIndexKind::Bitmap) write_u64(w, "n_top", p.n_top);
  w.end_object();
}

std::string serialize_manifest(const IndexManifest& m, json::Writer::Style style) {
  std::string out;
  out.reserve(2048);
  json::Writer w(out, style);
  w.begin_object();
  write_str(w, "schema_version", m.schema_version);
  write_str(w, "manifest_id", m.manifest_id);
  write_str(w, "created_at", m.created_at);
  w.key("artifact");
  w.begin_object();
  write_str(w, "path", m.artifact.path);
  write_str(w, "sha256", m.artifact.sha256);
  write_str(w, "kind", to_json_name(m.artifact.kind));
  write_u64(w, "format_version", m.artifact.format_version);
  write_u64(w, "dim", m.artifact.dim);
  write_u64(w, "vector_count", m.artifact.vector_count);
  write_u64(w, "bytes_per_vec", m.artifact.bytes_per_vec);
  w.key("params");
  write_json(w, m.artifact.params);
  write_u64(w, "file_size_bytes", m.artifact.file_size_bytes);
  w.end_object();
  if (!m.auxiliary_artifacts.empty()) {
    w.key("auxiliary_artifacts");
    w.begin_array();
    for (const AuxiliaryArtifact& a : m.auxiliary_artifacts) {
      w.begin_object();
      write_str(w, "name", a.name);
      write_str(w, "path", a.path);
      write_str(w, "sha256", a.sha256);
      write_u64(w, "file_size_bytes", a.file_size_bytes);
      w.key("required");
      w.boolean(a.required);
      w.end_object();
    }
    w.end_array();
  }
  w.key("embedding");
  w.begin_object();
  write_str(w, "model", m.embedding.model);
  write_u64(w, "dim", m.embedding.dim);
  write_opt(w, "model_revision", m.embedding.model_revision);
  write_opt(w, "tokenizer_revision", m.embedding.tokenizer_revision);
  write_opt(w, "pooling", m.embedding.pooling);
  write_opt(w, "corpus_digest", m.embedding.corpus_digest);
  write_opt(w, "embedding_matrix_digest", m.embedding.embedding_matrix_digest);
  write_opt(w, "normalization", m.embedding.normalization);
  w.end_object();
  if (m.encoder_distortion) {
    w.key("encoder_distortion");
    write_encoder_distortion(w, *m.encoder_distortion);
  }
  if (m.calibration) {
    w.key("calibration");
    write_calibration(w, *m.calibration);
  }
  w.key("row_identity");
  w.begin_object();
  write_str(w, "kind", to_json_name(m.row_identity.kind));
  if (m.row_identity.kind == RowIdentity::Kind::Jsonl) {
    write_str(w, "path", m.row_identity.path);
    write_str(w, "sha256", m.row_identity.sha256);
    write_u64(w, "row_count", m.row_identity.row_count);
    write_str(w, "id_kind", m.row_identity.id_kind);
    if (m.row_identity.db) {
      w.key("db");
      w.begin_object();
      write_opt(w, "path", m.row_identity.db->path);
      write_opt(w, "table", m.row_identity.db->table);
      write_opt(w, "id_column", m.row_identity.db->id_column);
      w.end_object();
    }
  } else {
    write_u64(w, "row_count", m.row_identity.row_count);
  }
  w.end_object();
  if (m.build) {
    w.key("build");
    w.begin_object();
    write_str(w, "invocation_id", m.build->invocation_id);
    write_opt(w, "builder_id", m.build->builder_id);
    write_opt(w, "source_repo", m.build->source_repo);
    write_opt(w, "source_commit", m.build->source_commit);
    write_opt(w, "ci_provider", m.build->ci_provider);
    write_opt(w, "ci_run_id", m.build->ci_run_id);
    w.end_object();
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
