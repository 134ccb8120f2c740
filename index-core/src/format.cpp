#include "karnid/index_core/format.hpp"

#include <array>
#include <string>

namespace karnid::index_core {
namespace {

constexpr std::uint32_t kFastscanTracking = 232;

constexpr std::array<PersistedFormat, 5> kRegistry{{
    {"KDR1", "QDR1", "kdr", IndexKind::Rank, FormatSupport::yes(), FormatSupport::yes()},
    {"KDRQ", "QDRQ", "kdrq", IndexKind::RankQuant, FormatSupport::yes(), FormatSupport::yes()},
    {"KDBM", "QDBM", "kdbm", IndexKind::Bitmap, FormatSupport::yes(), FormatSupport::yes()},
    {"KDSB", "QDSB", "kdsb", IndexKind::SignBitmap, FormatSupport::yes(), FormatSupport::yes()},
    {"KDFS", std::nullopt, "kdfs", IndexKind::RankQuantFastscan,
     FormatSupport::no(kFastscanTracking,
                       "KDFS (RankQuantFastscan) metadata probing is not supported in this "
                       "version; load the index with RankQuantFastscan::load (tracked in #232)"),
     FormatSupport::no(kFastscanTracking,
                       "RankQuantFastscan (.kdfs) is not covered by karnid-manifest v1 "
                       "(tracked in #232)")},
}};

// Lookups compare whole 32-bit values, so every spelling must be exactly four bytes and no two
// entries may share one.
consteval bool registry_is_well_formed() {
  for (std::size_t i = 0; i < kRegistry.size(); ++i) {
    const PersistedFormat& a = kRegistry[i];
    if (a.magic.size() != 4) return false;
    if (a.legacy_magic && a.legacy_magic->size() != 4) return false;
    for (std::size_t j = i + 1; j < kRegistry.size(); ++j) {
      const PersistedFormat& b = kRegistry[j];
      if (a.kind == b.kind) return false;
      const std::uint32_t am = magic_value(a.magic);
      const std::uint32_t bm = magic_value(b.magic);
      const std::uint32_t al = a.legacy_magic ? magic_value(*a.legacy_magic) : 0;
      const std::uint32_t bl = b.legacy_magic ? magic_value(*b.legacy_magic) : 0;
      if (am == bm || am == bl || (al != 0 && (al == bm || al == bl))) return false;
    }
  }
  return true;
}
static_assert(registry_is_well_formed());

}  // namespace

std::string_view debug_string(IndexKind kind) noexcept {
  switch (kind) {
    case IndexKind::Rank:
      return "Rank";
    case IndexKind::RankQuant:
      return "RankQuant";
    case IndexKind::Bitmap:
      return "Bitmap";
    case IndexKind::SignBitmap:
      return "SignBitmap";
    case IndexKind::RankQuantFastscan:
      return "RankQuantFastscan";
  }
  // Only reachable through a cast from an out-of-range byte.
  return "Unknown";
}

bool operator==(const IndexParams& a, const IndexParams& b) noexcept {
  if (a.kind != b.kind) return false;
  switch (a.kind) {
    case IndexKind::RankQuant:
    case IndexKind::RankQuantFastscan:
      return a.bits == b.bits;
    case IndexKind::Bitmap:
      return a.n_top == b.n_top;
    case IndexKind::Rank:
    case IndexKind::SignBitmap:
      return true;
  }
  return a.bits == b.bits && a.n_top == b.n_top;
}

std::string debug_string(const IndexParams& params) {
  std::string out(debug_string(params.kind));
  switch (params.kind) {
    case IndexKind::RankQuant:
    case IndexKind::RankQuantFastscan:
      out += " { bits: " + std::to_string(static_cast<unsigned>(params.bits)) + " }";
      break;
    case IndexKind::Bitmap:
      out += " { n_top: " + std::to_string(params.n_top) + " }";
      break;
    case IndexKind::Rank:
    case IndexKind::SignBitmap:
      break;
  }
  return out;
}

std::span<const PersistedFormat> persisted_formats() noexcept {
  return kRegistry;
}

const PersistedFormat* lookup_magic(std::uint32_t magic) noexcept {
  for (const PersistedFormat& entry : kRegistry) {
    if (magic_value(entry.magic) == magic) return &entry;
    if (entry.legacy_magic && magic_value(*entry.legacy_magic) == magic) return &entry;
  }
  return nullptr;
}

const PersistedFormat* lookup_kind(IndexKind kind) noexcept {
  for (const PersistedFormat& entry : kRegistry) {
    if (entry.kind == kind) return &entry;
  }
  return nullptr;
}

}  // namespace karnid::index_core
