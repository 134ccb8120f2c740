#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "karnid/manifest/auxiliary.hpp"
#include "karnid/manifest/create.hpp"
#include "karnid/manifest/io.hpp"
#include "karnid/manifest/text.hpp"

namespace karnid::manifest {

Result<std::vector<AuxiliaryArtifact>> create_auxiliary_artifacts(
    const std::vector<CreateAuxiliaryArtifact>& items, const std::string& manifest_dir,
    const CreateManifestOptions& options, CancelCheck* cancel) {
  const ResourceLimits& limits = options.limits;
  if (items.size() > limits.max_auxiliary_artifacts) {
    return std::unexpected(ManifestError::coded(
        std::string(kAuxiliaryCountLimitCode),
        auxiliary_count_limit_message(items.size(), limits.max_auxiliary_artifacts)));
  }
  std::vector<AuxiliaryArtifact> entries;
  entries.reserve(items.size());
  std::set<std::string, std::less<>> names;
  for (const CreateAuxiliaryArtifact& item : items) {
    const std::string_view name = trim_unicode(item.name);
    if (name.empty())
      return std::unexpected(ManifestError::invalid(std::string(kAuxiliaryNameEmptyMessage)));
    if (!names.emplace(name).second) {
      return std::unexpected(ManifestError::invalid(auxiliary_name_duplicate_message(name)));
    }
    // Hashed before the path policy is applied: a refused path has still been read once, and a
    // file that cannot be read is reported as such rather than as a policy problem.
    auto digest = sha256_file_bounded(item.path, limits.max_auxiliary_artifact_bytes,
                                      kAuxiliaryFileTooLargeCode, kAuxiliaryLabel,
                                      FileKindPolicy::AnyReadable, nullptr, cancel);
    if (!digest) return std::unexpected(std::move(digest.error()));
    auto path = manifest_path_for_create(item.path, manifest_dir, options.allow_absolute_paths,
                                         options.allow_path_escape, kAuxiliaryLabel);
    if (!path) return std::unexpected(std::move(path.error()));
    entries.push_back(AuxiliaryArtifact{std::string(name), std::move(*path),
                                        std::move(digest->sha256), digest->size_bytes,
                                        item.required});
  }
  return entries;
}

}  // namespace karnid::manifest
