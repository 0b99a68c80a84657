// Selection rules on cases small enough to count by hand, and what a round
// hands the evaluator.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "engine/encode.hpp"
#include "search/gumbel.hpp"
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

struct HandCounted {
  const char* name;
  Options options;
  std::vector<uint32_t> visits;
  std::vector<float> policy;
};

TEST(SearchRules, FlatEvaluatorsGiveHandCountedVisits) {
  // A new 2x2 game (5 legal actions), uniform logits, every value 0.
  // PUCT with first-play value 0 and no noise: every score ties, so the visits
  // go round the actions from the lowest; the policy target is the visits.
  Options puct;
  puct.num_simulations = 12;
  puct.puct.fpu_absolute = true;
  puct.puct.fpu_value = 0.0;
  puct.puct.dirichlet_fraction = 0.0;
  puct.puct.temperature = 0.0;
  // Gumbel without noise, 4 of the 5 actions considered, 8 simulations: the
  // considered visits 0,0,0,0, 1,1, 2,2 go to the lowest eligible actions; sigma
  // is 0 everywhere, so the improved policy is the prior.
  Options gumbel;
  gumbel.rule = Rule::Gumbel;
  gumbel.num_simulations = 8;
  gumbel.gumbel.max_considered_actions = 4;
  gumbel.gumbel.gumbel_scale = 0.0;
  const std::vector<HandCounted> cases = {
      {"PUCT", puct, {3, 3, 2, 2, 2}, {3.0f / 12, 3.0f / 12, 2.0f / 12, 2.0f / 12, 2.0f / 12}},
      {"Gumbel", gumbel, {3, 3, 1, 1, 0}, {0.2f, 0.2f, 0.2f, 0.2f, 0.2f}},
  };
  for (const HandCounted& c : cases) {
    SCOPED_TRACE(c.name);
    Harness<1> h(c.options, 2, 2, 1);
    h.s.set_root(0, small_game());
    h.run(constant_evaluator(5, 0.0f));
    search::RootResult r;
    std::vector<float> policy;
    EXPECT_EQ(h.visits(0, &r, &policy), c.visits);
    EXPECT_EQ(r.action, 0);
    EXPECT_EQ(r.simulations, c.options.num_simulations);
    for (size_t a = 0; a < 5; ++a) EXPECT_FLOAT_EQ(policy[a], c.policy[a]) << "action " << a;
    EXPECT_TRUE(h.s.is_ok());
  }
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

// The Gumbel root rule as mctx states it: every eligible edge scored, the
// first maximum taken.
// The first i < count with the highest score(i) (-inf: not a candidate), 0 if none.
template <class Score>
uint32_t first_max(uint32_t count, Score score) {
  uint32_t best = 0;
  double best_score = -INFINITY;
  for (uint32_t i = 0; i < count; ++i)
    if (const double x = score(i); x > best_score) {
      best_score = x;
      best = i;
    }
  return best;
}

uint32_t root_select_by_definition(const search::Node& root, const search::Edge* e, const double* g,
                                   const uint32_t* visits, uint32_t considered, const search::Completion& c,
                                   const double* q) {
  return first_max(root.num_edges, [&](uint32_t i) -> double {
    if (visits[i] + e[i].inflight != considered) return -INFINITY;
    const double sigma = e[i].n + e[i].inflight ? c.at(q[i]) : c.unvisited;
    return std::max(-1e9, g[i] + (double(e[i].prior) - root.logit_max) + sigma);
  });
}

TEST(SearchRules, GumbelRootShortcutPicksWhatEveryEdgeScoredWould) {
  // Few distinct logits and noises, a huge or tiny unvisited sigma and bases
  // under -1e9: plenty of exact and rounded ties for the shortcut to get wrong.
  std::mt19937_64 rng(99);
  const float logits[] = {0.5f, 0.5f, -1.0f, 2.0f, -INFINITY, -3e9f};
  const double noises[] = {0.0, 0.25, 1.0, -0.5};
  const double sigmas[] = {0.0, 1e17, -1e17, 0.3};
  for (int trial = 0; trial < 4000; ++trial) {
    const uint32_t count = 1 + uint32_t(rng() % 24);
    std::vector<search::Edge> e(count);
    std::vector<double> g(count), q(count, 0.0);
    std::vector<uint32_t> visits(count, 0);
    for (uint32_t i = 0; i < count; ++i) {
      e[i].prior = logits[rng() % 6];
      e[i].action = uint16_t(i);
      g[i] = noises[rng() % 4];
      if (rng() % 3 == 0) {
        e[i].n = uint32_t(rng() % 3);
        e[i].inflight = uint16_t(rng() % 2);
        visits[i] = std::min<uint32_t>(e[i].n, uint32_t(rng() % 3));
        q[i] = double(int(rng() % 5) - 2) / 2;
      }
    }
    search::Node root;
    root.num_edges = uint16_t(count);
    e[rng() % count].prior = 0.5f;  // rows whose logits are all -inf are refused
    search::logit_normaliser(e.data(), count, root.logit_max, root.logit_sum);
    const search::Completion c{-1.0, 2.0, 5.0, sigmas[rng() % 4], rng() % 2 == 0};
    std::vector<uint32_t> order(count), visited(count);
    std::vector<double> keys(count);
    search::gumbel_root_order(root, e.data(), g.data(), order.data(), keys.data());
    const uint32_t nv = search::visited_edges(e.data(), count, visited.data());
    for (uint32_t considered = 0; considered < 3; ++considered)
      ASSERT_EQ(search::gumbel_root_select(root, e.data(), g.data(), visits.data(), considered, c, q.data(),
                                           visited.data(), nv, order.data()),
                root_select_by_definition(root, e.data(), g.data(), visits.data(), considered, c, q.data()))
          << "trial " << trial << ", considered visit " << considered;
  }
}

// Below the root as mctx states it: softmax(logit + sigma) minus the visit
// share, every edge scored, the first maximum taken.
uint32_t interior_select_by_definition(search::Node& node, const search::Edge* e, const search::GumbelOptions& o) {
  const uint32_t count = node.num_edges;
  std::vector<double> q(count), p(count), x(count), probs(count);
  std::vector<uint32_t> visited(count);
  const search::GumbelScratch s{q.data(), p.data(), visited.data()};
  uint64_t sum_n;
  const uint32_t nv = search::visited_edges(e, count, visited.data());
  const search::Completion c = search::gumbel_completion(node, e, visited.data(), nv, count + 1, 0.0, o, s, sum_n);
  for (uint32_t i = 0; i < count; ++i) x[i] = double(e[i].prior) + (e[i].n ? c.at(q[i]) : c.unvisited);
  search::softmax(x.data(), count, probs.data());
  return first_max(count, [&](uint32_t i) { return probs[i] - double(e[i].n) / (1.0 + double(sum_n)); });
}

TEST(SearchRules, GumbelInteriorShortcutPicksWhatEveryEdgeScoredWould) {
  // Unvisited nodes take the shortcut; logits that vanish next to a huge
  // sigma, or tie, or differ by one float step, probe its tie handling.
  std::mt19937_64 rng(7);
  const float logits[] = {0.5f, 0.5f, 0.50000006f, -1.0f, 1e-30f, 2e-30f, -INFINITY};
  const double values[] = {0.0, 1e17, -3.7, 4096.0};
  for (int trial = 0; trial < 4000; ++trial) {
    const uint32_t count = 1 + uint32_t(rng() % 12);
    std::vector<search::Edge> e(count);
    for (uint32_t i = 0; i < count; ++i) {
      e[i].prior = logits[rng() % 7];
      e[i].action = uint16_t(i);
      if (trial % 2 && rng() % 4 == 0) {  // half the nodes have visits
        e[i].n = 1 + uint32_t(rng() % 3);
        e[i].w = double(int(rng() % 5) - 2) / 2 * e[i].n;
      }
    }
    search::Node node;
    node.num_edges = uint16_t(count);
    node.value = float(values[rng() % 4]);
    node.logit_max = search::logit_max(e.data(), count);
    if (node.logit_max == -INFINITY) node.logit_max = e[0].prior = 1e-30f;  // rows without a finite logit are refused
    search::GumbelOptions o;
    o.rescale_values = rng() % 2 == 0;
    std::vector<double> q(count), p(count);
    std::vector<uint32_t> visited(count);
    search::Node copy = node;
    ASSERT_EQ(search::gumbel_interior_select(node, e.data(), count + 1, 0.0, o, {q.data(), p.data(), visited.data()}),
              interior_select_by_definition(copy, e.data(), o))
        << "trial " << trial;
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
