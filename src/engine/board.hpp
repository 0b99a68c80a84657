// Stone placement of one board: two disjoint point sets and the size.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "bitboard.hpp"
#include "player.hpp"

namespace vexlor {

template <int NW>
struct Board {
  Bitboard<NW> black;
  Bitboard<NW> white;
  uint8_t width = 0;
  uint8_t height = 0;

  Board() = default;
  Board(uint8_t w, uint8_t h) : width(w), height(h) {}

  const Bitboard<NW>& stones(Player p) const { return p == Player::Black ? black : white; }
  Bitboard<NW>& stones(Player p) { return p == Player::Black ? black : white; }

  // Off-board points read as empty.
  std::optional<Player> get_piece(uint64_t col, uint64_t row) const {
    if (col >= width || row >= height) return std::nullopt;
    const unsigned p = unsigned(row) * width + unsigned(col);
    if (black.test(p)) return Player::Black;
    if (white.test(p)) return Player::White;
    return std::nullopt;
  }

  // Raw edit: replaces the point's content; off-board writes are ignored.
  void set_piece(uint64_t col, uint64_t row, std::optional<Player> piece) {
    if (col >= width || row >= height) return;
    const unsigned p = unsigned(row) * width + unsigned(col);
    black.remove(p);
    white.remove(p);
    if (piece) stones(*piece).insert(p);
  }

  void clear() {
    black = Bitboard<NW>{};
    white = Bitboard<NW>{};
  }

  // Rows from the top, "|B|.|W|" style, then the column numbers.
  std::string to_string() const {
    std::string s;
    s.reserve(size_t(height) * (2 * width + 2) + 3 * width + 3);
    for (int r = int(height) - 1; r >= 0; --r) {
      s += '|';
      for (unsigned c = 0; c < width; ++c) {
        const unsigned p = unsigned(r) * width + c;
        s += black.test(p) ? 'B' : white.test(p) ? 'W' : '.';
        s += '|';
      }
      s += '\n';
    }
    s += ' ';
    for (unsigned c = 0; c < width; ++c) {
      s += std::to_string(c);
      s += ' ';
    }
    s += '\n';
    return s;
  }

  bool operator==(const Board&) const = default;
};

}  // namespace vexlor
