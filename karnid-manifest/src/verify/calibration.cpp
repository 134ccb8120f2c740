// The calibration block: its own fields, its agreement with the embedding and the index
// artifact, the consistency of ordinalization, null model and profile, the size the profile's
// shape and format predict, and the profile file itself.
#include "verify_steps.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "karnid/manifest/io.hpp"
#include "karnid/manifest/text.hpp"
#include "karnid/manifest/timefmt.hpp"

namespace karnid::manifest {
namespace {

using Ordinalization = CalibrationOrdinalization::Kind;
using NullModel = NullModelSpec::Kind;
using Parameterization = ProfileParameterization;

constexpr std::string_view kProfileIssuePrefix = "calibration_profile";
constexpr std::string_view kProfileLabel = "calibration profile";
constexpr std::string_view kOrdinalizationArtifactMismatch =
    "calibration_ordinalization_artifact_mismatch";
constexpr std::string_view kNullParameterizationMismatch =
    "calibration_null_parameterization_mismatch";
constexpr std::string_view kShapeMismatch = "calibration_profile_shape_mismatch";
constexpr std::string_view kFileSizeMismatch = "calibration_profile_file_size_mismatch";

[[nodiscard]] bool is_supported_bucket_bits(std::uint8_t bits) noexcept {
  return bits == 1 || bits == 2 || bits == 4;
}

// "[768, 16]".
[[nodiscard]] std::string render_shape(const std::vector<std::uint64_t>& shape) {
  std::string out = "[";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (i > 0) out += ", ";
    out += decimal(shape[i]);
  }
  out += ']';
  return out;
}

void fill_report(VerificationReport& report, const CalibrationProfileRef& block) {
  CalibrationReport& section = report.calibration;
  section.present = true;
  section.schema_version = block.schema_version;
  section.profile_id = block.profile_id;
  section.calibrated_for_model = block.calibrated_for.model;
  section.ordinalization = std::string(to_json_name(block.ordinalization.kind));
  section.null_model = std::string(to_json_name(block.null_model.kind));
}

void check_header(VerificationReport& report, const CalibrationProfileRef& block) {
  if (block.schema_version != kCalibrationSchemaVersion) {
    report.error("calibration_schema_version_unsupported",
                 "calibration.schema_version must be " + std::string(kCalibrationSchemaVersion) +
                     ", got " + block.schema_version);
  }
  require_non_blank(report, block.profile_id, "calibration_profile_id_empty",
                    "calibration.profile_id must be non-empty");
  if (block.created_at && !is_rfc3339(*block.created_at)) {
    report.error("calibration_created_at_invalid",
                 "calibration.created_at must parse as RFC3339 when present");
  }
  const EncoderSpec& encoder = block.calibrated_for;
  require_non_blank(report, encoder.model, "calibration_encoder_model_empty",
                    "calibration.calibrated_for.model must be non-empty");
  if (encoder.dim == 0) {
    report.error("calibration_encoder_dim_zero",
                 "calibration.calibrated_for.dim must be greater than zero");
  }
  require_non_blank_when_present(
      report, encoder.model_revision, "calibration_encoder_model_revision_empty",
      "calibration.calibrated_for.model_revision must be non-empty when present");
  require_non_blank_when_present(
      report, encoder.normalization, "calibration_encoder_normalization_empty",
      "calibration.calibrated_for.normalization must be non-empty when present");
}

void check_ordinalization_fields(VerificationReport& report, const CalibrationOrdinalization& o) {
  if (o.dim == 0) {
    report.error("calibration_ordinalization_dim_zero",
                 "calibration.ordinalization.dim must be greater than zero");
  }
  switch (o.kind) {
    case Ordinalization::TopK:
      if (o.k == 0) {
        report.error(kOrdinalizationArtifactMismatch,
                     "calibration top_k.k must be greater than zero");
      }
      break;
    case Ordinalization::Bucket:
      if (!is_supported_bucket_bits(o.bits)) {
        report.error(kOrdinalizationArtifactMismatch, "calibration bucket.bits must be 1, 2, or 4");
      }
      break;
    case Ordinalization::CallerDefined:
      require_non_blank(report, o.name, kOrdinalizationArtifactMismatch,
                        "calibration caller_defined.name must be non-empty");
      break;
    case Ordinalization::Sign:
    case Ordinalization::RankPosition:
      break;
  }
}

void check_null_model_fields(VerificationReport& report, const NullModelSpec& null_model) {
  switch (null_model.kind) {
    case NullModel::EmpiricalTailTable:
      require_non_blank(report, null_model.statistic, "calibration_null_statistic_empty",
                        "calibration.null_model.statistic must be non-empty");
      break;
    case NullModel::CallerDefined:
      require_non_blank(report, null_model.name, "calibration_null_name_empty",
                        "calibration.null_model.name must be non-empty");
      require_non_blank_when_present(
          report, null_model.caller_parameterization, "calibration_null_parameterization_empty",
          "calibration.null_model.parameterization must be non-empty when present");
      break;
    case NullModel::UniformHypergeometric:
    case NullModel::WeightedMarginalProfile:
      break;
  }
}

void check_against_embedding(VerificationReport& report, const EncoderSpec& encoder,
                             const Embedding& embedding) {
  if (encoder.model != embedding.model) {
    report.error("calibration_encoder_model_mismatch", "calibration model " + encoder.model +
                                                           " does not match embedding.model " +
                                                           embedding.model);
  }
  if (encoder.dim != embedding.dim) {
    report.error("calibration_encoder_dim_mismatch", "calibration dim " + decimal(encoder.dim) +
                                                         " does not match embedding.dim " +
                                                         decimal(embedding.dim));
  }
  constexpr std::string_view kLabel = "calibration encoder";
  compare_optional_encoder_identity("calibration_encoder_model_revision_mismatch", kLabel,
                                    "model_revision", encoder.model_revision,
                                    embedding.model_revision, report.errors);
  compare_optional_encoder_identity("calibration_encoder_normalization_mismatch", kLabel,
                                    "normalization", encoder.normalization, embedding.normalization,
                                    report.errors);
}

// Which ordinal codes an index of this kind can produce.
[[nodiscard]] bool ordinalization_fits_index(const CalibrationOrdinalization& o,
                                             const ManifestIndexParams& params) noexcept {
  switch (params.kind) {
    case ManifestIndexKind::Rank:
      return o.kind == Ordinalization::RankPosition || o.kind == Ordinalization::CallerDefined;
    case ManifestIndexKind::RankQuant:
      return o.kind == Ordinalization::Bucket && o.bits == params.bits;
    case ManifestIndexKind::Bitmap:
      return o.kind == Ordinalization::TopK && o.k == params.n_top;
    case ManifestIndexKind::SignBitmap:
      return o.kind == Ordinalization::Sign;
  }
  return false;
}

void check_against_artifact(VerificationReport& report, const CalibrationOrdinalization& o,
                            const Artifact& artifact) {
  if (o.dim != artifact.dim) {
    report.error("calibration_ordinalization_dim_mismatch",
                 "calibration ordinalization dim " + decimal(o.dim) +
                     " does not match artifact.dim " + decimal(artifact.dim));
  }
  // With a kind that contradicts its own parameters there is no index to be compatible with.
  if (artifact.kind != artifact.params.kind || !ordinalization_fits_index(o, artifact.params)) {
    report.error(kOrdinalizationArtifactMismatch,
                 "calibration.ordinalization is incompatible with artifact.kind/artifact.params");
  }
}

void check_profile_fields(VerificationReport& report, const ProfileArtifactRef& profile,
                          const Artifact& artifact) {
  require_non_blank(report, profile.path, "calibration_profile_path_empty",
                    "calibration.profile.path must be non-empty");
  if (!is_hex_digest(profile.sha256)) {
    report.error("calibration_profile_sha256_invalid",
                 "calibration.profile.sha256 must be a lowercase 64-character hex SHA-256 digest");
  }
  if (profile.file_size_bytes == 0) {
    report.error("calibration_profile_file_size_zero",
                 "calibration.profile.file_size_bytes must be greater than zero");
  }
  if (profile.dim != artifact.dim) {
    report.error("calibration_profile_dim_mismatch",
                 "calibration profile dim " + decimal(profile.dim) +
                     " does not match artifact.dim " + decimal(artifact.dim));
  }
  if (profile.sample_count == 0) {
    report.error("calibration_profile_sample_count_zero",
                 "calibration.profile.sample_count must be greater than zero");
  }
  validate_optional_sha256_uri("calibration_profile_source_digest_invalid",
                               "calibration.profile.source_digest must be sha256:<lowercase-hex>",
                               profile.source_digest, report.errors);
}

void check_null_model_against_profile(VerificationReport& report, const NullModelSpec& null_model,
                                      Parameterization profile_parameterization) {
  switch (null_model.kind) {
    case NullModel::WeightedMarginalProfile:
      if (null_model.parameterization != profile_parameterization) {
        report.error(kNullParameterizationMismatch,
                     "null_model parameterization " +
                         std::string(debug_name(null_model.parameterization)) +
                         " does not match profile parameterization " +
                         std::string(debug_name(profile_parameterization)));
      }
      break;
    case NullModel::EmpiricalTailTable:
      if (profile_parameterization != Parameterization::EmpiricalTailTable) {
        report.error(kNullParameterizationMismatch,
                     "empirical_tail_table null_model requires empirical_tail_table profile "
                     "parameterization");
      }
      break;
    case NullModel::UniformHypergeometric:
    case NullModel::CallerDefined:
      break;
  }
}

[[nodiscard]] bool parameterization_fits_ordinalization(Parameterization p,
                                                        Ordinalization o) noexcept {
  if (p == Parameterization::EmpiricalTailTable || o == Ordinalization::CallerDefined) return true;
  switch (p) {
    case Parameterization::MarginalTopKFrequency:
      return o == Ordinalization::TopK;
    case Parameterization::BucketFrequency:
      return o == Ordinalization::Bucket;
    case Parameterization::SignFrequency:
      return o == Ordinalization::Sign;
    case Parameterization::RankPositionFrequency:
      return o == Ordinalization::RankPosition;
    case Parameterization::EmpiricalTailTable:
      return true;
  }
  return false;
}

// The table shape a profile of this parameterization must have, when one is fixed.
[[nodiscard]] std::optional<std::vector<std::uint64_t>> expected_shape(
    Parameterization p, const CalibrationOrdinalization& o) {
  const std::uint64_t d = o.dim;
  switch (p) {
    case Parameterization::MarginalTopKFrequency:
    case Parameterization::SignFrequency:
      return std::vector<std::uint64_t>{d};
    case Parameterization::BucketFrequency:
      if (o.kind == Ordinalization::Bucket && is_supported_bucket_bits(o.bits)) {
        return std::vector<std::uint64_t>{d, std::uint64_t{1} << o.bits};
      }
      return std::nullopt;
    case Parameterization::RankPositionFrequency:
      return std::vector<std::uint64_t>{d, d};
    case Parameterization::EmpiricalTailTable:
      return std::nullopt;
  }
  return std::nullopt;
}

// Bytes per table element for the raw little-endian formats; 0 for any other format, whose size
// the shape does not predict.
[[nodiscard]] std::uint64_t raw_element_size(std::string_view format) noexcept {
  if (format == "raw_f64_le") return 8;
  if (format == "raw_f32_le") return 4;
  return 0;
}

void check_shape_and_size(VerificationReport& report, const ProfileArtifactRef& profile,
                          const CalibrationOrdinalization& o) {
  if (profile.shape.empty()) return;
  if (const auto expected = expected_shape(profile.parameterization, o);
      expected && profile.shape != *expected) {
    report.error(kShapeMismatch, "calibration profile shape " + render_shape(profile.shape) +
                                     " does not match expected " + render_shape(*expected));
  }

  const std::uint64_t element_size = raw_element_size(profile.format);
  if (element_size == 0) return;
  // Left to right, stopping at the first overflow: a shape that cannot be counted in 64 bits
  // describes no file this system could hash.
  std::uint64_t elements = 1;
  for (const std::uint64_t extent : profile.shape) {
    if (__builtin_mul_overflow(elements, extent, &elements)) {
      report.error(kShapeMismatch, "calibration.profile.shape product overflows u64");
      return;
    }
  }
  std::uint64_t byte_size = 0;
  if (__builtin_mul_overflow(elements, element_size, &byte_size)) {
    report.error(kShapeMismatch, "calibration.profile.shape byte size overflows u64");
    return;
  }
  if (byte_size != profile.file_size_bytes) {
    report.error(kFileSizeMismatch, "calibration profile size " + decimal(profile.file_size_bytes) +
                                        " does not match shape/format size " + decimal(byte_size));
  }
}

}  // namespace

