// Persisted index formats: the core index kinds, their parameters, and the compiled-in registry
// that maps the four-byte magic at the start of an index file to its format.
#ifndef KARNID_INDEX_CORE_FORMAT_HPP_
#define KARNID_INDEX_CORE_FORMAT_HPP_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace karnid::index_core {

// The core index kinds. The numeric values are stable and fit in one byte.
enum class IndexKind : std::uint8_t {
  Rank = 0,
  RankQuant = 1,
  Bitmap = 2,
  SignBitmap = 3,
  RankQuantFastscan = 4,
};

// Diagnostic text of a kind: its variant name ("Rank", "RankQuant", ...).
[[nodiscard]] std::string_view debug_string(IndexKind kind) noexcept;

// Kind-specific parameters of an index. `bits` is meaningful only for RankQuant and
// RankQuantFastscan, `n_top` only for Bitmap; build values with the named constructors so the
// unused fields stay zero.
struct IndexParams {
  IndexKind kind = IndexKind::Rank;
  std::uint8_t bits = 0;
  std::uint64_t n_top = 0;

  [[nodiscard]] static constexpr IndexParams rank() noexcept { return {IndexKind::Rank, 0, 0}; }
  [[nodiscard]] static constexpr IndexParams rank_quant(std::uint8_t bits) noexcept {
    return {IndexKind::RankQuant, bits, 0};
  }
  [[nodiscard]] static constexpr IndexParams bitmap(std::uint64_t n_top) noexcept {
    return {IndexKind::Bitmap, 0, n_top};
  }
  [[nodiscard]] static constexpr IndexParams sign_bitmap() noexcept {
    return {IndexKind::SignBitmap, 0, 0};
  }
  [[nodiscard]] static constexpr IndexParams rank_quant_fastscan(std::uint8_t bits) noexcept {
    return {IndexKind::RankQuantFastscan, bits, 0};
  }
};

// Two parameter values are equal when their kinds are equal and the fields that kind carries
// are equal; fields the kind does not carry are ignored.
[[nodiscard]] bool operator==(const IndexParams& a, const IndexParams& b) noexcept;

// Diagnostic text of parameters: the variant name, followed for variants with a field by
// " { field: value }", e.g. "Rank", "RankQuant { bits: 4 }", "Bitmap { n_top: 16 }".
[[nodiscard]] std::string debug_string(const IndexParams& params);

// Whether this version handles a format in some respect. When unsupported, `tracking_number`
// names the open work item and `reason` is the user-facing explanation (static text).
struct FormatSupport {
  bool supported = true;
  std::uint32_t tracking_number = 0;
  std::string_view reason;

  [[nodiscard]] static constexpr FormatSupport yes() noexcept { return {true, 0, {}}; }
  [[nodiscard]] static constexpr FormatSupport no(std::uint32_t tracking,
                                                  std::string_view why) noexcept {
    return {false, tracking, why};
  }
};

// One registry entry. All text is static data that lives for the whole program.
struct PersistedFormat {
  std::string_view magic;                        // current magic, four ASCII bytes
  std::optional<std::string_view> legacy_magic;  // older spelling, accepted like `magic`
  std::string_view extension;                    // conventional file extension; informative only
  IndexKind kind;                                // whose header probe reads the rest of the file
  FormatSupport probe_support;                   // can this version read the header?
  FormatSupport schema_support;                  // does the manifest schema include the kind?
};

// The little-endian 32-bit value of four characters, i.e. the value of an index file's first four
// bytes when the file begins with them. Anything other than exactly four characters yields 0,
// which is no registered magic.
[[nodiscard]] constexpr std::uint32_t magic_value(std::string_view four_chars) noexcept {
  if (four_chars.size() != 4) return 0;
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    value |= static_cast<std::uint32_t>(static_cast<unsigned char>(four_chars[i])) << (8 * i);
  }
  return value;
}

// The whole registry, in its fixed order (one entry per format).
[[nodiscard]] std::span<const PersistedFormat> persisted_formats() noexcept;

// The entry whose current or legacy magic has the little-endian value `magic`, or nullptr.
// Comparison is exact: "kdrq" is not "KDRQ".
[[nodiscard]] const PersistedFormat* lookup_magic(std::uint32_t magic) noexcept;

// The entry of a kind, or nullptr for a value outside the enumeration.
[[nodiscard]] const PersistedFormat* lookup_kind(IndexKind kind) noexcept;

}  // namespace karnid::index_core

#endif  // KARNID_INDEX_CORE_FORMAT_HPP_
