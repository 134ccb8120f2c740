#include "karnid/manifest/paths.hpp"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>

#include "karnid/manifest/text.hpp"

namespace karnid::manifest {
namespace {

struct FreeDeleter {
  void operator()(char* p) const noexcept { std::free(p); }
};

std::string issue_code(std::string_view prefix, std::string_view suffix) {
  std::string code(prefix);
  code += suffix;
  return code;
}

}  // namespace

Result<std::string> canonicalize(const std::string& path) {
  if (path.find('\0') != std::string::npos) return std::unexpected(ManifestError::os(EINVAL));
  // An empty path names nothing, as the kernel says for every other call.
  if (path.empty()) return std::unexpected(ManifestError::os(ENOENT));
  std::unique_ptr<char, FreeDeleter> resolved(::realpath(path.c_str(), nullptr));
  if (!resolved) return std::unexpected(ManifestError::os(errno));
  return std::string(resolved.get());
}

bool path_is_within(std::string_view canonical, std::string_view canonical_base) noexcept {
  if (canonical_base == "/") return canonical.starts_with('/');
  if (!canonical.starts_with(canonical_base)) return false;
  return canonical.size() == canonical_base.size() || canonical[canonical_base.size()] == '/';
}

bool path_escapes_lexically(std::string_view path) noexcept {
  std::size_t depth = 0;
  std::size_t i = 0;
  while (i < path.size()) {
    while (i < path.size() && path[i] == '/') ++i;
    std::size_t j = i;
    while (j < path.size() && path[j] != '/') ++j;
    const std::string_view component = path.substr(i, j - i);
    i = j;
    if (component.empty() || component == ".") continue;
    if (component == "..") {
      if (depth == 0) return true;
      --depth;
    } else {
      ++depth;
    }
  }
  return false;
}

std::string join_path(std::string_view base, std::string_view path) {
  if (is_absolute_path(path)) return std::string(path);
  std::string joined(base);
  if (!joined.empty() && joined.back() != '/') joined += '/';
  joined += path;
  return joined;
}

std::optional<std::string> resolve_existing_path(std::string_view path, std::string_view base_dir,
                                                 bool allow_absolute_paths, bool allow_path_escape,
                                                 std::string_view issue_prefix,
                                                 std::vector<ReportIssue>& errors) {
  const bool absolute = is_absolute_path(path);
  if (absolute && !allow_absolute_paths) {
    errors.push_back({issue_code(issue_prefix, "_absolute_path_rejected"),
                      "absolute path " + display_path(path) + " is rejected by default"});
    return std::nullopt;
  }
  auto canonical_base = canonicalize(std::string(base_dir));
  if (!canonical_base) {
    errors.push_back({issue_code(issue_prefix, "_base_dir_unavailable"),
                      "failed to canonicalize base_dir " + display_path(base_dir) + ": " +
                          canonical_base.error().display()});
    return std::nullopt;
  }
  if (!absolute && !allow_path_escape && path_escapes_lexically(path)) {
    errors.push_back({issue_code(issue_prefix, "_path_escape_rejected"),
                      "relative path " + display_path(path) + " escapes the manifest base"});
    return std::nullopt;
  }
  const std::string candidate = path.empty() ? std::string(base_dir) : join_path(base_dir, path);
  auto canonical = canonicalize(candidate);
  if (!canonical) {
    errors.push_back(
        {issue_code(issue_prefix, "_path_unavailable"),
         "failed to canonicalize " + display_path(candidate) + ": " + canonical.error().display()});
    return std::nullopt;
  }
  if (!allow_path_escape && !path_is_within(*canonical, *canonical_base)) {
    errors.push_back({issue_code(issue_prefix, "_path_escape_rejected"),
                      "canonical path " + display_path(*canonical) + " is outside manifest base " +
                          display_path(*canonical_base)});
    return std::nullopt;
  }
  return std::move(*canonical);
}

}  // namespace karnid::manifest