void verify_calibration(VerifyContext& ctx) {
  const IndexManifest& manifest = ctx.manifest();
  if (!manifest.calibration) return;
  const CalibrationProfileRef& block = *manifest.calibration;
  VerificationReport& report = ctx.report;

  fill_report(report, block);
  check_header(report, block);
  check_ordinalization_fields(report, block.ordinalization);
  check_null_model_fields(report, block.null_model);
  check_against_embedding(report, block.calibrated_for, manifest.embedding);
  check_against_artifact(report, block.ordinalization, manifest.artifact);

  const bool uniform = block.null_model.kind == NullModel::UniformHypergeometric;
  if (uniform && block.ordinalization.kind != Ordinalization::TopK) {
    report.error("calibration_null_model_ordinalization_mismatch",
                 "uniform_hypergeometric calibration requires top_k ordinalization");
  }
  if (uniform && block.profile) {
    report.error("calibration_profile_unexpected",
                 "uniform_hypergeometric calibration must not include a profile artifact");
  } else if (!uniform && !block.profile) {
    report.error("calibration_profile_required",
                 "non-uniform calibration requires a profile artifact");
  }
  // An unexpected profile is not examined: the uniform null model gives it no meaning.
  if (uniform || !block.profile) return;

  const ProfileArtifactRef& profile = *block.profile;
  report.calibration.profile_manifest_path = profile.path;
  check_profile_fields(report, profile, manifest.artifact);
  check_null_model_against_profile(report, block.null_model, profile.parameterization);
  if (!parameterization_fits_ordinalization(profile.parameterization, block.ordinalization.kind)) {
    report.error("calibration_profile_parameterization_ordinalization_mismatch",
                 "calibration profile parameterization is incompatible with calibration "
                 "ordinalization");
  }
  require_non_blank(report, profile.format, "calibration_profile_format_empty",
                    "calibration.profile.format must be non-empty");
  check_shape_and_size(report, profile, block.ordinalization);
  if (!is_blank(profile.path)) {
    CalibrationReport& section = ctx.report.calibration;
    check_profile_file(ctx, profile.path, profile.sha256, profile.file_size_bytes,
                       {kProfileIssuePrefix, kCalibrationProfileTooLargeCode, kProfileLabel,
                        ctx.limits().max_calibration_profile_bytes, section.profile_canonical_path,
                        section.profile_sha256, section.profile_size_bytes,
                        ctx.capture.calibration_profile_path, ReadRole::CalibrationProfile});
  }
}

}  // namespace karnid::manifest
