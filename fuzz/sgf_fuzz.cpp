// libFuzzer target: any bytes through the SGF parser, the writer, the game
// information and both replays, the game writer and the picture. Crashes,
// sanitizer reports and broken invariants (an abort below) are findings.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "records/game_info.hpp"
#include "records/game_record.hpp"
#include "records/replay.hpp"
#include "records/sgf_parser.hpp"
#include "records/sgf_writer.hpp"
#include "records/word_dispatch.hpp"
#include "render/svg.hpp"

using namespace vexlor;
using namespace vexlor::records;

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

template <int NW>
void replay_game(const SgfTree& t, size_t game, const GameInfo& info) {
  ReplayOptions o;
  o.strict = false;
  const Replay<NW> g = replay_record<NW>(t, game, info, o);
  const BoardReplay<NW> b = replay_board<NW>(t, game, info, o);
  // The fast board follows the Game exactly, stops included.
  check(g.game.board() == b.board.board());
  check(g.game.turn() == b.board.turn() && g.game.ko_point() == b.board.ko_point());
  check(g.moves_played == b.moves_played && g.stopped.has_value() == b.stopped.has_value());
  // The game written as a record reads back to the same play.
  std::string text;
  try {
    text = game_to_sgf(g.game);
  } catch (const RecordError&) {
    return;  // setup after moves that the moves do not survive
  }
  const Replay<NW> back = replay_record<NW>(parse_sgf(text), 0, ReplayOptions{});
  check(back.game.board() == g.game.board() && back.game.move_count() == g.game.move_count());
  check(render::game_svg(g.game).size() > 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  SgfTree t;
  try {
    t = parse_sgf(text);
  } catch (const SgfError& e) {
    check(e.offset() <= size);
    return 0;
  }
  const SgfTree again = parse_sgf(write_sgf(t));
  check(same_content(t, again));
  for (size_t game = 0; game < t.game_count() && game < 4; ++game) {
    GameInfo info;
    try {
      info = read_game_info(t, game, false);
    } catch (const SgfError& e) {
      check(e.offset() <= size);
      continue;
    }
    with_word_count(info.width, info.height, [&]<int NW>() { replay_game<NW>(t, game, info); });
  }
  return 0;
}
