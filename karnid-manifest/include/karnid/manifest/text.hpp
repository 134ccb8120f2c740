// Small text helpers shared by every unit: display forms of paths and names, blank and digest
// tests, trimming and decimal rendering.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace karnid::manifest {

// Path bytes as text: every invalid UTF-8 sequence becomes U+FFFD (maximal-subpart rule).
[[nodiscard]] std::string display_path(std::string_view path_bytes);

// Text wrapped in double quotes with \" \\ \n \r \t escaped and other control characters (C0,
// DEL and the C1 range U+0080..U+009F) as \u{hex}: how names and kinds are quoted inside
// messages, so that a quoted name never breaks a one-line message.
[[nodiscard]] std::string quote_debug(std::string_view text);

// Removes leading and trailing characters with the Unicode White_Space property. The input must
// be valid UTF-8 (every string from the JSON reader is).
[[nodiscard]] std::string_view trim_unicode(std::string_view text) noexcept;

// Empty after trimming.
[[nodiscard]] inline bool is_blank(std::string_view text) noexcept {
  return trim_unicode(text).empty();
}

// Exactly 64 characters from 0-9 and a-f.
[[nodiscard]] bool is_hex_digest(std::string_view text) noexcept;

// Exactly "sha256:" followed by a hex digest.
[[nodiscard]] bool is_prefixed_digest(std::string_view text) noexcept;

// Every byte belongs to a well-formed UTF-8 sequence.
[[nodiscard]] bool is_valid_utf8(std::string_view text) noexcept;

// Whether this system's canonical paths may start with the extended-length prefixes.
#ifdef _WIN32
inline constexpr bool kPathsHaveExtendedLengthPrefixes = true;
#else
inline constexpr bool kPathsHaveExtendedLengthPrefixes = false;
#endif

// On a system whose paths carry them, the path bytes with the extended-length prefixes
// \\?\UNC\ (kept as two backslashes) and \\?\ removed; otherwise, and on POSIX always, unchanged.
[[nodiscard]] std::string strip_extended_length_prefix(std::string_view path_bytes);

// A path for a result: display form of strip_extended_length_prefix.
[[nodiscard]] std::string path_to_string(std::string_view path_bytes);

[[nodiscard]] inline std::string decimal(std::uint64_t value) {
  return std::to_string(value);
}

}  // namespace karnid::manifest
