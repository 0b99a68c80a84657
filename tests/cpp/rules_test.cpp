// Game rules on hand-built positions: outcome type, new games, captures, ko,
// suicide, passes and the end of the game, scoring.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/game.hpp"
#include "engine/outcome.hpp"
#include "test_util.hpp"

namespace vexlor {
namespace {

using testing::indices;
using testing::open_game;
using testing::P;
using testing::pass_move;
using testing::put_rows;
using testing::rows_of;

using Rows = std::vector<std::string>;

template <int NW>
std::vector<Move> all_moves(const Game<NW>& g) {
  std::vector<Move> out;
  for (unsigned r = 0; r < g.height(); ++r)
    for (unsigned c = 0; c < g.width(); ++c) out.push_back(P(uint8_t(c), uint8_t(r)));
  out.push_back(pass_move());
  return out;
}

bool same_bits(float a, float b) { return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b); }

TEST(GameOutcome, TextsNamesWinnersCodes) {
  struct Case {
    GameOutcome o;
    const char* text;
    const char* name;
    std::optional<Player> winner;
    int code;
  };
  for (const Case& c : {Case{GameOutcome::BlackWin, "Black wins", "BlackWin", Player::Black, 0},
                        Case{GameOutcome::WhiteWin, "White wins", "WhiteWin", Player::White, 1},
                        Case{GameOutcome::Draw, "Draw", "Draw", std::nullopt, 2}}) {
    EXPECT_EQ(outcome_text(c.o), c.text);
    EXPECT_EQ(outcome_debug_name(c.o), c.name);
    EXPECT_EQ(outcome_winner(c.o), c.winner);
    EXPECT_EQ(outcome_is_draw(c.o), c.o == GameOutcome::Draw);
    EXPECT_EQ(outcome_code(c.o), c.code);
  }
}

TEST(NewGame, StartsInPlayWithTheGivenOptions) {
  auto g = Game<2>::with_options(9, 13, 6.4f, 58, 351, false);
  EXPECT_EQ(g.width(), 9);
  EXPECT_EQ(g.height(), 13);
  EXPECT_EQ(g.area(), 117u);
  EXPECT_EQ(g.turn(), Player::Black);
  EXPECT_EQ(g.move_count(), 0u);
  EXPECT_FALSE(g.ko_point().has_value());
  EXPECT_FALSE(g.is_over());
  EXPECT_FALSE(g.outcome().has_value());
  EXPECT_EQ(g.consecutive_passes(), 0);
  EXPECT_EQ(double(g.komi()), 6.400000095367432);
  EXPECT_EQ(g.min_moves_before_pass_possible(), 58);
  EXPECT_EQ(g.max_moves(), 351);
  EXPECT_FALSE(g.superko());
  EXPECT_EQ(g.position_hashes().size(), 0u);
  EXPECT_TRUE(g.board().black.empty() && g.board().white.empty());
  EXPECT_FALSE(g.unmake_move());
  EXPECT_EQ(g.move_count(), 0u);
}

// The worked ko example on 4x4.
TEST(Ko, CaptureOfOneStoneSetsTheKoPointAndUnmakeClearsIt) {
  const Rows start = {"....", ".BW.", "BW.W", ".BW."};
  auto g = open_game<1>(4, 4);
  put_rows(g, start);
  const Board<1> before = g.board();
  ASSERT_TRUE(g.make_move(P(2, 1)));
  EXPECT_EQ(rows_of(g.board()), (Rows{"....", ".BW.", "B.BW", ".BW."}));
  EXPECT_EQ(indices(g.history().back().captured), std::vector<unsigned>{5});
  ASSERT_TRUE(g.ko_point().has_value());
  EXPECT_EQ(*g.ko_point(), (Point{1, 1}));
  EXPECT_FALSE(g.is_legal_move(P(1, 1)));
  EXPECT_FALSE(g.make_move(P(1, 1)));
  EXPECT_TRUE(g.is_legal_move(P(3, 3)));
  for (const Move& m : g.legal_moves()) EXPECT_FALSE(m == P(1, 1));

  ASSERT_TRUE(g.unmake_move());
  EXPECT_EQ(g.board(), before);
  EXPECT_EQ(g.turn(), Player::Black);
  EXPECT_FALSE(g.ko_point().has_value());

  // Any other move clears the ko point; then the retake is legal.
  ASSERT_TRUE(g.make_move(P(2, 1)));
  ASSERT_TRUE(g.make_move(P(3, 3)));
  EXPECT_FALSE(g.ko_point().has_value());
  ASSERT_TRUE(g.unmake_move());  // the ko point in force before a move comes back with its undo
  EXPECT_EQ(g.ko_point(), (Point{1, 1}));
  ASSERT_TRUE(g.make_move(P(3, 3)));
  ASSERT_TRUE(g.make_move(P(0, 3)));
  EXPECT_TRUE(g.is_legal_move(P(1, 1)));
  ASSERT_TRUE(g.make_move(P(1, 1)));  // White retakes: one stone again, a ko again
  ASSERT_TRUE(g.ko_point().has_value());
  EXPECT_EQ(*g.ko_point(), (Point{2, 1}));
  // Taking it back restores the ko point that stood before it (none).
  ASSERT_TRUE(g.unmake_move());
  EXPECT_FALSE(g.ko_point().has_value());
}

TEST(Ko, NoKoPointUnlessALoneStoneTakesOneStoneWithOneLibertyLeft) {
  struct Case {
    const char* why;
    Rows rows;
    Move move;
    std::vector<unsigned> captured;
  };
  const std::vector<Case> cases = {
      {"two stones taken", {".....", ".....", "B....", "WB...", "W...."}, P(1, 0), {0, 5}},
      // One empty neighbour after the capture, but the stone is joined to (0,0).
      {"capturing stone joins a chain", {".....", ".....", ".B...", "BWB..", "B.W.."}, P(1, 0), {6}},
      {"capturing stone keeps two liberties", {".....", ".....", "B....", "WB...", "....."}, P(0, 0), {5}},
  };
  for (const Case& c : cases) {
    auto g = open_game<1>(5, 5);
    put_rows(g, c.rows);
    ASSERT_TRUE(g.make_move(c.move)) << c.why;
    EXPECT_EQ(indices(g.history().back().captured), c.captured) << c.why;
    EXPECT_FALSE(g.ko_point().has_value()) << c.why;
  }
}

TEST(Capture, TwoGroupsAtOnceAndTheirUndo) {
  auto g = open_game<1>(5, 5);
  put_rows(g, {".....", ".....", ".....", "B.B..", "W.WB."});
  const Board<1> before = g.board();
  ASSERT_TRUE(g.make_move(P(1, 0)));
  EXPECT_EQ(rows_of(g.board()), (Rows{".....", ".....", ".....", "B.B..", ".B.B."}));
  EXPECT_EQ(indices(g.history().back().captured), (std::vector<unsigned>{0, 2}));
  EXPECT_FALSE(g.ko_point().has_value());
  ASSERT_TRUE(g.unmake_move());
  EXPECT_EQ(g.board(), before);
  EXPECT_EQ(g.turn(), Player::Black);
  EXPECT_EQ(g.move_count(), 0u);
}

TEST(Capture, UnmakeAfterHandEditsGivesTheCapturedStonesBack) {
  auto g = open_game<1>(5, 5);
  put_rows(g, {".....", ".....", ".....", "B.B..", "W.WB."});
  const Board<1> before = g.board();
  ASSERT_TRUE(g.make_move(P(1, 0)));
  // Edits over the captured points and the placed stone.
  g.set_piece(0, 0, Player::Black);
  g.set_piece(2, 0, Player::White);
  g.set_piece(1, 0, Player::White);
  g.set_piece(4, 4, Player::Black);
  ASSERT_TRUE(g.unmake_move());
  EXPECT_FALSE(g.board().black.intersects(g.board().white));
  EXPECT_EQ(g.board().get_piece(0, 0), Player::White);
  EXPECT_EQ(g.board().get_piece(2, 0), Player::White);
  EXPECT_EQ(g.board().get_piece(1, 0), std::nullopt);
  Board<1> want = before;
  want.set_piece(4, 4, Player::Black);  // the unrelated edit stays
  EXPECT_EQ(g.board(), want);
}

TEST(Suicide, ChainsAndCaptures) {
  struct Case {
    const char* why;
    Rows rows;  // 3x3, Black to move at index 0
    bool suicide;
    Rows after;  // board after Black plays 0, when legal
  };
  const std::vector<Case> cases = {
      // The chain {0,1} has no liberty, but white 2 (touching the chain, not the
      // new stone) has none either: not suicide. The move itself captures only
      // chains next to the new stone, so white 2 stays.
      {"opponent next to the chain is out of liberties", {"...", "WWB", ".BW"}, false, {"...", "WWB", "BBW"}},
      {"chain keeps a liberty", {"...", "WW.", ".B."}, false, {"...", "WW.", "BB."}},
      {"lone stone without liberty", {"...", "W..", ".W."}, true, {}},
      {"no liberty but captures", {"...", "WB.", ".WB"}, false, {"...", "WB.", "B.B"}},
      {"fills the last liberty of its own chain", {"...", "WW.", ".BW"}, true, {}},
  };
  for (const Case& c : cases) {
    for (bool superko : {false, true}) {
      auto g = open_game<1>(3, 3, superko);
      put_rows(g, c.rows);
      EXPECT_EQ(g.would_be_suicide(0, Player::Black), c.suicide) << c.why;
      EXPECT_EQ(g.is_legal_move(P(0, 0)), !c.suicide) << c.why;
      EXPECT_EQ(g.make_move(P(0, 0)), !c.suicide) << c.why;
      if (!c.suicide) {
        EXPECT_EQ(rows_of(g.board()), c.after) << c.why;
      } else {
        EXPECT_EQ(rows_of(g.board()), c.rows) << c.why;
        EXPECT_EQ(g.move_count(), 0u);
      }
    }
  }
}

TEST(Legality, OffBoardAndOccupiedPlacementsAreIllegal) {
  auto g = open_game<2>(9, 9);
  ASSERT_TRUE(g.make_move(P(4, 4)));
  for (const Move m : {P(9, 0), P(0, 9), P(9, 9), P(255, 255), P(4, 4)}) {
    EXPECT_FALSE(g.is_legal_move(m));
    EXPECT_FALSE(g.make_move(m));
  }
  EXPECT_EQ(g.move_count(), 1u);
  EXPECT_EQ(g.turn(), Player::White);
  auto r = open_game<1>(5, 3);
  EXPECT_TRUE(r.is_legal_move(P(4, 2)));
  EXPECT_FALSE(r.is_legal_move(P(5, 0)));
  EXPECT_FALSE(r.is_legal_move(P(0, 3)));
}

TEST(Legality, PassBeforeTheMinimumMoveCount) {
  // A new 19x19 game with the default threshold: every point, no pass.
  auto g = Game<6>::with_options(19, 19, 7.5f, 180, 1083, true);
  auto moves = g.legal_moves();
  ASSERT_EQ(moves.size(), 361u);
  for (unsigned p = 0; p < 361; ++p) EXPECT_EQ(moves[p], P(uint8_t(p % 19), uint8_t(p / 19)));
  EXPECT_FALSE(g.is_legal_move(pass_move()));
  EXPECT_FALSE(g.make_move(pass_move()));

  auto h = Game<6>::with_options(19, 19, 7.5f, 0, 1083, true);
  moves = h.legal_moves();
  ASSERT_EQ(moves.size(), 362u);
  EXPECT_TRUE(moves.back().is_pass());
  EXPECT_EQ(moves.front(), P(0, 0));
  EXPECT_EQ(moves[360], P(18, 18));
  EXPECT_TRUE(h.is_legal_move(pass_move()));

  // Threshold reached exactly: pass becomes legal at move count == threshold.
  auto k = Game<1>::with_options(3, 3, 7.5f, 2, 27, true);
  EXPECT_FALSE(k.is_legal_move(pass_move()));
  ASSERT_TRUE(k.make_move(P(0, 0)));
  EXPECT_FALSE(k.is_legal_move(pass_move()));
  ASSERT_TRUE(k.make_move(P(2, 2)));
  EXPECT_TRUE(k.is_legal_move(pass_move()));
}

TEST(Legality, PassAllowedEarlyWhenNoPlacementIsLegal) {
  // Every empty point is suicide for Black.
  auto g = Game<1>::with_options(2, 2, 7.5f, 2, 12, true);
  put_rows(g, {".W", "W."});
  EXPECT_TRUE(g.is_legal_move(pass_move()));
  auto moves = g.legal_moves();
  ASSERT_EQ(moves.size(), 1u);
  EXPECT_TRUE(moves[0].is_pass());

  // Every empty point is the ko point or suicide for White.
  auto k = Game<1>::with_options(4, 4, 7.5f, 8, 48, true);
  put_rows(k, {"....", ".BW.", "BW.W", ".BW."});
  ASSERT_TRUE(k.make_move(P(2, 1)));
  ASSERT_EQ(k.ko_point(), (Point{1, 1}));
  EXPECT_FALSE(k.is_legal_move(pass_move()));  // White still has placements
  put_rows(k, {"BBBB", "BBWW", "B.BW", ".BW."});
  EXPECT_TRUE(k.is_legal_move(pass_move()));
  moves = k.legal_moves();
  ASSERT_EQ(moves.size(), 1u);
  EXPECT_TRUE(moves[0].is_pass());
  ASSERT_TRUE(k.make_move(pass_move()));
  EXPECT_FALSE(k.ko_point().has_value());
}

TEST(Legality, LegalMovesAgreeWithIsLegalMove) {
  auto g = open_game<1>(4, 4);
  put_rows(g, {"....", ".BW.", "BW.W", ".BW."});
  ASSERT_TRUE(g.make_move(P(2, 1)));
  const auto legal = g.legal_moves();
  std::vector<Move> by_test;
  for (const Move& m : all_moves(g))
    if (g.is_legal_move(m)) by_test.push_back(m);
  EXPECT_EQ(legal, by_test);
}

TEST(EndOfGame, TwoPassesEndAndScoreTheGame) {
  auto g = open_game<1>(4, 4);
  ASSERT_TRUE(g.make_move(pass_move()));
  EXPECT_FALSE(g.is_over());
  EXPECT_EQ(g.consecutive_passes(), 1);
  ASSERT_TRUE(g.make_move(pass_move()));
  EXPECT_TRUE(g.is_over());
  EXPECT_EQ(g.outcome(), GameOutcome::WhiteWin);
  EXPECT_EQ(g.move_count(), 2u);
  EXPECT_EQ(g.consecutive_passes(), 2);
  const auto [b, w] = g.score();
  EXPECT_EQ(b, 0.0f);
  EXPECT_EQ(w, 7.5f);

  // Nothing is legal in a finished game, and nothing changes.
  EXPECT_TRUE(g.legal_moves().empty());
  const Board<1> board = g.board();
  const auto hashes = g.position_hashes();
  for (const Move& m : all_moves(g)) {
    EXPECT_FALSE(g.is_legal_move(m));
    EXPECT_FALSE(g.make_move(m));
  }
  EXPECT_EQ(g.board(), board);
  EXPECT_EQ(g.move_count(), 2u);
  EXPECT_TRUE(g.position_hashes() == hashes);

  // Taking the second pass back returns the game to play.
  ASSERT_TRUE(g.unmake_move());
  EXPECT_FALSE(g.is_over());
  EXPECT_FALSE(g.outcome().has_value());
  EXPECT_EQ(g.consecutive_passes(), 1);
  EXPECT_FALSE(g.legal_moves().empty());
}

TEST(EndOfGame, APlacementResetsThePassCountAndItsUnmakeRestoresIt) {
  auto g = open_game<1>(4, 4);
  ASSERT_TRUE(testing::play(g, {pass_move(), P(1, 1), pass_move()}));
  EXPECT_FALSE(g.is_over());
  EXPECT_EQ(g.consecutive_passes(), 1);
  ASSERT_TRUE(g.unmake_move());
  EXPECT_EQ(g.consecutive_passes(), 0);  // the placement left it at 0
  ASSERT_TRUE(g.unmake_move());
  EXPECT_EQ(g.consecutive_passes(), 1);  // the pass before the placement is pending again
  ASSERT_TRUE(g.unmake_move());
  EXPECT_EQ(g.consecutive_passes(), 0);
}

// A search walking pass, X, back, pass must meet the end of the game where two
// passes played directly meet it, with the same result.
TEST(EndOfGame, PassAfterATakenBackPlacementEndsTheGame) {
  for (bool superko : {false, true}) {
    auto direct = open_game<1>(4, 4, superko);
    auto walked = open_game<1>(4, 4, superko);
    ASSERT_TRUE(testing::play(direct, {P(0, 0), pass_move(), pass_move()}));
    ASSERT_TRUE(testing::play(walked, {P(0, 0), pass_move(), P(2, 2)}));
    ASSERT_TRUE(walked.unmake_move());
    ASSERT_TRUE(walked.make_move(pass_move()));
    EXPECT_TRUE(walked.is_over());
    EXPECT_EQ(walked.consecutive_passes(), 2);
    EXPECT_EQ(walked.outcome(), direct.outcome());
    EXPECT_EQ(walked.legal_moves(), direct.legal_moves());
  }
}

TEST(EndOfGame, MaximumMoveCount) {
  // max_moves 0: the first move ends the game, placement or pass.
  for (const Move first : {P(1, 1), pass_move()}) {
    auto g = Game<1>::with_options(4, 4, 7.5f, 0, 0, true);
    ASSERT_TRUE(g.make_move(first));
    EXPECT_TRUE(g.is_over());
    EXPECT_EQ(g.move_count(), 1u);
    const auto [b, w] = g.score();
    EXPECT_EQ(g.outcome(), Game<1>::outcome_for(b, w));
    EXPECT_FALSE(g.make_move(P(2, 2)));
  }
  // max_moves 3: over right after the third move, whatever it is.
  auto g = Game<1>::with_options(4, 4, 0.5f, 0, 3, false);
  ASSERT_TRUE(testing::play(g, {P(1, 1), P(2, 2)}));
  EXPECT_FALSE(g.is_over());
  ASSERT_TRUE(g.make_move(P(1, 2)));
  EXPECT_TRUE(g.is_over());
  EXPECT_EQ(g.outcome(), GameOutcome::BlackWin);  // 2 + 0 shared points vs 1.5
  EXPECT_EQ(g.score(), (std::pair<float, float>{2.0f, 1.5f}));
  ASSERT_TRUE(g.unmake_move());
  EXPECT_FALSE(g.is_over());
  ASSERT_TRUE(g.make_move(pass_move()));
  EXPECT_TRUE(g.is_over());
}

TEST(Scoring, AreaCounting) {
  struct Case {
    const char* why;
    unsigned w, h;
    Rows rows;
    float komi;
    float black, white;
  };
  const std::vector<Case> cases = {
      {"empty board", 4, 4, {"....", "....", "....", "...."}, 7.5f, 0.0f, 7.5f},
      {"region touching both colours", 3, 2, {"B.W", "..."}, 0.0f, 1.0f, 1.0f},
      {"halves", 4, 4, {".BW.", ".BW.", ".BW.", ".BW."}, 0.0f, 8.0f, 8.0f},
      {"stones in atari still count", 5, 5, {".....", ".B...", "BWB..", ".B...", "....."}, 0.0f, 24.0f, 1.0f},
      {"komi is single precision", 2, 2, {"..", ".."}, 6.4f, 0.0f, 6.4f},
  };
  for (const Case& c : cases) {
    testing::with_words(c.w, c.h, [&]<int NW>() {
      auto g = Game<NW>::with_options(uint8_t(c.w), uint8_t(c.h), c.komi, 0, 100, false);
      put_rows(g, c.rows);
      const auto [b, w] = g.score();
      EXPECT_TRUE(same_bits(b, c.black)) << c.why << ": " << b;
      EXPECT_TRUE(same_bits(w, c.white)) << c.why << ": " << w;
    });
  }
  auto g = open_game<2>(9, 9);
  ASSERT_TRUE(g.make_move(P(4, 4)));
  EXPECT_EQ(g.score(), (std::pair<float, float>{81.0f, 7.5f}));
}

TEST(Scoring, RegionsAreAddedOneAtATimeInSinglePrecision) {
  // Near 2^24 single precision steps by 2, so each one-point region rounds on
  // its own: 3 stones + 2^24, then +1 three times, is 2^24 + 4; summing the
  // regions first would give 2^24 + 8 or 2^24 + 6.
  const float komi = 16777216.0f;
  auto g = Game<1>::with_options(3, 2, komi, 0, 100, false);
  put_rows(g, {"W.W", ".W."});
  float expect = 3.0f + komi;
  for (int region = 0; region < 3; ++region) expect = expect + 1.0f;
  EXPECT_EQ(expect, 16777220.0f);
  const auto [b, w] = g.score();
  EXPECT_EQ(b, 0.0f);
  EXPECT_TRUE(same_bits(w, expect)) << std::fixed << w;
}

TEST(Scoring, OutcomeRule) {
  struct Case {
    const char* why;
    Rows rows;
    float komi;
    GameOutcome want;
  };
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<Case> cases = {
      {"empty board, komi", {"....", "....", "....", "...."}, 7.5f, GameOutcome::WhiteWin},
      {"equal areas, no komi", {".BW.", ".BW.", ".BW.", ".BW."}, 0.0f, GameOutcome::Draw},
      {"komi decides", {".BW.", ".BW.", ".BW.", ".BW."}, 0.5f, GameOutcome::WhiteWin},
      {"negative komi", {".BW.", ".BW.", ".BW.", ".BW."}, -0.5f, GameOutcome::BlackWin},
      {"black area", {"....", ".B..", "....", "...."}, 7.5f, GameOutcome::BlackWin},
      {"komi not a number", {"....", ".B..", "....", "...."}, nan, GameOutcome::Draw},
      {"infinite komi",
       {"....", ".B..", "....", "...."},
       std::numeric_limits<float>::infinity(),
       GameOutcome::WhiteWin},
  };
  for (const Case& c : cases) {
    auto g = Game<1>::with_options(4, 4, c.komi, 0, 100, true);
    put_rows(g, c.rows);
    ASSERT_TRUE(testing::play(g, {pass_move(), pass_move()})) << c.why;
    ASSERT_TRUE(g.is_over());
    EXPECT_EQ(g.outcome(), c.want) << c.why;
  }
  EXPECT_TRUE(std::isnan(Game<1>::with_options(2, 2, nan, 0, 8, false).score().second));
}

}  // namespace
}  // namespace vexlor
