// The index manifest ("karnid.index_manifest.v1") and its profile blocks as typed records.
//
// Parsing is strict: unknown keys, duplicate keys and missing required keys are errors, unsigned
// fields reject negative and fractional numbers, optional values may be absent or null. Records
// own all their data. Semantic checks (non-empty strings, digests, dates) are verification's job.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "karnid/manifest/error.hpp"
#include "karnid/manifest/json.hpp"

namespace karnid::manifest {

inline constexpr std::string_view kSchemaVersion = "karnid.index_manifest.v1";
inline constexpr std::string_view kCalibrationSchemaVersion = "karnid.calibration.v1";
inline constexpr std::string_view kEncoderDistortionSchemaVersion = "karnid.encoder_distortion.v1";

enum class ManifestIndexKind : std::uint8_t { Rank, RankQuant, Bitmap, SignBitmap };

// "rank", "rank_quant", "bitmap", "sign_bitmap".
[[nodiscard]] std::string_view to_json_name(ManifestIndexKind kind) noexcept;
// "Rank", "RankQuant", "Bitmap", "SignBitmap".
[[nodiscard]] std::string_view debug_name(ManifestIndexKind kind) noexcept;

struct ManifestIndexParams {
  ManifestIndexKind kind = ManifestIndexKind::Rank;
  std::uint8_t bits = 0;    // RankQuant only
  std::uint64_t n_top = 0;  // Bitmap only
  friend bool operator==(const ManifestIndexParams&, const ManifestIndexParams&) = default;
};
// Rank, RankQuant { bits: N }, Bitmap { n_top: N }, SignBitmap.
[[nodiscard]] std::string debug_string(const ManifestIndexParams& params);
// {"kind": ..., "bits"/"n_top": ...}, the tag first.
void write_json(json::Writer& w, const ManifestIndexParams& params);

struct Artifact {
  std::string path;
  std::string sha256;
  ManifestIndexKind kind = ManifestIndexKind::Rank;
  std::uint8_t format_version = 0;
  std::uint64_t dim = 0;
  std::uint64_t vector_count = 0;
  std::uint64_t bytes_per_vec = 0;
  ManifestIndexParams params;
  std::uint64_t file_size_bytes = 0;
};

struct AuxiliaryArtifact {
  std::string name;
  std::string path;
  std::string sha256;
  std::uint64_t file_size_bytes = 0;
  bool required = true;
};

struct Embedding {
  std::string model;
  std::uint64_t dim = 0;
  std::optional<std::string> model_revision;
  std::optional<std::string> tokenizer_revision;
  std::optional<std::string> pooling;
  std::optional<std::string> corpus_digest;
  std::optional<std::string> embedding_matrix_digest;
  std::optional<std::string> normalization;
};

struct MetricSpec {
  std::string name;
  std::optional<std::string> version;
  std::optional<std::string> digest;
};

struct EncoderSpec {
  std::string model;
  std::uint64_t dim = 0;
  std::optional<std::string> model_revision;
  std::optional<std::string> normalization;
};

struct RowIdentityDb {
  std::optional<std::string> path;
  std::optional<std::string> table;
  std::optional<std::string> id_column;
};

struct RowIdentity {
  enum class Kind : std::uint8_t { RowIdIdentity, Jsonl };
  Kind kind = Kind::RowIdIdentity;
  std::uint64_t row_count = 0;
  // Jsonl only:
  std::string path;
  std::string sha256;
  std::string id_kind;
  std::optional<RowIdentityDb> db;
};
// "row_id_identity" or "jsonl".
[[nodiscard]] std::string_view to_json_name(RowIdentity::Kind kind) noexcept;

struct BuildInfo {
  std::string invocation_id;
  std::optional<std::string> builder_id;
  std::optional<std::string> source_repo;
  std::optional<std::string> source_commit;
  std::optional<std::string> ci_provider;
  std::optional<std::string> ci_run_id;
};

// ---- calibration block ----

enum class ProfileParameterization : std::uint8_t {
  MarginalTopKFrequency,
  BucketFrequency,
  SignFrequency,
  RankPositionFrequency,
  EmpiricalTailTable,
};
// "marginal_topk_frequency", ...
[[nodiscard]] std::string_view to_json_name(ProfileParameterization p) noexcept;
// "MarginalTopKFrequency", ...
[[nodiscard]] std::string_view debug_name(ProfileParameterization p) noexcept;

struct ProfileArtifactRef {
  std::string path;
  std::string sha256;
  std::uint64_t file_size_bytes = 0;
  std::uint64_t dim = 0;
  std::uint64_t sample_count = 0;
  ProfileParameterization parameterization = ProfileParameterization::MarginalTopKFrequency;
  std::string format;
  std::vector<std::uint64_t> shape;
  std::optional<std::string> source_digest;
};

struct CalibrationOrdinalization {
  enum class Kind : std::uint8_t { TopK, Bucket, Sign, RankPosition, CallerDefined };
  Kind kind = Kind::TopK;
  std::uint64_t dim = 0;
  std::uint64_t k = 0;    // TopK
  std::uint8_t bits = 0;  // Bucket
  std::string name;       // CallerDefined
};
// "top_k", "bucket", "sign", "rank_position", "caller_defined".
[[nodiscard]] std::string_view to_json_name(CalibrationOrdinalization::Kind kind) noexcept;

struct NullModelSpec {
  enum class Kind : std::uint8_t {
    UniformHypergeometric,
    WeightedMarginalProfile,
    EmpiricalTailTable,
    CallerDefined,
  };
  Kind kind = Kind::UniformHypergeometric;
  ProfileParameterization parameterization =
      ProfileParameterization::MarginalTopKFrequency;  // WeightedMarginalProfile
  std::string statistic;                               // EmpiricalTailTable
  std::string name;                                    // CallerDefined
  std::optional<std::string> caller_parameterization;  // CallerDefined "parameterization"
};
// "uniform_hypergeometric", "weighted_marginal_profile", "empirical_tail_table",
// "caller_defined".
[[nodiscard]] std::string_view to_json_name(NullModelSpec::Kind kind) noexcept;

struct CalibrationProfileRef {
  std::string schema_version;
  std::string profile_id;
  std::optional<std::string> created_at;
  EncoderSpec calibrated_for;
  CalibrationOrdinalization ordinalization;
  std::optional<ProfileArtifactRef> profile;
  NullModelSpec null_model;
};

// ---- encoder distortion block ----

struct DistortionBounds {
  std::optional<double> declared_lower_bound;
  std::optional<double> declared_upper_bound;
  std::optional<double> estimated_distortion;
  std::optional<double> violation_rate;
  std::optional<double> max_observed_violation;
  std::optional<double> quantile_observed_violation;
};

struct DistortionScope {
  std::optional<std::string> corpus_digest;
  std::optional<std::string> query_set_digest;
  std::optional<std::string> pair_sample_digest;
  std::optional<std::string> domain;
  std::optional<std::uint64_t> sample_size;
  std::optional<double> confidence;
  std::optional<double> coverage;
  std::optional<std::string> estimator_version;
};

enum class DistortionEvidenceKind : std::uint8_t {
  Certified,
  EmpiricalSample,
  BenchmarkEstimate,
  TeacherEstimate,
  CallerAsserted,
};
// "certified", "empirical_sample", "benchmark_estimate", "teacher_estimate", "caller_asserted".
[[nodiscard]] std::string_view to_json_name(DistortionEvidenceKind kind) noexcept;

struct DistortionEvidence {
  DistortionEvidenceKind kind = DistortionEvidenceKind::Certified;
  std::optional<std::string> estimator_id;
  std::optional<std::string> estimator_hash;
};

struct DistortionProfileArtifactRef {
  std::string path;
  std::string sha256;
  std::uint64_t file_size_bytes = 0;
  std::string format;
  std::optional<std::string> source_digest;
};

struct EncoderDistortionProfileRef {
  std::string schema_version;
  std::string profile_id;
  std::optional<std::string> created_at;
  EncoderSpec encoder;
  std::optional<std::string> tokenizer_revision;
  std::optional<std::string> pooling;
  MetricSpec source_metric;
  MetricSpec embedding_metric;
  DistortionBounds bounds;
  DistortionScope scope;
  DistortionEvidence evidence;
  std::optional<DistortionProfileArtifactRef> profile;
  std::optional<std::string> calibration_profile_id;
};

// ---- the manifest ----

struct IndexManifest {
  std::string schema_version;
  std::string manifest_id;
  std::string created_at;
  Artifact artifact;
  std::vector<AuxiliaryArtifact> auxiliary_artifacts;
  Embedding embedding;
  std::optional<EncoderDistortionProfileRef> encoder_distortion;
  std::optional<CalibrationProfileRef> calibration;
  RowIdentity row_identity;
  std::optional<BuildInfo> build;
  std::vector<json::Value> attestations;
  std::map<std::string, json::Value> extensions;  // ordered by key bytes
};

// Strict parse of a whole manifest document. Errors are Json errors with line and column.
[[nodiscard]] Result<IndexManifest> parse_manifest(std::string_view text);

// The manifest's JSON text: keys in declaration order, absent optionals omitted, empty
// auxiliary_artifacts/attestations/extensions omitted. The pretty form is what creation writes
// (no trailing newline); the compact form goes to the host.
[[nodiscard]] std::string serialize_manifest(const IndexManifest& manifest,
                                             json::Writer::Style style);

}  // namespace karnid::manifest
