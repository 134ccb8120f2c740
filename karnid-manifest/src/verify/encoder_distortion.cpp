// The encoder distortion block: its own fields, its agreement with the embedding, the numeric
// rules on the distortion bounds, and the profile file it may pin by size and digest.
#include "verify_steps.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <string_view>

#include "karnid/manifest/io.hpp"
#include "karnid/manifest/json.hpp"
#include "karnid/manifest/text.hpp"
#include "karnid/manifest/timefmt.hpp"

namespace karnid::manifest {
namespace {

constexpr std::string_view kProfileIssuePrefix = "encoder_distortion_profile";
constexpr std::string_view kProfileLabel = "encoder distortion profile";
constexpr std::string_view kSha256UriRule = " must be sha256:<lowercase-hex> when present";

// Relative tolerance of the ratio check, with the same value as an absolute floor so that tiny
// ratios are not held to a tolerance below what their inputs can carry.
constexpr double kDistortionTolerance = 1e-9;

// Prefixed-digest rule for "encoder_distortion.{field}" when present, under "{code}".
void require_sha256_uri(VerificationReport& report, std::string_view code, std::string_view field,
                        const std::optional<std::string>& value) {
  validate_optional_sha256_uri(
      code, "encoder_distortion." + std::string(field) + std::string(kSha256UriRule), value,
      report.errors);
}

[[nodiscard]] bool finite_positive(double v) noexcept {
  return std::isfinite(v) && v > 0.0;
}
[[nodiscard]] bool finite_unit_interval(double v) noexcept {
  return std::isfinite(v) && v >= 0.0 && v <= 1.0;
}
// -0 compares equal to 0, so a sign bit left over from a computation does not fail the check.
[[nodiscard]] bool finite_non_negative(double v) noexcept {
  return std::isfinite(v) && v >= 0.0;
}

template <typename Predicate>
void require_when_present(VerificationReport& report, const std::optional<double>& value,
                          Predicate valid, std::string_view code, std::string_view message) {
  if (value && !valid(*value)) report.error(code, std::string(message));
}

void fill_report(VerifyContext& ctx, const EncoderDistortionProfileRef& block) {
  EncoderDistortionReport& section = ctx.report.encoder_distortion;
  section.present = true;
  section.schema_version = block.schema_version;
  section.profile_id = block.profile_id;
  section.evidence_kind = std::string(to_json_name(block.evidence.kind));
  section.source_metric = block.source_metric.name;
  section.embedding_metric = block.embedding_metric.name;
}

void check_header(VerificationReport& report, const EncoderDistortionProfileRef& block) {
  if (block.schema_version != kEncoderDistortionSchemaVersion) {
    report.error("encoder_distortion_schema_version_unsupported",
                 "encoder_distortion.schema_version must be " +
                     std::string(kEncoderDistortionSchemaVersion) + ", got " +
                     block.schema_version);
  }
  require_non_blank(report, block.profile_id, "encoder_distortion_profile_id_empty",
                    "encoder_distortion.profile_id must be non-empty");
  if (block.created_at && !is_rfc3339(*block.created_at)) {
    report.error("encoder_distortion_created_at_invalid",
                 "encoder_distortion.created_at must parse as RFC3339 when present");
  }
}

void check_encoder_fields(VerificationReport& report, const EncoderDistortionProfileRef& block) {
  require_non_blank(report, block.encoder.model, "encoder_distortion_encoder_model_empty",
                    "encoder_distortion.encoder.model must be non-empty");
  if (block.encoder.dim == 0) {
    report.error("encoder_distortion_encoder_dim_zero",
                 "encoder_distortion.encoder.dim must be greater than zero");
  }
  require_non_blank_when_present(
      report, block.encoder.model_revision, "encoder_distortion_encoder_model_revision_empty",
      "encoder_distortion.encoder.model_revision must be non-empty when present");
  require_non_blank_when_present(
      report, block.encoder.normalization, "encoder_distortion_encoder_normalization_empty",
      "encoder_distortion.encoder.normalization must be non-empty when present");
  require_non_blank_when_present(
      report, block.tokenizer_revision, "encoder_distortion_tokenizer_revision_empty",
      "encoder_distortion.tokenizer_revision must be non-empty when present");
  require_non_blank_when_present(report, block.pooling, "encoder_distortion_pooling_empty",
                                 "encoder_distortion.pooling must be non-empty when present");
}

void check_against_embedding(VerificationReport& report, const EncoderDistortionProfileRef& block,
                             const Embedding& embedding) {
  if (block.encoder.model != embedding.model) {
    report.error("encoder_distortion_encoder_model_mismatch",
                 "encoder_distortion model " + block.encoder.model +
                     " does not match embedding.model " + embedding.model);
  }
  if (block.encoder.dim != embedding.dim) {
    report.error("encoder_distortion_encoder_dim_mismatch",
                 "encoder_distortion dim " + decimal(block.encoder.dim) +
                     " does not match embedding.dim " + decimal(embedding.dim));
  }
  constexpr std::string_view kEncoderLabel = "encoder_distortion encoder";
  constexpr std::string_view kBlockLabel = "encoder_distortion";
  compare_optional_encoder_identity("encoder_distortion_encoder_model_revision_mismatch",
                                    kEncoderLabel, "model_revision", block.encoder.model_revision,
                                    embedding.model_revision, report.errors);
  compare_optional_encoder_identity("encoder_distortion_encoder_normalization_mismatch",
                                    kEncoderLabel, "normalization", block.encoder.normalization,
                                    embedding.normalization, report.errors);
  compare_optional_encoder_identity("encoder_distortion_tokenizer_revision_mismatch", kBlockLabel,
                                    "tokenizer_revision", block.tokenizer_revision,
                                    embedding.tokenizer_revision, report.errors);
  compare_optional_encoder_identity("encoder_distortion_pooling_mismatch", kBlockLabel, "pooling",
                                    block.pooling, embedding.pooling, report.errors);
}

void check_bounds(VerificationReport& report, const DistortionBounds& b) {
  const auto& lower = b.declared_lower_bound;
  const auto& upper = b.declared_upper_bound;
  const auto& estimated = b.estimated_distortion;
  if (!lower && !upper && !estimated && !b.violation_rate && !b.max_observed_violation &&
      !b.quantile_observed_violation) {
    report.error("encoder_distortion_bounds_empty",
                 "encoder_distortion.bounds must declare at least one bound or observed violation "
                 "statistic");
    return;
  }
  require_when_present(
      report, lower, finite_positive, "encoder_distortion_lower_bound_invalid",
      "encoder_distortion.bounds.declared_lower_bound must be finite and greater than zero");
  require_when_present(
      report, upper, finite_positive, "encoder_distortion_upper_bound_invalid",
      "encoder_distortion.bounds.declared_upper_bound must be finite and greater than zero");
  require_when_present(
      report, estimated, finite_positive, "encoder_distortion_estimated_distortion_invalid",
      "encoder_distortion.bounds.estimated_distortion must be finite and greater than zero");
  require_when_present(report, b.violation_rate, finite_unit_interval,
                       "encoder_distortion_violation_rate_invalid",
                       "encoder_distortion.bounds.violation_rate must be finite and within [0, 1]");
  require_when_present(
      report, b.max_observed_violation, finite_non_negative,
      "encoder_distortion_max_observed_violation_invalid",
      "encoder_distortion.bounds.max_observed_violation must be finite and non-negative");
  require_when_present(
      report, b.quantile_observed_violation, finite_non_negative,
      "encoder_distortion_quantile_observed_violation_invalid",
      "encoder_distortion.bounds.quantile_observed_violation must be finite and non-negative");

  if (lower && upper && std::isfinite(*lower) && std::isfinite(*upper) && *lower > *upper) {
    report.error("encoder_distortion_bounds_order_invalid",
                 "encoder_distortion.bounds.declared_lower_bound must be less than or equal to "
                 "declared_upper_bound");
  }

  if (!lower || !upper || !estimated || !finite_positive(*lower) || !finite_positive(*upper)) {
    return;
  }
  // Both operands are finite and positive, so the quotient is never NaN; it can still overflow
  // (1e300 / 1e-300), and an infinite ratio cannot be matched by any finite estimate.
  const double ratio = *upper / *lower;
  if (std::isinf(ratio)) {
    report.error("encoder_distortion_distortion_mismatch",
                 "encoder_distortion.bounds.declared_upper_bound / declared_lower_bound must be "
                 "finite");
    return;
  }
  const double tolerance = std::max(ratio * kDistortionTolerance, kDistortionTolerance);
  if (std::isfinite(*estimated) && std::fabs(*estimated - ratio) > tolerance) {
    report.error("encoder_distortion_distortion_mismatch",
                 "encoder_distortion.bounds.estimated_distortion " +
                     json::plain_decimal(*estimated) +
                     " does not match declared_upper_bound / declared_lower_bound " +
                     json::plain_decimal(ratio));
  }
}

void check_scope(VerificationReport& report, const DistortionScope& scope) {
  require_sha256_uri(report, "encoder_distortion_scope_corpus_digest_invalid",
                     "scope.corpus_digest", scope.corpus_digest);
  require_sha256_uri(report, "encoder_distortion_scope_query_set_digest_invalid",
                     "scope.query_set_digest", scope.query_set_digest);
  require_sha256_uri(report, "encoder_distortion_scope_pair_sample_digest_invalid",
                     "scope.pair_sample_digest", scope.pair_sample_digest);
  require_non_blank_when_present(
      report, scope.estimator_version, "encoder_distortion_scope_estimator_version_empty",
      "encoder_distortion.scope.estimator_version must be non-empty when present");
  require_non_blank_when_present(report, scope.domain, "encoder_distortion_scope_domain_empty",
                                 "encoder_distortion.scope.domain must be non-empty when present");
  if (scope.sample_size && *scope.sample_size == 0) {
    report.error("encoder_distortion_scope_sample_size_zero",
                 "encoder_distortion.scope.sample_size must be greater than zero when present");
  }
  require_when_present(report, scope.confidence, finite_unit_interval,
                       "encoder_distortion_scope_confidence_invalid",
                       "encoder_distortion.scope.confidence must be finite and within [0, 1]");
  require_when_present(report, scope.coverage, finite_unit_interval,
                       "encoder_distortion_scope_coverage_invalid",
                       "encoder_distortion.scope.coverage must be finite and within [0, 1]");
}

void check_evidence(VerificationReport& report, const DistortionEvidence& evidence) {
  require_non_blank_when_present(
      report, evidence.estimator_id, "encoder_distortion_evidence_estimator_id_empty",
      "encoder_distortion.evidence.estimator_id must be non-empty when present");
  require_sha256_uri(report, "encoder_distortion_evidence_estimator_hash_invalid",
                     "evidence.estimator_hash", evidence.estimator_hash);
}

void check_profile_fields(VerificationReport& report, const DistortionProfileArtifactRef& profile) {
  require_non_blank(report, profile.path, "encoder_distortion_profile_path_empty",
                    "encoder_distortion.profile.path must be non-empty");
  if (!is_hex_digest(profile.sha256)) {
    report.error("encoder_distortion_profile_sha256_invalid",
                 "encoder_distortion.profile.sha256 must be a lowercase 64-character hex SHA-256 "
                 "digest");
  }
  if (profile.file_size_bytes == 0) {
    report.error("encoder_distortion_profile_file_size_zero",
                 "encoder_distortion.profile.file_size_bytes must be greater than zero");
  }
  require_non_blank(report, profile.format, "encoder_distortion_profile_format_empty",
                    "encoder_distortion.profile.format must be non-empty");
  require_sha256_uri(report, "encoder_distortion_profile_source_digest_invalid",
                     "profile.source_digest", profile.source_digest);
}

void check_profile(VerifyContext& ctx, const EncoderDistortionProfileRef& block) {
  VerificationReport& report = ctx.report;
  if (!block.profile) {
    if (block.evidence.kind != DistortionEvidenceKind::CallerAsserted) {
      report.error("encoder_distortion_profile_required",
                   "non-caller-asserted encoder distortion evidence requires a profile artifact");
    }
    return;
  }
  const DistortionProfileArtifactRef& profile = *block.profile;
  report.encoder_distortion.profile_manifest_path = profile.path;
  check_profile_fields(report, profile);
  if (!is_blank(profile.path)) {
    EncoderDistortionReport& section = ctx.report.encoder_distortion;
    check_profile_file(
        ctx, profile.path, profile.sha256, profile.file_size_bytes,
        {kProfileIssuePrefix, kEncoderDistortionProfileTooLargeCode, kProfileLabel,
         ctx.limits().max_encoder_distortion_profile_bytes, section.profile_canonical_path,
         section.profile_sha256, section.profile_size_bytes,
         ctx.capture.encoder_distortion_profile_path, ReadRole::EncoderDistortionProfile});
  }
}

void check_calibration_link(VerificationReport& report, const EncoderDistortionProfileRef& block,
                            const std::optional<CalibrationProfileRef>& calibration) {
  if (!block.calibration_profile_id) return;
  const std::string& id = *block.calibration_profile_id;
  const std::string_view trimmed = trim_unicode(id);
  if (trimmed.empty()) {
    report.error("encoder_distortion_calibration_profile_id_empty",
                 "encoder_distortion.calibration_profile_id must be non-empty when present");
  } else if (trimmed.size() != id.size()) {
    report.error("encoder_distortion_calibration_profile_id_whitespace",
                 "encoder_distortion.calibration_profile_id must not contain leading or trailing "
                 "whitespace");
  } else if (!calibration) {
    report.error("encoder_distortion_calibration_missing",
                 "encoder_distortion.calibration_profile_id requires a calibration block");
  } else if (id != calibration->profile_id) {
    report.error("encoder_distortion_calibration_profile_mismatch",
                 "encoder_distortion.calibration_profile_id " + id +
                     " does not match calibration.profile_id " + calibration->profile_id);
  }
}

}  // namespace

void verify_encoder_distortion(VerifyContext& ctx) {
  const IndexManifest& manifest = ctx.manifest();
  if (!manifest.encoder_distortion) return;
  const EncoderDistortionProfileRef& block = *manifest.encoder_distortion;
  VerificationReport& report = ctx.report;

  fill_report(ctx, block);
  check_header(report, block);
  check_encoder_fields(report, block);
  check_against_embedding(report, block, manifest.embedding);
  validate_metric_spec("encoder_distortion_source_metric", block.source_metric, report.errors);
  validate_metric_spec("encoder_distortion_embedding_metric", block.embedding_metric,
                       report.errors);
  check_bounds(report, block.bounds);
  check_scope(report, block.scope);
  check_evidence(report, block.evidence);
  check_profile(ctx, block);
  check_calibration_link(report, block, manifest.calibration);
}

}  // namespace karnid::manifest
