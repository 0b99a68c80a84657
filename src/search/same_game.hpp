// Whether two games are the same game: same rules, same position and the same
// past, so that every legal move and every later result agrees. Tree reuse
// relies on it to recognise a root it has searched before.
#pragma once

#include <cstring>

#include "engine/game.hpp"

namespace vexlor::search {

template <int NW>
bool same_game(const Game<NW>& a, const Game<NW>& b) {
  const float ka = a.komi(), kb = b.komi();
  if (a.width() != b.width() || a.height() != b.height() || std::memcmp(&ka, &kb, sizeof ka) != 0 ||
      a.min_moves_before_pass_possible() != b.min_moves_before_pass_possible() || a.max_moves() != b.max_moves() ||
      a.superko() != b.superko())
    return false;
  if (a.turn() != b.turn() || !(a.board().black == b.board().black) || !(a.board().white == b.board().white) ||
      a.ko_point() != b.ko_point() || a.consecutive_passes() != b.consecutive_passes() || a.is_over() != b.is_over() ||
      a.outcome() != b.outcome() || a.move_count() != b.move_count())
    return false;
  const auto& ha = a.history();
  const auto& hb = b.history();
  for (size_t i = ha.size(); i-- > 0;)
    if (!(ha[i].move == hb[i].move) || !(ha[i].captured == hb[i].captured) ||
        ha[i].previous_ko_point != hb[i].previous_ko_point)
      return false;
  // Hand edits change the recorded positions without leaving a trace in the moves.
  return !a.superko() || a.position_hashes() == b.position_hashes();
}

}  // namespace vexlor::search
