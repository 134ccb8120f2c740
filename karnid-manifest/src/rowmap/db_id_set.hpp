// The set of db_id values that a row map validation has seen. Private to the row identity unit.
//
// A row map holds millions of identifiers, and the set is probed once per line at a random place,
// so its layout decides the validator's speed: identifiers live back to back in one arena (no
// heap node per string), and an open-addressing table of 8-byte slots points into it. Each slot
// holds the entry's arena offset (low 40 bits, plus one so that zero means empty) and 24 more bits
// of its hash, so that a probe rarely has to look at the arena at all. UUIDs in the usual form
// are stored as the 16 bytes they spell rather than as 36 characters: table and arena are fresh
// pages that the kernel clears on every call, and fewer of them make a large map markedly
// cheaper (bench/RESULTS.md has the profiles).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "ascii_words.hpp"
#include "uuid_text.hpp"

namespace karnid::manifest::detail {

// Zero-filled anonymous memory straight from the kernel. Pages that are never touched cost
// nothing, growth moves page tables instead of copying bytes, and large regions ask for huge
// pages, which spares random probes most of their TLB misses. Throws std::bad_alloc when the
// kernel refuses.
class AnonymousMemory {
 public:
  AnonymousMemory() noexcept = default;
  explicit AnonymousMemory(std::size_t bytes);
  AnonymousMemory(AnonymousMemory&& other) noexcept;
  AnonymousMemory& operator=(AnonymousMemory&& other) noexcept;
  AnonymousMemory(const AnonymousMemory&) = delete;
  AnonymousMemory& operator=(const AnonymousMemory&) = delete;
  ~AnonymousMemory();

  // Keeps the contents and zero-fills the new tail; the memory may move.
  void grow(std::size_t bytes);

  [[nodiscard]] char* data() const noexcept { return static_cast<char*>(base_); }
  [[nodiscard]] std::size_t size() const noexcept { return size_; }

 private:
  void* base_ = nullptr;
  std::size_t size_ = 0;
};

// Starts loading the cache line at `address`. An asm statement rather than __builtin_prefetch:
// GCC deems a function whose only effect is a prefetch to have no effect at all, and where such a
// function ends up not inlined (ipa-split carves parts out of callers) it drops the calls to it,
// and the prefetch with them.
inline void prefetch_line(const void* address) noexcept {
#if defined(__x86_64__)
  asm volatile("prefetcht0 %0" : : "m"(*static_cast<const char*>(address)));
#else
  __builtin_prefetch(address);
#endif
}

// A hyphenated lowercase UUID at p, the form nearly every row map writes, as the 16 bytes it
// spells: the value of each hexadecimal digit, the digits of the first and second half as low and
// high nibbles. Two texts of that form pack alike only when they are the same text. The 36 bytes
// must already be known to have that form (uuid::is_hyphenated<uuid::HexCase::Lower>); any other
// text (uppercase digits, braces, "urn:uuid:", 32 bare digits) would pack ambiguously. Digits
// 0-7 | 9-12, 14-17 | 19-22, 24-27 | 28-35: eight to a word, the hyphens left out.
inline void pack_checked_lowercase_uuid(const char* p, std::uint64_t& lo,
                                        std::uint64_t& hi) noexcept {
  using ascii::load4;
  using ascii::load8;
  using ascii::lower_hex_values;
  const std::uint64_t a = lower_hex_values(load8(p));
  const std::uint64_t b = lower_hex_values(load4(p + 9) | load4(p + 14) << 32);
  const std::uint64_t c = lower_hex_values(load4(p + 19) | load4(p + 24) << 32);
  const std::uint64_t d = lower_hex_values(load8(p + 28));
  lo = a | b << 4;
  hi = c | d << 4;
}

class DbIdSet {
 public:
  using HashKey = std::array<std::uint64_t, 4>;

