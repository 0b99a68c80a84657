// Zobrist keys: a cheap, incrementally kept key of a position that the superko
// filters compare before paying for the exact hash. Fixed at compile time, so
// equal positions have equal keys in every process.
#pragma once

#include <array>
#include <cstdint>

#include "bitboard.hpp"
#include "board.hpp"
#include "limits.hpp"
#include "player.hpp"
#include "splitmix.hpp"

namespace vexlor::detail {

struct ZobristTable {
  std::array<uint64_t, 2 * kMaxPoints> stone{};  // [colour_index * kMaxPoints + point]
  uint64_t white_to_move = 0;
};

// The keys are splitmix64's outputs from this state, stones first.
inline constexpr uint64_t kZobristSeed = 0x5eed5eed5eed5eedULL;

constexpr ZobristTable make_zobrist() {
  ZobristTable t;
  uint64_t state = kZobristSeed;
  for (auto& k : t.stone) k = splitmix64_next(state);
  t.white_to_move = splitmix64_next(state);
  return t;
}

inline constexpr ZobristTable kZobrist = make_zobrist();

inline uint64_t zobrist_stone(Player p, unsigned point) { return kZobrist.stone[colour_index(p) * kMaxPoints + point]; }

template <int NW>
uint64_t zobrist_of_set(const Bitboard<NW>& s, Player colour) {
  uint64_t z = 0;
  s.for_each([&](unsigned p) { z ^= zobrist_stone(colour, p); });
  return z;
}

// Key of a whole position with a side to move.
template <int NW>
uint64_t zobrist_key(const Board<NW>& b, Player to_move) {
  return zobrist_of_set(b.black, Player::Black) ^ zobrist_of_set(b.white, Player::White) ^
         (to_move == Player::White ? kZobrist.white_to_move : 0);
}

}  // namespace vexlor::detail
