// Auxiliary artifacts at verification: named side files pinned by path, digest and size.
#pragma once

#include <string_view>

#include "karnid/manifest/report.hpp"
#include "karnid/manifest/schema.hpp"

namespace karnid::manifest {

// The report entry of a manifest entry before any file was looked at: name, paths as written,
// expected digest and size, `required`, state "failed" and nothing observed. `resolved_path` is
// the written path (absolute) or `base_dir` joined with it, in display form, computed without
// touching the file system; absent when the path is blank.
[[nodiscard]] AuxiliaryArtifactReport auxiliary_artifact_report_entry(
    const AuxiliaryArtifact& artifact, std::string_view base_dir);

}  // namespace karnid::manifest
