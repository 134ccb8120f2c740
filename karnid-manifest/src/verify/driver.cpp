// The driver and the manifest's own field checks (top level, embedding, build, extensions,
// attestations).
#include "karnid/manifest/verify.hpp"

#include "karnid/manifest/text.hpp"
#include "karnid/manifest/timefmt.hpp"
#include "verify_steps.hpp"

namespace karnid::manifest {
namespace {

constexpr std::string_view kAttestationsAbsent = "attestations_absent";

void require_hex_when_present(VerificationReport& report, const std::optional<std::string>& value,
                              std::string_view code, std::string_view message) {
  if (value && !is_hex_digest(*value)) report.error(code, std::string(message));
}

void check_top_level(VerifyContext& ctx) {
  const IndexManifest& m = ctx.manifest();
  VerificationReport& report = ctx.report;
  if (m.schema_version != kSchemaVersion) {
    report.error(
        "schema_version_unsupported",
        "schema_version must be " + std::string(kSchemaVersion) + ", got " + m.schema_version);
  }
  require_non_blank(report, m.manifest_id, "manifest_id_empty", "manifest_id must be non-empty");
  if (!is_rfc3339(m.created_at)) {
    report.error("created_at_invalid", "created_at must parse as RFC3339");
  }
  require_non_blank(report, m.embedding.model, "embedding_model_empty",
                    kEmbeddingModelEmptyMessage);
  if (m.embedding.dim == 0) {
    report.error("embedding_dim_zero", "embedding.dim must be greater than zero");
  }
  require_non_blank(report, m.artifact.path, "artifact_path_empty",
                    "artifact.path must be non-empty");
  if (!is_hex_digest(m.artifact.sha256)) {
    report.error("artifact_sha256_invalid",
                 "artifact.sha256 must be a lowercase 64-character hex SHA-256 digest");
  }
  if (m.artifact.bytes_per_vec == 0) {
    report.error("artifact_bytes_per_vec_zero", "artifact.bytes_per_vec must be greater than zero");
  }
  if (m.artifact.dim != m.embedding.dim) {
    report.error("artifact_embedding_dim_mismatch", "artifact.dim " + decimal(m.artifact.dim) +
                                                        " does not match embedding.dim " +
                                                        decimal(m.embedding.dim));
  }
  if (m.artifact.params.kind != m.artifact.kind) {
    report.error("artifact_params_kind_mismatch",
                 "artifact.params discriminator does not match artifact.kind");
  }
}

void check_embedding_options(VerifyContext& ctx) {
  const Embedding& e = ctx.manifest().embedding;
  VerificationReport& report = ctx.report;
  require_non_blank_when_present(report, e.model_revision, "embedding_model_revision_empty",
                                 "embedding.model_revision must be non-empty when present");
  require_non_blank_when_present(report, e.tokenizer_revision, "embedding_tokenizer_revision_empty",
                                 "embedding.tokenizer_revision must be non-empty when present");
  require_non_blank_when_present(report, e.pooling, "embedding_pooling_empty",
                                 "embedding.pooling must be non-empty when present");
  require_hex_when_present(
      report, e.corpus_digest, "embedding_corpus_digest_invalid",
      "embedding.corpus_digest must be a lowercase 64-character hex SHA-256 digest");
  require_hex_when_present(
      report, e.embedding_matrix_digest, "embedding_matrix_digest_invalid",
      "embedding.embedding_matrix_digest must be a lowercase 64-character hex SHA-256 digest");
  require_non_blank_when_present(report, e.normalization, "embedding_normalization_empty",
                                 "embedding.normalization must be non-empty when present");
}

void check_build(VerifyContext& ctx) {
  const auto& build = ctx.manifest().build;
  if (!build) return;
  VerificationReport& report = ctx.report;
  require_non_blank(report, build->invocation_id, "build_invocation_id_empty",
                    "build.invocation_id must be non-empty");
  require_non_blank_when_present(report, build->builder_id, "build_builder_id_empty",
                                 "build.builder_id must be non-empty");
  require_non_blank_when_present(report, build->source_repo, "build_source_repo_empty",
                                 "build.source_repo must be non-empty when present");
  require_non_blank_when_present(report, build->source_commit, "build_source_commit_empty",
                                 "build.source_commit must be non-empty when present");
  require_non_blank_when_present(report, build->ci_provider, "build_ci_provider_empty",
                                 "build.ci_provider must be non-empty when present");
  require_non_blank_when_present(report, build->ci_run_id, "build_ci_run_id_empty",
                                 "build.ci_run_id must be non-empty when present");
}

bool is_label_char(char c) noexcept {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}

bool is_alnum(char c) noexcept {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool is_dotted_name(std::string_view key) noexcept {
  std::size_t labels = 0;
  std::size_t start = 0;
  for (;;) {
    const std::size_t dot = key.find('.', start);
    const std::string_view label =
        key.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
    if (label.empty()) return false;
    bool has_alnum = false;
    for (const char c : label) {
      if (!is_label_char(c)) return false;
      has_alnum = has_alnum || is_alnum(c);
    }
    if (!has_alnum) return false;
    ++labels;
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  return labels >= 2;
}

bool is_namespaced_key(std::string_view key) noexcept {
  return key.find("://") != std::string_view::npos || key.starts_with("urn:") ||
         is_dotted_name(key);
}

void check_extensions(VerifyContext& ctx) {
  // std::map keeps the keys in ascending byte order.
  for (const auto& [key, value] : ctx.manifest().extensions) {
    if (!is_namespaced_key(key)) {
      ctx.report.error("extension_key_not_namespaced",
                       "extension key " + quote_debug(key) + " must be namespaced");
    }
  }
}

std::optional<std::string> string_at(const json::Value& value, std::string_view pointer) {
  const json::Value* found = value.pointer(pointer);
  if (found != nullptr && found->is_string()) return found->string;
  return std::nullopt;
}

AttestationShapeCheck check_attestation(const json::Value& attestation,
                                        std::string_view reference_digest) {
  AttestationShapeCheck check;
  if (attestation.is_object()) {
    const json::Value* type = attestation.find("predicateType");
    if (type == nullptr) type = attestation.find("predicate_type");
    if (type != nullptr && type->is_string()) check.predicate_type = type->string;
  }
  // A non-string value at the first builder pointer is final: it does not fall through.
  if (const json::Value* builder = attestation.pointer("/predicate/builder/id")) {
    if (builder->is_string()) check.builder_id = builder->string;
  } else {
    check.builder_id = string_at(attestation, "/predicate/runDetails/builder/id");
  }
  if (const json::Value* subject = attestation.is_object() ? attestation.find("subject") : nullptr;
      subject != nullptr && subject->is_array()) {
    for (const json::Value& element : subject->array) {
      const auto digest = string_at(element, "/digest/sha256");
      if (digest && *digest == reference_digest) {
        check.subject_sha256_matched = true;
        break;
      }
    }
  }
  return check;
}

void check_attestations(VerifyContext& ctx) {
  const IndexManifest& m = ctx.manifest();
  VerificationReport& report = ctx.report;
  if (m.attestations.empty()) {
    report.skipped_checks.emplace_back(kAttestationsAbsent);
    return;
  }
  const std::string& reference =
      report.artifact.sha256 ? *report.artifact.sha256 : m.artifact.sha256;
  bool any_matched = false;
  for (std::size_t i = 0; i < m.attestations.size(); ++i) {
    AttestationShapeCheck check = check_attestation(m.attestations[i], reference);
    if (!check.predicate_type) {
      report.error("attestation_predicate_type_missing",
                   "attestation " + std::to_string(i) + " has no predicateType");
    }
    any_matched = any_matched || check.subject_sha256_matched;
    report.attestation_shape_checks.push_back(std::move(check));
  }
  if (!any_matched) {
    report.error("attestation_subject_sha256_mismatch",
                 "no supplied attestation subject digest matches the artifact SHA-256");
  }
}

}  // namespace

VerificationRun verify_manifest_with_path_capture(const ManifestDocument& document,
                                                  VerifyOptions options) {
  VerificationRun run;
  run.report.checked_at = format_rfc3339_nanos(utc_now());
  run.report.manifest_id = document.manifest.manifest_id;
  CancelCheck cancel(options.cancel);
  VerifyContext ctx{document, options, run.report, run.capture, &cancel};

  using Step = void (*)(VerifyContext&);
  static constexpr Step kSteps[] = {
      check_top_level,
      check_row_identity_declaration,
      check_auxiliary_declarations,
      check_embedding_options,
      check_build,
      check_extensions,
      verify_index_artifact,
      verify_auxiliary_files,
      verify_row_identity_file,
      verify_encoder_distortion,
      verify_calibration,
      check_attestations,
  };
  for (const Step step : kSteps) {
    if (cancel.stopped()) break;
    step(ctx);
  }
  run.cancelled = cancel.stopped();
  if (!run.cancelled) finalize_report(run.report, options.limits.max_report_issues);
  return run;
}

}  // namespace karnid::manifest
