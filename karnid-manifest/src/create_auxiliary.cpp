#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "karnid/manifest/create.hpp"
#include "karnid/manifest/io.hpp"
#include "karnid/manifest/text.hpp"

namespace karnid::manifest {
namespace {

constexpr std::string_view kLabel = "auxiliary artifact";
constexpr std::string_view kTooLargeCode = "auxiliary_artifact_file_too_large";
constexpr std::string_view kCountLimitCode = "auxiliary_artifact_count_limit_exceeded";
constexpr std::string_view kEmptyNameMessage = "auxiliary artifact name must be non-empty";

std::string count_limit_message(std::size_t count, std::uint64_t max) {
  return "auxiliary_artifacts has " + decimal(count) +
         " entries, exceeding max_auxiliary_artifacts=" + decimal(max);
}

std::string duplicate_name_message(std::string_view name) {
  return "auxiliary artifact name " + quote_debug(name) + " is duplicated";
}

}  // namespace

Result<std::vector<AuxiliaryArtifact>> create_auxiliary_artifacts(
    const std::vector<CreateAuxiliaryArtifact>& items, const std::string& manifest_dir,
    const CreateManifestOptions& options) {
  const ResourceLimits& limits = options.limits;
  if (items.size() > limits.max_auxiliary_artifacts) {
    return std::unexpected(
        ManifestError::coded(std::string(kCountLimitCode),
                             count_limit_message(items.size(), limits.max_auxiliary_artifacts)));
  }
  std::vector<AuxiliaryArtifact> entries;
  entries.reserve(items.size());
  std::set<std::string, std::less<>> names;
  for (const CreateAuxiliaryArtifact& item : items) {
    const std::string_view name = trim_unicode(item.name);
    if (name.empty())
      return std::unexpected(ManifestError::invalid(std::string(kEmptyNameMessage)));
    if (!names.emplace(name).second) {
      return std::unexpected(ManifestError::invalid(duplicate_name_message(name)));
    }
    // Hashed before the path policy is applied: a refused path has still been read once, and a
    // file that cannot be read is reported as such rather than as a policy problem.
    auto digest =
        sha256_file_bounded(item.path, limits.max_auxiliary_artifact_bytes, kTooLargeCode, kLabel);
    if (!digest) return std::unexpected(std::move(digest.error()));
    auto path = manifest_path_for_create(item.path, manifest_dir, options.allow_absolute_paths,
                                         options.allow_path_escape, kLabel);
    if (!path) return std::unexpected(std::move(path.error()));
    entries.push_back(AuxiliaryArtifact{std::string(name), std::move(*path),
                                        std::move(digest->sha256), digest->size_bytes,
                                        item.required});
  }
  return entries;
}

}  // namespace karnid::manifest
