// Path policy of verification: turning a path written in a manifest into a canonical path on
// the local file system, refusing absolute paths and escapes from the manifest's directory
// unless the caller allows them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "karnid/manifest/error.hpp"
#include "karnid/manifest/io.hpp"
#include "karnid/manifest/report.hpp"

namespace karnid::manifest {

// Which file of a manifest a captured read is of.
enum class ReadRole : std::uint8_t {
  Artifact,
  RowIdentity,
  AuxiliaryArtifact,
  CalibrationProfile,
  EncoderDistortionProfile,
};

// The name a role is shown under: "artifact", "row_identity", "auxiliary_artifact",
// "calibration_profile", "encoder_distortion_profile".
[[nodiscard]] std::string_view read_role_name(ReadRole role) noexcept;

// One file a verification run read to its end, at its canonical path.
struct CapturedRead {
  ReadRole role;
  std::optional<std::string> name;  // the auxiliary artifact's name
  std::string path;                 // canonical, OS bytes
  FileRead read;
};

// Canonical paths captured during one verification run, as raw OS bytes, so that a loader opens
// exactly the files that were hashed; and what each file was while it was read, so that a loader
// holding a descriptor can tell whether it is on the very file that was hashed.
struct VerificationPathCapture {
  // Every file read to its end, in the order the steps read them.
  std::vector<CapturedRead> reads;
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

// The two switches of the path policy; both false by default.
struct PathPolicy {
  bool allow_absolute_paths = false;
  bool allow_path_escape = false;
};

// The canonical form of a manifest's base directory, taken when a resolution first asks for it
// and kept for every later one, or, for a caller that checks no containment, never taken.
class CanonicalBase {
 public:
  // Canonicalises `base_dir` on first use.
  explicit CanonicalBase(std::string base_dir) : base_dir_(std::move(base_dir)) {}
  // Never canonicalises anything; resolutions through it check no containment.
  [[nodiscard]] static CanonicalBase unchecked() { return CanonicalBase(); }

  // The canonical base directory (nullptr when unchecked), or why canonicalising it failed.
  [[nodiscard]] Result<const std::string*> get();

 private:
  CanonicalBase() = default;
  std::optional<std::string> base_dir_;  // absent when unchecked
  std::optional<Result<std::string>> canonical_;
};

// Why resolve_under_policy refused a path, for the caller to put into words.
struct PathRefusal {
  enum class Step : std::uint8_t {
    AbsolutePath,        // absolute while absolute paths are not allowed
    BaseDirUnavailable,  // `error` says why the base directory could not be canonicalised
    EscapesLexically,    // a ".." climbs above the base directory
    Unavailable,         // `candidate` could not be canonicalised, for the reason in `error`
    OutsideBase,         // `canonical` lies outside `canonical_base`
  };
  Step step;
  std::optional<ManifestError> error;
  std::string candidate;
  std::string canonical;
  std::string canonical_base;
};

// The resolution every file a manifest names goes through, step by step: the absolute test, the
// canonical base (from `base`), the lexical escape test of a relative path, the candidate (an
// absolute path as it is, a relative one joined to the unchanged `base_dir`, an empty one the
// base directory itself), its canonical form, and containment in the canonical base unless
// escapes are allowed or `base` is unchecked. Returns the canonical path or the first refusal.
[[nodiscard]] std::expected<std::string, PathRefusal> resolve_under_policy(
    std::string_view path, std::string_view base_dir, PathPolicy policy, CanonicalBase& base);

// Resolves `path` (as written in the manifest) against `base_dir` under the policy. On refusal
// or failure appends one issue whose code starts with `issue_prefix` ("{prefix}_absolute_path_
// rejected", "_base_dir_unavailable", "_path_escape_rejected", "_path_unavailable") and returns
// nothing; otherwise returns the canonical path.
[[nodiscard]] std::optional<std::string> resolve_existing_path(
    std::string_view path, std::string_view base_dir, bool allow_absolute_paths,
    bool allow_path_escape, std::string_view issue_prefix, std::vector<ReportIssue>& errors);

}  // namespace karnid::manifest
