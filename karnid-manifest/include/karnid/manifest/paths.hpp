// Path policy of verification: turning a path written in a manifest into a canonical path on
// the local file system, refusing absolute paths and escapes from the manifest's directory
// unless the caller allows them.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "karnid/manifest/error.hpp"
#include "karnid/manifest/report.hpp"

namespace karnid::manifest {

// Canonical paths captured during one verification run, as raw OS bytes, so that a loader opens
// exactly the files that were hashed.
struct VerificationPathCapture {
  std::optional<std::string> artifact_path;
  std::optional<std::string> row_identity_path;
  // One entry per entry of the report's auxiliary_artifacts, in report order.
  std::vector<std::optional<std::string>> auxiliary_artifact_paths;
  std::optional<std::string> calibration_profile_path;
  std::optional<std::string> encoder_distortion_profile_path;
};

// Full resolution of a path (every symbolic link, "." and ".." resolved; the target must exist).
// A path holding a NUL byte fails with EINVAL.
[[nodiscard]] Result<std::string> canonicalize(const std::string& path);

// True when `canonical` equals `canonical_base` or lies below it, compared by whole components.
[[nodiscard]] bool path_is_within(std::string_view canonical,
                                  std::string_view canonical_base) noexcept;

// The lexical escape test: walks the components of a relative path ("." ignored, ".." lowers
// the depth) and reports whether a ".." would climb above the starting directory.
[[nodiscard]] bool path_escapes_lexically(std::string_view relative_path) noexcept;

// `path` unchanged when absolute, else `base` joined with it by one "/".
[[nodiscard]] std::string join_path(std::string_view base, std::string_view path);

[[nodiscard]] inline bool is_absolute_path(std::string_view path) noexcept {
  return !path.empty() && path.front() == '/';
}

// Resolves `path` (as written in the manifest) against `base_dir` under the policy. On refusal
// or failure appends one issue whose code starts with `issue_prefix` ("{prefix}_absolute_path_
// rejected", "_base_dir_unavailable", "_path_escape_rejected", "_path_unavailable") and returns
// nothing; otherwise returns the canonical path.
[[nodiscard]] std::optional<std::string> resolve_existing_path(
    std::string_view path, std::string_view base_dir, bool allow_absolute_paths,
    bool allow_path_escape, std::string_view issue_prefix, std::vector<ReportIssue>& errors);

}  // namespace karnid::manifest
