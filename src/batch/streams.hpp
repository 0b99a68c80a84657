// Counter-based random streams: one per game of a batch, so a game's draws
// depend only on (seed, game index, draw number) and never on which thread
// made them or on what the other games drew.
//
// Generator (fixed; results are reproducible across builds and platforms):
//   mix(z)               = the SplitMix64 output function of z
//   key(seed, game)      = mix(seed ^ mix(game + 0x9E3779B97F4A7C15))
//   draw k of that game  = mix(key + (k + 1) * 0x9E3779B97F4A7C15)
// that is, draw k is SplitMix64's output number k from the state key.
// A choice among n items takes draws until Lemire's multiply-shift accepts
// one (exactly uniform; a second draw is needed with probability below n / 2^64).
#pragma once

#include <bit>
#include <cstdint>

#include "engine/bitboard.hpp"

namespace vexlor::batch {

inline constexpr uint64_t kGolden = 0x9E3779B97F4A7C15ULL;

constexpr uint64_t mix64(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

constexpr uint64_t stream_key(uint64_t seed, uint64_t game) { return seed ^ mix64(game + kGolden); }

// The draws of one game: `counter` draws have been taken so far.
struct Stream {
  uint64_t key = 0;
  uint64_t counter = 0;

  static constexpr Stream of(uint64_t seed, uint64_t game, uint64_t counter = 0) {
    return Stream{mix64(stream_key(seed, game)), counter};
  }

  constexpr uint64_t next() { return mix64(key + ++counter * kGolden); }

  // Uniform in [0, n); n >= 1.
  uint64_t below(uint64_t n) {
    __extension__ using U128 = unsigned __int128;
    U128 m = U128(next()) * n;
    if (uint64_t(m) < n) {
      const uint64_t threshold = (0 - n) % n;  // 2^64 mod n
      while (uint64_t(m) < threshold) m = U128(next()) * n;
    }
    return uint64_t(m >> 64);
  }
};

// Index of the set bit of rank j (0 = lowest) of x; x holds more than j bits.
inline unsigned select_bit(uint64_t x, unsigned j) {
  for (; j > 0; --j) x &= x - 1;
  return unsigned(std::countr_zero(x));
}

// Index of the set bit of rank j of s; s holds more than j points.
template <int NW>
unsigned select_point(const Bitboard<NW>& s, unsigned j) {
  for (int i = 0;; ++i) {
    const unsigned c = unsigned(popcount64(s.w[i]));
    if (j < c) return unsigned(i) * 64u + select_bit(s.w[i], j);
    j -= c;
  }
}

}  // namespace vexlor::batch
