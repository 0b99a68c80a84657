// Bitboards and board geometry: shifts across words, masks, neighbours, flood fill.
#include "engine/bitboard.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "engine/game.hpp"
#include "engine/geometry.hpp"
#include "oracle.hpp"
#include "test_util.hpp"

namespace vexlor {
namespace {

using testing::indices;
using testing::set_of;

template <int NW>
Bitboard<NW> random_set(std::mt19937_64& rng, int density_shift) {
  Bitboard<NW> b;
  for (auto& w : b.w) {
    w = rng();
    for (int i = 0; i < density_shift; ++i) w &= rng();  // sparser sets for larger shifts
  }
  return b;
}

// Bit p moves to p + k (negative k: towards lower indices); bits leaving 0..64*NW-1 vanish.
template <int NW>
Bitboard<NW> shifted_by_bits(const Bitboard<NW>& b, long k) {
  Bitboard<NW> r;
  for (long p = 0; p < 64L * NW; ++p)
    if (b.test(unsigned(p)) && p + k >= 0 && p + k < 64L * NW) r.insert(unsigned(p + k));
  return r;
}

template <class T>
class BitboardTyped : public ::testing::Test {};
using WordCounts =
    ::testing::Types<std::integral_constant<int, 1>, std::integral_constant<int, 2>, std::integral_constant<int, 3>,
                     std::integral_constant<int, 6>, std::integral_constant<int, 16>>;
TYPED_TEST_SUITE(BitboardTyped, WordCounts);

TYPED_TEST(BitboardTyped, ShiftsMatchBitByBitMoveForEveryDistance) {
  constexpr int NW = TypeParam::value;
  std::mt19937_64 rng(1234 + NW);
  for (int trial = 0; trial < 6; ++trial) {
    const Bitboard<NW> b = random_set<NW>(rng, trial % 3);
    for (unsigned k = 0; k <= 64u * NW + 70; ++k) {
      ASSERT_EQ(b.shl(k), shifted_by_bits(b, long(k))) << "shl " << k;
      ASSERT_EQ(b.shr(k), shifted_by_bits(b, -long(k))) << "shr " << k;
      if (k >= 1 && k < 64) {
        ASSERT_EQ(b.shl_small(k), b.shl(k)) << "shl_small " << k;
        ASSERT_EQ(b.shr_small(k), b.shr(k)) << "shr_small " << k;
      }
    }
    for (unsigned k : {1000u, 1024u, 4096u, 0xFFFFFFFFu}) {
      ASSERT_EQ(b.shl(k), shifted_by_bits(b, long(k)));
      ASSERT_EQ(b.shr(k), shifted_by_bits(b, -long(k)));
    }
  }
}

TYPED_TEST(BitboardTyped, ShiftsCarryAcrossWordBoundariesAndDropAtTheEnds) {
  constexpr int NW = TypeParam::value;
  constexpr unsigned top = 64u * NW - 1;
  const auto one = [](unsigned p) { return Bitboard<NW>::single(p); };
  EXPECT_TRUE(one(top).shl(1).empty());
  EXPECT_TRUE(one(0).shr(1).empty());
  EXPECT_TRUE(one(0).shl(64u * NW).empty());
  EXPECT_TRUE(one(top).shr(64u * NW).empty());
  EXPECT_EQ(one(0).shl(top), one(top));
  EXPECT_EQ(one(top).shr(top), one(0));
  if constexpr (NW >= 2) {
    EXPECT_EQ(one(63).shl(1), one(64));
    EXPECT_EQ(one(64).shr(1), one(63));
    EXPECT_EQ(one(63).shl_small(1), one(64));
    EXPECT_EQ(one(64).shr_small(1), one(63));
    EXPECT_EQ(one(5).shl(64), one(69));
    EXPECT_EQ(one(69).shr(64), one(5));
  }
}

TYPED_TEST(BitboardTyped, PrimitivesAgreeWithBitByBitReference) {
  constexpr int NW = TypeParam::value;
  std::mt19937_64 rng(77 + NW);
  for (int trial = 0; trial < 50; ++trial) {
    const Bitboard<NW> a = random_set<NW>(rng, trial % 4);
    const Bitboard<NW> b = random_set<NW>(rng, (trial + 1) % 4);
    std::vector<unsigned> in_a, in_both, in_either, in_a_not_b;
    for (unsigned p = 0; p < 64u * NW; ++p) {
      if (a.test(p)) in_a.push_back(p);
      if (a.test(p) && b.test(p)) in_both.push_back(p);
      if (a.test(p) || b.test(p)) in_either.push_back(p);
      if (a.test(p) && !b.test(p)) in_a_not_b.push_back(p);
    }
    EXPECT_EQ(oracle::members(a), in_a);
    EXPECT_EQ(indices(a & b), in_both);
    EXPECT_EQ(indices(a | b), in_either);
    EXPECT_EQ(indices(a.minus(b)), in_a_not_b);
    EXPECT_EQ(a.count(), int(in_a.size()));
    EXPECT_EQ(a.empty(), in_a.empty());
    EXPECT_EQ(a.intersects(b), !in_both.empty());
    if (!in_a.empty()) {
      EXPECT_EQ(a.lowest(), in_a.front());
    }
    std::vector<unsigned> seen;
    a.for_each([&](unsigned p) { seen.push_back(p); });
    EXPECT_EQ(seen, in_a);
    Bitboard<NW> c = a;
    const unsigned p = unsigned(rng() % (64u * NW));
    c.insert(p);
    EXPECT_TRUE(c.test(p));
    c.remove(p);
    EXPECT_FALSE(c.test(p));
    EXPECT_EQ(c, a.minus(Bitboard<NW>::single(p)));
  }
}

TEST(BoardGeometry, WordCountsFollowThePointCount) {
  struct Case {
    unsigned w, h;
    int words;
  };
  for (const Case c : std::vector<Case>{{2, 2, 1},
                                        {8, 8, 1},
                                        {5, 13, 2},
                                        {9, 9, 2},
                                        {13, 13, 3},
                                        {16, 16, 4},
                                        {17, 17, 5},
                                        {19, 19, 6},
                                        {32, 32, 16},
                                        {2, 32, 1},
                                        {32, 3, 2}}) {
    EXPECT_EQ(words_for(c.w * c.h), c.words) << c.w << "x" << c.h;
  }
}

TEST(BoardGeometry, MasksOfThreeByTwo) {
  const BoardGeometry<1> g(3, 2);
  EXPECT_EQ(indices(g.board_mask), (std::vector<unsigned>{0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(indices(g.not_first_col), (std::vector<unsigned>{1, 2, 4, 5}));
  EXPECT_EQ(indices(g.not_last_col), (std::vector<unsigned>{0, 1, 3, 4}));
  EXPECT_EQ(g.num_points, 6);
  EXPECT_EQ(g.width, 3);
  EXPECT_EQ(g.height, 2);
}

TEST(BoardGeometry, MasksFillExactlyTheBoardBits) {
  const BoardGeometry<1> g8(8, 8);
  EXPECT_EQ(g8.board_mask.w[0], ~uint64_t{0});
  const BoardGeometry<2> g(5, 13);
  EXPECT_EQ(g.board_mask.w[0], ~uint64_t{0});
  EXPECT_EQ(g.board_mask.w[1], uint64_t{1});
  const BoardGeometry<16> g32(32, 32);
  for (uint64_t w : g32.board_mask.w) EXPECT_EQ(w, ~uint64_t{0});
  EXPECT_EQ(g32.num_points, 1024);
}

TEST(BoardGeometry, WordCountMismatchIsAProgrammingError) {
  struct Case {
    std::string text;
    std::function<void()> build;
  };
  const std::vector<Case> cases = {
      {"NW=2 does not match board 3x3 (need 1)", [] { BoardGeometry<2> g(3, 3); }},
      {"NW=1 does not match board 9x9 (need 2)", [] { BoardGeometry<1> g(9, 9); }},
      {"NW=6 does not match board 32x32 (need 16)", [] { BoardGeometry<6> g(32, 32); }},
      {"NW=2 does not match board 3x3 (need 1)", [] { (void)Game<2>::with_options(3, 3, 7.5f, 0, 10, true); }},
  };
  for (const Case& c : cases) {
    try {
      c.build();
      ADD_FAILURE() << "no exception for " << c.text;
    } catch (const std::logic_error& e) {
      EXPECT_EQ(std::string(e.what()), c.text);
    }
  }
  EXPECT_NO_THROW((BoardGeometry<16>(31, 31)));  // 961 points need 16 words too
  EXPECT_NO_THROW((BoardGeometry<2>(5, 13)));
}

TEST(BoardGeometry, NeighboursOnThreeByThree) {
  const BoardGeometry<1> g(3, 3);
  const auto n = [&](unsigned p) { return indices(g.neighbors(Bitboard<1>::single(p))); };
  EXPECT_EQ(n(4), (std::vector<unsigned>{1, 3, 5, 7}));
  EXPECT_EQ(n(0), (std::vector<unsigned>{1, 3}));
  EXPECT_EQ(n(2), (std::vector<unsigned>{1, 5}));     // no wrap into row 1
  EXPECT_EQ(n(3), (std::vector<unsigned>{0, 4, 6}));  // no wrap into row 0
  EXPECT_EQ(n(8), (std::vector<unsigned>{5, 7}));
  // A point is in the result only when another point of the set touches it.
  EXPECT_EQ(indices(g.neighbors(set_of<1>({0, 1}))), (std::vector<unsigned>{0, 1, 2, 3, 4}));
  EXPECT_EQ(indices(g.neighbors(set_of<1>({0, 8}))), (std::vector<unsigned>{1, 3, 5, 7}));
}

TEST(BoardGeometry, NeighbourCarriedIntoTheNextWordOnNineByNine) {
  const BoardGeometry<2> g(9, 9);
  EXPECT_EQ(indices(g.neighbors(Bitboard<2>::single(63))), (std::vector<unsigned>{54, 64, 72}));
  EXPECT_EQ(indices(g.neighbors(Bitboard<2>::single(64))), (std::vector<unsigned>{55, 63, 65, 73}));
  EXPECT_EQ(indices(g.neighbors(Bitboard<2>::single(80))), (std::vector<unsigned>{71, 79}));
}

TEST(BoardGeometry, TopRowOfThirtyTwoHasNothingAbove) {
  const BoardGeometry<16> g(32, 32);
  for (unsigned p = 992; p < 1024; ++p) {
    std::vector<unsigned> want;
    if (p > 992) want.push_back(p - 1);
    want.insert(want.begin(), p - 32);
    if (p < 1023) want.push_back(p + 1);
    EXPECT_EQ(indices(g.neighbors(Bitboard<16>::single(p))), want) << p;
  }
  Bitboard<16> top;
  for (unsigned p = 992; p < 1024; ++p) top.insert(p);
  Bitboard<16> second_row;
  for (unsigned p = 960; p < 992; ++p) second_row.insert(p);
  EXPECT_EQ(g.neighbors(top), top | second_row);
  EXPECT_EQ(g.neighbors(g.board_mask), g.board_mask);
}

// neighbors and flood_fill against the coordinate-by-coordinate reference, on
// sizes that exercise every edge: word boundaries inside rows, the last
// partial word, narrow and wide boards.
TEST(BoardGeometry, NeighboursAndFloodFillMatchCoordinateReference) {
  struct Size {
    unsigned w, h;
  };
  const std::vector<Size> sizes = {{2, 2},   {3, 3},   {2, 5},   {7, 9},   {8, 8},  {5, 13}, {9, 9},   {13, 13},
                                   {11, 23}, {16, 16}, {17, 17}, {19, 19}, {32, 2}, {2, 32}, {31, 31}, {32, 32}};
  std::mt19937_64 rng(99);
  for (const Size s : sizes) {
    testing::with_words(s.w, s.h, [&]<int NW>() {
      const BoardGeometry<NW> g(uint8_t(s.w), uint8_t(s.h));
      const oracle::Grid<NW> ref(s.w, s.h);
      ASSERT_EQ(g.board_mask, ref.all());
      for (int trial = 0; trial < 40; ++trial) {
        const Bitboard<NW> a = random_set<NW>(rng, trial % 4) & g.board_mask;
        const Bitboard<NW> allowed = random_set<NW>(rng, trial % 2) & g.board_mask;
        ASSERT_EQ(g.neighbors(a), ref.neighbors(a)) << s.w << "x" << s.h;
        const Bitboard<NW> seed = random_set<NW>(rng, 4) & g.board_mask;
        ASSERT_EQ(g.flood_fill(seed, allowed), ref.flood_fill(seed, allowed)) << s.w << "x" << s.h;
        ASSERT_EQ(g.flood_fill(seed, a), ref.flood_fill(seed, a)) << s.w << "x" << s.h;
      }
    });
  }
}

TEST(BoardGeometry, FloodFillCases) {
  const BoardGeometry<2> g(9, 9);
  using BB = Bitboard<2>;
  // A seed outside the allowed set contributes nothing; an empty seed gives nothing.
  EXPECT_TRUE(g.flood_fill(BB::single(40), g.board_mask.minus(BB::single(40))).empty());
  EXPECT_TRUE(g.flood_fill(BB{}, g.board_mask).empty());
  EXPECT_EQ(g.flood_fill(BB::single(0), g.board_mask), g.board_mask);
  // One stone: the empty region is everything else.
  const BB stone = BB::single(40);
  EXPECT_EQ(g.flood_fill(BB::single(80), g.board_mask.minus(stone)), g.board_mask.minus(stone));
  // A wall along column 4 splits the board; the fill stays on its side.
  BB wall;
  for (unsigned r = 0; r < 9; ++r) wall.insert(r * 9 + 4);
  const BB left = g.flood_fill(BB::single(0), g.board_mask.minus(wall));
  EXPECT_EQ(left.count(), 36);
  for (unsigned p : indices(left)) EXPECT_LT(p % 9, 4u);
  // A serpentine corridor of 49 points, reached only by walking its full length.
  BB corridor;
  for (unsigned r = 0; r < 9; r += 2)
    for (unsigned c = 0; c < 9; ++c) corridor.insert(r * 9 + c);
  for (unsigned r = 1; r < 9; r += 2) corridor.insert(r * 9 + ((r / 2) % 2 == 0 ? 8 : 0));
  EXPECT_EQ(g.flood_fill(BB::single(0), corridor), corridor);
  EXPECT_EQ(g.flood_fill(BB::single(80) | BB::single(0), corridor), corridor);
}

}  // namespace
}  // namespace vexlor
