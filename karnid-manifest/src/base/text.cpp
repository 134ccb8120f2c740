#include "karnid/manifest/text.hpp"

#include <cstddef>

namespace karnid::manifest {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the valid UTF-8 sequence starting at text[i], or 0 when the bytes there do not start
// one. `maximal` receives how many bytes form the longest prefix of a valid sequence (at least 1),
// which is what one replacement character stands for.
std::size_t utf8_sequence(std::string_view text, std::size_t i, std::size_t& maximal) noexcept {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  maximal = 1;
  if (lead < 0x80) return 1;
  std::size_t need = 0;
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
  } else if (lead == 0xE0) {
    need = 2;
    lo = 0xA0;
  } else if (lead >= 0xE1 && lead <= 0xEC) {
    need = 2;
  } else if (lead == 0xED) {
    need = 2;
    hi = 0x9F;
  } else if (lead >= 0xEE && lead <= 0xEF) {
    need = 2;
  } else if (lead == 0xF0) {
    need = 3;
    lo = 0x90;
  } else if (lead >= 0xF1 && lead <= 0xF3) {
    need = 3;
  } else if (lead == 0xF4) {
    need = 3;
    hi = 0x8F;
  } else {
    return 0;
  }
  for (std::size_t k = 1; k <= need; ++k) {
    if (i + k >= text.size()) return 0;
    const unsigned char c = byte(i + k);
    const unsigned char low = k == 1 ? lo : 0x80;
    const unsigned char high = k == 1 ? hi : 0xBF;
    if (c < low || c > high) return 0;
    maximal = k + 1;
  }
  return need + 1;
}

// Decodes the code point of a valid sequence of `len` bytes at text[i].
char32_t decode(std::string_view text, std::size_t i, std::size_t len) noexcept {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
  switch (len) {
    case 1:
      return byte(0);
    case 2:
      return (char32_t{byte(0)} & 0x1F) << 6 | (byte(1) & 0x3F);
    case 3:
      return (char32_t{byte(0)} & 0x0F) << 12 | (char32_t{byte(1)} & 0x3F) << 6 | (byte(2) & 0x3F);
    default:
      return (char32_t{byte(0)} & 0x07) << 18 | (char32_t{byte(1)} & 0x3F) << 12 |
             (char32_t{byte(2)} & 0x3F) << 6 | (byte(3) & 0x3F);
  }
}

bool is_white_space(char32_t c) noexcept {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

bool is_lower_hex(char c) noexcept {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

void append_hex(std::string& out, std::uint32_t value) {
  static constexpr char kDigits[] = "0123456789abcdef";
  char buffer[8];
  int n = 0;
  do {
    buffer[n++] = kDigits[value & 0xF];
    value >>= 4;
  } while (value != 0);
  while (n > 0) out += buffer[--n];
}

}  // namespace

std::string display_path(std::string_view path_bytes) {
  std::string out;
  out.reserve(path_bytes.size());
  std::size_t i = 0;
  while (i < path_bytes.size()) {
    std::size_t maximal = 1;
    const std::size_t len = utf8_sequence(path_bytes, i, maximal);
    if (len == 0) {
      out += kReplacement;
      i += maximal;
    } else {
      out.append(path_bytes.substr(i, len));
      i += len;
    }
  }
  return out;
}

std::string quote_debug(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char ch = text[i];
    const auto c = static_cast<unsigned char>(ch);
    // U+0080..U+009F (NEL among them) end a line in some readers just as C0 controls do; in
    // UTF-8 they are 0xC2 followed by the code point's own byte.
    if (c == 0xC2 && i + 1 < text.size()) {
      const auto next = static_cast<unsigned char>(text[i + 1]);
      if (next >= 0x80 && next <= 0x9F) {
        out += "\\u{";
        append_hex(out, next);
        out += '}';
        ++i;
        continue;
      }
    }
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          out += "\\u{";
          append_hex(out, c);
          out += '}';
        } else {
          out += ch;
        }
    }
  }
  out += '"';
  return out;
}

std::string_view trim_unicode(std::string_view text) noexcept {
  // Leading side: decode forward.
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t maximal = 1;
    const std::size_t len = utf8_sequence(text, begin, maximal);
    if (len == 0 || !is_white_space(decode(text, begin, len))) break;
    begin += len;
  }
  // Trailing side: step back over continuation bytes to the start of the last character.
  std::size_t end = text.size();
  while (end > begin) {
    std::size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    std::size_t maximal = 1;
    const std::size_t len = utf8_sequence(text, start, maximal);
    if (len != end - start || !is_white_space(decode(text, start, len))) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

bool is_hex_digest(std::string_view text) noexcept {
  if (text.size() != 64) return false;
  for (const char c : text) {
    if (!is_lower_hex(c)) return false;
  }
  return true;
}

bool is_prefixed_digest(std::string_view text) noexcept {
  constexpr std::string_view kPrefix = "sha256:";
  return text.starts_with(kPrefix) && text.size() == 71 && is_hex_digest(text.substr(7));
}

bool is_valid_utf8(std::string_view text) noexcept {
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t maximal = 1;
    const std::size_t len = utf8_sequence(text, i, maximal);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

std::string strip_extended_length_prefix(std::string_view path_bytes) {
  // Only a system whose canonical paths carry these prefixes may drop them. On POSIX, "\\?\m"
  // is an ordinary relative name, and stripping it would name a different, plantable file.
  if constexpr (!kPathsHaveExtendedLengthPrefixes) return std::string(path_bytes);
  // The prefixes are ASCII, so stripping them from the bytes and from the display text agree.
  constexpr std::string_view kUnc = "\\\\?\\UNC\\";
  constexpr std::string_view kVerbatim = "\\\\?\\";
  if (path_bytes.starts_with(kUnc)) return "\\\\" + std::string(path_bytes.substr(kUnc.size()));
  if (path_bytes.starts_with(kVerbatim)) return std::string(path_bytes.substr(kVerbatim.size()));
  return std::string(path_bytes);
}

std::string path_to_string(std::string_view path_bytes) {
  return display_path(strip_extended_length_prefix(path_bytes));
}

}  // namespace karnid::manifest
