// UUID text: the layout tests behind every check of an identifier, shared by the four-form test
// (is_uuid_text), the row map readers and the seen set. Private to the library.
//
// A test looks at 16 bytes at a time and answers with a 16-bit mask, bit i for byte i; the
// 8-4-4-4-12 layout is checked on three overlapping blocks (bytes 0-15, 16-31 and 20-35), in
// each of which the hyphen positions must hold hyphens and every other byte a digit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "ascii_words.hpp"

namespace karnid::manifest::uuid {

inline constexpr std::size_t kSimpleLength = 32;      // 32 hexadecimal digits
inline constexpr std::size_t kHyphenatedLength = 36;  // 8-4-4-4-12
inline constexpr std::string_view kUrnPrefix = "urn:uuid:";

// Which hexadecimal digits a test accepts: the forms a row map may use take either case; the seen
// set packs only the lowercase form, which has one spelling per value.
enum class HexCase : std::uint8_t { Either, Lower };

namespace detail {

#if defined(__SSE2__)
template <HexCase kCase>
inline unsigned hex_digits16(const char* p) noexcept {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  // Unsigned c - lo <= span, as min(c - lo, span) == c - lo.
  const auto within = [](__m128i x, char lo, char span) {
    const __m128i off = _mm_sub_epi8(x, _mm_set1_epi8(lo));
    return _mm_cmpeq_epi8(_mm_min_epu8(off, _mm_set1_epi8(span)), off);
  };
  // Setting bit 5 folds 'A'-'F' onto 'a'-'f' and maps nothing else there.
  const __m128i letters = kCase == HexCase::Lower ? v : _mm_or_si128(v, _mm_set1_epi8(0x20));
  const __m128i hex = _mm_or_si128(within(v, '0', 9), within(letters, 'a', 5));
  return static_cast<unsigned>(_mm_movemask_epi8(hex));
}

inline unsigned hyphens16(const char* p) noexcept {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('-'))));
}
#else
// The flags of eight bytes (high bits, as the word tests set them) as eight mask bits: the
// multiplier moves the flag of byte i to bit 56 + i, with no other product reaching those bits.
inline unsigned flag_bits(std::uint64_t flags) noexcept {
  return static_cast<unsigned>(((flags >> 7) * 0x0102040810204080ULL) >> 56);
}

// A byte from 0x80 up is never flagged. It may disturb the flag of the byte above it, but every
// byte of a block must be flagged for the layout to hold, so such a block fails either way.
template <HexCase kCase>
inline unsigned hex_digits8(std::uint64_t w) noexcept {
  using namespace ascii;
  const std::uint64_t letters = kCase == HexCase::Lower ? w : w | (kOnes * 0x20);
  const std::uint64_t hex = bytes_between(w, '0', '9') | bytes_between(letters, 'a', 'f');
  return flag_bits(hex & ~(w & kHighBits));
}

inline unsigned hyphens8(std::uint64_t w) noexcept {
  return flag_bits(ascii::bytes_between(w, '-', '-') & ~(w & ascii::kHighBits));
}

template <HexCase kCase>
inline unsigned hex_digits16(const char* p) noexcept {
  return hex_digits8<kCase>(ascii::load8(p)) | hex_digits8<kCase>(ascii::load8(p + 8)) << 8;
}

inline unsigned hyphens16(const char* p) noexcept {
  return hyphens8(ascii::load8(p)) | hyphens8(ascii::load8(p + 8)) << 8;
}
#endif

// Bytes at p match the mask: hyphens where `hyphens` has a bit, digits everywhere else.
template <HexCase kCase>
inline unsigned layout16(const char* p, unsigned hyphens) noexcept {
  return (hex_digits16<kCase>(p) & ~hyphens) | (hyphens16(p) & hyphens);
}

}  // namespace detail

// 32 hexadecimal digits at p.
template <HexCase kCase = HexCase::Either>
inline bool is_simple(const char* p) noexcept {
  return (detail::hex_digits16<kCase>(p) & detail::hex_digits16<kCase>(p + 16)) == 0xFFFF;
}

// The 8-4-4-4-12 layout at p (36 readable bytes).
// Always inlined: the row map reader tests one identifier per line, and a call costs as much as
// the test.
template <HexCase kCase = HexCase::Either>
[[gnu::always_inline]] inline bool is_hyphenated(const char* p) noexcept {
  constexpr unsigned kAt0 = (1U << 8) | (1U << 13);  // hyphens 8 and 13
  constexpr unsigned kAt16 = (1U << 2) | (1U << 7);  // hyphens 18 and 23
  constexpr unsigned kAt20 = 1U << 3;                // hyphen 23
  return (detail::layout16<kCase>(p, kAt0) & detail::layout16<kCase>(p + 16, kAt16) &
          detail::layout16<kCase>(p + 20, kAt20)) == 0xFFFF;
}

}  // namespace karnid::manifest::uuid

namespace karnid::manifest {

// True for 32 hex digits, the 8-4-4-4-12 hyphenated form, that form in braces, or that form
// after "urn:uuid:": the four forms a row map identifier may take. Hex digits may be either case;
// version and variant bits are not checked.
[[nodiscard]] bool is_uuid_text(std::string_view text) noexcept;

}  // namespace karnid::manifest
