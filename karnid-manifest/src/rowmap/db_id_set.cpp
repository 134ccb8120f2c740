#include "db_id_set.hpp"

#include <sys/mman.h>
#include <sys/random.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <new>
#include <utility>

#include "ascii_words.hpp"

namespace karnid::manifest::detail {
namespace {

constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

void advise_huge_pages(void* base, std::size_t bytes) noexcept {
  // Advice only: without huge pages the memory works the same, just with more TLB misses.
  if (bytes >= kHugePageBytes) (void)::madvise(base, bytes, MADV_HUGEPAGE);
}

}  // namespace

AnonymousMemory::AnonymousMemory(std::size_t bytes) {
  if (bytes == 0) return;
  void* base = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) throw std::bad_alloc();
  advise_huge_pages(base, bytes);
  base_ = base;
  size_ = bytes;
}

AnonymousMemory::AnonymousMemory(AnonymousMemory&& other) noexcept
    : base_(std::exchange(other.base_, nullptr)), size_(std::exchange(other.size_, 0)) {}

AnonymousMemory& AnonymousMemory::operator=(AnonymousMemory&& other) noexcept {
  if (this != &other) {
    if (base_ != nullptr) ::munmap(base_, size_);
    base_ = std::exchange(other.base_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

AnonymousMemory::~AnonymousMemory() {
  if (base_ != nullptr) ::munmap(base_, size_);
}

void AnonymousMemory::grow(std::size_t bytes) {
  if (bytes <= size_) return;
  if (base_ == nullptr) {
    *this = AnonymousMemory(bytes);
    return;
  }
  void* moved = ::mremap(base_, size_, bytes, MREMAP_MAYMOVE);
  if (moved == MAP_FAILED) throw std::bad_alloc();
  advise_huge_pages(moved, bytes);
  base_ = moved;
  size_ = bytes;
}

namespace {

constexpr std::uint64_t kOffsetLimit = std::uint64_t{1} << 40;
constexpr std::size_t kMinSlots = 64;
constexpr std::size_t kInitialArenaBytes = 64 * 1024;

// Table size for `entries` at a load of at most three quarters.
std::size_t slots_for(std::uint64_t entries) {
  const std::uint64_t wanted = entries + entries / 3 + 1;
  if (wanted > (std::uint64_t{1} << 58)) throw std::bad_alloc();
  return std::max(kMinSlots, static_cast<std::size_t>(std::bit_ceil(wanted)));
}

DbIdSet::HashKey random_hash_key() noexcept {
  // Without the random source these fixed keys still spread honest input well.
  DbIdSet::HashKey key{0x243F6A8885A308D3ULL, 0x13198A2E03707344ULL, 0xA4093822299F31D0ULL,
                       0x082EFA98EC4E6C89ULL};
  DbIdSet::HashKey random{};
  if (::getrandom(random.data(), sizeof random, GRND_NONBLOCK) ==
      static_cast<ssize_t>(sizeof random)) {
    for (std::size_t i = 0; i < key.size(); ++i) key[i] ^= random[i];
  }
  return key;
}

}  // namespace

DbIdSet::DbIdSet(std::uint64_t expected_entries) : DbIdSet(expected_entries, random_hash_key()) {}

DbIdSet::DbIdSet(std::uint64_t expected_entries, const HashKey& key)
    : key0_(key[0]), key1_(key[1]), key2_(key[2]), key3_(key[3]) {
  const std::size_t slot_count = slots_for(expected_entries);
  table_ = AnonymousMemory(slot_count * sizeof(std::uint64_t));
  slots_ = reinterpret_cast<std::uint64_t*>(table_.data());
  mask_ = slot_count - 1;
}

std::string_view DbIdSet::text_at(std::uint64_t offset) const noexcept {
  const char* entry = arena_.data() + offset;
  const auto lead = static_cast<unsigned char>(entry[0]);
  if (lead != kLongLead) return {entry + 1, lead};
  return {entry + 1 + sizeof(std::uint64_t), static_cast<std::size_t>(ascii::load8(entry + 1))};
}

std::size_t DbIdSet::next_entry(std::size_t offset, Key& key) const noexcept {
  const char* entry = arena_.data() + offset;
  if (static_cast<unsigned char>(entry[0]) == kPackedLead) {
    key.packed = true;
    key.lo = ascii::load8(entry + 1);
    key.hi = ascii::load8(entry + 9);
    key.hash = packed_hash(key.lo, key.hi);
    return offset + kPackedEntryBytes;
  }
  const std::string_view text = text_at(offset);
  key.packed = false;
  key.hash = text_hash(text);
  return static_cast<std::size_t>(text.data() + text.size() - arena_.data());
}

void DbIdSet::append_entry(std::string_view id, const Key& key) {
  const std::size_t needed = arena_used_ + 1 + sizeof(std::uint64_t) + id.size();
  // Offsets must fit the slot's 40 bits; an arena that large could not be allocated anyway.
  if (needed < id.size() || needed >= kOffsetLimit) throw std::bad_alloc();
  if (needed > arena_.size()) {
    arena_.grow(std::max({needed, kInitialArenaBytes, arena_.size() * 2}));
  }
  char* at = arena_.data() + arena_used_;
  if (key.packed) {
    at[0] = static_cast<char>(kPackedLead);
    std::memcpy(at + 1, &key.lo, sizeof key.lo);
    std::memcpy(at + 1 + sizeof key.lo, &key.hi, sizeof key.hi);
    arena_used_ += kPackedEntryBytes;
    return;
  }
  if (id.size() < 0x80) {
    at[0] = static_cast<char>(id.size());
    ++at;
    arena_used_ += 1;
  } else {
    const std::uint64_t length = id.size();
    at[0] = static_cast<char>(kLongLead);
    std::memcpy(at + 1, &length, sizeof length);
    at += 1 + sizeof length;
    arena_used_ += 1 + sizeof length;
  }
  if (!id.empty()) std::memcpy(at, id.data(), id.size());
  arena_used_ += id.size();
}

// Walks the arena in order (sequential reads) instead of the old table (random reads).
void DbIdSet::rebuild(std::size_t slot_count) {
  AnonymousMemory bigger(slot_count * sizeof(std::uint64_t));
  auto* table = reinterpret_cast<std::uint64_t*>(bigger.data());
  const std::size_t mask = slot_count - 1;
  std::size_t offset = 0;
  while (offset < arena_used_) {
    Key key;
    const std::size_t next = next_entry(offset, key);
    std::size_t i = static_cast<std::size_t>(key.hash) & mask;
    while (table[i] != 0) i = (i + 1) & mask;
    table[i] = ((key.hash >> kOffsetBits) << kOffsetBits) | (offset + 1);
    offset = next;
  }
  table_ = std::move(bigger);
  slots_ = table;
  mask_ = mask;
}

}  // namespace karnid::manifest::detail
