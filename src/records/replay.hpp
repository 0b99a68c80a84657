// A record's main line replayed through the rules into a Game.
//
// The game: the record's size and komi (or the caller's), passes legal from
// the first move (min_moves_before_pass_possible 0), a move limit of
// max(3 x points, 2 x record moves + 2) unless the caller sets one, superko
// as the caller chooses (off by default: human games repeat positions, and
// the simple ko rule always holds).
//
// Nodes are taken in order; in each, setup (AB, AW, AE, applied in property
// order) comes before its moves. Setup edits the board with set_piece. To
// bound the work a hostile record can ask for, a record may change at most
// 16 x points setup points in all.
//
// Side to move: a record move by the side not to move gets a pass of the
// other side inserted before it. This covers handicap games whose first move
// is White's (a Black pass opens the history), two moves in a row by one
// colour, and PL[]. PL itself acts only where the replay stops: if no record
// move follows there, the side named by the last PL since the last move is
// made to move, by the same inserted pass; if a record move follows (a replay
// that stops at a move number), its colour is. An inserted pass that ends the
// game (it follows a pass) leaves the next record move refused as a move
// after the end of the game.
//
// Rule breaks (occupied point, ko, suicide, superko, a move after the end,
// a value that is not a point): strict, the default, throws ReplayError or
// SgfError naming the record, the move number and the point; lenient stops
// the replay before the refused move and reports why in `stopped`.
#pragma once

#include <algorithm>
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
#include "engine/geometry.hpp"
#include "game_info.hpp"
#include "record_error.hpp"
#include "sgf_tree.hpp"
#include "sgf_values.hpp"

