// Situational superko: real repetition cycles the ko point misses, and the
// occurrence counts behind the test.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "engine/game.hpp"
#include "oracle.hpp"
#include "test_util.hpp"

namespace vexlor {
namespace {

using testing::P;
using testing::pass_move;
using testing::rows_of;

using Rows = std::vector<std::string>;

struct Cycle {
  const char* name;
  unsigned w, h;
  std::vector<Move> setup;  // reaches the position the cycle returns to
  std::vector<Move> cycle;  // its last move recreates that position, same side to move
};

// "Sending two, returning one" in the lower-left corner. After the setup
// (Black (0,0), (2,1), (3,1), (4,0); White (2,0), (0,1), (1,1); White to move):
//   White (3,0) throws in a second stone, the pair {(2,0),(3,0)} is in atari;
//   Black (1,0) captures the two;
//   White (2,0) captures the two black stones {(0,0),(1,0)};
//   Black (0,0) brings back the position after the setup, White to move.
// Every capture takes two stones, so no ko point ever forbids the last move.
const std::vector<Move> kSendTwoSetup = {P(0, 0), P(0, 1), P(2, 1), P(1, 1), P(3, 1), P(2, 0), P(4, 0)};
const std::vector<Move> kSendTwoCycle = {P(3, 0), P(1, 0), P(2, 0), P(0, 0)};

// 2x2, points a=(0,0) b=(1,0) c=(0,1) d=(1,1): Black a, White d, Black b,
// White c takes {a,b}; Black a, White b takes a (joining c and d: no ko);
// Black a takes {b,c,d} and repeats the position after Black's first move.
const std::vector<Move> kTinySetup = {P(0, 0)};
const std::vector<Move> kTinyCycle = {P(1, 1), P(1, 0), P(0, 1), P(0, 0), P(1, 0), P(0, 0)};

std::vector<Cycle> cycles() {
  return {
      {"send two 7x5", 7, 5, kSendTwoSetup, kSendTwoCycle},
      {"send two 9x9", 9, 9, kSendTwoSetup, kSendTwoCycle},
      {"send two 19x19", 19, 19, kSendTwoSetup, kSendTwoCycle},
      {"send two 32x32", 32, 32, kSendTwoSetup, kSendTwoCycle},
      {"tiny 2x2", 2, 2, kTinySetup, kTinyCycle},
  };
}

TEST(Superko, RepetitionCyclesTheKoPointMisses) {
  for (const Cycle& c : cycles()) {
    testing::with_words(c.w, c.h, [&]<int NW>() {
      for (bool superko : {false, true}) {
        SCOPED_TRACE(std::string(c.name) + (superko ? " superko" : " no superko"));
        auto g = Game<NW>::with_options(uint8_t(c.w), uint8_t(c.h), 7.5f, 0, 1000, superko);
        oracle::OracleGame<NW> o(uint8_t(c.w), uint8_t(c.h), 7.5f, 0, 1000, superko);
        for (const Move& m : c.setup) {
          ASSERT_TRUE(g.make_move(m));
          ASSERT_TRUE(o.make_move(m));
        }
        const Board<NW> start = g.board();
        const Player start_turn = g.turn();
        for (size_t i = 0; i + 1 < c.cycle.size(); ++i) {
          ASSERT_TRUE(g.make_move(c.cycle[i])) << "cycle move " << i;
          ASSERT_TRUE(o.make_move(c.cycle[i])) << "cycle move " << i;
          ASSERT_EQ(g.board(), o.board);
          if (g.history().back().captured.count() > 0) {
            EXPECT_FALSE(g.ko_point().has_value());
          }
        }
        const Move last = c.cycle.back();
        const unsigned p = unsigned(last.row) * c.w + last.col;
        EXPECT_FALSE(g.ko_point().has_value());
        EXPECT_FALSE(g.would_be_suicide(p, g.turn()));
        EXPECT_EQ(g.would_violate_superko(p, g.turn()), superko);
        EXPECT_EQ(o.would_violate_superko(p, o.turn), superko);
        EXPECT_EQ(g.is_legal_move(last), !superko);
        EXPECT_EQ(o.is_legal_move(last), !superko);
        const auto legal = g.legal_moves();
        EXPECT_EQ(std::find(legal.begin(), legal.end(), last) != legal.end(), !superko);
        EXPECT_EQ(legal, o.legal_moves());
        if (superko) {
          const Board<NW> before = g.board();
          EXPECT_FALSE(g.make_move(last));
          EXPECT_EQ(g.board(), before);
          continue;
        }
        // Without superko the cycle closes and can be run again.
        ASSERT_TRUE(g.make_move(last));
        EXPECT_EQ(g.board(), start);
        EXPECT_EQ(g.turn(), start_turn);
        for (const Move& m : c.cycle) ASSERT_TRUE(g.make_move(m));
        EXPECT_EQ(g.board(), start);
      }
    });
  }
}

TEST(Superko, BoardsOfTheSendingTwoCycle) {
  auto g = Game<1>::with_options(7, 5, 7.5f, 0, 1000, false);
  for (const Move& m : kSendTwoSetup) ASSERT_TRUE(g.make_move(m));
  const std::vector<Rows> boards = {
      {".......", ".......", ".......", "WWBB...", "B.WWB.."},  // White throws in at (3,0)
      {".......", ".......", ".......", "WWBB...", "BB..B.."},  // Black takes two
      {".......", ".......", ".......", "WWBB...", "..W.B.."},  // White takes two
      {".......", ".......", ".......", "WWBB...", "B.W.B.."},  // back to the start
  };
  EXPECT_EQ(rows_of(g.board()), boards.back());
  EXPECT_EQ(g.turn(), Player::White);
  for (size_t i = 0; i < kSendTwoCycle.size(); ++i) {
    ASSERT_TRUE(g.make_move(kSendTwoCycle[i]));
    EXPECT_EQ(rows_of(g.board()), boards[i]) << "after cycle move " << i;
  }
}

TEST(Superko, FirstMoveNeverRepeats) {
  for (unsigned w : {2u, 3u, 9u}) {
    testing::with_words(w, w, [&]<int NW>() {
      auto g = Game<NW>::with_options(uint8_t(w), uint8_t(w), 7.5f, 0, 100, true);
      EXPECT_EQ(g.legal_moves().size(), size_t(w) * w + 1);
      for (unsigned p = 0; p < w * w; ++p) EXPECT_FALSE(g.would_violate_superko(p, Player::Black));
    });
  }
}

TEST(Superko, SwitchedOffNothingIsRecorded) {
  auto g = Game<1>::with_options(3, 3, 7.5f, 0, 100, false);
  ASSERT_TRUE(testing::play(g, {P(0, 0), P(1, 1), pass_move()}));
  EXPECT_EQ(g.position_hashes().size(), 0u);
  for (unsigned p = 0; p < 9; ++p) EXPECT_FALSE(g.would_violate_superko(p, g.turn()));
}

// Two passes bring back the position before the first; taking one back must
// keep that position recorded.
TEST(PositionCounts, PassPassThenUnmakeKeepsTheEarlierPosition) {
  auto g = Game<2>::with_options(9, 9, 7.5f, 0, 243, true);
  ASSERT_TRUE(testing::play(g, {P(2, 2), P(6, 6), P(2, 6)}));
  const uint64_t h = compute_position_hash(g.board(), g.turn());
  const auto before_first_pass = g.position_hashes();
  EXPECT_EQ(g.position_hashes().count(h), 1u);
  ASSERT_TRUE(g.make_move(pass_move()));
  const auto before_second_pass = g.position_hashes();
  ASSERT_TRUE(g.make_move(pass_move()));
  ASSERT_TRUE(g.is_over());
  EXPECT_EQ(g.position_hashes().count(h), 2u);
  ASSERT_TRUE(g.unmake_move());
  EXPECT_GT(g.position_hashes().count(h), 0u);
  EXPECT_TRUE(g.position_hashes() == before_second_pass);
  ASSERT_TRUE(g.unmake_move());
  EXPECT_EQ(g.position_hashes().count(h), 1u);
  EXPECT_TRUE(g.position_hashes() == before_first_pass);
}

// Making and unmaking any move leaves the occurrence counts exactly as they
// were, including passes that end the game and positions reached twice.
TEST(PositionCounts, MakeThenUnmakeRestoresEverything) {
  auto g = Game<2>::with_options(9, 9, 7.5f, 0, 243, true);
  std::mt19937_64 rng(2024);
  int plies = 0;
  for (int ply = 0; ply < 120 && !g.is_over(); ++ply) {
    const auto moves = g.legal_moves();
    const auto counts = g.position_hashes();
    const Board<2> board = g.board();
    const Player turn = g.turn();
    const auto ko = g.ko_point();
    const auto passes = g.consecutive_passes();
    const size_t n = g.move_count();
    for (const Move& m : moves) {
      ASSERT_TRUE(g.make_move(m));
      ASSERT_TRUE(g.unmake_move());
      ASSERT_TRUE(g.position_hashes() == counts) << "ply " << ply;
      ASSERT_EQ(g.board(), board);
      ASSERT_EQ(g.turn(), turn);
      ASSERT_EQ(g.ko_point(), ko);
      ASSERT_EQ(g.consecutive_passes(), passes);
      ASSERT_EQ(g.move_count(), n);
      ASSERT_FALSE(g.is_over());
      ASSERT_FALSE(g.outcome().has_value());
    }
    ASSERT_EQ(g.legal_moves(), moves);
    // Mostly placements, a pass now and then (never the game-ending one).
    const bool pass = rng() % 8 == 0 && g.consecutive_passes() == 0;
    ASSERT_TRUE(g.make_move(pass ? pass_move() : moves[rng() % (moves.size() - 1)]));
    ++plies;
  }
  EXPECT_EQ(plies, 120);
}

}  // namespace
}  // namespace vexlor
