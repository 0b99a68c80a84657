// splitmix64 (Steele, Lea and Flood): a 64-bit generator whose output mix also
// serves as a bit mixer. Its constants, named once.
#pragma once

#include <cstdint>

namespace vexlor::detail {

inline constexpr uint64_t kSplitMixGamma = 0x9E3779B97F4A7C15ULL;  // the state's increment (golden ratio)
inline constexpr uint64_t kSplitMixMul1 = 0xBF58476D1CE4E5B9ULL;
inline constexpr uint64_t kSplitMixMul2 = 0x94D049BB133111EBULL;

// The output mix: a bijection of 64-bit words in which every input bit moves every output bit.
constexpr uint64_t splitmix64_mix(uint64_t z) {
  z = (z ^ (z >> 30)) * kSplitMixMul1;
  z = (z ^ (z >> 27)) * kSplitMixMul2;
  return z ^ (z >> 31);
}

// Advances the state and returns the next output.
constexpr uint64_t splitmix64_next(uint64_t& state) { return splitmix64_mix(state += kSplitMixGamma); }

}  // namespace vexlor::detail
