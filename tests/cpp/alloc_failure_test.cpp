// Strong exception guarantee: an allocation that fails inside any mutating
// operation leaves the game exactly as it was, consistent and playable.
// The test allocator makes the k-th allocation from a chosen moment throw
// std::bad_alloc; every k is tried.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "engine/game.hpp"
#include "engine/serialize.hpp"
#include "test_allocator.hpp"
#include "test_util.hpp"

namespace vexlor {
namespace {

using testing::open_game;
using testing::P;
using testing::pass_move;

// Everything observable about a game, and its derived parts, read without the allocator armed.
template <int NW>
struct Snapshot {
  std::vector<uint8_t> state;
  std::vector<Move> legal;
  uint64_t hash;
  std::vector<std::pair<uint64_t, uint32_t>> keys;
};

template <int NW>
Snapshot<NW> snapshot(const Game<NW>& g) {
  return {GameSerializer<NW>::save(g), g.legal_moves(), g.game_hash(), g.repetition().zobrist_counts().entries()};
}

// Runs op on copies of g with the k-th allocation failing, k = 1, 2, ... until
// op completes; every failure must leave the copy as g was. Returns the
// failures seen, and leaves in g the result of the run that completed.
template <int NW>
int fail_each_allocation(Game<NW>& g, const std::function<void(Game<NW>&)>& op, const char* what) {
  const Game<NW> reference = g;
  const Snapshot<NW> before = snapshot(reference);  // settles the reference only: g keeps its pending hashes
  for (long k = 1;; ++k) {
    Game<NW> copy = g;
    bool failed = false;
    testing::alloc::countdown = k;
    try {
      op(copy);
    } catch (const std::bad_alloc&) {
      failed = true;
    }
    testing::alloc::countdown = 0;
    EXPECT_EQ(copy.check_consistency(), "") << what << ", allocation " << k;
    if (!failed) {
      g = std::move(copy);
      return int(k - 1);
    }
    const Snapshot<NW> after = snapshot(copy);
    EXPECT_EQ(after.state, before.state) << what << ": allocation " << k << " failed and the game changed";
    EXPECT_EQ(after.legal, before.legal) << what << ": allocation " << k << " failed and the legal moves changed";
    EXPECT_EQ(after.hash, before.hash) << what << ": allocation " << k << " failed and the hash changed";
    EXPECT_EQ(after.keys, before.keys) << what << ": allocation " << k << " failed and the Zobrist table changed";
    if (::testing::Test::HasFailure()) return int(k);
  }
}

// A seeded game with every kind of change: placements that capture and merge,
// passes, take-backs (some after hand edits, taking their chains back the slow
// way), edits, and legality scans that settle the exact hashes.
template <int NW>
void run(unsigned w, unsigned h, bool superko, uint64_t seed) {
  std::mt19937_64 rng(seed);
  Game<NW> g = open_game<NW>(uint8_t(w), uint8_t(h), superko, 7.5f, uint16_t(w * h / 3), uint16_t(4 * w * h));
  int failures = 0;
  for (int step = 0; step < 120; ++step) {
    const unsigned roll = unsigned(rng() % 100);
    if (roll < 15 || g.is_over()) {
      failures += fail_each_allocation<NW>(g, [](Game<NW>& x) { x.unmake_move(); }, "unmake_move");
    } else if (roll < 22) {
      const uint64_t col = rng() % w, row = rng() % h;
      const unsigned piece = unsigned(rng() % 3);
      failures += fail_each_allocation<NW>(
          g,
          [&](Game<NW>& x) {
            if (piece == 0) x.set_piece(col, row, std::nullopt);
            if (piece == 1) x.set_piece(col, row, Player::Black);
            if (piece == 2) x.set_piece(col, row, Player::White);
          },
          "set_piece");
    } else if (roll < 27) {
      failures += fail_each_allocation<NW>(g, [](Game<NW>& x) { (void)x.position_hashes(); }, "settling");
    } else {
      const std::vector<Move> moves = g.legal_moves(rng() % 2 == 0);
      const Move m = moves[rng() % moves.size()];
      failures += fail_each_allocation<NW>(g, [&](Game<NW>& x) { ASSERT_TRUE(x.make_move(m)); }, "make_move");
    }
    if (::testing::Test::HasFailure()) return;
  }
  EXPECT_GT(failures, 0) << "no allocation was made to fail";
  // Loading allocates too: it fails cleanly or yields the saved game.
  const std::vector<uint8_t> s = GameSerializer<NW>::save(g);
  Game<NW> loaded = GameSerializer<NW>::load(s.data(), s.size());
  failures = fail_each_allocation<NW>(
      loaded, [&](Game<NW>& x) { x = GameSerializer<NW>::load(s.data(), s.size()); }, "loading");
  EXPECT_GT(failures, 0);
}

struct Case {
  unsigned w, h;
  bool superko;
};

class AllocationFailure : public ::testing::TestWithParam<Case> {};

TEST_P(AllocationFailure, LeavesTheGameAsItWas) {
  const Case c = GetParam();
  testing::with_words(c.w, c.h, [&]<int NW>() {
    for (uint64_t seed = 1; seed <= 3; ++seed) run<NW>(c.w, c.h, c.superko, seed);
  });
}

INSTANTIATE_TEST_SUITE_P(Sizes, AllocationFailure,
                         ::testing::Values(Case{3, 3, true}, Case{5, 5, true}, Case{5, 5, false}, Case{9, 9, true},
                                           Case{19, 19, true}),
                         [](const auto& info) {
                           return std::to_string(info.param.w) + "x" + std::to_string(info.param.h) +
                                  (info.param.superko ? "" : "_nosuperko");
                         });

}  // namespace
}  // namespace vexlor
