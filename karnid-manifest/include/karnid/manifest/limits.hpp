// The resource limits that every reading operation honours.
//
// Each limit has one name in C++, its keyword: the field max_row_map_rows, its default
// kDefaultMaxRowMapRows. The module's constants and some messages spell a few of them otherwise
// (DEFAULT_MAX_ROW_IDENTITY_ROWS, "max_row_identity_rows="); docs/limits.md maps all ten.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace karnid::manifest {

inline constexpr std::uint64_t kDefaultMaxManifestBytes = 1048576;
inline constexpr std::uint64_t kDefaultMaxRowMapLineBytes = 65536;
inline constexpr std::uint64_t kDefaultMaxRowMapRows = 10000000;
inline constexpr std::uint64_t kDefaultMaxRowMapTrackedIdBytes = 67108864;
inline constexpr std::uint64_t kDefaultMaxAuxiliaryArtifacts = 1024;
inline constexpr std::uint64_t kDefaultMaxAuxiliaryArtifactBytes = 67108864;
inline constexpr std::uint64_t kDefaultMaxCalibrationProfileBytes = 67108864;
inline constexpr std::uint64_t kDefaultMaxEncoderDistortionProfileBytes = 67108864;
inline constexpr std::uint64_t kDefaultMaxReportIssues = 1024;
inline constexpr std::uint64_t kDefaultMaxCachedReportBytes = 4194304;

// Ten unsigned 64-bit limits, built once per call and passed by value. Zero is a legal value;
// the unit that enforces a limit defines what zero means.
struct ResourceLimits {
  std::uint64_t max_manifest_bytes = kDefaultMaxManifestBytes;
  std::uint64_t max_row_map_line_bytes = kDefaultMaxRowMapLineBytes;
  std::uint64_t max_row_map_rows = kDefaultMaxRowMapRows;
  std::uint64_t max_row_map_tracked_id_bytes = kDefaultMaxRowMapTrackedIdBytes;
  std::uint64_t max_auxiliary_artifacts = kDefaultMaxAuxiliaryArtifacts;
  std::uint64_t max_auxiliary_artifact_bytes = kDefaultMaxAuxiliaryArtifactBytes;
  std::uint64_t max_calibration_profile_bytes = kDefaultMaxCalibrationProfileBytes;
  std::uint64_t max_encoder_distortion_profile_bytes = kDefaultMaxEncoderDistortionProfileBytes;
  std::uint64_t max_report_issues = kDefaultMaxReportIssues;
  // Bounds nothing: no operation caches a report. It is kept because callers may pass it like
  // every other limit, so it is accepted, converted, checked for range and reported by
  // default_resource_limits, and a caller that sets it gets the same results as one that does not.
  std::uint64_t max_cached_report_bytes = kDefaultMaxCachedReportBytes;
};

// The limits in their fixed order: keyword names, record fields and the key order of the
// defaults dict all follow this table.
struct LimitField {
  std::string_view name;
  std::uint64_t ResourceLimits::*field;
};

inline constexpr std::array<LimitField, 10> kLimitFields{{
    {"max_manifest_bytes", &ResourceLimits::max_manifest_bytes},
    {"max_row_map_line_bytes", &ResourceLimits::max_row_map_line_bytes},
    {"max_row_map_rows", &ResourceLimits::max_row_map_rows},
    {"max_row_map_tracked_id_bytes", &ResourceLimits::max_row_map_tracked_id_bytes},
    {"max_auxiliary_artifacts", &ResourceLimits::max_auxiliary_artifacts},
    {"max_auxiliary_artifact_bytes", &ResourceLimits::max_auxiliary_artifact_bytes},
    {"max_calibration_profile_bytes", &ResourceLimits::max_calibration_profile_bytes},
    {"max_encoder_distortion_profile_bytes", &ResourceLimits::max_encoder_distortion_profile_bytes},
    {"max_report_issues", &ResourceLimits::max_report_issues},
    {"max_cached_report_bytes", &ResourceLimits::max_cached_report_bytes},
}};

}  // namespace karnid::manifest
