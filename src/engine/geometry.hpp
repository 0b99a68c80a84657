// Per-size masks and the two region operations every rule is built from.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "bitboard.hpp"

namespace vexlor {

// Word count a board of n points needs.
constexpr int words_for(unsigned n) { return int(n / 64 + (n % 64 != 0)); }

template <int NW>
struct BoardGeometry {
  Bitboard<NW> board_mask;
  Bitboard<NW> not_first_col;
  Bitboard<NW> not_last_col;
  uint16_t num_points = 0;
  uint8_t width = 0;
  uint8_t height = 0;

  BoardGeometry() = default;

  // Throws std::logic_error when NW is not the word count of width x height.
  BoardGeometry(uint8_t w, uint8_t h) : num_points(uint16_t(unsigned(w) * unsigned(h))), width(w), height(h) {
    const int need = words_for(num_points);
    if (need != NW)
      throw std::logic_error("NW=" + std::to_string(NW) + " does not match board " + std::to_string(w) + "x" +
                             std::to_string(h) + " (need " + std::to_string(need) + ")");
    for (unsigned p = 0; p < num_points; ++p) board_mask.insert(p);
    not_first_col = board_mask;
    not_last_col = board_mask;
    for (unsigned r = 0; r < h; ++r) {
      not_first_col.remove(r * w);
      not_last_col.remove(r * w + w - 1);
    }
  }

  // Points orthogonally adjacent to some point of s, within the board.
  constexpr Bitboard<NW> neighbors(const Bitboard<NW>& s) const {
    const Bitboard<NW> up = s.shl_small(width);
    const Bitboard<NW> down = s.shr_small(width);
    const Bitboard<NW> right = s.shl_small(1) & not_first_col;
    const Bitboard<NW> left = s.shr_small(1) & not_last_col;
    return (up | down | right | left) & board_mask;
  }

  // neighbors() of the single point p, built bit by bit.
  constexpr Bitboard<NW> neighbors_of(unsigned p) const {
    Bitboard<NW> r;
    const unsigned col = p % width;
    if (col > 0) r.insert(p - 1);
    if (col + 1 < width) r.insert(p + 1);
    if (p >= width) r.insert(p - width);
    if (p + width < num_points) r.insert(p + width);
    return r;
  }

  // Points of allowed reachable from seed ∩ allowed through allowed.
  constexpr Bitboard<NW> flood_fill(const Bitboard<NW>& seed, const Bitboard<NW>& allowed) const {
    Bitboard<NW> filled = seed & allowed;
    for (;;) {
      const Bitboard<NW> grown = (filled | neighbors(filled)) & allowed;
      if (grown == filled) return filled;
      filled = grown;
    }
  }
};

}  // namespace vexlor
