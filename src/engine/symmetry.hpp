// The dihedral symmetries of a board, as permutations of the row-major point
// numbering shared by the actions and the input planes.
//
// Numbering, described on a plane viewed as an (H, W) array X with X[row][col]
// (row 0 first), in the terms of NumPy:
//   0 identity                       X
//   1 rotation by 90 degrees         np.rot90(X, 1)
//   2 rotation by 180 degrees        np.rot90(X, 2)
//   3 rotation by 270 degrees        np.rot90(X, 3)
//   4 flip left-right (columns)      np.flip(X, 1)
//   5 flip up-down (rows)            np.flip(X, 0)
//   6 transpose                      X.T
//   7 anti-transpose                 np.rot90(X, 2).T
// A rectangular board only has 0, 2, 4 and 5: the others swap the sides.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vexlor {

inline constexpr unsigned kTransformCount = 8;

// Whether transform t maps an h x w board onto itself.
constexpr bool transform_valid(unsigned t, unsigned h, unsigned w) {
  if (t >= kTransformCount) return false;
  return h == w || t == 0 || t == 2 || t == 4 || t == 5;
}

// The transform that undoes t: the quarter turns swap, every other one is its own inverse.
constexpr unsigned inverse_transform(unsigned t) { return t == 1 ? 3 : t == 3 ? 1 : t; }

struct RowCol {
  unsigned row;
  unsigned col;
  constexpr bool operator==(const RowCol&) const = default;
};

// Where the point (row, col) of an h x w board lands under t (t valid for the shape).
constexpr RowCol transform_point(unsigned t, unsigned h, unsigned w, unsigned row, unsigned col) {
  switch (t) {
    case 1:
      return {w - 1 - col, row};
    case 2:
      return {h - 1 - row, w - 1 - col};
    case 3:
      return {col, h - 1 - row};
    case 4:
      return {row, w - 1 - col};
    case 5:
      return {h - 1 - row, col};
    case 6:
      return {col, row};
    case 7:
      return {w - 1 - col, h - 1 - row};
    default:
      return {row, col};
  }
}

// Point index under t; index < h * w.
constexpr unsigned transform_index(unsigned t, unsigned h, unsigned w, unsigned index) {
  const RowCol rc = transform_point(t, h, w, index / w, index % w);
  return rc.row * w + rc.col;  // valid transforms keep w for non-square boards
}

// src_of[i] = the source index whose value lands on index i, so that
// out[i] = in[src_of[i]] gathers (sequential writes). src_of holds h * w entries.
inline void transform_gather_table(unsigned t, unsigned h, unsigned w, uint16_t* src_of) {
  const unsigned n = h * w;
  for (unsigned i = 0; i < n; ++i) src_of[transform_index(t, h, w, i)] = uint16_t(i);
}

}  // namespace vexlor
