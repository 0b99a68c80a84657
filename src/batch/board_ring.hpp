// The last kHistorySteps boards of a game, newest first, kept as the game
// moves: a batch writes observations from it without replaying undo records
// from the game's cold history on every step. Invariant: it equals
// BoardRing::of(game) for the game it follows (the history's boards rebuilt
// by undo records, as encode_planes sees them).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#include "engine/bitboard.hpp"
#include "engine/board.hpp"
#include "engine/encode.hpp"
#include "engine/game.hpp"
#include "engine/player.hpp"

namespace vexlor::batch {

template <int NW>
class BoardRing {
 public:
  // Black's and White's stones of one board.
  using Stones = std::array<Bitboard<NW>, 2>;

  // The boards the game's history gives (its current board first).
  static BoardRing of(const Game<NW>& g) {
    BoardRing r;
    for_each_encoded_board(g, [&r](unsigned t, const Board<NW>& b) {
      r.boards_[t] = {b.black, b.white};
      r.count_ = uint8_t(t + 1);
    });
    return r;
  }

  // After the game made a move (a pass too): b is its new board.
  void push(const Board<NW>& b) {
    head_ = uint8_t((head_ + kHistorySteps - 1) % kHistorySteps);
    boards_[head_] = {b.black, b.white};
    count_ = uint8_t(std::min<unsigned>(count_ + 1u, kHistorySteps));
  }

  // Boards held: 1 to kHistorySteps.
  unsigned count() const { return count_; }
  // The board t moves back (t < count()).
  const Stones& at(unsigned t) const { return boards_[(head_ + t) % kHistorySteps]; }
  // The stones of p on that board.
  const Bitboard<NW>& stones(unsigned t, Player p) const { return at(t)[p == Player::Black ? 0 : 1]; }

  bool operator==(const BoardRing& o) const {
    if (count_ != o.count_) return false;
    for (unsigned t = 0; t < count_; ++t)
      if (!(at(t)[0] == o.at(t)[0]) || !(at(t)[1] == o.at(t)[1])) return false;
    return true;
  }

 private:
  std::array<Stones, kHistorySteps> boards_{};
  uint8_t head_ = 0;
  uint8_t count_ = 1;
};

}  // namespace vexlor::batch