  // `expected_entries` sizes the table so that a set of that many entries never has to be
  // rebuilt; more entries still fit, at the cost of rebuilding.
  explicit DbIdSet(std::uint64_t expected_entries);
  // With a fixed hash key instead of a random one: lets a test make identifiers collide (an
  // all-zero key gives every UUID, and every text of up to 32 bytes, the same hash).
  DbIdSet(std::uint64_t expected_entries, const HashKey& key);

  // How the set knows an identifier: a UUID in the usual form by its packed 16 bytes, which the
  // arena stores in 17 bytes instead of 37, any other identifier by its text. A packed
  // identifier never equals one kept as text, since the form decides which one an identifier is.
  struct Key {
    std::uint64_t hash = 0;
    std::uint64_t lo = 0;  // the packed bytes, when `packed`
    std::uint64_t hi = 0;
    bool packed = false;
  };

  // The key of an identifier, with the set's keyed hash; the hash keys come from the kernel's
  // random source, so a row map cannot be crafted to collide and make insertion quadratic.
  [[nodiscard]] Key key(std::string_view id) const noexcept {
    if (id.size() == uuid::kHyphenatedLength &&
        uuid::is_hyphenated<uuid::HexCase::Lower>(id.data())) {
      return checked_lowercase_uuid_key(id.data());
    }
    Key key;
    key.hash = text_hash(id);
    return key;
  }

  // The key of a hyphenated lowercase UUID at p that the caller has checked to be one: key()
  // without the check.
  [[nodiscard]] Key checked_lowercase_uuid_key(const char* p) const noexcept {
    Key key;
    key.packed = true;
    pack_checked_lowercase_uuid(p, key.lo, key.hi);
    key.hash = packed_hash(key.lo, key.hi);
    return key;
  }

  // Starts loading the table slot where a probe for `key` begins.
  void prefetch(const Key& key) const noexcept { prefetch_line(slots_ + index(key.hash)); }

  // Where the identifier is, or the empty slot where it would go; `key` is key(id).
  struct Probe {
    bool found;
    std::size_t slot;
  };
  [[nodiscard]] Probe find(std::string_view id, const Key& key) const noexcept {
    const std::uint64_t tag = key.hash >> kOffsetBits;
    for (std::size_t i = index(key.hash);; i = (i + 1) & mask_) {
      const std::uint64_t slot = slots_[i];
      if (slot == 0) return {false, i};
      if ((slot >> kOffsetBits) == tag && holds((slot & kOffsetMask) - 1, id, key)) {
        return {true, i};
      }
    }
  }

  // Adds an identifier that find() reported absent; `probe` is that find()'s result for the
  // same key, and nothing may have been inserted in between.
  void insert(const Probe& probe, std::string_view id, const Key& key) {
    const std::size_t offset = arena_used_;
    if (key.packed && offset + kPackedEntryBytes <= arena_.size()) {
      // The common case: room in the arena for one more packed UUID.
      char* at = arena_.data() + offset;
      at[0] = static_cast<char>(kPackedLead);
      std::memcpy(at + 1, &key.lo, sizeof key.lo);
      std::memcpy(at + 1 + sizeof key.lo, &key.hi, sizeof key.hi);
      arena_used_ += kPackedEntryBytes;
    } else {
      append_entry(id, key);
    }
    slots_[probe.slot] = ((key.hash >> kOffsetBits) << kOffsetBits) | (offset + 1);
    ++count_;
    if (count_ > mask_ - mask_ / 4) [[unlikely]]
      rebuild((mask_ + 1) * 2);
  }

  [[nodiscard]] std::size_t size() const noexcept { return count_; }

 private:
  static constexpr unsigned kOffsetBits = 40;
  static constexpr std::uint64_t kOffsetMask = (std::uint64_t{1} << kOffsetBits) - 1;
  // An arena entry starts with a lead byte: below 0x80 the length of the text that follows,
  // kLongLead for a text whose 8-byte length follows, kPackedLead for a packed UUID.
  static constexpr unsigned char kLongLead = 0xFE;
  static constexpr unsigned char kPackedLead = 0xFF;
  static constexpr std::size_t kPackedEntryBytes = 17;

