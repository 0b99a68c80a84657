// A record's main line replayed through the rules: into a Game (every undo
// record, superko on request), or into a ReplayBoard (the final board only,
// several times faster; simple ko only) for code that needs boards alone.
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
#include <type_traits>
#include <utility>
#include <vector>

#include "engine/board.hpp"
#include "engine/game.hpp"
#include "engine/geometry.hpp"
#include "game_info.hpp"
#include "record_error.hpp"
#include "replay_board.hpp"
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

// What a replay did, whatever it replayed into.
struct ReplaySummary {
  size_t moves_played = 0;              // record moves played
  size_t record_moves = 0;              // moves on the main line
  std::vector<size_t> inserted_passes;  // per inserted pass: the record moves played before it
  std::optional<ReplayStop> stopped;
  std::vector<std::string> notes;  // values a lenient replay ignored
};

template <int NW>
struct Replay : ReplaySummary {
  Replay(Game<NW> g, GameInfo i) : game(std::move(g)), info(std::move(i)) {}
  Game<NW> game;
  GameInfo info;
};

template <int NW>
struct BoardReplay : ReplaySummary {
  BoardReplay(uint8_t w, uint8_t h, uint16_t max_moves, GameInfo i) : board(w, h, max_moves), info(std::move(i)) {}
  ReplayBoard<NW> board;
  GameInfo info;
};

inline constexpr size_t kSetupEditsPerPoint = 16;

// Receives every move the replay makes: the board before it, its mover, the
// move, and whether the replay inserted it (a pass) rather than read it.
struct NoVisit {
  template <class B>
  void operator()(const B&, Player, Move, bool) const {}
};

enum class PropertyKind : uint8_t { Other, Black, White, AddBlack, AddWhite, AddEmpty, ToPlay };

// What a property identifier means to the replay.
constexpr PropertyKind property_kind(std::string_view id) {
  if (id.size() == 1)
    return id[0] == 'B' ? PropertyKind::Black : id[0] == 'W' ? PropertyKind::White : PropertyKind::Other;
  if (id.size() != 2) return PropertyKind::Other;
  if (id[0] == 'A') {
    if (id[1] == 'B') return PropertyKind::AddBlack;
    if (id[1] == 'W') return PropertyKind::AddWhite;
    if (id[1] == 'E') return PropertyKind::AddEmpty;
  }
  return id == "PL" ? PropertyKind::ToPlay : PropertyKind::Other;
}

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

// The replay's view of a Game.
template <int NW>
struct GameTarget {
  Game<NW>& g;
  Player turn() const { return g.turn(); }
  bool is_over() const { return g.is_over(); }
  const Board<NW>& board() const { return g.board(); }
  bool make_move(Move m) { return g.make_move(m); }
  void unmake_pass() { g.unmake_move(); }
  void set_piece(unsigned col, unsigned row, std::optional<Player> piece) { g.set_piece(col, row, piece); }
  void sync() {}
  // Why the rules refuse m for the side to move (m was refused).
  std::string refusal_reason(Move m) const {
    if (g.is_over()) return "the game is over";
    const unsigned p = unsigned(m.row) * g.width() + m.col;
    if (g.board().black.test(p) || g.board().white.test(p)) return "the point is occupied";
    if (g.ko_point() && *g.ko_point() == Point{m.col, m.row}) return "it retakes a ko";
    if (g.would_be_suicide(p, g.turn())) return "it is suicide";
    if (g.would_violate_superko(p, g.turn())) return "it repeats an earlier position (superko)";
    return "it is illegal";
  }
};

// The replay's view of a ReplayBoard.
template <int NW>
struct BoardTarget {
  ReplayBoard<NW>& b;
  Player turn() const { return b.turn(); }
  bool is_over() const { return b.is_over(); }
  const Board<NW>& board() const { return b.board(); }
  bool make_move(Move m) { return b.make_move(m); }
  void unmake_pass() { b.unmake_pass(); }
  void set_piece(unsigned col, unsigned row, std::optional<Player> piece) { b.set_piece(col, row, piece); }
  void sync() { b.sync(); }
  std::string refusal_reason(Move m) const { return b.refusal_reason(m); }
};

}  // namespace detail

// Moves of the main line of game `game` (B and W properties).
inline size_t count_record_moves(const SgfTree& t, size_t game) {
  size_t total = 0;
  for (uint32_t n = t.root(game); n != kNoNode; n = t.first_child(n))
    for (uint32_t p = t.property_begin(n), e = t.property_end(n); p < e; ++p) {
      const PropertyKind k = property_kind(t.ident(p));
      total += k == PropertyKind::Black || k == PropertyKind::White;
    }
  return total;
}

