// Board reads, writes and the exact text picture.
#include "engine/board.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "engine/player.hpp"
#include "test_util.hpp"

namespace vexlor {
namespace {

constexpr std::optional<Player> kEmpty = std::nullopt;

TEST(Board, SetGetReplaceAndEmpty) {
  Board<2> b(9, 9);
  EXPECT_EQ(b.width, 9);
  EXPECT_EQ(b.height, 9);
  EXPECT_EQ(b.get_piece(4, 4), kEmpty);
  b.set_piece(4, 5, Player::Black);
  EXPECT_EQ(b.get_piece(4, 5), Player::Black);
  EXPECT_TRUE(b.black.test(5 * 9 + 4));
  b.set_piece(4, 5, Player::White);  // replaces the black stone
  EXPECT_EQ(b.get_piece(4, 5), Player::White);
  EXPECT_FALSE(b.black.test(49));
  EXPECT_TRUE(b.white.test(49));
  b.set_piece(4, 5, std::nullopt);
  EXPECT_EQ(b.get_piece(4, 5), kEmpty);
  EXPECT_TRUE(b.black.empty());
  EXPECT_TRUE(b.white.empty());
  // Word 1 of a two-word board.
  b.set_piece(0, 8, Player::Black);
  EXPECT_EQ(b.black.w[1], uint64_t{1} << (72 - 64));
  EXPECT_EQ(b.get_piece(0, 8), Player::Black);
}

TEST(Board, OffBoardReadsAreEmptyAndWritesAreIgnored) {
  Board<1> b(3, 2);
  for (int c = 0; c < 3; ++c)
    for (int r = 0; r < 2; ++r) b.set_piece(c, r, Player::White);
  const Board<1> before = b;
  for (auto [c, r] :
       {std::pair<uint64_t, uint64_t>{3, 0}, {0, 2}, {3, 2}, {256, 0}, {0, 256}, {258, 1}, {~uint64_t{0}, 0}}) {
    EXPECT_EQ(b.get_piece(c, r), kEmpty) << c << "," << r;
    b.set_piece(c, r, Player::Black);
    b.set_piece(c, r, std::nullopt);
    EXPECT_EQ(b, before) << c << "," << r;
  }
}

TEST(Board, ClearKeepsTheSize) {
  Board<1> b(4, 3);
  for (unsigned c = 0; c < 4; ++c)
    for (unsigned r = 0; r < 3; ++r) b.set_piece(c, r, (c + r) % 2 ? Player::Black : Player::White);
  b.clear();
  EXPECT_EQ(b.width, 4);
  EXPECT_EQ(b.height, 3);
  EXPECT_TRUE(b.black.empty());
  EXPECT_TRUE(b.white.empty());
}

TEST(Board, Pictures) {
  Board<1> b3(3, 3);
  b3.set_piece(0, 0, Player::Black);
  b3.set_piece(2, 2, Player::White);
  EXPECT_EQ(b3.to_string(),
            "|.|.|W|\n"
            "|.|.|.|\n"
            "|B|.|.|\n"
            " 0 1 2 \n");

  Board<1> b2(2, 2);
  b2.set_piece(1, 0, Player::Black);
  EXPECT_EQ(b2.to_string(),
            "|.|.|\n"
            "|.|B|\n"
            " 0 1 \n");

  const std::string nine = Board<2>(9, 9).to_string();
  std::string want;
  for (int r = 0; r < 9; ++r) want += "|.|.|.|.|.|.|.|.|.|\n";
  want += " 0 1 2 3 4 5 6 7 8 \n";
  EXPECT_EQ(nine, want);

  const std::string twelve = Board<1>(12, 2).to_string();
  const std::string last = " 0 1 2 3 4 5 6 7 8 9 10 11 \n";
  ASSERT_GE(twelve.size(), last.size());
  EXPECT_EQ(twelve.substr(twelve.size() - last.size()), last);
  EXPECT_EQ(twelve, "|.|.|.|.|.|.|.|.|.|.|.|.|\n|.|.|.|.|.|.|.|.|.|.|.|.|\n" + last);

  // Non-square: rows are width long, and there are height of them.
  Board<1> tall(2, 3);
  tall.set_piece(0, 2, Player::White);
  tall.set_piece(1, 1, Player::Black);
  EXPECT_EQ(tall.to_string(), "|W|.|\n|.|B|\n|.|.|\n 0 1 \n");
}

TEST(Player, CodesNamesAndBytes) {
  EXPECT_EQ(int(Player::Black), 1);
  EXPECT_EQ(int(Player::White), -1);
  EXPECT_EQ(opposite(Player::Black), Player::White);
  EXPECT_EQ(opposite(Player::White), Player::Black);
  EXPECT_EQ(player_name(Player::Black), "Black");
  EXPECT_EQ(player_name(Player::White), "White");
  EXPECT_EQ(player_hash_byte(Player::Black), 0x01);
  EXPECT_EQ(player_hash_byte(Player::White), 0xFF);
  EXPECT_EQ(player_from_int(1), Player::Black);
  EXPECT_EQ(player_from_int(-1), Player::White);
  for (long v : {0L, 2L, -2L, 127L, -128L, 255L}) EXPECT_EQ(player_from_int(v), kEmpty) << v;
}

}  // namespace
}  // namespace vexlor
