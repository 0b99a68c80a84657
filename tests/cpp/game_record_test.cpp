// Games written as records read back to the same game: random self-play on
// square and rectangular boards with passes, captures, kos and setup stones;
// results, komi and the caller's properties; games edited after their moves.
#include "records/game_record.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "records/replay.hpp"
#include "records/sgf_parser.hpp"
#include "records_util.hpp"
#include "test_util.hpp"

namespace vexlor::records {
namespace {

template <int NW>
Replay<NW> read_back(const std::string& text) {
  return replay_record<NW>(parse_sgf(text), 0, ReplayOptions{});
}

template <int NW>
void expect_same_play(const Game<NW>& a, const Game<NW>& b) {
  ASSERT_EQ(a.move_count(), b.move_count());
  for (size_t i = 0; i < a.move_count(); ++i) ASSERT_EQ(a.history()[i].move, b.history()[i].move) << i;
  EXPECT_EQ(a.board(), b.board());
  EXPECT_EQ(a.turn(), b.turn());
  EXPECT_EQ(a.ko_point(), b.ko_point());
  EXPECT_EQ(a.komi(), b.komi());
}

TEST(GameRecord, RandomSelfPlayReadsBackTheSameGame) {
  std::mt19937_64 rng(5);
  const int games = int(200 * testing::test_scale());
  for (int i = 0; i < games; ++i) {
    const unsigned w = 2 + rng() % 18, h = i % 3 ? w : 2 + rng() % 18;
    testing::with_words(w, h, [&]<int NW>() {
      const float komi = float(int(rng() % 21) - 5) / 2;
      Game<NW> g = Game<NW>::with_options(uint8_t(w), uint8_t(h), komi, 0, 2000, rng() % 2);
      if (i % 4 == 0)  // an edited start, as a handicap
        for (int k = 0; k < 3; ++k) g.set_piece(rng() % w, rng() % h, k % 2 ? Player::White : Player::Black);
      if (i % 5 == 0) g.make_move(Move::pass());  // White moves first
      testing::play_random(g, rng, 4 * w * h, 0.05);
      const std::string text = game_to_sgf(g);
      const Replay<NW> r = read_back<NW>(text);
      expect_same_play(g, r.game);
      EXPECT_EQ(g.is_over(), r.game.is_over()) << text;  // over by two passes only: the limit is not reached
      EXPECT_EQ(g.outcome(), r.game.outcome());
      EXPECT_TRUE(r.inserted_passes.empty());
      EXPECT_EQ(game_to_sgf(r.game), text);
    });
  }
}

TEST(GameRecord, ResultsKomiAndProperties) {
  auto finished = [](float komi) {
    Game<1> g = Game<1>::with_options(3, 3, komi, 0, 100, true);
    testing::play(g, {testing::P(1, 1), testing::pass_move(), testing::pass_move()});
    return g;
  };
  auto root_value = [](const std::string& text, const char* id) {
    const SgfTree t = parse_sgf(text);
    const auto p = t.find(t.root(0), id);
    return p ? t.value(*p, 0) : std::string("(absent)");
  };
  EXPECT_EQ(root_value(game_to_sgf(finished(0.5f)), "RE"), "B+8.5");
  EXPECT_EQ(root_value(game_to_sgf(finished(10.5f)), "RE"), "W+1.5");
  EXPECT_EQ(root_value(game_to_sgf(finished(9.0f)), "RE"), "0");
  EXPECT_EQ(root_value(game_to_sgf(Game<1>::with_options(3, 3, 0.5f, 0, 100, true)), "RE"), "(absent)");
  const Game<1> odd = finished(0.1f);
  const std::string text =
      game_to_sgf(odd, GameRecordOptions{{{"PB", "A ]\\ B"}, {"AP", "x"}, {"AP", "y"}}, "Japanese"});
  EXPECT_EQ(root_value(text, "KM"), "0.1");
  EXPECT_EQ(read_back<1>(text).game.komi(), 0.1f);
  EXPECT_EQ(root_value(text, "PB"), "A ]\\ B");
  EXPECT_EQ(root_value(text, "RU"), "Japanese");
  EXPECT_EQ(root_value(text, "SZ"), "3");
  const SgfTree t = parse_sgf(text);
  EXPECT_EQ(t.value_count(*t.find(t.root(0), "AP")), 2u);
  EXPECT_EQ(root_value(game_to_sgf(odd, GameRecordOptions{{{"RE", "W+R"}}}), "RE"), "W+R");
  EXPECT_EQ(root_value(game_to_sgf(Game<1>::with_options(5, 3, 7.5f, 0, 9, false)), "SZ"), "5:3");
  const std::string big = game_to_sgf(Game<1>::with_options(3, 3, 150.0f, 0, 9, false));
  EXPECT_EQ(root_value(big, "KM"), "150.0");
  EXPECT_EQ(read_back<1>(big).game.komi(), 150.0f);
  for (const char* bad : {"SZ", "B", "AB", "PL", "pb", ""})
    EXPECT_THROW(game_to_sgf(odd, GameRecordOptions{{{bad, "x"}}}), std::invalid_argument) << bad;
}

TEST(GameRecord, GamesEditedAfterTheirMoves) {
  // An edit the moves survive: a final setup node restores the board.
  Game<1> g = Game<1>::with_options(5, 5, 7.5f, 0, 100, false);
  testing::play(g, {testing::P(0, 0), testing::P(4, 4), testing::P(2, 2)});
  g.set_piece(4, 4, std::nullopt);
  g.set_piece(1, 3, Player::White);
  g.set_piece(2, 2, Player::White);
  const Replay<1> r = read_back<1>(game_to_sgf(g));
  expect_same_play(g, r.game);
  // An edit that makes a recorded move suicide from the start it implies.
  Game<1> e = Game<1>::with_options(5, 5, 7.5f, 0, 100, false);
  testing::play(e, {testing::P(0, 0)});
  e.set_piece(1, 0, Player::White);
  e.set_piece(0, 1, Player::White);
  EXPECT_THROW(game_to_sgf(e), RecordError);
}

}  // namespace
}  // namespace vexlor::records
