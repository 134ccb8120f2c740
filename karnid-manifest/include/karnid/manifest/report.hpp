// The verification report: what was observed about every file, and every problem as a coded
// issue. A report always results once a manifest was loaded; verification never throws.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "karnid/manifest/error.hpp"
#include "karnid/manifest/json.hpp"
#include "karnid/manifest/schema.hpp"

namespace karnid::manifest {

inline constexpr std::string_view kIssueLimitCode = "verification_report_issue_limit_exceeded";

// Header facts probed from the index file, in manifest encodings.
struct MetadataReport {
  ManifestIndexKind kind = ManifestIndexKind::Rank;
  std::uint8_t format_version = 0;
  std::uint64_t dim = 0;
  std::uint64_t vector_count = 0;
  std::uint64_t bytes_per_vec = 0;
  ManifestIndexParams params;
  std::uint64_t file_size_bytes = 0;
};

struct ArtifactReport {
  std::optional<std::string> manifest_path;
  std::optional<std::string> observed_path;
  std::optional<std::string> canonical_path;
  std::optional<std::string> sha256;
  std::optional<std::uint64_t> size_bytes;
  std::optional<MetadataReport> metadata;
};

enum class AuxiliaryArtifactState : std::uint8_t {
  Verified,
  OptionalAbsent,
  MissingRequired,
  Failed
};
// "verified", "optional_absent", "missing_required", "failed".
[[nodiscard]] std::string_view to_json_name(AuxiliaryArtifactState state) noexcept;

struct AuxiliaryArtifactReport {
  std::string name;
  std::string manifest_path;
  std::optional<std::string> resolved_path;
  std::optional<std::string> canonical_path;
  std::optional<std::string> expected_sha256;
  std::optional<std::uint64_t> expected_size_bytes;
  bool required = true;
  AuxiliaryArtifactState state = AuxiliaryArtifactState::Failed;
  std::optional<std::string> reason_code;
  std::optional<std::string> sha256;
  std::optional<std::uint64_t> size_bytes;
};

struct RowIdentityReport {
  std::optional<std::string> kind;
  std::optional<std::string> manifest_path;
  std::optional<std::string> canonical_path;
  std::optional<std::string> sha256;
  std::optional<std::uint64_t> row_count;
  std::optional<std::uint64_t> validated_rows;
};

struct EncoderDistortionReport {
  bool present = false;
  std::optional<std::string> schema_version;
  std::optional<std::string> profile_id;
  std::optional<std::string> evidence_kind;
  std::optional<std::string> source_metric;
  std::optional<std::string> embedding_metric;
  std::optional<std::string> profile_manifest_path;
  std::optional<std::string> profile_canonical_path;
  std::optional<std::string> profile_sha256;
  std::optional<std::uint64_t> profile_size_bytes;
};

struct CalibrationReport {
  bool present = false;
  std::optional<std::string> schema_version;
  std::optional<std::string> profile_id;
  std::optional<std::string> calibrated_for_model;
  std::optional<std::string> ordinalization;
  std::optional<std::string> null_model;
  std::optional<std::string> profile_manifest_path;
  std::optional<std::string> profile_canonical_path;
  std::optional<std::string> profile_sha256;
  std::optional<std::uint64_t> profile_size_bytes;
};

struct AttestationShapeCheck {
  std::optional<std::string> predicate_type;
  std::optional<std::string> builder_id;
  bool subject_sha256_matched = false;
};

struct VerificationReport {
  bool ok = false;
  std::string checked_at;
  std::optional<std::string> manifest_id;
  ArtifactReport artifact;
  std::vector<AuxiliaryArtifactReport> auxiliary_artifacts;
  RowIdentityReport row_identity;
  EncoderDistortionReport encoder_distortion;
  CalibrationReport calibration;
  std::vector<AttestationShapeCheck> attestation_shape_checks;
  std::vector<ReportIssue> errors;
  std::vector<ReportIssue> warnings;
  std::vector<std::string> skipped_checks;

  // Appends an error with no bound (the final bound applies at the end of the run).
  void error(std::string_view code, std::string message) {
    errors.push_back(ReportIssue{std::string(code), std::move(message)});
  }
};

// "verification report issue count exceeded max_report_issues={max}".
[[nodiscard]] std::string issue_limit_message(std::uint64_t max_report_issues);

// Appends {code, message, line} while holding `issues` to `max` entries: a full list is cut to
// max - 1 entries and closed with one limit issue; once it holds a limit issue, new issues are
// dropped.
void push_report_issue_bounded(std::vector<ReportIssue>& issues, std::uint64_t max,
                               std::string_view code, std::string message,
                               std::optional<std::uint64_t> line = std::nullopt);

// The last step of every run: bounds `errors` to max_report_issues (ending with exactly one
// limit issue when it was cut) and sets `ok`.
void finalize_report(VerificationReport& report, std::uint64_t max_report_issues);

// True when some issue in the list has this code.
[[nodiscard]] bool has_issue_code(const std::vector<ReportIssue>& issues,
                                  std::string_view code) noexcept;

// JSON forms: every key present, absent values as null, keys in declaration order.
void write_json(json::Writer& w, const MetadataReport& metadata);
// How a report is written beyond its fixed form, for the package's own use.
struct ReportJsonOptions {
  // Each issue also carries "line": the 0-based row-map line it concerns, or null.
  bool issue_lines = false;
};

void write_json(json::Writer& w, const VerificationReport& report, ReportJsonOptions options = {});
[[nodiscard]] std::string to_compact_json(const VerificationReport& report,
                                          ReportJsonOptions options = {});

}  // namespace karnid::manifest
