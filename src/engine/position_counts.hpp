// Multiset of 64-bit position keys (key -> occurrences), open addressing.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <utility>
#include <vector>

namespace vexlor {

class PositionCounts {
 public:
  PositionCounts() = default;

  uint32_t count(uint64_t key) const {
    if (slots_.empty()) return 0;
    for (size_t i = home(key);; i = (i + 1) & mask_) {
      const Slot& s = slots_[i];
      if (s.count == 0) return 0;
      if (s.key == key) return s.count;
    }
  }
  bool contains(uint64_t key) const { return count(key) > 0; }

  void increment(uint64_t key) {
    if ((size_ + 1) * 2 > slots_.size()) grow();
    size_t i = home(key);
    for (; slots_[i].count != 0; i = (i + 1) & mask_) {
      if (slots_[i].key == key) {
        ++slots_[i].count;
        return;
      }
    }
    slots_[i] = Slot{key, 1};
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

  size_t heap_bytes() const { return slots_.capacity() * sizeof(Slot); }

 private:
  struct Slot {
    uint64_t key = 0;
    uint32_t count = 0;
  };

  size_t home(uint64_t key) const { return size_t((key * 0x9E3779B97F4A7C15ULL) >> shift_); }

  void grow() {
    // Small for a new game; a game that outgrows that jumps straight to the
    // size a whole 9x9 game needs, sparing the rehashes in between.
    const size_t cap = slots_.empty() ? 64 : slots_.size() == 64 ? 512 : slots_.size() * 2;
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(cap, Slot{});
    mask_ = cap - 1;
    shift_ = 64 - unsigned(std::countr_zero(cap));
    size_ = 0;
    for (const Slot& s : old)
      if (s.count) {
        size_t i = home(s.key);
        while (slots_[i].count != 0) i = (i + 1) & mask_;
        slots_[i] = s;
        ++size_;
      }
  }

  std::vector<Slot> slots_;
  size_t size_ = 0;
  size_t mask_ = 0;
  unsigned shift_ = 64;
};

}  // namespace vexlor