namespace vexlor::records {

struct ReplayOptions {
  bool strict = true;
  bool superko = false;
  std::optional<float> komi;          // instead of the record's
  std::optional<uint16_t> max_moves;  // instead of the default limit
  std::optional<size_t> move_number;  // stop after this many record moves (default: the whole main line)
  std::string name = "record";        // names the record in messages
};

// Why a lenient replay stopped.
struct ReplayStop {
  size_t move_number = 0;  // the record move refused (from 1); the next one when a setup was refused
  size_t offset = 0;       // byte offset of the refused value
  std::string reason;
};

template <int NW>
struct Replay {
  Replay(Game<NW> g, GameInfo i) : game(std::move(g)), info(std::move(i)) {}
  Game<NW> game;
  GameInfo info;
  size_t moves_played = 0;              // record moves played
  size_t record_moves = 0;              // moves on the main line
  std::vector<size_t> inserted_passes;  // per inserted pass: the record moves played before it
  std::optional<ReplayStop> stopped;
};

inline constexpr size_t kSetupEditsPerPoint = 16;

// Receives every move the replay makes: the board before it, its mover, the
// move, and whether the replay inserted it (a pass) rather than read it.
struct NoVisit {
  template <class B>
  void operator()(const B&, Player, Move, bool) const {}
};

namespace detail {

template <int NW>
void set_bit_range(Bitboard<NW>& b, unsigned lo, unsigned hi) {  // inclusive
  while (lo <= hi) {
    const unsigned bit = lo & 63;
    const unsigned n = std::min(64u - bit, hi - lo + 1);
    const uint64_t m = (n == 64 ? ~uint64_t{0} : ((uint64_t{1} << n) - 1)) << bit;
    b.w[lo >> 6] |= m;
    lo += n;
  }
}

template <int NW>
Bitboard<NW> rect_points(const PointRect& r, unsigned width) {
  Bitboard<NW> b;
  for (unsigned row = r.r0; row <= r.r1; ++row) set_bit_range(b, row * width + r.c0, row * width + r.c1);
  return b;
}

// Why the rules refuse m for the side to move (m was refused).
template <int NW>
std::string refusal_reason(const Game<NW>& g, Move m) {
  if (g.is_over()) return "the game is over";
  if (m.is_pass()) return "the pass is refused";
  const unsigned p = unsigned(m.row) * g.width() + m.col;
  if (g.board().black.test(p) || g.board().white.test(p)) return "the point is occupied";
  if (g.ko_point() && *g.ko_point() == Point{m.col, m.row}) return "it retakes a ko";
  if (g.would_be_suicide(p, g.turn())) return "it is suicide";
  if (g.would_violate_superko(p, g.turn())) return "it repeats an earlier position (superko)";
  return "it is illegal";
}

}  // namespace detail

template <int NW, class Visit = NoVisit>
Replay<NW> replay_record(const SgfTree& t, size_t game, const GameInfo& info, const ReplayOptions& opt,
                         Visit&& visit = {}) {
  using BB = Bitboard<NW>;
  const unsigned w = info.width, h = info.height, area = w * h;
  if (words_for(area) != NW) throw std::logic_error("replay_record: word count does not fit the board");
  const std::string prefix = opt.name + ": ";
  const std::vector<uint32_t> line = t.main_line(game);

  size_t total = 0;
  for (uint32_t n : line)
    for (uint32_t p = t.property_begin(n), e = t.property_end(n); p < e; ++p)
      if (t.ident(p) == "B" || t.ident(p) == "W") ++total;
  const uint16_t max_moves =
      opt.max_moves ? *opt.max_moves : uint16_t(std::min<size_t>(65535, std::max<size_t>(3 * area, 2 * total + 2)));
  const float komi = opt.komi ? *opt.komi : info.komi;
  Replay<NW> r(Game<NW>::with_options(uint8_t(w), uint8_t(h), komi, 0, max_moves, opt.superko), info);
  r.record_moves = total;
  Game<NW>& g = r.game;

  const size_t edit_budget = kSetupEditsPerPoint * area;
  size_t edits = 0;
  std::optional<Player> pending_pl;   // last PL since the last move
  std::optional<Player> next_colour;  // colour of the record move the replay stopped before

  // Strict: throws. Lenient: records the stop; the caller returns.
  auto refuse_move = [&](size_t number, size_t offset, const std::string& what) {
    if (opt.strict) throw ReplayError(prefix + what, number, offset);
    r.stopped = ReplayStop{number, offset, what};
  };
  auto refuse_value = [&](const SgfError& e, size_t number) {
    if (opt.strict) throw e;
    r.stopped = ReplayStop{number, e.offset(), e.what()};
  };

  // Plays node n; false when the replay ends there.
  auto play_node = [&](uint32_t n) -> bool {
    const uint32_t pb = t.property_begin(n), pe = t.property_end(n);
    // Setup first.
    BB black = g.board().black, white = g.board().white;
    size_t setup_offset = 0;
    bool setup = false;
    for (uint32_t p = pb; p < pe; ++p) {
      const std::string_view id = t.ident(p);
      const bool ab = id == "AB", aw = id == "AW", ae = id == "AE";
      if (id == "PL" && t.value_count(p) > 0) {
        if (const auto c = read_colour(t.raw_value(p, 0))) {
          pending_pl = c;
        } else if (n != t.root(game)) {  // the root's PL was judged with the game information
          const SgfError e(prefix + "PL[" + shown_value(trim(t.raw_value(p, 0))) + "] names no player",
                           t.value_offset(p, 0));
          if (opt.strict) throw e;
          r.info.notes.push_back(std::string(e.what()) + ": ignored");
        }
      }
      if (!(ab || aw || ae)) continue;
      for (size_t k = 0; k < t.value_count(p); ++k) {
        PointRect rect;
        try {
          rect = read_point_rect(t.raw_value(p, k), w, h, t.value_offset(p, k), prefix + std::string(id) + " ");
        } catch (const SgfError& e) {
          refuse_value(e, r.moves_played + 1);
          return false;
        }
        const BB pts = detail::rect_points<NW>(rect, w);
        black = ab ? black | pts : black.minus(pts);
        white = aw ? white | pts : white.minus(pts);
        if (!setup) setup_offset = t.value_offset(p, k);
        setup = true;
      }
    }
    if (setup) {
      const BB changed = (black ^ g.board().black) | (white ^ g.board().white);
      edits += size_t(changed.count());
      if (edits > edit_budget) {
        const SgfError e(prefix + "more than " + std::to_string(edit_budget) + " setup changes", setup_offset);
        refuse_value(e, r.moves_played + 1);
        return false;
      }
      changed.for_each([&](unsigned q) {
        const std::optional<Player> piece = black.test(q)   ? std::optional(Player::Black)
                                            : white.test(q) ? std::optional(Player::White)
                                                            : std::nullopt;
        g.set_piece(q % w, q / w, piece);
      });
    }
    // Then the moves.
    for (uint32_t p = pb; p < pe; ++p) {
      const std::string_view id = t.ident(p);
      if (id != "B" && id != "W") continue;
      const Player colour = id == "B" ? Player::Black : Player::White;
      if (opt.move_number && r.moves_played == *opt.move_number) {
        next_colour = colour;
        return false;
      }
      const size_t number = r.moves_played + 1;
      const size_t offset = t.value_count(p) ? t.value_offset(p, 0) : t.ident_offset(p);
      std::optional<Point> pt;
      try {
        if (t.value_count(p) == 0) throw SgfError(prefix + "move " + std::to_string(number) + " has no value", offset);
        pt = read_move(t.raw_value(p, 0), w, h, offset, prefix + "move " + std::to_string(number) + ": ");
      } catch (const SgfError& e) {
        refuse_value(e, number);
        return false;
      }
      const Move m = pt ? Move::place(pt->col, pt->row) : Move::pass();
      const std::string shown =
          std::string(id) + "[" + (pt ? sgf_point(*pt, h) : "") + "]" +
          (pt ? " (col " + std::to_string(pt->col) + ", row " + std::to_string(pt->row) + ")" : " (pass)");
      std::optional<Board<NW>> before_pass;
      if (g.turn() != colour) {
        before_pass = g.board();
        if (!g.make_move(Move::pass())) {
          refuse_move(number, offset, "move " + std::to_string(number) + " " + shown + " is illegal: the game is over");
          return false;
        }
      }
      const Board<NW> before = g.board();
      if (!g.make_move(m)) {
        const std::string why = detail::refusal_reason(g, m);
        if (before_pass) g.unmake_move();
        refuse_move(number, offset, "move " + std::to_string(number) + " " + shown + " is illegal: " + why);
        return false;
      }
      if (before_pass) {
        r.inserted_passes.push_back(r.moves_played);
        visit(*before_pass, opposite(colour), Move::pass(), true);
      }
      visit(before, colour, m, false);
      ++r.moves_played;
      pending_pl.reset();
    }
    return true;
  };

  for (uint32_t n : line)
    if (!play_node(n)) break;
  if (r.stopped) return r;
  const std::optional<Player> to_move = next_colour ? next_colour : pending_pl;
  if (to_move && g.turn() != *to_move && !g.is_over()) {
    const Board<NW> before = g.board();
    if (g.make_move(Move::pass())) {
      r.inserted_passes.push_back(r.moves_played);
      visit(before, opposite(*to_move), Move::pass(), true);
    }
  }
  return r;
}

// Reads the game information and replays; see replay_record.
template <int NW>
Replay<NW> replay_record(const SgfTree& t, size_t game, const ReplayOptions& opt) {
  return replay_record<NW>(t, game, read_game_info(t, game, opt.strict, opt.name), opt);
}

}  // namespace vexlor::records
