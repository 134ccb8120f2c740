// The fast path of row map reading: two readers for the shapes that nearly every row map line
// has, which never allocate and answer only when they are certain. Every other line goes to the
// strict reader (row_reader.cpp), which reads any line the fast path accepts as the same row.
// Private to the row map layer and the row map validator; inline so that the validator's
// per-line loop compiles into one piece.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "ascii_words.hpp"
#include "karnid/manifest/row_map.hpp"
#include "uuid_text.hpp"

namespace karnid::manifest::detail {

using ascii::digits_value;
using ascii::escape_bytes;
using ascii::is_digit;
using ascii::is_json_space;
using ascii::kHighBits;
using ascii::kOnes;
using ascii::leading_digits;
using ascii::load8;

// ---- a row object written plainly, keys in any order ----

// Reads the common well-formed line: an object whose keys are row_id, db_id and optionally
// parent_id in any order, written without escapes; a row_id in plain decimal; strings of
// printable ASCII; JSON whitespace anywhere between tokens. Answers false whenever it is not
// certain, leaving the line to the strict reader. `out` is meaningful only after true.
class PlainRowReader {
 public:
  explicit PlainRowReader(std::string_view line) noexcept
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
    } else if (const unsigned run = digit_run(p); run != 0) {
      value = short_decimal(p, run);
      p += run;
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

  // How many digits start at p when eight bytes can be read there and fewer than eight of them
  // are digits; 0 otherwise (the digit loop then decides).
  [[nodiscard]] unsigned digit_run(const unsigned char* p) const noexcept {
    if (end_ - p < 8) return 0;
    const unsigned run = leading_digits(load8(reinterpret_cast<const char*>(p)));
    return run < 8 ? run : 0;
  }

  // The value of `run` (1 to 7) decimal digits at p.
  static std::uint64_t short_decimal(const unsigned char* p, unsigned run) noexcept {
    return digits_value(load8(reinterpret_cast<const char*>(p)), run);
  }

  // Offset from p of the first byte that ends or breaks a plain string (a quote, a backslash, a
  // control byte or a non-ASCII byte), looking at one block of bytes; kBlock when the block is
  // all plain. The end of the line counts as a break.
#if defined(__SSE2__)
  static constexpr std::size_t kBlock = 16;

  [[nodiscard]] std::size_t first_break(const unsigned char* p) const noexcept {
    const auto left = static_cast<std::size_t>(end_ - p);
    __m128i v;
    unsigned shift = 0;
    if (left >= kBlock) {
      v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    } else if (static_cast<std::size_t>(end_ - begin_) >= kBlock) {
      // The line's last block, with the bits of bytes before p shifted out.
      v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(end_ - kBlock));
      shift = static_cast<unsigned>(kBlock - left);
    } else {
      return first_break_bytewise(p, left);
    }
    const __m128i quote = _mm_cmpeq_epi8(v, _mm_set1_epi8('"'));
    const __m128i backslash = _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'));
    // A signed comparison: bytes from 0x80 up are negative, so non-ASCII is caught too.
    const __m128i control = _mm_cmplt_epi8(v, _mm_set1_epi8(0x20));
    unsigned mask = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_or_si128(_mm_or_si128(quote, backslash), control)));
    mask >>= shift;
    if (left < kBlock) mask |= 1U << left;
    return mask == 0 ? kBlock : static_cast<std::size_t>(std::countr_zero(mask));
  }
#else
  static constexpr std::size_t kBlock = 8;

  [[nodiscard]] std::size_t first_break(const unsigned char* p) const noexcept {
    const auto left = static_cast<std::size_t>(end_ - p);
    if (left < kBlock) return first_break_bytewise(p, left);
    const std::uint64_t w = load8(p);
    // The lowest flagged byte is exact; bytes above it may be flagged spuriously.
    const std::uint64_t breaks = escape_bytes(w) | (w & kHighBits);
    return breaks == 0 ? kBlock : static_cast<std::size_t>(std::countr_zero(breaks) / 8);
  }
