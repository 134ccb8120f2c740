// The quick reader of row map lines and the UUID layout test it leans on. Private to the row
// identity unit; inline so that the validator's per-line loop compiles into one piece.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "karnid/manifest/row_identity.hpp"

namespace karnid::manifest::detail {

// Byte-parallel tests work on eight bytes at a time.
inline constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
inline constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

// ---- UUID layout ----

inline constexpr std::size_t kSimpleUuidLength = 32;
inline constexpr std::size_t kHyphenatedUuidLength = 36;

// High bit set in every byte of `w` that lies in [lo, hi]; every byte must be below 0x80, so
// that no addition carries into the next byte.
constexpr std::uint64_t bytes_between(std::uint64_t w, unsigned char lo,
                                      unsigned char hi) noexcept {
  const std::uint64_t at_least_lo = w + kOnes * (0x80 - lo);
  const std::uint64_t above_hi = w + kOnes * (0x7F - hi);
  return at_least_lo & ~above_hi & kHighBits;
}

// Eight hexadecimal digits of either case.
inline bool hex8(std::uint64_t w) noexcept {
  if ((w & kHighBits) != 0) return false;
  const std::uint64_t digits = bytes_between(w, '0', '9');
  // Setting bit 5 folds 'A'-'F' onto 'a'-'f' and maps nothing else there.
  const std::uint64_t letters = bytes_between(w | (kOnes * 0x20), 'a', 'f');
  return (digits | letters) == kHighBits;
}

inline std::uint64_t load8(const char* p) noexcept {
  std::uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

// 32 hexadecimal digits at p.
inline bool is_simple_uuid(const char* p) noexcept {
  return hex8(load8(p)) && hex8(load8(p + 8)) && hex8(load8(p + 16)) && hex8(load8(p + 24));
}

// The 8-4-4-4-12 layout at p (36 bytes): hyphens in place, hexadecimal digits around them. The
// words that straddle a hyphen get a '0' in its place before the digit test.
inline bool is_hyphenated_uuid(const char* p) noexcept {
  if (p[8] != '-' || p[13] != '-' || p[18] != '-' || p[23] != '-') return false;
  constexpr auto zero_at = [](unsigned byte) { return std::uint64_t{'0' ^ '-'} << (8 * byte); };
  // Bytes 9-16 hold the hyphen at 13 (byte 4); bytes 16-23 hold hyphens at 18 and 23.
  const std::uint64_t middle = load8(p + 9) ^ zero_at(4);
  const std::uint64_t second = load8(p + 16) ^ zero_at(2) ^ zero_at(7);
  return hex8(load8(p)) && hex8(middle) && hex8(second) && hex8(load8(p + 24)) &&
         hex8(load8(p + 28));
}

// ---- quick reader ----

constexpr bool is_json_space(unsigned char c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

constexpr bool is_digit(unsigned char c) noexcept {
  return c >= '0' && c <= '9';
}

// Reads the common well-formed line: an object whose keys are row_id, db_id and optionally
// parent_id in any order, written without escapes; a row_id in plain decimal; strings of
// printable ASCII; JSON whitespace anywhere between tokens. Answers false whenever it is not
// certain, leaving the line to the strict reader. `out` is meaningful only after true.
class QuickRowReader {
 public:
  explicit QuickRowReader(std::string_view line) noexcept
      : p_(reinterpret_cast<const unsigned char*>(line.data())), end_(p_ + line.size()) {}

  bool read(JsonlRowView& out) noexcept {
    unsigned seen = 0;
    out.parent_id.reset();
    skip_space();
    if (!take('{')) return false;
    skip_space();
    for (;;) {
      const Field field = key();
      if (field == Field::None || (seen & bit(field)) != 0) return false;
      seen |= bit(field);
      skip_space();
      if (!take(':')) return false;
      skip_space();
      bool ok = false;
      if (field == Field::RowId) {
        ok = number(out.row_id);
      } else if (field == Field::DbId) {
        ok = plain_string(out.db_id);
      } else if (at_null()) {
        out.parent_id.reset();
        ok = true;
      } else {
        std::string_view parent;
        ok = plain_string(parent);
        out.parent_id = parent;
      }
      if (!ok) return false;
      skip_space();
      if (take('}')) break;
      if (!take(',')) return false;
      skip_space();
    }
    skip_space();
    const unsigned required = bit(Field::RowId) | bit(Field::DbId);
    return p_ == end_ && (seen & required) == required;
  }

 private:
  enum class Field : unsigned { RowId, DbId, ParentId, None };
  static constexpr unsigned bit(Field field) noexcept { return 1U << static_cast<unsigned>(field); }

  void skip_space() noexcept {
    while (p_ != end_ && is_json_space(*p_)) ++p_;
  }

  bool take(unsigned char c) noexcept {
    if (p_ == end_ || *p_ != c) return false;
    ++p_;
    return true;
  }

  // The field a key names; None for anything else, including keys written with escapes.
  // Fixed-size comparisons: the compiler turns each into a couple of word loads.
  Field key() noexcept {
    if (!take('"')) return Field::None;
    const std::size_t left = static_cast<std::size_t>(end_ - p_);
    if (left >= 7 && std::memcmp(p_, "row_id\"", 7) == 0) {
      p_ += 7;
      return Field::RowId;
    }
    if (left >= 6 && std::memcmp(p_, "db_id\"", 6) == 0) {
      p_ += 6;
      return Field::DbId;
    }
    if (left >= 10 && std::memcmp(p_, "parent_id\"", 10) == 0) {
      p_ += 10;
      return Field::ParentId;
    }
    return Field::None;
  }

  // A plain decimal that fits 64 bits; fractions, exponents, signs and leading zeros are left
  // to the strict reader.
  bool number(std::uint64_t& out) noexcept {
    if (p_ == end_ || !is_digit(*p_)) return false;
    std::uint64_t value = 0;
    if (*p_ == '0') {
      ++p_;
    } else {
      constexpr std::uint64_t kMax = ~std::uint64_t{0};
      while (p_ != end_ && is_digit(*p_)) {
        const unsigned digit = *p_ - '0';
        if (value > (kMax - digit) / 10) return false;
        value = value * 10 + digit;
        ++p_;
      }
    }
    if (p_ != end_ && (is_digit(*p_) || *p_ == '.' || *p_ == 'e' || *p_ == 'E')) return false;
    out = value;
    return true;
  }

  // A string of printable ASCII without escapes: its bytes are its value.
  bool plain_string(std::string_view& out) noexcept {
    if (!take('"')) return false;
    const unsigned char* start = p_;
    // Eight bytes at a time: stop at the first quote, backslash, control or non-ASCII byte.
    while (end_ - p_ >= 8) {
      std::uint64_t w;
      std::memcpy(&w, p_, sizeof w);
      const std::uint64_t quote = w ^ (kOnes * '"');
      const std::uint64_t backslash = w ^ (kOnes * '\\');
      const std::uint64_t special =
          ((quote - kOnes) & ~quote) | ((backslash - kOnes) & ~backslash) | (w - kOnes * 0x20) | w;
      if ((special & kHighBits) != 0) break;
      p_ += 8;
    }
    while (p_ != end_) {
      const unsigned char c = *p_;
      if (c == '"') {
        out = std::string_view(reinterpret_cast<const char*>(start),
                               static_cast<std::size_t>(p_ - start));
        ++p_;
        return true;
      }
      if (c < 0x20 || c >= 0x80 || c == '\\') return false;
      ++p_;
    }
    return false;
  }

  bool at_null() noexcept {
    if (end_ - p_ < 4 || std::memcmp(p_, "null", 4) != 0) return false;
    p_ += 4;
    return true;
  }

  const unsigned char* p_;
  const unsigned char* end_;
};

}  // namespace karnid::manifest::detail
