// Rounds: virtual loss, collisions, and every way a round can fail (bad
// evaluations, a throwing evaluator, the memory bound) leaving the trees as
// they were; stopping between rounds; determinism from the seed.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "search_test_util.hpp"

namespace vexlor::testing {
namespace {

using search::Options;
using search::Rule;

constexpr size_t kActions3 = 10;  // 3x3 board and the pass

Options options(Rule rule, uint32_t leaves, uint32_t sims = 40) {
  Options o;
  o.rule = rule;
  o.leaves_per_tree = leaves;
  o.num_simulations = sims;
  o.seed = 17;
  return o;
}

// Two trees on 3x3 roots a move apart.
void set_roots(Harness<1>& h) {
  h.s.set_root(0, game_after<1>(3, 3, {}));
  h.s.set_root(1, game_after<1>(3, 3, {4}));
}

TEST(SearchRounds, VirtualLossSpreadsATreesLeavesAndCommitBacksThemUp) {
  Harness<1> h(options(Rule::Puct, 4), 3, 3, 2);
  set_roots(h);
  const RowEval flat = constant_evaluator(kActions3, 0.0f);
  h.s.begin();
  h.round(flat);  // the two roots
  ASSERT_EQ(h.s.select(h.buffers()), 8u);
  EXPECT_EQ(h.trees, (std::vector<int32_t>{0, 0, 0, 0, 1, 1, 1, 1}));
  for (size_t t = 0; t < 2; ++t) {
    const search::Tree& tr = h.s.tree(t);
    EXPECT_EQ(tr.root_inflight, 4u);
    int pending = 0, inflight = 0;
    for (uint32_t i = 0; i < tr.nodes[0].num_edges; ++i) {
      pending += tr.edges[i].child == search::kPendingChild;
      inflight += tr.edges[i].inflight;
    }
    EXPECT_EQ(pending, 4) << "four different children";
    EXPECT_EQ(inflight, 4);
  }
  h.s.commit(h.evaluate(8, flat));
  EXPECT_TRUE(h.s.is_ok());
  for (size_t t = 0; t < 2; ++t) EXPECT_EQ(h.s.tree(t).root_n, 5u);
}

TEST(SearchRounds, ACollisionEndsTheTreesRound) {
  // Without virtual loss, and with unvisited children ranked below a visited
  // one, every selection after the first follows the same path into the
  // pending leaf: one leaf per tree and round.
  Options o = options(Rule::Puct, 4, 12);
  o.virtual_loss = 0.0;
  o.puct.fpu_reduction = 0.25;
  o.puct.dirichlet_fraction = 0.0;
  Harness<1> h(o, 3, 3, 2);
  set_roots(h);
  const RowEval flat = constant_evaluator(kActions3, 0.0f);
  h.s.begin();
  h.round(flat);
  ASSERT_EQ(h.s.select(h.buffers()), 2u);
  h.s.commit(h.evaluate(2, flat));
  while (!h.s.done()) h.round(flat);
  EXPECT_TRUE(h.s.is_ok());
  search::RootResult r;
  h.visits(0, &r);
  EXPECT_EQ(r.simulations, 12u);
}

class SearchFailures : public ::testing::TestWithParam<std::tuple<Rule, uint32_t>> {};

TEST_P(SearchFailures, AbortRestoresEveryTree) {
  const auto [rule, leaves] = GetParam();
  Harness<1> h(options(rule, leaves), 3, 3, 2);
  set_roots(h);
  const RowEval eval = hash_evaluator(h.s.plane_values(), kActions3);
  h.s.begin();
  for (int i = 0; i < 3; ++i) h.round(eval);
  const auto before = h.snapshots();
  ASSERT_GT(h.s.select(h.buffers()), 0u);
  h.s.abort();
  EXPECT_EQ(h.snapshots(), before);
  EXPECT_TRUE(h.s.is_ok());
  while (!h.s.done()) h.round(eval);
  EXPECT_TRUE(h.s.is_ok());
}

struct Corruption {
  const char* name;
  search::PolicyFormat format;
  bool value;  // corrupt the value (else the policy at the first legal action)
  float x;
  const char* message;
};

TEST_P(SearchFailures, BadEvaluationsAreRejectedAndChangeNothing) {
  const auto [rule, leaves] = GetParam();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<Corruption> corruptions = {
      {"nan value", search::PolicyFormat::Logits, true, nan, "value for leaf 0 is nan"},
      {"infinite value", search::PolicyFormat::Logits, true, -inf, "value for leaf 0 is -inf"},
      {"nan logit", search::PolicyFormat::Logits, false, nan, "logit for leaf 0 is nan at action "},
      {"+inf logit", search::PolicyFormat::Logits, false, inf, "logit for leaf 0 is inf at action "},
      {"all -inf", search::PolicyFormat::Logits, false, -inf, "-inf on every legal action"},
      {"negative probability", search::PolicyFormat::Probabilities, false, -0.5f, "probability for leaf 0 is -0.5"},
      {"zero probabilities", search::PolicyFormat::Probabilities, false, 0.0f, "sum to 0"},
  };
  // Uniform logits or probabilities.
  const RowEval good = [](const uint8_t*, const uint8_t*, float* policy, float& v) {
    for (size_t a = 0; a < kActions3; ++a) policy[a] = 1.0f;
    v = 0.25f;
  };
  for (const Corruption& c : corruptions) {
    SCOPED_TRACE(c.name);
    Options o = options(rule, leaves);
    o.policy = c.format;
    Harness<1> h(o, 3, 3, 2);
    set_roots(h);
    h.s.begin();
    for (int i = 0; i < 2; ++i) h.round(good);
    const auto before = h.snapshots();
    const size_t rows = h.s.select(h.buffers());
    ASSERT_GT(rows, 0u);
    h.evaluate(rows, good);
    // Row 0: the first legal action (or all of them) corrupted, NaN on the
    // illegal ones, which are never read.
    const bool all = std::string(c.name) == "all -inf" || std::string(c.name) == "zero probabilities";
    int first = -1;
    for (size_t a = 0; a < kActions3; ++a) {
      if (!h.masks[a]) {
        h.policy[a] = nan;
      } else if (!c.value && (all || first < 0)) {
        h.policy[a] = c.x;
        if (first < 0) first = int(a);
      }
    }
    if (c.value) h.values[0] = c.x;
    std::string want = c.message;
    if (want.back() == ' ') want += std::to_string(first);
    try {
      h.s.commit({h.policy.data(), h.values.data()});
      ADD_FAILURE() << "accepted";
    } catch (const search::EvaluatorError& e) {
      EXPECT_NE(std::string(e.what()).find(want), std::string::npos) << e.what();
    }
    EXPECT_EQ(h.snapshots(), before);
    while (!h.s.done()) h.round(good);
    EXPECT_TRUE(h.s.is_ok());
  }
}

TEST_P(SearchFailures, AThrowingEvaluatorLeavesTheTreesOfTheLastRound) {
  const auto [rule, leaves] = GetParam();
  Harness<1> h(options(rule, leaves), 3, 3, 2);
  set_roots(h);
  const RowEval eval = hash_evaluator(h.s.plane_values(), kActions3);
  std::vector<std::vector<double>> last;
  int calls = 0;
  auto evaluate = [&](size_t rows) {
    if (++calls == 4) throw std::runtime_error("network down");
    return h.evaluate(rows, eval);
  };
  auto stop = [&] {
    last = h.snapshots();
    return false;
  };
  EXPECT_THROW(h.s.run(h.buffers(), evaluate, stop), std::runtime_error);
  EXPECT_EQ(h.snapshots(), last);
  EXPECT_TRUE(h.s.is_ok());
}

TEST_P(SearchFailures, TheMemoryBoundStopsARoundCleanly) {
  const auto [rule, leaves] = GetParam();
  Options o = options(rule, leaves);
  o.max_tree_bytes = search::Tree::bytes_for(6, 6 * kActions3);
  Harness<1> h(o, 3, 3, 2);
  set_roots(h);
  const RowEval eval = hash_evaluator(h.s.plane_values(), kActions3);
  std::vector<std::vector<double>> last;
  auto stop = [&] {
    last = h.snapshots();
    return false;
  };
  try {
    h.s.run(h.buffers(), [&](size_t rows) { return h.evaluate(rows, eval); }, stop);
    ADD_FAILURE() << "no error";
  } catch (const search::TreeMemoryError& e) {
    EXPECT_NE(std::string(e.what()).find("max_tree_bytes"), std::string::npos) << e.what();
  }
  EXPECT_EQ(h.snapshots(), last);
  EXPECT_TRUE(h.s.is_ok());
  for (size_t t = 0; t < 2; ++t) EXPECT_LE(h.s.tree_bytes(t), o.max_tree_bytes);
}

TEST_P(SearchFailures, StoppingBetweenRoundsConcludesWithWhatThereIs) {
  const auto [rule, leaves] = GetParam();
  Harness<1> h(options(rule, leaves), 3, 3, 2);
  set_roots(h);
  int rounds = 0;
  const auto status = h.s.run(
      h.buffers(), [&](size_t rows) { return h.evaluate(rows, hash_evaluator(h.s.plane_values(), 10)); },
      [&] { return ++rounds > 3; });
  EXPECT_EQ(status, search::RunStatus::Stopped);
  EXPECT_TRUE(h.s.done());
  EXPECT_TRUE(h.s.is_ok());
  for (size_t t = 0; t < 2; ++t) {
    search::RootResult r;
    const auto v = h.visits(t, &r);
    EXPECT_GE(r.action, 0);
    EXPECT_EQ(r.simulations, 2 * leaves);
    EXPECT_EQ(r.simulations, h.s.tree(t).root_n - 1);
  }
}

TEST_P(SearchFailures, TheSeedDecidesEverything) {
  const auto [rule, leaves] = GetParam();
  auto results = [&, rule = rule, leaves = leaves](uint64_t seed) {
    Options o = options(rule, leaves);
    o.seed = seed;
    Harness<1> h(o, 3, 3, 3);
    for (size_t t = 0; t < 3; ++t) h.s.set_root(t, game_after<1>(3, 3, {4}));
    std::vector<std::vector<float>> out;
    for (int move = 0; move < 2; ++move) {
      h.run(hash_evaluator(h.s.plane_values(), kActions3));
      for (size_t t = 0; t < 3; ++t) {
        search::RootResult r;
        std::vector<float> policy;
        const auto v = h.visits(t, &r, &policy);
        out.push_back(policy);
        out.push_back(std::vector<float>(v.begin(), v.end()));
        out.push_back({float(r.action), float(r.value)});
        h.s.play(t, uint32_t(r.action));
      }
    }
    return out;
  };
  const auto a = results(1);
  EXPECT_EQ(a, results(1));
  EXPECT_NE(a, results(2));
  EXPECT_FALSE(a[0] == a[3] && a[3] == a[6]) << "equal roots draw from different streams";
}

INSTANTIATE_TEST_SUITE_P(RulesAndLeaves, SearchFailures,
                         ::testing::Combine(::testing::Values(Rule::Puct, Rule::Gumbel), ::testing::Values(1u, 3u)));

TEST(SearchRounds, MisuseIsAClearError) {
  Harness<1> h(options(Rule::Puct, 1), 3, 3, 2);
  EXPECT_THROW(h.s.begin(), std::invalid_argument);  // no games yet
  EXPECT_THROW(h.s.set_root(0, game_after<1>(2, 3, {})), std::invalid_argument);
  Game<1> over = Game<1>::with_options(3, 3, 7.5f, 0, 1, true);
  over.make_move(Move::place(0, 0));
  EXPECT_THROW(h.s.set_root(0, over), std::invalid_argument);
  set_roots(h);
  EXPECT_THROW(h.s.select(h.buffers()), std::logic_error);  // before begin()
  EXPECT_THROW(h.s.play(0, 99), std::invalid_argument);
  h.s.begin();
  h.s.select(h.buffers());
  EXPECT_THROW(h.s.play(0, 0), std::logic_error);  // a round is pending
  EXPECT_THROW(h.s.commit({}), search::EvaluatorError);
  EXPECT_TRUE(h.s.is_ok());
}

TEST(SearchRounds, OptionsOutOfRangeAreRefused) {
  auto bad = [](auto change) {
    Options o;
    change(o);
    EXPECT_THROW((search::BatchedSearch<1>(o, 3, 3, 1)), std::invalid_argument);
  };
  bad([](Options& o) { o.num_simulations = 0; });
  bad([](Options& o) { o.leaves_per_tree = 0; });
  bad([](Options& o) { o.virtual_loss = NAN; });
  bad([](Options& o) { o.max_tree_bytes = 0; });
  bad([](Options& o) { o.puct.c_base = 0; });
  bad([](Options& o) { o.puct.dirichlet_fraction = 1.5; });
  bad([](Options& o) { o.puct.dirichlet_alpha = 0; });
  bad([](Options& o) { o.puct.temperature = -1; });
  bad([](Options& o) { o.gumbel.max_considered_actions = 0; });
  bad([](Options& o) { o.gumbel.epsilon = 0; });
  EXPECT_THROW((search::BatchedSearch<1>(Options{}, 9, 9, 1)), std::invalid_argument);  // 9x9 needs two words
}

}  // namespace
}  // namespace vexlor::testing