#endif

  static std::size_t first_break_bytewise(const unsigned char* p, std::size_t left) noexcept {
    for (std::size_t i = 0; i < left; ++i) {
      if (p[i] == '"' || p[i] == '\\' || p[i] < 0x20 || p[i] >= 0x80) return i;
    }
    return left;
  }

  // A string of printable ASCII without escapes: its bytes are its value.
  bool plain_string(std::string_view& out) noexcept {
    if (!take('"')) return false;
    const unsigned char* const start = p_;
    const unsigned char* p = p_;
    std::size_t at;
    while ((at = first_break(p)) == kBlock) p += kBlock;
    p += at;
    if (p == end_ || *p != '"') return false;
    out =
        std::string_view(reinterpret_cast<const char*>(start), static_cast<std::size_t>(p - start));
    p_ = p + 1;
    return true;
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

// ---- the common row shape, read in place ----

// How many bytes from the start of a line read_common_shape_row may look at. Its longest line,
// {"row_id": <19 digits>, "db_id": "<36>"} with a CR LF ending, is 82 bytes; the rest is room
// for whole-word loads.
inline constexpr std::size_t kCommonShapeWindow = 96;

// What read_common_shape_row read: the row, and whether its UUID is written in lowercase, the
// form that has one spelling per value.
struct CommonShapeRow {
  std::uint64_t row_id = 0;
  const char* db_id = nullptr;  // uuid::kHyphenatedLength bytes, a hyphenated UUID
  bool lowercase = false;
};

// Reads, in place, the line that nearly every row map consists of:
//
//   {"row_id": N, "db_id": "8-4-4-4-12 UUID"}
//
// with or without the blank after each colon and the comma, N a plain decimal of at most 19
// digits, the UUID hexadecimal digits of either case, and the line ending in LF or CR LF right
// after the closing brace. Its end is found by the match itself, so the line needs no separate
// scan. `p` must have kCommonShapeWindow readable bytes. Returns the line's length including its
// line feed, with `out` filled, or 0 when the line has any other shape (PlainRowReader and the
// strict reader then take it). A line it accepts is one the strict reader reads as the same row
// (with no parent_id).
inline std::size_t read_common_shape_row(const char* p, CommonShapeRow& out) noexcept {
  constexpr std::uint64_t kOpen = 0x64695F776F72227BULL;   // {"row_id, the lowest byte first
  constexpr std::uint64_t kDbKey = 0x3A2264695F626422ULL;  // "db_id":
  static constexpr std::uint64_t kPowers[9] = {1,      10,      100,      1000,     10000,
                                               100000, 1000000, 10000000, 100000000};
  if (load8(p) != kOpen || p[8] != '"' || p[9] != ':') return 0;
  const char* q = p + 10;
  q += *q == ' ';
  // Up to three words of digits; more than 19 digits (possibly beyond 64 bits) is left to the
  // other readers, and so is a leading zero, which JSON forbids.
  std::uint64_t value = 0;
  unsigned digits = 0;
  for (int word = 0; word < 3; ++word) {
    const std::uint64_t w = load8(q + digits);
    const unsigned run = leading_digits(w);
    if (run != 0) value = value * kPowers[run] + digits_value(w, run);
    digits += run;
    if (run < 8) break;
  }
  if (digits == 0 || digits > 19 || (q[0] == '0' && digits > 1)) return 0;
  q += digits;
  if (*q != ',') return 0;
  ++q;
  q += *q == ' ';
  if (load8(q) != kDbKey) return 0;
  q += 8;
  q += *q == ' ';
  if (*q != '"') return 0;
  const char* const id = q + 1;
  if (id[36] != '"' || id[37] != '}') return 0;
  // Lowercase first: nearly every map writes it, and then one test settles the identifier.
  const bool lowercase = uuid::is_hyphenated<uuid::HexCase::Lower>(id);
  if (!lowercase && !uuid::is_hyphenated(id)) return 0;
  const char* end = id + 38;
  end += *end == '\r';
  if (*end != '\n') return 0;
  out.row_id = value;
  out.db_id = id;
  out.lowercase = lowercase;
  return static_cast<std::size_t>(end + 1 - p);
}

}  // namespace karnid::manifest::detail
