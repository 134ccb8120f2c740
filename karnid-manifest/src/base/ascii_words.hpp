// Character tests for the readers that look at text a byte at a time or eight bytes at a time
// (the JSON reader, the row map readers and the seen set). Private to the library.
//
// The word tests treat a 64-bit word as eight bytes, the first byte in the lowest bits, and flag a
// byte by setting its high bit.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace karnid::ascii {

static_assert(std::endian::native == std::endian::little);

inline constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
inline constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

// ---- one byte ----

constexpr bool is_digit(unsigned char c) noexcept {
  return c >= '0' && c <= '9';
}

// The four characters JSON allows between tokens.
constexpr bool is_json_space(unsigned char c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// ---- eight bytes ----

inline std::uint64_t load8(const void* p) noexcept {
  std::uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

inline std::uint64_t load4(const void* p) noexcept {
  std::uint32_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

// Flags each zero byte. The lowest flag is exact; a byte above a flagged one may be flagged too.
constexpr std::uint64_t zero_bytes(std::uint64_t w) noexcept {
  return (w - kOnes) & ~w & kHighBits;
}

// Flags a quotation mark, a backslash or a control character: what a JSON string must escape.
// As with zero_bytes, only the lowest flag is exact.
constexpr std::uint64_t escape_bytes(std::uint64_t w) noexcept {
  return zero_bytes(w ^ (kOnes * '"')) | zero_bytes(w ^ (kOnes * '\\')) |
         ((w - kOnes * 0x20) & ~w & kHighBits);
}

// Flags every byte in [lo, hi]. Every byte must be below 0x80, so that no addition carries into
// the next byte.
constexpr std::uint64_t bytes_between(std::uint64_t w, unsigned char lo,
                                      unsigned char hi) noexcept {
  const std::uint64_t at_least_lo = w + kOnes * (0x80 - lo);
  const std::uint64_t above_hi = w + kOnes * (0x7F - hi);
  return at_least_lo & ~above_hi & kHighBits;
}

// How many of the bytes from the lowest up are decimal digits (0 to 8).
inline unsigned leading_digits(std::uint64_t w) noexcept {
  // A byte from 0x80 up may disturb the bytes above it, but never the run below it.
  const std::uint64_t digits = bytes_between(w, '0', '9') & ~(w & kHighBits);
  return static_cast<unsigned>(std::countr_zero(~digits & kHighBits)) / 8;
}

// The value of the decimal digits in the low `run` bytes (1 to 8 of them, the first digit in the
// lowest byte): the digits move to the top behind '0' padding, then pairs, quads and octets are
// combined.
inline std::uint64_t digits_value(std::uint64_t w, unsigned run) noexcept {
  if (run < 8) w = (w << (8 * (8 - run))) | ((kOnes * '0') >> (8 * run));
  w -= kOnes * '0';
  w = (w * 10 + (w >> 8)) & 0x00FF00FF00FF00FFULL;
  w = (w * 100 + (w >> 16)) & 0x0000FFFF0000FFFFULL;
  return (w * 10000 + (w >> 32)) & 0xFFFFFFFFULL;
}

// Each of eight lowercase hexadecimal digits ('0'-'9', 'a'-'f') replaced by its value 0-15: bit 6
// marks a letter, whose low four bits are 1-6 and need 9 more.
constexpr std::uint64_t lower_hex_values(std::uint64_t w) noexcept {
  constexpr std::uint64_t kLowNibbles = 0x0F0F0F0F0F0F0F0FULL;
  return (w & kLowNibbles) + ((w >> 6) & kOnes) * 9;
}

}  // namespace karnid::ascii
