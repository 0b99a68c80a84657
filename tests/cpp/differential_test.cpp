// Differential test: seeded random games played on the engine and on the
// literal reference engine side by side, compared in full after every step.
// Steps mix legal moves, refused moves, take-backs of one to three moves and
// hand edits of the board. Any optimisation of the engine must keep this green.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <ostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "engine/encode.hpp"
#include "engine/game.hpp"
#include "oracle.hpp"
#include "test_util.hpp"

namespace vexlor {
namespace {

struct DiffConfig {
  const char* name;
  unsigned w, h;
  bool superko;
  int games;
  int steps;                       // per game, before scaling
  int deep_every;                  // full comparison (planes, both sides) every this many steps
  bool expect_repetition = false;  // the games reliably meet placements only superko forbids
};

std::string point_text(std::optional<Point> p) {
  if (!p) return "none";
  return "(" + std::to_string(p->col) + "," + std::to_string(p->row) + ")";
}

std::string move_text(Move m) {
  if (m.is_pass()) return "pass";
  return "(" + std::to_string(m.col) + "," + std::to_string(m.row) + ")";
}

std::string moves_text(const std::vector<Move>& ms) {
  std::string s;
  for (const Move& m : ms) s += move_text(m) + " ";
  return s;
}

std::string outcome_str(std::optional<GameOutcome> o) {
  return o ? std::string(outcome_debug_name(*o)) : std::string("none");
}

bool same_float(float a, float b) { return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b); }

struct Stats {
  long steps = 0, moves = 0, refused = 0, unmakes = 0, edits = 0, captures = 0, kos = 0, superko_blocks = 0,
       suicides = 0, ends_by_passes = 0, ends_by_limit = 0;
};

// The first difference between the two engines, or "" when they agree.
// `deep` adds the input planes, the opponent's view of every point and the
// reference's own legal_moves().
template <int NW>
std::string difference(const Game<NW>& g, const oracle::OracleGame<NW>& o, bool deep, bool counts, Stats& stats) {
  std::ostringstream d;
  const unsigned w = o.width(), h = o.height(), n = w * h;
  if (!(g.board() == o.board)) return "board:\n" + g.board().to_string() + "reference:\n" + o.board.to_string();
  if (g.turn() != o.turn) return "turn";
  if (g.move_count() != o.move_count()) return "move count";
  if (g.ko_point() != o.ko_point) return "ko point " + point_text(g.ko_point()) + " vs " + point_text(o.ko_point);
  if (g.consecutive_passes() != o.consecutive_passes)
    return "consecutive passes " + std::to_string(g.consecutive_passes()) + " vs " +
           std::to_string(o.consecutive_passes);
  if (g.is_over() != o.is_over) return "is_over";
  if (g.outcome() != o.outcome) return "outcome " + outcome_str(g.outcome()) + " vs " + outcome_str(o.outcome);
  const auto [gb, gw] = g.score();
  const auto [ob, ow] = o.score();
  if (!same_float(gb, ob) || !same_float(gw, ow)) {
    d << "score " << gb << "," << gw << " vs " << ob << "," << ow;
    return d.str();
  }
  // Reading the counts enters the pending hashes, so they are read only now and
  // then: in between, runs of moves, take-backs and edits meet pending hashes.
  if (counts) {
    std::vector<std::pair<uint64_t, uint32_t>> want;
    for (const auto& [key, count] : o.counts) want.emplace_back(key, uint32_t(count));
    if (g.position_hashes().entries() != want)
      return "position counts: " + std::to_string(g.position_hashes().size()) + " keys vs " +
             std::to_string(want.size());
    for (const auto& [key, count] : want)
      if (g.position_hashes().count(key) != count) return "position count lookup";
  }
  if (g.history().size() != o.history.size()) return "history length";
  if (!g.history().empty()) {
    const auto& a = g.history().back();
    const auto& b = o.history.back();
    if (!(a.captured == b.captured) || !(a.move == b.move) || a.previous_ko_point != b.previous_ko_point)
      return "last undo record";
  }
  if (g.game_hash() != o.game_hash()) return "game hash";

  // Every point judged by the reference's rule steps, in their order. The exact
  // superko test enters the pending position hashes, so it asks a copy: the
  // game itself keeps meeting pending hashes in its runs of moves and take-backs.
  const Game<NW> probe = g;
  std::vector<Move> want_legal;
  Bitboard<NW> placements;
  for (unsigned p = 0; p < n; ++p) {
    const Move m = Move::place(uint8_t(p % w), uint8_t(p / w));
    bool legal = false;
    if (!o.board.black.test(p) && !o.board.white.test(p)) {
      const bool suicide = o.would_be_suicide(p, o.turn);
      const bool repeats = o.would_violate_superko(p, o.turn);
      if (g.would_be_suicide(p, o.turn) != suicide) return "would_be_suicide " + move_text(m);
      if (probe.would_violate_superko(p, o.turn) != repeats) return "would_violate_superko " + move_text(m);
      legal = !o.is_over && !o.is_ko_point(p) && !suicide && !repeats;
      stats.suicides += suicide;
      stats.superko_blocks += !o.is_over && !o.is_ko_point(p) && !suicide && repeats;
      if (deep) {
        const Player other = opposite(o.turn);
        if (g.would_be_suicide(p, other) != o.would_be_suicide(p, other)) return "would_be_suicide (other side)";
        if (probe.would_violate_superko(p, other) != o.would_violate_superko(p, other))
          return "would_violate_superko (other side)";
      }
    }
    if (g.is_legal_move(m) != legal) return "is_legal_move " + move_text(m);
    if (legal) {
      want_legal.push_back(m);
      placements.insert(p);
    }
  }
  const bool pass_ok = !o.is_over && (want_legal.empty() || o.move_count() >= o.min_moves_before_pass_possible);
  if (pass_ok) want_legal.push_back(Move::pass());
  const std::vector<Move> legal = g.legal_moves();
  if (legal != want_legal) return "legal moves\n  " + moves_text(legal) + "\nreference\n  " + moves_text(want_legal);
  if (!(g.legal_placements() == placements)) return "legal_placements";
  if (g.is_legal_move(Move::pass()) != pass_ok) return "pass legality";
  for (const Move m : {Move::place(uint8_t(w), 0), Move::place(0, uint8_t(h)), Move::place(uint8_t(w - 1), uint8_t(h)),
                       Move::place(uint8_t(w), uint8_t(h - 1)), Move::place(255, 255)})
    if (g.is_legal_move(m)) return "off-board placement legal " + move_text(m);

  // Every derived part against the board and the moves (the remembered legal set included).
  if (std::string c = g.check_consistency(); !c.empty()) return "consistency: " + c;
  if (deep) {
    if (o.legal_moves() != want_legal) return "reference legal_moves() disagrees with its own rule steps";
    if (o.is_legal_move(Move::pass()) != pass_ok) return "reference pass legality";
    if (encode_game_planes(g) != o.planes()) return "input planes";
  }
  return "";
}

// One traced step, kept to print the road to a failure.
struct Step {
  char kind;  // 'm' move, 'u' unmake, 'e' edit
  Move move;
  unsigned col = 0, row = 0;
  int piece = 0;
  bool result = false;
};

std::string trace_text(const std::vector<Step>& trace) {
  std::string s;
  const size_t from = trace.size() > 60 ? trace.size() - 60 : 0;
  for (size_t i = from; i < trace.size(); ++i) {
    const Step& t = trace[i];
    if (t.kind == 'm') s += move_text(t.move) + (t.result ? "" : "[refused]");
    if (t.kind == 'u') s += std::string("unmake") + (t.result ? "" : "[refused]");
    if (t.kind == 'e')
      s += "set(" + std::to_string(t.col) + "," + std::to_string(t.row) + "," + std::to_string(t.piece) + ")";
    s += ' ';
  }
  return s;
}

// Points where the side to move would capture: the single liberty of an opponent chain.
template <int NW>
Bitboard<NW> capture_points(const oracle::OracleGame<NW>& o) {
  Bitboard<NW> out;
  const Bitboard<NW> opp = o.stones(opposite(o.turn));
  const Bitboard<NW> empty = o.empty_points();
  Bitboard<NW> left = opp;
  while (!oracle::is_empty_set(left)) {
    const Bitboard<NW> chain = o.grid.flood_fill(Bitboard<NW>::single(oracle::lowest_of(left)), opp);
    left = oracle::set_minus(left, chain);
    const Bitboard<NW> libs = oracle::set_and(o.grid.neighbors(chain), empty);
    if (oracle::size_of(libs) == 1) out = oracle::set_or(out, libs);
  }
  return out;
}

// Random play that still fights: captures are favoured, and most games keep
// to a small window of the board (placed anywhere, across word boundaries
// too) so that captures, kos and repetitions come up on large boards.
template <int NW>
Move choose_move(const oracle::OracleGame<NW>& o, std::mt19937_64& rng, const std::vector<unsigned>& window,
                 bool strict) {
  const std::vector<Move> legal = o.legal_moves();
  const bool pass_legal = legal.back().is_pass();
  const size_t placements = legal.size() - (pass_legal ? 1 : 0);
  const unsigned pass_odds = o.consecutive_passes > 0 ? 3 : 25;
  if (placements == 0 || (pass_legal && rng() % pass_odds == 0)) return legal.back();
  const unsigned w = o.width();
  auto pick_from = [&](auto&& keep) -> std::optional<Move> {
    std::vector<Move> pool;
    for (size_t i = 0; i < placements; ++i)
      if (keep(unsigned(legal[i].row) * w + legal[i].col)) pool.push_back(legal[i]);
    if (pool.empty()) return std::nullopt;
    return pool[rng() % pool.size()];
  };
  if (rng() % 3 == 0) {
    const Bitboard<NW> caps = capture_points(o);
    if (auto m = pick_from([&](unsigned p) { return caps.test(p); })) return *m;
  }
  if (rng() % 2 == 0) {
    // Retaking where stones were just captured is how repetitions arise.
    Bitboard<NW> recent;
    for (size_t i = o.history.size(), k = 0; i > 0 && k < 4; --i, ++k)
      recent = oracle::set_or(recent, o.history[i - 1].captured);
    if (auto m = pick_from([&](unsigned p) { return recent.test(p); })) return *m;
  }
  if (!window.empty() && (strict || rng() % 20 != 0)) {
    if (auto m = pick_from([&](unsigned p) { return std::find(window.begin(), window.end(), p) != window.end(); }))
      return *m;
    // A walled window is its own small board: pass once it is full.
    if (strict && pass_legal) return legal.back();
  }
  return legal[rng() % placements];
}

template <int NW>
void run_games(const DiffConfig& cfg, Stats& stats) {
  const unsigned w = cfg.w, h = cfg.h, n = w * h;
  // Scaling keeps the total work proportional; fewer games first, then shorter ones.
  const double work = double(cfg.games) * cfg.steps * testing::test_scale();
  const int games = std::max(1, int(cfg.games * testing::test_scale() + 0.5));
  const int steps = std::max(20, int(work / games));
  const float komis[] = {7.5f, 0.0f, 0.5f, -2.5f, 6.4f, std::numeric_limits<float>::quiet_NaN(), 16777216.0f};

  for (int game = 0; game < games; ++game) {
    const uint64_t seed = uint64_t(w) * 1000003u + h * 1009u + (cfg.superko ? 7 : 0) + uint64_t(game) * 7919u;
    std::mt19937_64 rng(seed);
    const unsigned style = n <= 25 ? 0 : game % 4 == 3 ? 2 : unsigned(game % 4) % 3;
    const uint16_t min_moves = rng() % 2 && style != 2 ? uint16_t(n / 2) : 0;
    const unsigned limit_kind = unsigned(rng() % 8);
    const uint16_t max_moves = limit_kind == 0   ? uint16_t(rng() % 4)  // 0..3: over almost at once
                               : limit_kind <= 2 ? uint16_t(4 + rng() % (n + 8))
                                                 : uint16_t(3 * n);
    const float komi = komis[rng() % std::size(komis)];
    const bool edits = rng() % 3 == 0;
    // Play style: the whole board, a window of it, or a window walled in by a
    // hand-placed band two stones thick, black on the left half and white on
    // the right, so that fights run there like on a small board with live edges.
    std::vector<unsigned> window;
    std::vector<std::pair<unsigned, Player>> wall;
    if (style > 0) {
      const unsigned ww = std::min(w, 3 + unsigned(rng() % 3)), wh = std::min(h, 3 + unsigned(rng() % 3));
      const unsigned c0 = unsigned(rng() % (w - ww + 1)), r0 = unsigned(rng() % (h - wh + 1));
      for (unsigned r = r0; r < r0 + wh; ++r)
        for (unsigned c = c0; c < c0 + ww; ++c) window.push_back(r * w + c);
      const unsigned split = c0 + ww / 2;
      for (unsigned r = r0 < 2 ? 0 : r0 - 2; style == 2 && r < std::min(h, r0 + wh + 2); ++r)
        for (unsigned c = c0 < 2 ? 0 : c0 - 2; c < std::min(w, c0 + ww + 2); ++c)
          if (r < r0 || r >= r0 + wh || c < c0 || c >= c0 + ww)
            wall.emplace_back(r * w + c, c < split ? Player::Black : Player::White);
    }
    SCOPED_TRACE(std::string(cfg.name) + " game " + std::to_string(game) + " seed " + std::to_string(seed) + " min " +
                 std::to_string(min_moves) + " max " + std::to_string(max_moves) + " komi " + std::to_string(komi) +
                 (edits ? " with edits" : "") +
                 (window.empty() ? "" : " window from " + std::to_string(window.front())) +
                 (wall.empty() ? "" : " walled"));

    auto g = Game<NW>::with_options(uint8_t(w), uint8_t(h), komi, min_moves, max_moves, cfg.superko);
    oracle::OracleGame<NW> o(uint8_t(w), uint8_t(h), komi, min_moves, max_moves, cfg.superko);
    std::vector<Step> trace;
    for (const auto& [p, pl] : wall) {
      g.set_piece(p % w, p / w, pl);
      o.set_piece(p % w, p / w, pl);
      trace.push_back(Step{'e', Move::pass(), p % w, p / w, pl == Player::Black ? 1 : -1, true});
    }
    std::string diff = difference(g, o, true, true, stats);
    ASSERT_EQ(diff, "") << "new game";

    for (int step = 0; step < steps; ++step) {
      ++stats.steps;
      const unsigned r = unsigned(rng() % 100);
      if ((o.is_over && rng() % 4 != 0) || (r < 5 && !o.history.empty())) {
        // Take back one to three moves (also past the start: both must refuse);
        // a finished walled fight goes further back to branch off earlier.
        const int k = 1 + int(rng() % (o.is_over && style == 2 ? 10 : 3));
        for (int i = 0; i < k; ++i) {
          const bool a = g.unmake_move();
          const bool b = o.unmake_move();
          trace.push_back(Step{'u', Move::pass(), 0, 0, 0, b});
          ASSERT_EQ(a, b) << "unmake result, step " << step << "\n" << trace_text(trace);
          ++stats.unmakes;
        }
      } else if (o.is_over) {
        // A finished game refuses everything.
        const Move m = Move::place(uint8_t(rng() % w), uint8_t(rng() % h));
        ASSERT_FALSE(g.make_move(m));
        ASSERT_FALSE(g.make_move(Move::pass()));
        ASSERT_FALSE(o.make_move(m));
        trace.push_back(Step{'m', m, 0, 0, 0, false});
      } else if (edits && r >= 5 && r < 8) {
        // A hand edit, now and then off the board.
        const unsigned col = rng() % 16 == 0  ? w + unsigned(rng() % 300)
                             : window.empty() ? unsigned(rng() % w)
                                              : window[rng() % window.size()] % w;
        const unsigned row = window.empty() || col >= w ? unsigned(rng() % h) : window[rng() % window.size()] / w;
        const int piece = int(rng() % 3) - 1;
        const std::optional<Player> pl =
            piece == 0 ? std::nullopt : std::optional<Player>(piece > 0 ? Player::Black : Player::White);
        g.set_piece(col, row, pl);
        o.set_piece(col, row, pl);
        trace.push_back(Step{'e', Move::pass(), col, row, piece, true});
        ++stats.edits;
      } else if (r >= 8 && r < 11) {
        // Any move at all, legal or not, on or just off the board.
        const Move m = rng() % 6 == 0 ? Move::pass() : Move::place(uint8_t(rng() % (w + 2)), uint8_t(rng() % (h + 2)));
        const bool a = g.make_move(m);
        const bool b = o.make_move(m);
        trace.push_back(Step{'m', m, 0, 0, 0, b});
        ASSERT_EQ(a, b) << "make_move " << move_text(m) << ", step " << step << "\n" << trace_text(trace);
        if (!b) ++stats.refused;
      } else {
        const Move m = choose_move(o, rng, window, style == 2);
        const bool a = g.make_move(m);
        const bool b = o.make_move(m);
        trace.push_back(Step{'m', m, 0, 0, 0, b});
        ASSERT_TRUE(b);
        ASSERT_TRUE(a) << "legal move refused: " << move_text(m) << ", step " << step << "\n" << trace_text(trace);
        ++stats.moves;
        if (!oracle::is_empty_set(o.history.back().captured)) ++stats.captures;
        if (o.ko_point) ++stats.kos;
        if (o.is_over) ++(m.is_pass() && o.consecutive_passes >= 2 ? stats.ends_by_passes : stats.ends_by_limit);
      }
      diff = difference(g, o, step % cfg.deep_every == 0, step % 7 == 0, stats);
      ASSERT_EQ(diff, "") << "after step " << step << "\n" << trace_text(trace) << "\nboard:\n" << o.board.to_string();
    }
  }
}

void PrintTo(const DiffConfig& c, std::ostream* os) { *os << c.name; }

class Differential : public ::testing::TestWithParam<DiffConfig> {};

TEST_P(Differential, AgreesWithReferenceEngine) {
  const DiffConfig cfg = GetParam();
  Stats stats;
  testing::with_words(cfg.w, cfg.h, [&]<int NW>() { run_games<NW>(cfg, stats); });
  if (HasFatalFailure()) return;
  std::printf(
      "%s: %ld steps, %ld moves, %ld refused, %ld unmakes, %ld edits, %ld captures, %ld kos, "
      "%ld suicide points, %ld superko-only refusals, %ld ended by passes, %ld by the move limit\n",
      cfg.name, stats.steps, stats.moves, stats.refused, stats.unmakes, stats.edits, stats.captures, stats.kos,
      stats.suicides, stats.superko_blocks, stats.ends_by_passes, stats.ends_by_limit);
  // The games must reach the situations the rules are about (full-length runs only).
  if (testing::test_scale() < 1.0) return;
  EXPECT_GT(stats.captures, 0);
  EXPECT_GT(stats.unmakes, 0);
  EXPECT_GT(stats.ends_by_passes + stats.ends_by_limit, 0);
  EXPECT_GT(stats.suicides, 0);
  if (cfg.w * cfg.h > 4 && cfg.w * cfg.h <= 169) {
    EXPECT_GT(stats.kos, 0);  // no ko fits on 2x2; on large boards random play rarely makes one
  }
  if (cfg.expect_repetition) {
    EXPECT_GT(stats.superko_blocks, 0);
  }
}

const DiffConfig kConfigs[] = {
    {"b2x2_superko", 2, 2, true, 60, 120, 1, true},     {"b2x2_plain", 2, 2, false, 60, 120, 1},
    {"b3x3_superko", 3, 3, true, 60, 150, 1, true},     {"b3x3_plain", 3, 3, false, 60, 150, 1},
    {"b4x7_superko", 4, 7, true, 40, 200, 2, true},     {"b4x7_plain", 4, 7, false, 40, 200, 2},
    {"b5x13_superko", 5, 13, true, 16, 300, 4},         {"b5x13_plain", 5, 13, false, 16, 300, 4},
    {"b8x8_superko", 8, 8, true, 16, 300, 4, true},     {"b8x8_plain", 8, 8, false, 16, 300, 4},
    {"b9x9_superko", 9, 9, true, 12, 350, 5, true},     {"b9x9_plain", 9, 9, false, 12, 350, 5},
    {"b13x13_superko", 13, 13, true, 8, 200, 10, true}, {"b13x13_plain", 13, 13, false, 8, 200, 10},
    {"b16x16_superko", 16, 16, true, 6, 150, 10},       {"b16x16_plain", 16, 16, false, 6, 150, 10},
    {"b19x19_superko", 19, 19, true, 12, 200, 20},      {"b19x19_plain", 19, 19, false, 12, 200, 20},
    {"b32x32_superko", 32, 32, true, 8, 100, 25},       {"b32x32_plain", 32, 32, false, 12, 100, 25},
    {"b2x32_superko", 2, 32, true, 16, 150, 5},         {"b32x3_plain", 32, 3, false, 16, 150, 5},
};

INSTANTIATE_TEST_SUITE_P(Sizes, Differential, ::testing::ValuesIn(kConfigs),
                         [](const ::testing::TestParamInfo<DiffConfig>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vexlor
