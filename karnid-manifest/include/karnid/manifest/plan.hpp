// The verified load plan: canonical paths of exactly the files that verification checked, the
// probed index metadata and the complete report; or a refusal.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "karnid/manifest/error.hpp"
#include "karnid/manifest/verify.hpp"

namespace karnid::manifest {

struct VerifiedRowIdentityPlan {
  std::string kind;                 // "jsonl" or "row_id_identity"
  std::optional<std::string> path;  // canonical row identity path, jsonl only
  std::uint64_t row_count = 0;
  std::optional<std::uint64_t> validated_rows;
  std::optional<std::string> sha256;
};

struct VerifiedAuxiliaryArtifactPlan {
  std::string name;
  std::optional<std::string> path;  // canonical path for "verified", absent for "optional_absent"
  bool required = true;
  AuxiliaryArtifactState state = AuxiliaryArtifactState::Verified;
  std::optional<std::string> reason_code;
  std::optional<std::string> sha256;
  std::optional<std::uint64_t> size_bytes;
};

struct VerifiedLoadPlan {
  std::optional<std::string> manifest_path;  // as the caller gave it
  std::string artifact_path;                 // canonical
  MetadataReport metadata;
  VerifiedRowIdentityPlan row_identity;
  std::vector<VerifiedAuxiliaryArtifactPlan> auxiliary_artifacts;
  VerificationReport report;
};

struct VerifiedLoadPlanError {
  enum class Kind : std::uint8_t { ManifestFailure, VerificationFailed, InvalidReport, Cancelled };
  Kind kind;
  // ManifestFailure: the loading error; Cancelled: ManifestError::cancelled(); the other kinds: an
  // Invalid refusal with the message (VerificationFailed carries every error issue of the report).
  ManifestError error;
};

// "manifest verification failed" followed by ": " and up to three issue codes (", ..." when
// there are more).
[[nodiscard]] std::string verification_failed_message(const VerificationReport& report);

// The planning step on a finished run: refuses with InvalidReport when the report and the
// capture do not hold what a loader needs.
[[nodiscard]] std::expected<VerifiedLoadPlan, VerifiedLoadPlanError> build_verified_load_plan(
    const ManifestDocument& document, VerificationRun run);

// Loads, verifies and plans.
[[nodiscard]] std::expected<VerifiedLoadPlan, VerifiedLoadPlanError> verify_for_load(
    std::string manifest_path, VerifyOptions options);

// What one verification read: the manifest's bytes that were parsed and every file read to its
// end, each as the run found it.
struct VerificationReads {
  std::string manifest_path;  // as the caller gave it
  FileRead manifest;
  std::vector<CapturedRead> files;
};

// verify_for_load that also fills `reads` when the manifest loaded (also when verification then
// refuses, but not when the cancellation hook stopped the run), so that a caller can hold the plan
// to the exact bytes and files that were checked.
[[nodiscard]] std::expected<VerifiedLoadPlan, VerifiedLoadPlanError>
verify_for_load_recording_reads(std::string manifest_path, VerifyOptions options,
                                VerificationReads& reads);

// The plan's JSON form with every path as text (path_to_string), keys in their fixed order.
[[nodiscard]] std::string to_compact_json(const VerifiedLoadPlan& plan,
                                          ReportJsonOptions report_options = {});

}  // namespace karnid::manifest
