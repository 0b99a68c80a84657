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

// Fills a zeroed buffer of 17*area values. The game is only read: earlier
// boards are rebuilt on a copy from the undo records.
template <int NW, class T>
void encode_planes(const Game<NW>& game, T* buf) {
  const size_t area = game.area();
  const Player perspective = game.turn();
  Board<NW> b = game.board();
  fill_go_planes(buf, b, perspective, 0, area);
  const auto& hist = game.history();
  const size_t n = hist.size();
  const size_t k = n < kHistorySteps - 1 ? n : kHistorySteps - 1;
  Player mover = opposite(perspective);  // made the last move
  for (size_t t = 1; t <= k; ++t) {
    undo_on_board(b, hist[n - t], mover);
    fill_go_planes(buf, b, perspective, unsigned(t), area);
    mover = opposite(mover);
  }
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
