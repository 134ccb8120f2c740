#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "karnid/manifest/create.hpp"
#include "karnid/manifest/paths.hpp"
#include "karnid/manifest/text.hpp"

namespace karnid::manifest {
namespace {

struct Component {
  enum class Kind : std::uint8_t { Root, CurDir, ParentDir, Normal };
  Kind kind;
  std::string_view name;  // the bytes of a Normal component
  friend bool operator==(const Component&, const Component&) = default;
};

// POSIX component splitting: a leading "/" is the root, repeated separators collapse, and "."
// survives only as the first component of a relative path.
std::vector<Component> split_components(std::string_view path) {
  std::vector<Component> out;
  std::size_t i = 0;
  if (is_absolute_path(path)) {
    out.push_back({Component::Kind::Root, {}});
    i = 1;
  }
  bool first = out.empty();
  while (i < path.size()) {
    while (i < path.size() && path[i] == '/') ++i;
    if (i >= path.size()) break;
    std::size_t j = i;
    while (j < path.size() && path[j] != '/') ++j;
    const std::string_view name = path.substr(i, j - i);
    if (name == ".") {
      if (first) out.push_back({Component::Kind::CurDir, {}});
    } else if (name == "..") {
      out.push_back({Component::Kind::ParentDir, {}});
    } else {
      out.push_back({Component::Kind::Normal, name});
    }
    first = false;
    i = j;
  }
  return out;
}

// Appends one component to a relative path being built with "/" separators.
void push_relative(std::string& relative, std::string_view name) {
  if (!relative.empty()) relative += '/';
  relative += name;
}

std::string outside_directory_message(std::string_view label, std::string_view path,
                                      std::string_view dir) {
  std::string message(label);
  message += " path ";
  message += display_path(path);
  message += " is outside manifest directory ";
  message += display_path(dir);
  message +=
      "; use --allow-path-escape to create a manifest that requires non-default verification "
      "policy";
  return message;
}

std::string no_relative_form_message(std::string_view label, std::string_view path,
                                     std::string_view dir) {
  std::string message(label);
  message += " path ";
  message += display_path(path);
  message += " cannot be expressed relative to manifest directory ";
  message += display_path(dir);
  message += "; use --allow-absolute-paths with --allow-path-escape";
  return message;
}

std::string not_utf8_message(std::string_view label, std::string_view path) {
  std::string message(label);
  message += " path ";
  message += display_path(path);
  message += " is not valid UTF-8 and cannot be written into a manifest";
  return message;
}

// A manifest is JSON text: bytes that are not UTF-8 would be written as U+FFFD, naming a file
// that does not exist. Only the text that is written matters; the manifest directory's own
// spelling never reaches the manifest.
Result<std::string> spelled(std::string_view written, std::string_view canonical_path,
                            std::string_view label) {
  if (!is_valid_utf8(written)) {
    return std::unexpected(ManifestError::invalid(not_utf8_message(label, canonical_path)));
  }
  return path_to_manifest_string(written);
}

}  // namespace

std::string path_to_manifest_string(std::string_view path) {
  if (is_absolute_path(path)) {
    std::string text = display_path(path);
    for (char& c : text) {
      if (c == '\\') c = '/';
    }
    return text;
  }
  std::string text;
  bool rendered = false;
  for (const Component& c : split_components(path)) {
    std::string_view piece;
    switch (c.kind) {
      case Component::Kind::Root:
        continue;
      case Component::Kind::CurDir:
        piece = ".";
        break;
      case Component::Kind::ParentDir:
        piece = "..";
        break;
      case Component::Kind::Normal:
        piece = c.name;
        break;
    }
    if (rendered) text += '/';
    text += display_path(piece);
    rendered = true;
  }
  if (!rendered) return ".";
  return text;
}

Result<std::string> manifest_path_from_canonical(std::string_view canonical_path,
                                                 std::string_view canonical_dir,
                                                 bool allow_absolute_paths, bool allow_path_escape,
                                                 std::string_view label) {
  const std::vector<Component> file = split_components(canonical_path);
  const std::vector<Component> dir = split_components(canonical_dir);

  std::size_t common = 0;
  while (common < file.size() && common < dir.size() && file[common] == dir[common]) ++common;

  std::string relative;
  if (common == dir.size()) {
    // Inside the directory (or the directory itself): the remaining components as they are.
    for (std::size_t i = common; i < file.size(); ++i) {
      const Component& c = file[i];
      push_relative(relative, c.kind == Component::Kind::Normal      ? c.name
                              : c.kind == Component::Kind::ParentDir ? std::string_view("..")
                                                                     : std::string_view("."));
    }
    return spelled(relative, canonical_path, label);
  }
  if (!allow_path_escape) {
    return std::unexpected(
        ManifestError::invalid(outside_directory_message(label, canonical_path, canonical_dir)));
  }

  bool expressible = common > 0;
  if (expressible) {
    for (std::size_t i = common; i < dir.size(); ++i) {
      if (dir[i].kind == Component::Kind::Normal) push_relative(relative, "..");
    }
    for (std::size_t i = common; i < file.size() && expressible; ++i) {
      switch (file[i].kind) {
        case Component::Kind::CurDir:
          break;
        case Component::Kind::ParentDir:
          push_relative(relative, "..");
          break;
        case Component::Kind::Normal:
          push_relative(relative, file[i].name);
          break;
        case Component::Kind::Root:
          expressible = false;
          break;
      }
    }
  }
  if (expressible) return spelled(relative, canonical_path, label);
  if (allow_absolute_paths) return spelled(canonical_path, canonical_path, label);
  return std::unexpected(
      ManifestError::invalid(no_relative_form_message(label, canonical_path, canonical_dir)));
}

Result<std::string> manifest_path_for_create(const std::string& path,
                                             const std::string& manifest_dir,
                                             bool allow_absolute_paths, bool allow_path_escape,
                                             std::string_view label) {
  auto canonical_path = canonicalize(path);
  if (!canonical_path) return std::unexpected(std::move(canonical_path.error()));
  auto canonical_dir = canonicalize(manifest_dir);
  if (!canonical_dir) return std::unexpected(std::move(canonical_dir.error()));
  return manifest_path_from_canonical(*canonical_path, *canonical_dir, allow_absolute_paths,
                                      allow_path_escape, label);
}

}  // namespace karnid::manifest