// The move limit of a replayed game: room for every record move and a pass before each.
inline uint16_t replay_max_moves(unsigned area, size_t record_moves) {
  return uint16_t(std::min<size_t>(65535, std::max<size_t>(3 * size_t(area), 2 * record_moves + 2)));
}

// Replays the main line of game `game` into target g (a GameTarget or a
// BoardTarget of a fresh game or board of the record's size), filling r.
template <int NW, class Target, class Visit>
void replay_into(const SgfTree& t, size_t game, const GameInfo& info, const ReplayOptions& opt, Target g,
                 ReplaySummary& r, Visit&& visit) {
  using BB = Bitboard<NW>;
  constexpr bool kVisits = !std::is_same_v<std::decay_t<Visit>, NoVisit>;
  const unsigned w = info.width, h = info.height, area = w * h;
  if (words_for(area) != NW) throw std::logic_error("replay: word count does not fit the board");
  const std::string prefix = opt.name + ": ";
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

  // Applies the setup (AB, AW, AE) and PL of node n; false when the replay ends there.
  auto setup_node = [&](uint32_t n, uint32_t pb, uint32_t pe) -> bool {
    BB black, white;
    size_t setup_offset = 0;
    bool setup = false;
    for (uint32_t p = pb; p < pe; ++p) {
      const PropertyKind kind = property_kind(t.property_ref(p).ident);
      if (kind == PropertyKind::Black || kind == PropertyKind::White || kind == PropertyKind::Other) continue;
      if (kind == PropertyKind::ToPlay && t.value_count(p) > 0) {
        if (const auto c = read_colour(t.raw_value(p, 0))) {
          pending_pl = c;
        } else if (n != t.root(game)) {  // the root's PL was judged with the game information
          const SgfError e(prefix + "PL[" + shown_value(trim(t.raw_value(p, 0))) + "] names no player",
                           t.value_offset(p, 0));
          if (opt.strict) throw e;
          r.notes.push_back(std::string(e.what()) + ": ignored");
        }
      }
      if (kind != PropertyKind::AddBlack && kind != PropertyKind::AddWhite && kind != PropertyKind::AddEmpty) continue;
      if (!setup) {
        black = g.board().black;
        white = g.board().white;
        setup_offset = t.value_count(p) ? t.value_offset(p, 0) : t.ident_offset(p);
        setup = true;
      }
      for (size_t k = 0; k < t.value_count(p); ++k) {
        PointRect rect;
        try {
          rect = read_point_rect(t.raw_value(p, k), w, h, t.value_offset(p, k));
        } catch (const SgfError& e) {
          refuse_value(SgfError(prefix + "setup before move " + std::to_string(r.moves_played + 1) + ": " +
                                    std::string(t.ident(p)) + " " + e.description(),
                                e.offset()),
                       r.moves_played + 1);
          return false;
        }
        const BB pts = detail::rect_points<NW>(rect, w);
        black = kind == PropertyKind::AddBlack ? black | pts : black.minus(pts);
        white = kind == PropertyKind::AddWhite ? white | pts : white.minus(pts);
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
      g.sync();
    }
    return true;
  };

  // Plays the move property p of kind B or W; false when the replay ends there.
  auto play_move = [&](uint32_t p, const SgfTree::PropertyRef& prop, PropertyKind kind) -> bool {
    const std::string_view id = prop.ident;
    const Player colour = kind == PropertyKind::Black ? Player::Black : Player::White;
    if (opt.move_number && r.moves_played == *opt.move_number) {
      next_colour = colour;
      return false;
    }
    const size_t number = r.moves_played + 1;
    const size_t offset = prop.value_count ? prop.values[0].offset : t.ident_offset(p);
    std::optional<Point> pt;
    try {
      if (prop.value_count == 0) throw SgfError("move without a value", offset);
      pt = read_move(t.text_of(prop.values[0]), w, h, offset);
    } catch (const SgfError& e) {
      refuse_value(SgfError(prefix + "move " + std::to_string(number) + ": " + e.description(), e.offset()), number);
      return false;
    }
    const Move m = pt ? Move::place(pt->col, pt->row) : Move::pass();
    auto refuse = [&](const std::string& why) {
      const std::string shown =
          std::string(id) + "[" + (pt ? sgf_point(*pt, h) : "") + "]" +
          (pt ? " (col " + std::to_string(pt->col) + ", row " + std::to_string(pt->row) + ")" : " (pass)");
      refuse_move(number, offset, "move " + std::to_string(number) + " " + shown + " is illegal: " + why);
    };
    std::optional<Board<NW>> before_pass;
    if (g.turn() != colour) {
      before_pass = g.board();
      if (!g.make_move(Move::pass())) {
        refuse("the game is over");
        return false;
      }
    }
    std::optional<Board<NW>> before;
    if constexpr (kVisits) before = g.board();
    if (!g.make_move(m)) {
      const std::string why = g.refusal_reason(m);
      if (before_pass) g.unmake_pass();
      refuse(why);
      return false;
    }
    if (before_pass) {
      r.inserted_passes.push_back(r.moves_played);
      visit(*before_pass, opposite(colour), Move::pass(), true);
    }
    if constexpr (kVisits) visit(*before, colour, m, false);
    ++r.moves_played;
    pending_pl.reset();
    return true;
  };

  // Plays node n: its setup first, then its moves; false when the replay ends there.
  auto play_node = [&](uint32_t n) -> bool {
    const uint32_t pb = t.property_begin(n), pe = t.property_end(n);
    if (pe == pb + 1) {  // the usual node: one move, or one setup property
      const SgfTree::PropertyRef prop = t.property_ref(pb);
      const PropertyKind kind = property_kind(prop.ident);
      if (kind == PropertyKind::Black || kind == PropertyKind::White) return play_move(pb, prop, kind);
      return kind == PropertyKind::Other || setup_node(n, pb, pe);
    }
    bool setup = false;
    for (uint32_t p = pb; p < pe; ++p) {
      const PropertyKind kind = property_kind(t.property_ref(p).ident);
      setup |= kind != PropertyKind::Black && kind != PropertyKind::White && kind != PropertyKind::Other;
    }
    if (setup && !setup_node(n, pb, pe)) return false;
    for (uint32_t p = pb; p < pe; ++p) {
      const SgfTree::PropertyRef prop = t.property_ref(p);
      const PropertyKind kind = property_kind(prop.ident);
      if ((kind == PropertyKind::Black || kind == PropertyKind::White) && !play_move(p, prop, kind)) return false;
    }
    return true;
  };

  bool whole_line = true;
  for (uint32_t n = t.root(game); n != kNoNode; n = t.first_child(n))
    if (!play_node(n)) {
      whole_line = false;
      break;
    }
  r.record_moves = whole_line ? r.moves_played : count_record_moves(t, game);
  if (r.stopped) return;
  const std::optional<Player> to_move = next_colour ? next_colour : pending_pl;
  if (to_move && g.turn() != *to_move && !g.is_over()) {
    const Board<NW> before = g.board();
    if (g.make_move(Move::pass())) {
      r.inserted_passes.push_back(r.moves_played);
      visit(before, opposite(*to_move), Move::pass(), true);
    }
  }
}

// The record replayed into a Game; see the top of this file.
template <int NW, class Visit = NoVisit>
Replay<NW> replay_record(const SgfTree& t, size_t game, const GameInfo& info, const ReplayOptions& opt,
                         Visit&& visit = {}) {
  const uint16_t max_moves = opt.max_moves
                                 ? *opt.max_moves
                                 : replay_max_moves(unsigned(info.width) * info.height, count_record_moves(t, game));
  const float komi = opt.komi ? *opt.komi : info.komi;
  Replay<NW> r(Game<NW>::with_options(info.width, info.height, komi, 0, max_moves, opt.superko), info);
  replay_into<NW>(t, game, r.info, opt, detail::GameTarget<NW>{r.game}, r, visit);
  return r;
}

// Reads the game information and replays; see replay_record.
template <int NW>
Replay<NW> replay_record(const SgfTree& t, size_t game, const ReplayOptions& opt) {
  return replay_record<NW>(t, game, read_game_info(t, game, opt.strict, opt.name), opt);
}

// The record replayed into a ReplayBoard (opt.superko must be off).
template <int NW, class Visit = NoVisit>
BoardReplay<NW> replay_board(const SgfTree& t, size_t game, const GameInfo& info, const ReplayOptions& opt,
                             Visit&& visit = {}) {
  if (opt.superko) throw std::invalid_argument("a board replay knows no superko; replay into a Game");
  // The default limit of a Game replay, max(3 x points, 2 x record moves + 2)
  // capped at 65535, is never reached by the record's moves: the cap acts alike.
  BoardReplay<NW> r(info.width, info.height, opt.max_moves ? *opt.max_moves : 65535, info);
  replay_into<NW>(t, game, r.info, opt, detail::BoardTarget<NW>{r.board}, r, visit);
  return r;
}

template <int NW>
BoardReplay<NW> replay_board(const SgfTree& t, size_t game, const ReplayOptions& opt) {
  return replay_board<NW>(t, game, read_game_info(t, game, opt.strict, opt.name), opt);
}

}  // namespace vexlor::records
