// The board sizes the engine supports, and the table sizes that follow from them.
#pragma once

#include <cstdint>

namespace vexlor {

// Sides of 2 to 32 points; every bitboard word count from 1 to 16 fits one of them.
inline constexpr unsigned kMinSide = 2;
inline constexpr unsigned kMaxSide = 32;
inline constexpr unsigned kMaxPoints = kMaxSide * kMaxSide;
// One action per point and the pass.
inline constexpr unsigned kMaxActions = kMaxPoints + 1;

constexpr bool side_in_range(uint64_t side) { return side >= kMinSide && side <= kMaxSide; }

}  // namespace vexlor
