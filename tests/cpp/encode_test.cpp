// Input planes: layout, perspective, history steps and the game left untouched.
#include "engine/encode.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "engine/game.hpp"
#include "oracle.hpp"
#include "test_util.hpp"

namespace vexlor {
namespace {

using testing::P;
using testing::pass_move;

std::vector<float> plane(const std::vector<float>& planes, unsigned index, unsigned area) {
  return std::vector<float>(planes.begin() + index * area, planes.begin() + (index + 1) * area);
}

TEST(InputPlanes, NewGameAndFirstMove) {
  auto g = Game<2>::with_options(9, 9, 7.5f, 40, 243, true);
  std::vector<float> planes = encode_game_planes(g);
  ASSERT_EQ(planes.size(), 17u * 81);
  for (unsigned i = 0; i < 16 * 81; ++i) ASSERT_EQ(planes[i], 0.0f) << i;
  for (unsigned i = 16 * 81; i < 17 * 81; ++i) ASSERT_EQ(planes[i], 1.0f) << i;

  ASSERT_TRUE(g.make_move(P(2, 3)));  // action 29; White to move now
  planes = encode_game_planes(g);
  for (unsigned i = 0; i < 17 * 81; ++i) EXPECT_EQ(planes[i], i == 81 + 29 ? 1.0f : 0.0f) << i;
}

TEST(InputPlanes, HistoryStepsAndPasses) {
  auto g = Game<2>::with_options(9, 9, 7.5f, 0, 243, true);
  ASSERT_TRUE(testing::play(g, {P(0, 0), P(8, 8), P(4, 4)}));
  std::vector<float> planes = encode_game_planes(g);
  // White to move: plane 0 holds White's stones, plane 1 Black's, t moves ago at 2t, 2t + 1.
  const unsigned A = 81;
  auto at = [&](unsigned pl, unsigned c, unsigned r) { return planes[pl * A + r * 9 + c]; };
  EXPECT_EQ(at(0, 8, 8), 1.0f);
  EXPECT_EQ(at(1, 4, 4), 1.0f);
  EXPECT_EQ(at(3, 4, 4), 0.0f);  // one move ago Black had not played (4,4)
  EXPECT_EQ(at(3, 0, 0), 1.0f);
  EXPECT_EQ(at(4, 8, 8), 0.0f);  // two moves ago White had no stone
  EXPECT_EQ(at(7, 0, 0), 0.0f);  // three moves ago: the empty board
  for (unsigned i = 8 * A; i < 16 * A; ++i) ASSERT_EQ(planes[i], 0.0f);
  for (unsigned i = 16 * A; i < 17 * A; ++i) ASSERT_EQ(planes[i], 0.0f);

  ASSERT_TRUE(g.make_move(pass_move()));  // White passes: the position one move ago has the same stones
  planes = encode_game_planes(g);
  EXPECT_EQ(plane(planes, 2, A), plane(planes, 0, A));
  EXPECT_EQ(plane(planes, 3, A), plane(planes, 1, A));
  EXPECT_EQ(planes[16 * A], 1.0f);  // Black to move

  // A capture shows in the steps before it and not after.
  auto k = Game<1>::with_options(4, 4, 7.5f, 0, 48, true);
  testing::put_rows(k, {"....", ".BW.", "BW.W", ".BW."});
  ASSERT_TRUE(k.make_move(P(2, 1)));  // takes the white stone at (1,1): index 5
  planes = encode_game_planes(k);
  EXPECT_EQ(planes[0 * 16 + 5], 0.0f);  // White to move, its stone gone now
  EXPECT_EQ(planes[2 * 16 + 5], 1.0f);  // and present one move ago
}

TEST(InputPlanes, RectangularLayout) {
  auto g = Game<4>::with_options(19, 13, 7.5f, 0, 741, true);
  ASSERT_TRUE(g.make_move(P(18, 12)));
  ASSERT_TRUE(g.make_move(P(3, 5)));
  const std::vector<float> planes = encode_game_planes(g);
  ASSERT_EQ(planes.size(), 17u * 247);
  EXPECT_EQ(planes[0 * 247 + 12 * 19 + 18], 1.0f);  // Black to move: own stone in plane 0
  EXPECT_EQ(planes[1 * 247 + 5 * 19 + 3], 1.0f);
  EXPECT_EQ(planes[2 * 247 + 12 * 19 + 18], 1.0f);  // one move ago
  EXPECT_EQ(planes[3 * 247 + 5 * 19 + 3], 0.0f);
}

TEST(InputPlanes, EditedGamesEncodeFromTheRecordsAndStayUnchanged) {
  auto g = Game<1>::with_options(5, 5, 7.5f, 0, 75, true);
  oracle::OracleGame<1> o(5, 5, 7.5f, 0, 75, true);
  const std::vector<Move> moves = {P(1, 1), P(1, 2), P(2, 2), P(0, 1), P(2, 1), P(1, 0), P(0, 2), pass_move(), P(3, 3)};
  for (size_t i = 0; i < moves.size(); ++i) {
    ASSERT_TRUE(g.make_move(moves[i]));
    ASSERT_TRUE(o.make_move(moves[i]));
    if (i == 4) {
      g.set_piece(4, 4, Player::White);
      o.set_piece(4, 4, Player::White);
      g.set_piece(1, 1, std::nullopt);
      o.set_piece(1, 1, std::nullopt);
    }
  }
  const Board<1> board = g.board();
  const auto counts = g.position_hashes();
  const uint64_t hash = g.game_hash();
  const std::vector<float> planes = encode_game_planes(g);
  EXPECT_EQ(planes, o.planes());
  EXPECT_EQ(encode_game_planes(g), planes);
  EXPECT_EQ(g.board(), board);
  EXPECT_TRUE(g.position_hashes() == counts);
  EXPECT_EQ(g.game_hash(), hash);
  EXPECT_EQ(g.move_count(), moves.size());
}

}  // namespace
}  // namespace vexlor
