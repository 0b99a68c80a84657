// A Game as an SGF record: FF[4] GM[1] CA[UTF-8], SZ, KM, RU, RE for a game
// that is over, the caller's properties, the stones of an edited start as AB
// and AW, then every move in order, passes as B[] / W[].
//
// The start position is found by taking every move back from the current
// board. A game edited with set_piece after its first move cannot be written
// move for move; if its moves still replay, a last node with AB/AW/AE brings
// the board to the game's, otherwise the writer throws RecordError.
//
// Reading the record back with replay_record gives the same moves (history),
// side to move and board; a game that ended on its move limit reads back not
// over, as the record does not carry the limit.
#pragma once

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/board.hpp"
#include "engine/game.hpp"
#include "record_error.hpp"
#include "sgf_tree.hpp"
#include "sgf_values.hpp"
#include "sgf_writer.hpp"

namespace vexlor::records {

struct GameRecordOptions {
  // Extra root properties as (identifier, plain value); repeated identifiers
  // become one property with several values. KM, RU and RE given here replace
  // the written ones; FF, GM, CA, SZ, AB, AW, AE, B, W and PL may not be given.
  std::vector<std::pair<std::string, std::string>> properties;
  std::string rules = "Chinese";  // RU: area scoring, suicide illegal
};

// Shortest decimal text that reads back as the same float.
inline std::string float_text(float x) {
  char buf[32];
  const auto res = std::to_chars(buf, buf + sizeof buf, x);
  return std::string(buf, res.ptr);
}

// RE value of a finished game: "B+3.5", "W+0.5", "0" for a draw.
template <int NW>
std::string result_text(const Game<NW>& g) {
  const auto [black, white] = g.score();
  switch (*g.outcome()) {
    case GameOutcome::BlackWin:
      return "B+" + float_text(black - white);
    case GameOutcome::WhiteWin:
      return "W+" + float_text(white - black);
    default:
      return "0";
  }
}

template <int NW>
SgfTree game_to_tree(const Game<NW>& g, const GameRecordOptions& opt = {}) {
  static constexpr std::string_view kReserved[] = {"FF", "GM", "CA", "SZ", "AB", "AW", "AE", "B", "W", "PL"};
  for (const auto& [id, value] : opt.properties) {
    if (!is_valid_ident(id)) throw std::invalid_argument("property identifier must be capital letters A-Z: " + id);
    for (std::string_view r : kReserved)
      if (id == r) throw std::invalid_argument("property " + id + " is written from the game and cannot be given");
  }
  auto given = [&](std::string_view id) {
    for (const auto& entry : opt.properties)
      if (entry.first == id) return true;
    return false;
  };
  const unsigned w = g.width(), h = g.height();

  // Start position: every move taken back.
  const auto& history = g.history();
  Board<NW> start = g.board();
  Player mover = opposite(g.turn());
  for (size_t i = history.size(); i-- > 0;) {
    undo_on_board(start, history[i], mover);
    mover = opposite(mover);
  }
  // The moves must lead from there to the game's board.
  Game<NW> check = Game<NW>::with_options(uint8_t(w), uint8_t(h), g.komi(), 0, 65535, false);
  start.black.for_each([&](unsigned p) { check.set_piece(p % w, p / w, Player::Black); });
  start.white.for_each([&](unsigned p) { check.set_piece(p % w, p / w, Player::White); });
  for (const UndoRecord<NW>& rec : history)
    if (!check.make_move(rec.move))
      throw RecordError("the game was edited with set_piece after its first move; its moves cannot be written");

  SgfTree t;
  t.add_game();
  t.add("FF", {"4"});
  t.add("GM", {"1"});
  t.add("CA", {"UTF-8"});
  t.add("SZ", {w == h ? std::to_string(w) : std::to_string(w) + ":" + std::to_string(h)});
  if (!given("KM")) {
    std::string km = float_text(g.komi());
    // A whole number of 100 or more would read back as hundredths (game_info.hpp).
    if (std::fabs(g.komi()) >= 100 && km.find_first_of(".en") == std::string::npos) km += ".0";
    t.add("KM", {km});
  }
  if (!given("RU") && !opt.rules.empty()) t.add("RU", {opt.rules});
  if (!given("RE") && g.is_over()) t.add("RE", {result_text(g)});
  for (size_t i = 0; i < opt.properties.size(); ++i) {
    const std::string& id = opt.properties[i].first;
    bool seen = false;
    for (size_t k = 0; k < i && !seen; ++k) seen = opt.properties[k].first == id;
    if (seen) continue;
    t.add_property(id);
    for (size_t k = i; k < opt.properties.size(); ++k)
      if (opt.properties[k].first == id) t.add_value(opt.properties[k].second);
  }
  auto add_points = [&](std::string_view id, const Bitboard<NW>& pts) {
    if (pts.empty()) return;
    t.add_property(id);
    pts.for_each([&](unsigned p) { t.add_raw_value(sgf_point(point_at(p, w), h)); });
  };
  add_points("AB", start.black);
  add_points("AW", start.white);

  uint32_t node = t.root(0);
  Player colour = Player::Black;
  for (const UndoRecord<NW>& rec : history) {
    node = t.add_child(node);
    t.add_property(colour == Player::Black ? "B" : "W");
    t.add_raw_value(rec.move.is_pass() ? std::string() : sgf_point(Point{rec.move.col, rec.move.row}, h));
    colour = opposite(colour);
  }
  if (check.board() != g.board()) {
    const Board<NW>& now = g.board();
    const Board<NW>& got = check.board();
    node = t.add_child(node);
    add_points("AB", now.black.minus(got.black));
    add_points("AW", now.white.minus(got.white));
    add_points("AE", (got.black | got.white).minus(now.black | now.white));
  }
  return t;
}

template <int NW>
std::string game_to_sgf(const Game<NW>& g, const GameRecordOptions& opt = {}) {
  return write_sgf(game_to_tree(g, opt));
}

}  // namespace vexlor::records
