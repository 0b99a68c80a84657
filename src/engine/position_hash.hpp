// The exact position hash: SipHash-1-3 over a fixed byte stream of the stones,
// the size, NW and the side to move. Superko compares positions by it.
#pragma once

#include <cstdint>

#include "board.hpp"
#include "player.hpp"
#include "siphash.hpp"

namespace vexlor {

// Feeds the position's stream to h (the Python hash of a game extends it).
template <int NW>
void hash_position_into(SipHasher13& h, const Board<NW>& board, Player to_move) {
  h.write_u64(NW);
  for (uint64_t w : board.black.w) h.write_u64(w);
  h.write_u64(NW);
  for (uint64_t w : board.white.w) h.write_u64(w);
  const uint8_t tail[3] = {board.width, board.height, player_hash_byte(to_move)};
  h.write(tail, 3);
}

template <int NW>
uint64_t compute_position_hash(const Board<NW>& board, Player to_move) {
  // Same stream as hash_position_into, with the 3 closing bytes as one tail word.
  SipHasher13 h;
  h.write_u64(NW);
  for (uint64_t w : board.black.w) h.write_u64(w);
  h.write_u64(NW);
  for (uint64_t w : board.white.w) h.write_u64(w);
  const uint64_t tail = uint64_t(board.width) | uint64_t(board.height) << 8 | uint64_t(player_hash_byte(to_move)) << 16;
  return h.finish_with_tail(tail, 3);
}

}  // namespace vexlor
