// The set of db_id values that a row map validation has seen. Private to the row identity unit.
//
// A row map holds millions of identifiers, and the set is probed once per line at a random place,
// so its layout decides the validator's speed: identifiers live back to back in one arena (no
// heap node per string), and an open-addressing table of 8-byte slots points into it. Each slot
// holds the entry's arena offset (low 40 bits, plus one so that zero means empty) and 24 more bits
// of its hash, so that a probe rarely has to look at the arena at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

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

class DbIdSet {
 public:
  // `expected_entries` sizes the table so that a set of that many entries never has to be
  // rebuilt; more entries still fit, at the cost of rebuilding.
  explicit DbIdSet(std::uint64_t expected_entries);

  // The set's keyed hash of an identifier; the key comes from the kernel's random source, so a
  // row map cannot be crafted to collide and make insertion quadratic.
  [[nodiscard]] std::uint64_t hash(std::string_view id) const noexcept;

  // Starts loading the table slot where a probe for `hash` begins.
  void prefetch(std::uint64_t hash) const noexcept {
    __builtin_prefetch(slots() + (static_cast<std::size_t>(hash) & mask_));
  }

  // Where `id` is, or the empty slot where it would go.
  struct Probe {
    bool found;
    std::size_t slot;
    std::uint64_t tag;
  };
  [[nodiscard]] Probe find(std::string_view id, std::uint64_t hash) const noexcept;

  // Adds an identifier that find() reported absent; `probe` is that find()'s result, and nothing
  // may have been inserted in between.
  void insert(const Probe& probe, std::string_view id);

  [[nodiscard]] std::size_t size() const noexcept { return count_; }

 private:
  [[nodiscard]] std::uint64_t* slots() const noexcept {
    return reinterpret_cast<std::uint64_t*>(table_.data());
  }
  [[nodiscard]] std::string_view entry_at(std::uint64_t offset) const noexcept;
  void place(std::uint64_t* slots, std::size_t mask, std::uint64_t hash,
             std::uint64_t offset) const noexcept;
  void rebuild(std::size_t slot_count);

  std::uint64_t key0_ = 0;
  std::uint64_t key1_ = 0;
  std::uint64_t key2_ = 0;
  std::uint64_t key3_ = 0;
  AnonymousMemory table_;
  std::size_t mask_ = 0;
  std::size_t count_ = 0;
  AnonymousMemory arena_;
  std::size_t arena_used_ = 0;
};

}  // namespace karnid::manifest::detail
