// Auxiliary artifacts, named side files pinned by path, digest and size: the texts that
// verification and creation share, and the report entry of verification.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "karnid/manifest/report.hpp"
#include "karnid/manifest/schema.hpp"

namespace karnid::manifest {

// What verification and creation say alike about auxiliary artifacts.
inline constexpr std::string_view kAuxiliaryCountLimitCode =
    "auxiliary_artifact_count_limit_exceeded";
inline constexpr std::string_view kAuxiliaryFileTooLargeCode = "auxiliary_artifact_file_too_large";
inline constexpr std::string_view kAuxiliaryLabel = "auxiliary artifact";
inline constexpr std::string_view kAuxiliaryNameEmptyMessage =
    "auxiliary artifact name must be non-empty";
// "auxiliary_artifacts has {count} entries, exceeding max_auxiliary_artifacts={max}".
[[nodiscard]] std::string auxiliary_count_limit_message(std::size_t count, std::uint64_t max);
// "auxiliary artifact name {name} is duplicated", the trimmed name quoted.
[[nodiscard]] std::string auxiliary_name_duplicate_message(std::string_view trimmed_name);

// The report entry of a manifest entry before any file was looked at: name, paths as written,
// expected digest and size, `required`, state "failed" and nothing observed. `resolved_path` is
// the written path (absolute) or `base_dir` joined with it, in display form, computed without
// touching the file system; absent when the path is blank.
[[nodiscard]] AuxiliaryArtifactReport auxiliary_artifact_report_entry(
    const AuxiliaryArtifact& artifact, std::string_view base_dir);

}  // namespace karnid::manifest
