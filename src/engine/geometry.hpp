// Per-size masks and the two region operations every rule is built from.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "bitboard.hpp"

namespace vexlor {

// Word count a board of n points needs.
constexpr int words_for(unsigned n) { return int(n / 64 + (n % 64 != 0)); }

// The neighbour set of every point of a width x height board, built once per
// size and shared by every game of that size for the life of the process.
template <int NW>
const Bitboard<NW>* shared_neighbor_table(uint8_t width, uint8_t height) {
  static std::mutex lock;
  static std::map<std::pair<uint8_t, uint8_t>, std::vector<Bitboard<NW>>> tables;  // never erased
  const std::lock_guard<std::mutex> guard(lock);
  std::vector<Bitboard<NW>>& t = tables[{width, height}];
  if (t.empty()) {
    const unsigned n = unsigned(width) * height;
    t.resize(n);
    for (unsigned p = 0; p < n; ++p) {
      if (p % width > 0) t[p].insert(p - 1);
      if (p % width + 1 < width) t[p].insert(p + 1);
      if (p >= width) t[p].insert(p - width);
      if (p + width < n) t[p].insert(p + width);
    }
  }
  return t.data();
}

template <int NW>
struct BoardGeometry {
  Bitboard<NW> board_mask;
  Bitboard<NW> not_first_col;
  Bitboard<NW> not_last_col;
  const Bitboard<NW>* neighbor_table = nullptr;  // num_points entries, shared
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
    neighbor_table = shared_neighbor_table<NW>(w, h);
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

  // neighbors() of the board point p.
  const Bitboard<NW>& neighbors_of(unsigned p) const { return neighbor_table[p]; }

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
