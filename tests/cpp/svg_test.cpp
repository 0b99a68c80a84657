// Board pictures: well-formed XML on every size, one circle per stone, the
// conventional star points and labels, and the marks of a game.
#include "render/svg.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "records/word_dispatch.hpp"
#include "test_util.hpp"

namespace vexlor::render {
namespace {

size_t count(const std::string& s, const std::string& what) {
  size_t n = 0;
  for (size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1)) ++n;
  return n;
}

// Element nesting balanced, attribute values quoted, no stray '<' or '&'.
bool well_formed(const std::string& s) {
  std::vector<std::string> open;
  size_t i = 0;
  while (i < s.size()) {
    if (s[i] == '&') return false;
    if (s[i] != '<') {
      ++i;
      continue;
    }
    const size_t end = s.find('>', i);
    if (end == std::string::npos) return false;
    std::string tag = s.substr(i + 1, end - i - 1);
    if (count(tag, "\"") % 2 || tag.find('<') != std::string::npos) return false;
    if (tag[0] == '/') {
      if (open.empty() || open.back() != tag.substr(1)) return false;
      open.pop_back();
    } else if (tag.back() != '/') {
      open.push_back(tag.substr(0, tag.find(' ')));
    }
    i = end + 1;
  }
  return open.empty() && s.rfind("<svg ", 0) == 0;
}

TEST(Svg, EverySizeIsWellFormedWithOneCirclePerStone) {
  for (unsigned w = 2; w <= 32; ++w)
    for (unsigned h : {2u, 7u, 13u, w, 32u}) {
      records::with_word_count(w, h, [&]<int NW>() {
        Board<NW> b{uint8_t(w), uint8_t(h)};
        b.set_piece(0, 0, Player::Black);
        b.set_piece(w - 1, h - 1, Player::White);
        b.set_piece(w / 2, 0, Player::White);
        const std::string s = board_svg(b);
        ASSERT_TRUE(well_formed(s)) << w << "x" << h;
        const std::string stone = "r=\"11\"";
        EXPECT_EQ(count(s, stone), 3u);
        EXPECT_EQ(count(s, stone + " fill=\"#fff\""), 2u);
        EXPECT_EQ(count(s, "<text"), 2 * (w + h)) << w << "x" << h;
        const std::string size = "width=\"" + std::to_string(36 * 2 + (w - 1) * 24) + "\" height=\"" +
                                 std::to_string(36 * 2 + (h - 1) * 24) + "\"";
        EXPECT_NE(s.find(size), std::string::npos);
        EXPECT_EQ(s, board_svg(b));
        EXPECT_EQ(count(board_svg(b, SvgOptions{10, false}), "<text"), 0u);
      });
    }
  EXPECT_THROW(board_svg(Board<1>(3, 3), SvgOptions{4, true}), std::invalid_argument);
}

TEST(Svg, StarPointsAndLabels) {
  EXPECT_EQ(star_points(19, 19).size(), 9u);
  EXPECT_EQ(star_points(13, 13).size(), 5u);
  EXPECT_EQ(star_points(9, 9).size(), 5u);
  EXPECT_EQ(star_points(19, 9).size(), 7u);
  EXPECT_EQ(star_points(6, 6).size(), 0u);
  EXPECT_EQ(star_points(9, 9).front(), (Point{2, 2}));
  EXPECT_EQ(star_points(19, 19)[4], (Point{9, 9}));
  const std::vector<std::pair<unsigned, std::string>> labels = {{0, "A"},  {7, "H"},   {8, "J"},
                                                                {24, "Z"}, {25, "AA"}, {31, "AG"}};
  for (const auto& [c, label] : labels) EXPECT_EQ(column_label(c), label);
}

TEST(Svg, GameMarksLastMoveAndKo) {
  Game<1> g = Game<1>::with_options(5, 5, 7.5f, 0, 100, false);
  // Black's capture at (2,3) takes the ko stone at (1,3).
  testing::play(g, {testing::P(1, 4), testing::P(2, 4), testing::P(0, 3), testing::P(1, 3), testing::P(1, 2),
                    testing::P(3, 3), testing::P(4, 0), testing::P(2, 2), testing::P(2, 3)});
  ASSERT_EQ(g.ko_point(), (Point{1, 3}));
  const std::string s = game_svg(g);
  EXPECT_TRUE(well_formed(s));
  // The ring sits on the last stone (black: a white ring), the square on the ko point.
  EXPECT_NE(s.find("<circle cx=\"84\" cy=\"60\" r=\"4\" fill=\"none\" stroke=\"#fff\""), std::string::npos) << s;
  EXPECT_NE(s.find("<rect x=\"54\" y=\"54\" width=\"12\" height=\"12\""), std::string::npos) << s;
  g.make_move(Move::pass());
  EXPECT_EQ(count(game_svg(g), "fill=\"none\""), 0u);
}

}  // namespace
}  // namespace vexlor::render
