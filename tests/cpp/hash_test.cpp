// Position hashes, the game's Python hash, move hashes and the SipHash stream.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "engine/game.hpp"
#include "engine/siphash.hpp"
#include "lib/python_hash.hpp"
#include "oracle.hpp"
#include "test_util.hpp"

namespace vexlor {
namespace {

using py::python_hash;

struct HashCase {
  unsigned w, h;
  Player to_move;
  std::vector<unsigned> black, white;
  uint64_t want;
};

TEST(PositionHash, KnownValues) {
  const std::vector<HashCase> cases = {
      {2, 2, Player::Black, {}, {}, 0x5fd46a2d42c72efdULL},
      {2, 2, Player::White, {}, {}, 0x72d9c59a03ae5b97ULL},
      {8, 8, Player::Black, {}, {}, 0xabef0e38083a0ed8ULL},
      {9, 9, Player::Black, {}, {}, 0xfc5dd0db6a8c047cULL},
      {9, 9, Player::White, {}, {}, 0xb514f804fcaa1461ULL},
      {19, 19, Player::Black, {}, {}, 0xf547b21da68d51d8ULL},
      {19, 19, Player::White, {}, {}, 0x78fb245ca202bc58ULL},
      {32, 32, Player::Black, {}, {}, 0x5c30fb61e7fa7a2bULL},
      {9, 9, Player::White, {29}, {}, 0x023c91d9185be6cbULL},
      {8, 8, Player::White, {0, 2}, {4, 5}, 0xc0163ded7e009557ULL},
  };
  for (const HashCase& c : cases) {
    testing::with_words(c.w, c.h, [&]<int NW>() {
      Board<NW> b(uint8_t(c.w), uint8_t(c.h));
      for (unsigned p : c.black) b.black.insert(p);
      for (unsigned p : c.white) b.white.insert(p);
      EXPECT_EQ(compute_position_hash(b, c.to_move), c.want) << c.w << "x" << c.h;
      EXPECT_EQ(oracle::position_hash(b, c.to_move), c.want) << c.w << "x" << c.h;
      if (c.black.empty() && c.white.empty() && c.to_move == Player::Black) {
        // A new game's bookkeeping holds exactly this one position.
        const auto g = Game<NW>::with_options(uint8_t(c.w), uint8_t(c.h), 7.5f, 0, 100, true);
        const auto entries = g.position_hashes().entries();
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(entries[0].first, c.want);
        EXPECT_EQ(entries[0].second, 1u);
      }
    });
  }
}

TEST(PositionHash, DependsOnSideToMoveAndSize) {
  Board<1> a(4, 4), b(8, 2), c(4, 4);
  for (auto* x : {&a, &b, &c}) x->black.insert(3);
  c.white.insert(5);
  EXPECT_NE(compute_position_hash(a, Player::Black), compute_position_hash(a, Player::White));
  EXPECT_NE(compute_position_hash(a, Player::Black), compute_position_hash(b, Player::Black));
  EXPECT_NE(compute_position_hash(a, Player::Black), compute_position_hash(c, Player::Black));
  // Stones swapped between colours hash differently too.
  Board<1> d(4, 4);
  d.white.insert(3);
  EXPECT_NE(compute_position_hash(a, Player::Black), compute_position_hash(d, Player::Black));
}

TEST(GameHash, NewGames) {
  EXPECT_EQ(python_hash(Game<2>::with_options(9, 9, 7.5f, 40, 243, true).game_hash()), -8835035137159090291LL);
  EXPECT_EQ(python_hash(Game<6>::with_options(19, 19, 7.5f, 180, 1083, true).game_hash()), -4486896139707710359LL);
  // Options and history do not enter the hash.
  EXPECT_EQ(python_hash(Game<2>::with_options(9, 9, 0.5f, 0, 7, false).game_hash()), -8835035137159090291LL);
}

TEST(GameHash, IncludesTheKoPoint) {
  const std::vector<std::string> rows = {"....", ".BW.", "BW.W", ".BW."};
  auto g = testing::open_game<1>(4, 4);
  testing::put_rows(g, rows);
  oracle::OracleGame<1> o(4, 4, 7.5f, 0, 10000, true);
  testing::put_rows(o, rows);
  const uint64_t before = g.game_hash();
  EXPECT_EQ(before, o.game_hash());
  ASSERT_TRUE(g.make_move(Move::place(2, 1)));
  ASSERT_TRUE(o.make_move(Move::place(2, 1)));
  ASSERT_TRUE(g.ko_point().has_value());
  EXPECT_EQ(g.game_hash(), o.game_hash());
  // Same stones and side to move without the ko point hash differently.
  auto h = testing::open_game<1>(4, 4);
  ASSERT_TRUE(h.make_move(Move::pass()));
  testing::put_rows(h, testing::rows_of(g.board()));
  EXPECT_EQ(h.board(), g.board());
  EXPECT_EQ(h.turn(), g.turn());
  EXPECT_FALSE(h.ko_point().has_value());
  EXPECT_NE(h.game_hash(), g.game_hash());
  EXPECT_EQ(compute_position_hash(h.board(), h.turn()), compute_position_hash(g.board(), g.turn()));
}

uint64_t move_hash(const Move& m) {
  SipHasher13 h;
  h.write_u64(m.is_pass() ? 1 : 0);
  if (!m.is_pass()) {
    const uint8_t cr[2] = {m.col, m.row};
    h.write(cr, 2);
  }
  return h.finish();
}

TEST(MoveHash, KnownValues) {
  EXPECT_EQ(python_hash(move_hash(Move::pass())), 2206609067086327257LL);
  EXPECT_EQ(python_hash(move_hash(Move::place(0, 0))), 764595047648559848LL);
  EXPECT_EQ(python_hash(move_hash(Move::place(3, 4))), -8654779130179705044LL);
}

TEST(PythonHash, SignedWithMinusOneReserved) {
  EXPECT_EQ(python_hash(~uint64_t{0}), -2);
  EXPECT_EQ(python_hash(~uint64_t{0} - 1), -2);
  EXPECT_EQ(python_hash(0), 0);
  EXPECT_EQ(python_hash(uint64_t{1} << 63), INT64_MIN);
  EXPECT_EQ(python_hash(0x7fffffffffffffffULL), INT64_MAX);
}

// Any split of a stream into write / write_u8 / write_u64 pieces gives the one-shot hash.
TEST(SipHasher13, StreamingMatchesOneShotForEverySplit) {
  std::mt19937_64 rng(5);
  for (size_t len = 0; len <= 48; ++len) {
    std::vector<uint8_t> data(len);
    for (auto& b : data) b = uint8_t(rng());
    const uint64_t want = siphash13(data.data(), data.size());
    for (int trial = 0; trial < 30; ++trial) {
      SipHasher13 h;
      size_t i = 0;
      while (i < len) {
        const unsigned kind = unsigned(rng() % 3);
        if (kind == 0 && len - i >= 8) {
          uint64_t v = 0;
          for (int k = 0; k < 8; ++k) v |= uint64_t(data[i + k]) << (8 * k);
          h.write_u64(v);
          i += 8;
        } else if (kind == 1) {
          h.write_u8(data[i++]);
        } else {
          const size_t n = std::min<size_t>(len - i, rng() % 11);
          h.write(data.data() + i, n);
          i += n;
        }
      }
      ASSERT_EQ(h.finish(), want) << "length " << len;
    }
  }
  // Distinct lengths of zero bytes differ (the length byte enters the last block).
  EXPECT_NE(siphash13(nullptr, 0), siphash13(std::vector<uint8_t>(8).data(), 8));
  EXPECT_NE(siphash13(std::vector<uint8_t>(7).data(), 7), siphash13(std::vector<uint8_t>(8).data(), 8));
}

}  // namespace
}  // namespace vexlor
