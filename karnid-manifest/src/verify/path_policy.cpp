#include "karnid/manifest/paths.hpp"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>

#include "karnid/manifest/text.hpp"

namespace karnid::manifest {

std::string_view read_role_name(ReadRole role) noexcept {
  switch (role) {
    case ReadRole::Artifact:
      return "artifact";
    case ReadRole::RowIdentity:
      return "row_identity";
    case ReadRole::AuxiliaryArtifact:
      return "auxiliary_artifact";
    case ReadRole::CalibrationProfile:
      return "calibration_profile";
    case ReadRole::EncoderDistortionProfile:
      return "encoder_distortion_profile";
  }
  return "unknown";
}
namespace {

struct FreeDeleter {
  void operator()(char* p) const noexcept { std::free(p); }
};

std::string issue_code(std::string_view prefix, std::string_view suffix) {
  std::string code(prefix);
  code += suffix;
  return code;
}

// The issue of a refused path, its code starting with the caller's prefix.
ReportIssue refusal_issue(std::string_view issue_prefix, std::string_view path,
                          std::string_view base_dir, const PathRefusal& refusal) {
  switch (refusal.step) {
    case PathRefusal::Step::AbsolutePath:
      return {issue_code(issue_prefix, "_absolute_path_rejected"),
              "absolute path " + display_path(path) + " is rejected by default"};
    case PathRefusal::Step::BaseDirUnavailable:
      return {issue_code(issue_prefix, "_base_dir_unavailable"),
              "failed to canonicalize base_dir " + display_path(base_dir) + ": " +
                  refusal.error->display()};
    case PathRefusal::Step::EscapesLexically:
      return {issue_code(issue_prefix, "_path_escape_rejected"),
              "relative path " + display_path(path) + " escapes the manifest base"};
    case PathRefusal::Step::Unavailable:
      return {issue_code(issue_prefix, "_path_unavailable"), "failed to canonicalize " +
                                                                 display_path(refusal.candidate) +
                                                                 ": " + refusal.error->display()};
    case PathRefusal::Step::OutsideBase:
      break;
  }
  return {issue_code(issue_prefix, "_path_escape_rejected"),
          "canonical path " + display_path(refusal.canonical) + " is outside manifest base " +
              display_path(refusal.canonical_base)};
}

}  // namespace

Result<std::string> canonicalize(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    return std::unexpected(ManifestError::os(EINVAL).with_path(path));
  }
  // An empty path names nothing, as the kernel says for every other call.
  if (path.empty()) return std::unexpected(ManifestError::os(ENOENT).with_path(path));
  std::unique_ptr<char, FreeDeleter> resolved(::realpath(path.c_str(), nullptr));
  if (!resolved) return std::unexpected(ManifestError::os(errno).with_path(path));
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

Result<const std::string*> CanonicalBase::get() {
  if (!base_dir_) return nullptr;
  if (!canonical_) canonical_ = canonicalize(*base_dir_);
  if (!*canonical_) return std::unexpected(canonical_->error());
  return &**canonical_;
}

std::expected<std::string, PathRefusal> resolve_under_policy(std::string_view path,
                                                             std::string_view base_dir,
                                                             PathPolicy policy,
                                                             CanonicalBase& base) {
  using Step = PathRefusal::Step;
  const bool absolute = is_absolute_path(path);
  if (absolute && !policy.allow_absolute_paths) {
    return std::unexpected(PathRefusal{Step::AbsolutePath, {}, {}, {}, {}});
  }
  auto canonical_base = base.get();
  if (!canonical_base) {
    return std::unexpected(
        PathRefusal{Step::BaseDirUnavailable, std::move(canonical_base.error()), {}, {}, {}});
  }
  if (!absolute && !policy.allow_path_escape && path_escapes_lexically(path)) {
    return std::unexpected(PathRefusal{Step::EscapesLexically, {}, {}, {}, {}});
  }
  std::string candidate = path.empty() ? std::string(base_dir) : join_path(base_dir, path);
  auto canonical = canonicalize(candidate);
  if (!canonical) {
    return std::unexpected(
        PathRefusal{Step::Unavailable, std::move(canonical.error()), std::move(candidate), {}, {}});
  }
  const std::string* within = *canonical_base;
  if (!policy.allow_path_escape && within != nullptr && !path_is_within(*canonical, *within)) {
    return std::unexpected(PathRefusal{Step::OutsideBase, {}, {}, std::move(*canonical), *within});
  }
  return std::move(*canonical);
}

std::optional<std::string> resolve_existing_path(std::string_view path, std::string_view base_dir,
                                                 bool allow_absolute_paths, bool allow_path_escape,
                                                 std::string_view issue_prefix,
                                                 std::vector<ReportIssue>& errors) {
  // The base directory is canonicalised for every path, also when escapes are allowed: a
  // manifest whose directory is gone is reported as such.
  CanonicalBase base{std::string(base_dir)};
  auto resolved =
      resolve_under_policy(path, base_dir, {allow_absolute_paths, allow_path_escape}, base);
  if (resolved) return std::move(*resolved);
  errors.push_back(refusal_issue(issue_prefix, path, base_dir, resolved.error()));
  return std::nullopt;
}

}  // namespace karnid::manifest
