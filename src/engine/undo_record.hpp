// What a game keeps of each move it made: enough to take the move back exactly.
#pragma once

#include <optional>

#include "bitboard.hpp"
#include "board.hpp"
#include "move.hpp"
#include "player.hpp"
#include "point.hpp"

namespace vexlor {

template <int NW>
struct UndoRecord {
  Bitboard<NW> captured;  // opponent stones the move removed
  Move move;
  std::optional<Point> previous_ko_point;
};

// Board before the move of `rec` was made by `mover`: the placed stone is
// lifted and the captured stones go back to the opponent, replacing anything there.
template <int NW>
void undo_on_board(Board<NW>& b, const UndoRecord<NW>& rec, Player mover) {
  if (rec.move.is_pass()) return;
  const unsigned p = unsigned(rec.move.row) * b.width + rec.move.col;
  b.black.remove(p);
  b.white.remove(p);
  b.stones(mover) = b.stones(mover).minus(rec.captured);
  b.stones(opposite(mover)) |= rec.captured;
}

}  // namespace vexlor
