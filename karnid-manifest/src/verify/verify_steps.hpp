// The steps of verification and the check routines they share. Private to the verify folder and
// its tests.
//
// The driver (driver.cpp) runs the manifest's own field checks and the steps below in a fixed
// order; each step is a unit named after what it checks (index_artifact.cpp,
// auxiliary_artifacts.cpp, row_identity.cpp, encoder_distortion.cpp, calibration.cpp). The
// routines they share live in shared_checks.cpp, beneath the driver and the steps alike, so that
// no step calls back into the driver.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "karnid/manifest/cancel.hpp"
#include "karnid/manifest/io.hpp"
#include "karnid/manifest/limits.hpp"
#include "karnid/manifest/paths.hpp"
#include "karnid/manifest/report.hpp"
#include "karnid/manifest/schema.hpp"
#include "karnid/manifest/verify.hpp"

namespace karnid::manifest {

// What every verification step works on.
struct VerifyContext {
  const ManifestDocument& document;
  const VerifyOptions& options;
  VerificationReport& report;
  VerificationPathCapture& capture;
  CancelCheck* cancel = nullptr;  // the run's count; steps pass it to every streaming read

  [[nodiscard]] const IndexManifest& manifest() const noexcept { return document.manifest; }
  [[nodiscard]] const std::string& base_dir() const noexcept { return document.base_dir; }
  [[nodiscard]] const ResourceLimits& limits() const noexcept { return options.limits; }
};

// ---- check routines of the driver and the steps (shared_checks.cpp) ----

// Adds {code, message} when `value` is blank (empty once White_Space is trimmed).
void require_non_blank(VerificationReport& report, std::string_view value, std::string_view code,
                       std::string_view message);
// The same for a value that may be absent; an absent value passes.
void require_non_blank_when_present(VerificationReport& report,
                                    const std::optional<std::string>& value, std::string_view code,
                                    std::string_view message);

// Appends {code, message} when `value` is present and is not "sha256:" + 64 lowercase hex.
void validate_optional_sha256_uri(std::string_view code, std::string_view message,
                                  const std::optional<std::string>& value,
                                  std::vector<ReportIssue>& errors);

// Checks a MetricSpec record, with `prefix` as both the code prefix and the field path.
void validate_metric_spec(std::string_view prefix, const MetricSpec& spec,
                          std::vector<ReportIssue>& errors);

// Appends {code, "{label} {field} does not match embedding.{field}"} unless both values are
// absent or both are present and equal byte for byte.
void compare_optional_encoder_identity(std::string_view code, std::string_view label,
                                       std::string_view field,
                                       const std::optional<std::string>& profile_value,
                                       const std::optional<std::string>& embedding_value,
                                       std::vector<ReportIssue>& errors);

// Where the findings about one profile file go.
struct ProfileFileTarget {
  std::string_view issue_prefix;    // "calibration_profile": codes are prefix + "_hash_failed", ...
  std::string_view too_large_code;  // the bounded read's code at the byte limit
  std::string_view label;           // "calibration profile": bounded-read label and message subject
  std::uint64_t limit;              // byte limit of the bounded read
  std::optional<std::string>& report_canonical_path;
  std::optional<std::string>& report_sha256;
  std::optional<std::uint64_t>& report_size_bytes;
  std::optional<std::string>& captured_path;
  ReadRole role;  // how the read is captured
};

// Resolves a profile file under the path policy, hashes it under its byte limit (regular files
// only) and compares digest and size with the declared ones, recording what it saw.
void check_profile_file(VerifyContext& ctx, std::string_view path, std::string_view declared_sha256,
                        std::uint64_t declared_size, const ProfileFileTarget& target);

// ---- the steps, in the order the driver runs them ----

// Declared row count against the artifact's vector count and the static row identity fields.
void check_row_identity_declaration(VerifyContext& ctx);
// Count limit, names, paths and digests of the auxiliary artifact entries.
void check_auxiliary_declarations(VerifyContext& ctx);
// Resolution, digest, size, header probe and comparison of the index file.
void verify_index_artifact(VerifyContext& ctx);
// Resolution and hashing of every auxiliary artifact file.
void verify_auxiliary_files(VerifyContext& ctx);
// Resolution and streaming validation of the row identity file.
void verify_row_identity_file(VerifyContext& ctx);
// The encoder distortion block and its profile file.
void verify_encoder_distortion(VerifyContext& ctx);
// The calibration block and its profile file.
void verify_calibration(VerifyContext& ctx);

}  // namespace karnid::manifest
