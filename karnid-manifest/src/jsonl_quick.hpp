// The quick reader of row map lines and the UUID layout test it leans on. Private to the row
// identity unit; inline so that the validator's per-line loop compiles into one piece.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "karnid/manifest/row_identity.hpp"

namespace karnid::manifest::detail {

// Byte-parallel tests work on eight bytes at a time, the first byte in the lowest bits.
static_assert(std::endian::native == std::endian::little);
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

// High bit set in each byte of `w` that is a hexadecimal digit of either case.
constexpr std::uint64_t hex_bytes(std::uint64_t w) noexcept {
  // Setting bit 5 folds 'A'-'F' onto 'a'-'f' and maps nothing else there.
  return (bytes_between(w, '0', '9') | bytes_between(w | (kOnes * 0x20), 'a', 'f')) &
         ~(w & kHighBits);
}

inline std::uint64_t load8(const char* p) noexcept {
  std::uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

// 32 hexadecimal digits at p.
inline bool is_simple_uuid(const char* p) noexcept {
  return (hex_bytes(load8(p)) & hex_bytes(load8(p + 8)) & hex_bytes(load8(p + 16)) &
          hex_bytes(load8(p + 24))) == kHighBits;
}

// The 8-4-4-4-12 layout at p (36 bytes): hyphens in place, hexadecimal digits around them. The
// words that straddle a hyphen get a '0' in its place before the digit test; a byte that was not
// a hyphen turns into something that is not a digit or stays one, so the hyphens are checked on
// their own as well.
inline bool is_hyphenated_uuid(const char* p) noexcept {
  constexpr auto zero_at = [](unsigned byte) { return std::uint64_t{'0' ^ '-'} << (8 * byte); };
  const bool hyphens = (p[8] == '-') & (p[13] == '-') & (p[18] == '-') & (p[23] == '-');
  // Bytes 9-16 hold the hyphen at 13 (byte 4); bytes 16-23 hold hyphens at 18 and 23.
  const std::uint64_t middle = load8(p + 9) ^ zero_at(4);
  const std::uint64_t second = load8(p + 16) ^ zero_at(2) ^ zero_at(7);
  const std::uint64_t all = hex_bytes(load8(p)) & hex_bytes(middle) & hex_bytes(second) &
                            hex_bytes(load8(p + 24)) & hex_bytes(load8(p + 28));
  return hyphens && all == kHighBits;
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
      : begin_(reinterpret_cast<const unsigned char*>(line.data())),
        p_(begin_),
        end_(begin_ + line.size()) {}

  bool read(JsonlRowView& out) noexcept {
    out.parent_id.reset();
    if (common_layout(out)) return true;
    p_ = begin_;
    unsigned seen = 0;
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
  // What the usual writers emit, {"row_id": N, "db_id": "..."} with or without the blank after
  // each colon and comma, checked as whole words instead of token by token.
  bool common_layout(JsonlRowView& out) noexcept {
    constexpr std::string_view kOpen = "{\"row_id\":";
    constexpr std::string_view kDbKey = "\"db_id\":";
    if (static_cast<std::size_t>(end_ - p_) < kOpen.size() + kDbKey.size() + 5 ||
        std::memcmp(p_, kOpen.data(), kOpen.size()) != 0) {
      return false;
    }
    p_ += kOpen.size();
    if (*p_ == ' ') ++p_;
    if (!number(out.row_id) || !take(',')) return false;
    if (p_ != end_ && *p_ == ' ') ++p_;
    if (static_cast<std::size_t>(end_ - p_) < kDbKey.size() ||
        std::memcmp(p_, kDbKey.data(), kDbKey.size()) != 0) {
      return false;
    }
    p_ += kDbKey.size();
    if (p_ != end_ && *p_ == ' ') ++p_;
    return plain_string(out.db_id) && end_ - p_ == 1 && *p_ == '}';
  }

  enum class Field : unsigned { RowId, DbId, ParentId, None };
  static constexpr unsigned bit(Field field) noexcept { return 1U << static_cast<unsigned>(field); }

  void skip_space() noexcept {
    // Most tokens follow each other directly or after one blank; every JSON space is <= ' '.
    while (p_ != end_ && *p_ <= ' ' && is_json_space(*p_)) ++p_;
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
  // to the strict reader. Works on a local cursor so that the loop stays in registers.
  bool number(std::uint64_t& out) noexcept {
    const unsigned char* p = p_;
    const unsigned char* const end = end_;
    if (p == end || !is_digit(*p)) return false;
    std::uint64_t value = 0;
    if (*p == '0') {
      ++p;
    } else {
      // Nineteen digits always fit; only a twentieth can overflow.
      const unsigned char* const safe_end = end - p > 19 ? p + 19 : end;
      while (p != safe_end && is_digit(*p)) value = value * 10 + (*p++ - '0');
      if (p != end && is_digit(*p)) {
        constexpr std::uint64_t kMax = ~std::uint64_t{0};
        const unsigned digit = *p - '0';
        if (value > (kMax - digit) / 10) return false;
        value = value * 10 + digit;
        ++p;
      }
    }
    if (p != end && (is_digit(*p) || *p == '.' || *p == 'e' || *p == 'E')) return false;
    p_ = p;
    out = value;
    return true;
  }

  // High bit set in each byte of `w` that ends or breaks a plain string: a quote, a backslash,
  // a control byte or a non-ASCII byte. The lowest flagged byte is exact; bytes above it may be
  // flagged spuriously, which never matters because scanning stops at the lowest.
  static std::uint64_t string_breaks(std::uint64_t w) noexcept {
    const std::uint64_t quote = w ^ (kOnes * '"');
    const std::uint64_t backslash = w ^ (kOnes * '\\');
    return (((quote - kOnes) & ~quote) | ((backslash - kOnes) & ~backslash) | (w - kOnes * 0x20) |
            w) &
           kHighBits;
  }

  // A string of printable ASCII without escapes: its bytes are its value.
  bool plain_string(std::string_view& out) noexcept {
    if (!take('"')) return false;
    const unsigned char* const start = p_;
    const unsigned char* p = p_;
    for (;;) {
      const auto left = static_cast<std::size_t>(end_ - p);
      std::uint64_t w = 0;
      if (left >= 8) {
        std::memcpy(&w, p, 8);
      } else if (left == 0) {
        return false;
      } else if (end_ - begin_ >= 8) {
        // The line's last eight bytes, shifted so that p comes first: past the end of the line
        // the word holds zero bytes, which count as breaks.
        std::memcpy(&w, end_ - 8, 8);
        w >>= 8 * (8 - left);
      } else {
        for (std::size_t i = 0; i < left; ++i) w |= std::uint64_t{p[i]} << (8 * i);
      }
      const std::uint64_t breaks = string_breaks(w);
      if (breaks == 0) {
        p += 8;
        continue;
      }
      const auto at = static_cast<std::size_t>(std::countr_zero(breaks) / 8);
      if (at >= left || p[at] != '"') return false;
      p += at;
      out = std::string_view(reinterpret_cast<const char*>(start),
                             static_cast<std::size_t>(p - start));
      p_ = p + 1;
      return true;
    }
  }

  bool at_null() noexcept {
    if (end_ - p_ < 4 || std::memcmp(p_, "null", 4) != 0) return false;
    p_ += 4;
    return true;
  }

  const unsigned char* begin_;
  const unsigned char* p_;
  const unsigned char* end_;
};

}  // namespace karnid::manifest::detail
