// The 17 input planes: 8 positions (current + 7 earlier) from the mover's side, then side to move.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "board.hpp"
#include "game.hpp"
#include "player.hpp"
#include "undo_record.hpp"

namespace vexlor {

inline constexpr unsigned kHistorySteps = 8;                     // positions encoded, the current one first
inline constexpr unsigned kSideToMovePlane = 2 * kHistorySteps;  // after two planes per position
inline constexpr unsigned kTotalInputPlanes = kSideToMovePlane + 1;

// Writes 1 at the stones of step t (planes 2t and 2t+1); the buffer must be zero elsewhere.
// Cost is proportional to the number of stones.
template <int NW, class T>
void fill_go_planes(T* buf, const Board<NW>& board, Player perspective, unsigned t, size_t area) {
  const Bitboard<NW>& mine = board.stones(perspective);
  const Bitboard<NW>& theirs = board.stones(opposite(perspective));
  T* plane = buf + 2 * t * area;
  mine.for_each([&](unsigned p) { plane[p] = T(1); });
  plane += area;
  theirs.for_each([&](unsigned p) { plane[p] = T(1); });
}

// Calls f(t, board) for the boards the planes show, newest first: t = 0 is the
// current board, then up to kHistorySteps - 1 earlier ones, rebuilt on a copy
// from the undo records (the game is only read).
template <int NW, class F>
void for_each_encoded_board(const Game<NW>& game, F&& f) {
  Board<NW> b = game.board();
  f(0u, b);
  const auto& hist = game.history();
  const size_t n = hist.size();
  const size_t k = n < kHistorySteps - 1 ? n : kHistorySteps - 1;
  Player mover = opposite(game.turn());  // made the last move
  for (size_t t = 1; t <= k; ++t) {
    undo_on_board(b, hist[n - t], mover);
    f(unsigned(t), b);
    mover = opposite(mover);
  }
}

// Fills a zeroed buffer of 17*area values.
template <int NW, class T>
void encode_planes(const Game<NW>& game, T* buf) {
  const size_t area = game.area();
  const Player perspective = game.turn();
  for_each_encoded_board(game, [&](unsigned t, const Board<NW>& b) { fill_go_planes(buf, b, perspective, t, area); });
  if (perspective == Player::Black) {
    T* plane = buf + kSideToMovePlane * area;
    for (size_t i = 0; i < area; ++i) plane[i] = T(1);
  }
}

template <int NW>
std::vector<float> encode_game_planes(const Game<NW>& game) {
  std::vector<float> buf(kTotalInputPlanes * size_t(game.area()), 0.0f);
  encode_planes(game, buf.data());
  return buf;
}

}  // namespace vexlor
