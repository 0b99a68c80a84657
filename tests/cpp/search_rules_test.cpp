// Selection rules on cases small enough to count by hand, and what a round
// hands the evaluator.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "engine/encode.hpp"
#include "search/sequential_halving.hpp"
#include "search_test_util.hpp"

namespace vexlor::testing {
namespace {

using search::Options;
using search::Rule;

struct HalvingCase {
  uint32_t considered, simulations;
  std::vector<uint32_t> want;
};

// The expected sequences of mctx's seq_halving_test.py.
TEST(SequentialHalving, MatchesMctxSequences) {
  const std::vector<HalvingCase> cases = {
      {8, 24, {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6}},
      {8, 47, {0, 0, 0, 0, 0, 0, 0, 0, 1,  1,  1,  1,  2,  2,  2,  2,  3,  3,  3,  3,  4,  4,  5, 5,
               6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13, 14, 14, 15, 15, 16, 16, 17}},
      {8, 2, {0, 0}},
      {8, 13, {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2}},
      {7, 24, {0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8}},
      {1, 5, {0, 1, 2, 3, 4}},
      {0, 3, {0, 1, 2}},
  };
  std::vector<uint32_t> got;
  for (const HalvingCase& c : cases) {
    search::considered_visit_sequence(c.considered, c.simulations, got);
    EXPECT_EQ(got, c.want) << c.considered << " considered, " << c.simulations << " simulations";
  }
}

// A new 2x2 game with passes allowed: actions 0..3 and the pass (4).
Game<1> small_game() { return Game<1>::with_options(2, 2, 7.5f, 0, 100, true); }

TEST(SearchRules, PuctWithFlatPriorsAndValuesVisitsRoundRobinLowestFirst) {
  Options o;
  o.num_simulations = 12;
  o.puct.fpu_absolute = true;
  o.puct.fpu_value = 0.0;
  o.puct.dirichlet_fraction = 0.0;
  o.puct.temperature = 0.0;
  Harness<1> h(o, 2, 2, 1);
  h.s.set_root(0, small_game());
  h.run(constant_evaluator(5, 0.0f));
  search::RootResult r;
  std::vector<float> policy;
  EXPECT_EQ(h.visits(0, &r, &policy), (std::vector<uint32_t>{3, 3, 2, 2, 2}));
  EXPECT_EQ(r.action, 0);
  EXPECT_EQ(r.simulations, 12u);
  EXPECT_FLOAT_EQ(policy[0], 3.0f / 12);
  EXPECT_FLOAT_EQ(policy[4], 2.0f / 12);
  EXPECT_TRUE(h.s.is_ok());
}

TEST(SearchRules, GumbelHalvesTheConsideredActions) {
  // 5 legal actions, 4 considered, 8 simulations: visits 0,0,0,0 then 1,1 then 2,2
  // of the considered sequence go to the lowest eligible actions (no noise, flat Q).
  Options o;
  o.rule = Rule::Gumbel;
  o.num_simulations = 8;
  o.gumbel.max_considered_actions = 4;
  o.gumbel.gumbel_scale = 0.0;
  Harness<1> h(o, 2, 2, 1);
  h.s.set_root(0, small_game());
  h.run(constant_evaluator(5, 0.0f));
  search::RootResult r;
  std::vector<float> policy;
  EXPECT_EQ(h.visits(0, &r, &policy), (std::vector<uint32_t>{3, 3, 1, 1, 0}));
  EXPECT_EQ(r.action, 0);
  for (float p : policy) EXPECT_FLOAT_EQ(p, 0.2f);  // sigma is 0 everywhere: the prior comes back
  EXPECT_TRUE(h.s.is_ok());
}

TEST(SearchRules, TerminalLeavesTakeTheOutcomeAndGetNoRow) {
  // Black at (0, 0) on 2x2, komi 0.5, and the next move ends the game: a White
  // placement wins 1.5 to 1, White's pass loses 0.5 to 4. Every edge is worth
  // +1 or -1 to White on each visit, and only the root reaches the evaluator.
  Game<1> g = Game<1>::with_options(2, 2, 0.5f, 0, 2, true);
  g.make_move(Move::place(0, 0));
  for (Rule rule : {Rule::Puct, Rule::Gumbel}) {
    Options o;
    o.rule = rule;
    o.num_simulations = 30;
    Harness<1> h(o, 2, 2, 1);
    h.s.set_root(0, g);
    size_t rows = 0;
    const RowEval count = [&](const uint8_t* p, const uint8_t* m, float* pol, float& v) {
      ++rows;
      constant_evaluator(5, 0.0f)(p, m, pol, v);
    };
    h.run(count);
    EXPECT_EQ(rows, 1u);
    const search::Tree& tr = h.s.tree(0);
    for (const search::Edge& e : tr.edges) {
      if (e.n == 0) continue;
      EXPECT_TRUE(tr.nodes[e.child].terminal);
      EXPECT_EQ(e.w, e.action == 4 ? -double(e.n) : double(e.n)) << "action " << e.action;
    }
    search::RootResult r;
    h.visits(0, &r);
    EXPECT_NE(r.action, 4) << "a winning placement";
    EXPECT_TRUE(h.s.is_ok());
  }
}

template <class T>
void expect_row_is_leaf(const T* row, const uint8_t* mask, const Game<1>& leaf) {
  std::vector<T> want(kTotalInputPlanes * leaf.area(), T(0));
  encode_planes(leaf, want.data());
  EXPECT_EQ(std::vector<T>(row, row + want.size()), want);
  std::vector<uint8_t> legal(leaf.area() + 1, 0);
  for (Move m : leaf.legal_moves(false)) legal[m.is_pass() ? leaf.area() : m.row * leaf.width() + m.col] = 1;
  EXPECT_EQ(std::vector<uint8_t>(mask, mask + legal.size()), legal);
}

TEST(SearchRules, RowsHoldTheLeafPlanesAndMaskInEitherFormat) {
  for (search::PlaneFormat f : {search::PlaneFormat::UInt8, search::PlaneFormat::Float32}) {
    Options o;
    o.num_simulations = 3;
    o.planes = f;
    o.puct.dirichlet_fraction = 0.0;
    Harness<1> h(o, 2, 2, 1);
    Game<1> g = small_game();
    g.make_move(Move::place(1, 0));
    h.s.set_root(0, g);
    h.s.begin();
    for (int round = 0; round < 2; ++round) {
      // Round 0 evaluates the root; round 1 the child of the lowest action (flat priors, FPU ties).
      Game<1> leaf = g;
      if (round == 1) leaf.make_move(Move::place(0, 0));
      ASSERT_EQ(h.s.select(h.buffers()), 1u);
      EXPECT_EQ(h.trees[0], 0);
      if (f == search::PlaneFormat::UInt8)
        expect_row_is_leaf(h.planes.data(), h.masks.data(), leaf);
      else
        expect_row_is_leaf(h.planes_f32.data(), h.masks.data(), leaf);
      h.s.commit(h.evaluate(1, constant_evaluator(5, 0.0f)));
    }
    EXPECT_EQ(h.s.game(0)->move_count(), 1u) << "the tree's game is back at the root";
  }
}

}  // namespace
}  // namespace vexlor::testing
