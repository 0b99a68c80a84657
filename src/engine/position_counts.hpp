// Multiset of 64-bit position keys (key -> occurrences), open addressing with
// linear probing. A key's home slot comes from a multiplier drawn once per
// process (multiply-shift hashing with a random odd multiplier), so keys cannot
// be chosen to share a slot without knowing it: a hostile saved state loads in
// linear time. Nothing observable depends on the slots (entries() sorts).
#pragma once

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdint>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "splitmix.hpp"

namespace vexlor {

namespace detail {

// The odd multiplier of every table's slot function in this process. A build
// may pin it (VEXLOR_FIXED_SLOT_MULTIPLIER) so that instruction counts repeat exactly.
inline uint64_t slot_multiplier() {
#ifdef VEXLOR_FIXED_SLOT_MULTIPLIER
  return uint64_t(VEXLOR_FIXED_SLOT_MULTIPLIER) | 1;
#else
  static const uint64_t multiplier = [] {
    uint64_t x = 0;
    try {
      std::random_device device;
      x = uint64_t(device()) << 32 ^ device();
    } catch (...) {  // no entropy source: the clock and the address layout still vary
    }
    x ^= uint64_t(std::chrono::steady_clock::now().time_since_epoch().count());
    x ^= uint64_t(reinterpret_cast<uintptr_t>(&x));
    return splitmix64_mix(x) | 1;
  }();
  return multiplier;
#endif
}

}  // namespace detail

class PositionCounts {
 public:
  // A count stops here rather than wrap (reached only from a hostile saved state).
  static constexpr uint32_t kMaxCount = std::numeric_limits<uint32_t>::max();

  PositionCounts() = default;

  // Occurrences of key; 0 when absent.
  uint32_t count(uint64_t key) const {
    if (slots_.empty()) return 0;
    for (size_t i = home(key);; i = (i + 1) & mask_) {
      const Slot& s = slots_[i];
      if (s.count == 0) return 0;
      if (s.key == key) return s.count;
    }
  }
  bool contains(uint64_t key) const { return count(key) > 0; }

  // Makes room for `more` new keys: the next `more` insertions allocate nothing.
  // Throws std::bad_alloc with the table unchanged.
  void reserve(size_t more) {
    if ((size_ + more) * 2 > slots_.size()) grow_for(more);
  }

  // One more occurrence of key.
  void increment(uint64_t key) {
    if ((size_ + 1) * 2 > slots_.size()) rehash(next_capacity(slots_.size()));
    size_t i = home(key);
    for (; slots_[i].count != 0; i = (i + 1) & mask_) {
      if (slots_[i].key == key) {
        slots_[i].count += slots_[i].count != kMaxCount;
        return;
      }
    }
    slots_[i] = Slot{key, 1};
    ++size_;
  }

  // n more occurrences of key (n > 0).
  void add(uint64_t key, uint32_t n) {
    reserve(1);
    size_t i = home(key);
    for (; slots_[i].count != 0; i = (i + 1) & mask_) {
      if (slots_[i].key == key) {
        slots_[i].count = uint32_t(std::min<uint64_t>(uint64_t(slots_[i].count) + n, kMaxCount));
        return;
      }
    }
    slots_[i] = Slot{key, n};
    ++size_;
  }

  // Drops one occurrence; the key disappears at zero, an absent key is ignored.
  void decrement(uint64_t key) {
    if (slots_.empty()) return;
    size_t i = home(key);
    for (;; i = (i + 1) & mask_) {
      if (slots_[i].count == 0) return;
      if (slots_[i].key == key) break;
    }
    if (--slots_[i].count != 0) return;
    // Backward-shift deletion keeps every probe chain unbroken.
    --size_;
    size_t hole = i;
    for (size_t j = (i + 1) & mask_; slots_[j].count != 0; j = (j + 1) & mask_) {
      const size_t h = home(slots_[j].key);
      // Move j into the hole unless its home lies cyclically in (hole, j].
      const bool stays = hole <= j ? (hole < h && h <= j) : (hole < h || h <= j);
      if (!stays) {
        slots_[hole] = slots_[j];
        slots_[j].count = 0;
        hole = j;
      }
    }
    slots_[hole].count = 0;
  }

  // Distinct keys.
  size_t size() const { return size_; }

  // (key, count) pairs in key order, for comparisons and serialisation.
  std::vector<std::pair<uint64_t, uint32_t>> entries() const {
    std::vector<std::pair<uint64_t, uint32_t>> out;
    out.reserve(size_);
    for (const Slot& s : slots_)
      if (s.count) out.emplace_back(s.key, s.count);
    std::sort(out.begin(), out.end());
    return out;
  }

  bool operator==(const PositionCounts& o) const { return size_ == o.size_ && entries() == o.entries(); }

 private:
  struct Slot {
    uint64_t key = 0;
    uint32_t count = 0;
  };

  size_t home(uint64_t key) const { return size_t((key * multiplier_) >> shift_); }

  // Small for a new game; a game that outgrows that jumps straight to the
  // size a whole 9x9 game needs, sparing the rehashes in between.
  static size_t next_capacity(size_t cap) { return cap == 0 ? 64 : cap == 64 ? 512 : cap * 2; }

  [[gnu::noinline]] void grow_for(size_t more) {
    size_t cap = next_capacity(slots_.size());
    while ((size_ + more) * 2 > cap) cap *= 2;
    rehash(cap);
  }

  // Moves every key into a table of cap slots (a power of two); strong guarantee.
  void rehash(size_t cap) {
    std::vector<Slot> slots(cap);
    const size_t mask = cap - 1;
    const unsigned shift = 64 - unsigned(std::countr_zero(cap));
    const uint64_t multiplier = detail::slot_multiplier();
    for (const Slot& s : slots_)
      if (s.count) {
        size_t i = size_t((s.key * multiplier) >> shift);
        while (slots[i].count != 0) i = (i + 1) & mask;
        slots[i] = s;
      }
    slots_ = std::move(slots);
    mask_ = mask;
    shift_ = shift;
    multiplier_ = multiplier;
  }

  std::vector<Slot> slots_;
  size_t size_ = 0;
  size_t mask_ = 0;
  uint64_t multiplier_ = 0;
  unsigned shift_ = 64;
};

}  // namespace vexlor