  __extension__ using Wide = unsigned __int128;

  // The 64x64->128 multiply folded back to 64 bits: the mixing step of the hash.
  static std::uint64_t mix(std::uint64_t a, std::uint64_t b) noexcept {
    const Wide product = static_cast<Wide>(a) * b;
    return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
  }

  [[nodiscard]] std::uint64_t packed_hash(std::uint64_t lo, std::uint64_t hi) const noexcept {
    return mix(mix(lo ^ key0_, hi ^ key1_), key2_);
  }

  // Two independent lanes take 32-byte blocks, and the last 16 bytes (or, for short
  // identifiers, overlapping words) are read as whole words, so no length needs a byte loop.
  [[nodiscard]] std::uint64_t text_hash(std::string_view id) const noexcept {
    using ascii::load4;
    using ascii::load8;
    const char* p = id.data();
    const std::size_t n = id.size();
    std::uint64_t a = key0_ ^ n;
    std::uint64_t b = key1_;
    std::uint64_t t0 = 0;
    std::uint64_t t1 = 0;
    if (n > 16) {
      std::size_t i = 0;
      for (; i + 32 < n; i += 32) {
        a = mix(load8(p + i) ^ key2_, load8(p + i + 8) ^ a);
        b = mix(load8(p + i + 16) ^ key3_, load8(p + i + 24) ^ b);
      }
      if (i + 16 < n) a = mix(load8(p + i) ^ key2_, load8(p + i + 8) ^ a);
      t0 = load8(p + n - 16);
      t1 = load8(p + n - 8);
    } else if (n >= 8) {
      t0 = load8(p);
      t1 = load8(p + n - 8);
    } else if (n >= 4) {
      t0 = load4(p);
      t1 = load4(p + n - 4);
    } else if (n > 0) {
      t0 = static_cast<unsigned char>(p[0]) |
           std::uint64_t{static_cast<unsigned char>(p[n / 2])} << 8 |
           std::uint64_t{static_cast<unsigned char>(p[n - 1])} << 16;
    }
    return mix(mix(t0 ^ key1_, t1 ^ key3_) ^ a, b ^ key0_);
  }

  [[nodiscard]] std::size_t index(std::uint64_t hash) const noexcept {
    return static_cast<std::size_t>(hash) & mask_;
  }

  // Whether the entry at `offset` of the arena is the identifier with key `key`.
  [[nodiscard]] bool holds(std::uint64_t offset, std::string_view id,
                           const Key& key) const noexcept {
    const char* entry = arena_.data() + offset;
    const bool packed = static_cast<unsigned char>(entry[0]) == kPackedLead;
    if (packed != key.packed) return false;
    if (packed) return ascii::load8(entry + 1) == key.lo && ascii::load8(entry + 9) == key.hi;
    return text_at(offset) == id;
  }

  // The text stored at `offset` of the arena, behind its lead byte (and length); the entry must
  // not be a packed one.
  [[nodiscard]] std::string_view text_at(std::uint64_t offset) const noexcept;
  // The offset just past the entry at `offset`, and its key.
  std::size_t next_entry(std::size_t offset, Key& key) const noexcept;
  // Appends one entry to the arena, growing it as needed.
  void append_entry(std::string_view id, const Key& key);
  [[gnu::noinline]] void rebuild(std::size_t slot_count);

  std::uint64_t key0_ = 0;
  std::uint64_t key1_ = 0;
  std::uint64_t key2_ = 0;
  std::uint64_t key3_ = 0;
  AnonymousMemory table_;
  std::uint64_t* slots_ = nullptr;  // table_ as slots
  std::size_t mask_ = 0;
  std::size_t count_ = 0;
  AnonymousMemory arena_;
  std::size_t arena_used_ = 0;
};

}  // namespace karnid::manifest::detail
