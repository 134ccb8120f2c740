// Path text. The display form, the manifest path text, the lexical escape walk, the manifest base
// directory and the containment test are pure functions of bytes; each is checked against a
// small model written here, and the manifest text of a canonical path relative to a directory
// must lead back to that path.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "karnid/manifest/create.hpp"
#include "karnid/manifest/io.hpp"
#include "karnid/manifest/paths.hpp"
#include "karnid/manifest/text.hpp"

namespace {

namespace km = karnid::manifest;
using karnid::fuzz::is_utf8;

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

std::vector<std::string_view> split(std::string_view path) {
  std::vector<std::string_view> parts;
  std::size_t i = 0;
  while (i <= path.size()) {
    const std::size_t slash = path.find('/', i);
    const std::size_t end = slash == std::string_view::npos ? path.size() : slash;
    if (end > i) parts.push_back(path.substr(i, end - i));
    i = end + 1;
  }
  return parts;
}

std::string join(const std::vector<std::string_view>& parts, bool absolute) {
  std::string out = absolute ? "/" : "";
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i != 0) out += '/';
    out += parts[i];
  }
  return out;
}

bool model_escapes(std::string_view relative) {
  long depth = 0;
  for (const std::string_view part : split(relative)) {
    if (part == ".") continue;
    if (part == "..") {
      if (depth == 0) return true;
      --depth;
    } else {
      ++depth;
    }
  }
  return false;
}

// Relative manifest text: non-empty components, "." only as the first, joined by "/".
std::string model_manifest_text(std::string_view displayed) {
  const std::vector<std::string_view> parts = split(displayed);
  std::vector<std::string_view> kept;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (parts[i] == "." && i != 0) continue;
    kept.push_back(parts[i]);
  }
  return kept.empty() ? "." : join(kept, false);
}

// A path as realpath returns it: absolute, no empty, "." or ".." component, no trailing "/".
bool looks_canonical(std::string_view path) {
  if (!path.starts_with('/')) return false;
  if (path == "/") return true;
  if (path.ends_with('/') || path.find("//") != std::string_view::npos) return false;
  for (const std::string_view part : split(path)) {
    if (part == "." || part == ".." || part.find('\0') != std::string_view::npos) return false;
  }
  return true;
}

bool model_within(std::string_view canonical, std::string_view base) {
  const auto a = split(canonical);
  const auto b = split(base);
  if (b.size() > a.size()) return false;
  for (std::size_t i = 0; i < b.size(); ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

// Lexical resolution of `relative` against a canonical directory.
std::string resolve_lexically(std::string_view dir, std::string_view relative) {
  std::vector<std::string_view> parts = split(dir);
  for (const std::string_view part : split(relative)) {
    if (part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else {
      parts.push_back(part);
    }
  }
  return join(parts, true);
}

void check_display(std::string_view path) {
  const std::string displayed = km::display_path(path);
  FUZZ_CHECK(is_utf8(displayed));
  FUZZ_CHECK(km::display_path(displayed) == displayed);
  FUZZ_CHECK(displayed.size() <= 3 * path.size());
  if (is_utf8(path)) {
    FUZZ_CHECK(displayed == path);
  } else {
    FUZZ_CHECK(displayed.find(kReplacement) != std::string::npos);
  }
  const std::string result = km::path_to_string(path);
  FUZZ_CHECK(is_utf8(result));
  // POSIX paths never lose an extended-length-looking prefix.
  FUZZ_CHECK(result == displayed);
}

void check_manifest_text(std::string_view path) {
  const std::string text = km::path_to_manifest_string(path);
  FUZZ_CHECK(!text.empty());
  FUZZ_CHECK(is_utf8(text));
  FUZZ_CHECK(km::path_to_manifest_string(text) == text);
  const std::string displayed = km::display_path(path);
  if (km::is_absolute_path(path)) {
    std::string expected = displayed;
    for (char& c : expected) {
      if (c == '\\') c = '/';
    }
    FUZZ_CHECK(text == expected);
    return;
  }
  FUZZ_CHECK(text == model_manifest_text(displayed));
  FUZZ_CHECK(km::path_escapes_lexically(text) == km::path_escapes_lexically(path));
}

void check_escape_walk(std::string_view path) {
  const bool escapes = km::path_escapes_lexically(path);
  FUZZ_CHECK(escapes == model_escapes(path));
  // A name in front can only help; the walk stops at the first escape, so nothing after it
  // can take the escape back.
  if (!escapes) FUZZ_CHECK(!km::path_escapes_lexically("d/" + std::string(path)));
  if (escapes) FUZZ_CHECK(km::path_escapes_lexically(std::string(path) + "/d"));
}

void check_base_dir(std::string_view path) {
  const std::string base = km::manifest_base_dir(path);
  FUZZ_CHECK(!base.empty());
  if (base != "." && base != "/") {
    FUZZ_CHECK(path.starts_with(base));
    FUZZ_CHECK(!base.ends_with('/'));
    FUZZ_CHECK(base.size() < path.size());
  }
}

// The input split at its first NUL into a file path and a directory, both taken as canonical.
void check_canonical_pair(std::string_view input) {
  const std::size_t cut = input.find('\0');
  if (cut == std::string_view::npos) return;
  const std::string_view file = input.substr(0, cut);
  const std::string_view dir = input.substr(cut + 1);
  if (!looks_canonical(file) || !looks_canonical(dir)) return;
  FUZZ_CHECK(km::path_is_within(file, dir) == model_within(file, dir));
  for (const bool escape : {false, true}) {
    const auto text = km::manifest_path_from_canonical(file, dir, false, escape, "artifact");
    if (!text) {
      // Refused: outside the directory without leave to escape, or a name that a manifest
      // cannot spell (not UTF-8), which needs a file path that is not UTF-8.
      FUZZ_CHECK((!escape && !model_within(file, dir)) || !is_utf8(file));
      FUZZ_CHECK(text.error().kind() == km::ManifestError::Kind::Invalid);
      continue;
    }
    FUZZ_CHECK(is_utf8(*text));
    FUZZ_CHECK(!km::is_absolute_path(*text));
    FUZZ_CHECK(km::path_escapes_lexically(*text) == !model_within(file, dir));
    if (is_utf8(file) && is_utf8(dir)) FUZZ_CHECK(resolve_lexically(dir, *text) == file);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view path(reinterpret_cast<const char*>(data), size);
  check_display(path);
  check_manifest_text(path);
  check_escape_walk(path);
  check_base_dir(path);
  check_canonical_pair(path);
  const std::string joined = km::join_path("base", path);
  FUZZ_CHECK(km::is_absolute_path(path) ? joined == path : joined == "base/" + std::string(path));
  return 0;
}
