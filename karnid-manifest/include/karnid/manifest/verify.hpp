// The verification driver: every check of a loaded manifest and the files it names, in a fixed
// order, collected into one report. A run never fails, and stops early only when the caller's
// cancellation hook asks it to.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "karnid/manifest/cancel.hpp"
#include "karnid/manifest/io.hpp"
#include "karnid/manifest/limits.hpp"
#include "karnid/manifest/paths.hpp"
#include "karnid/manifest/report.hpp"

namespace karnid::manifest {

// The message of "embedding_model_empty"; creation refuses a blank model with the same text.
inline constexpr std::string_view kEmbeddingModelEmptyMessage = "embedding.model must be non-empty";

struct VerifyOptions {
  // Replaces artifact.path for locating the index file; resolved like a manifest path.
  std::optional<std::string> index_override;
  ResourceLimits limits;
  bool allow_absolute_paths = false;
  bool allow_path_escape = false;
  bool allow_duplicate_db_ids = false;
  // Asked while the files are streamed; a stop ends the run (VerificationRun::cancelled).
  CancelHook cancel;
};

struct VerificationRun {
  VerificationReport report;
  VerificationPathCapture capture;
  // The hook stopped the run: report and capture are incomplete and say nothing about the files.
  bool cancelled = false;
};

// Runs every check and returns the finished report with the canonical paths it captured.
// No plain sibling exists: a caller that wants only the report drops the capture.
[[nodiscard]] VerificationRun verify_manifest_with_path_capture(const ManifestDocument& document,
                                                                VerifyOptions options);

// The codes of the two profile files' byte limits (creation names them among its limit codes).
inline constexpr std::string_view kCalibrationProfileTooLargeCode = "calibration_profile_too_large";
inline constexpr std::string_view kEncoderDistortionProfileTooLargeCode =
    "encoder_distortion_profile_too_large";

}  // namespace karnid::manifest
