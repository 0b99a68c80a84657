// The batched search against the literal one-simulation-at-a-time searches of
// tests/python/search_reference.py: the results below are what
// `python tests/python/search_reference.py` prints (visit counts, the move and
// the root value bit for bit). Each case runs as tree 0 of two identical
// trees, so the batching around it must not change it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "search_test_util.hpp"

namespace vexlor::testing {
namespace {

using search::Options;
using search::Rule;

struct Golden {
  std::string name;
  int search;
  int action;
  double value;
  std::vector<uint32_t> visits;
};

const std::vector<Golden> kGolden = {
    {"puct_3x3_noise", 0, 7, 0.0889999978855008, {7, 2, 20, 2, 1, 1, 5, 22, 0, 0}},
    {"puct_4x4_fpu_absolute", 0, 11, 0.06151852017429508, {18, 6, 0, 13, 0, 0, 0, 0, 1, 3, 0, 31, 0, 1, 6, 0, 1}},
    {"puct_5x5_reuse", 0, 24, -0.01313725679966749, {0, 0, 2, 1, 0,  0, 0, 0, 1, 0, 2, 9,  0,
                                                     0, 0, 0, 0, 14, 0, 0, 0, 0, 0, 0, 21, 0}},
    {"puct_5x5_reuse", 1, 7, -0.027943662616988302, {0, 0, 0, 2, 1, 0, 0, 43, 0, 1, 1, 0, 0,
                                                     2, 0, 0, 0, 5, 0, 0, 0,  7, 0, 8, 0, 0}},
    {"puct_5x5_reuse", 2, 3, -0.019043009848363938, {0, 2, 0, 8, 0, 0, 0, 0, 46, 0, 0,  1, 0,
                                                     0, 0, 0, 0, 1, 5, 0, 0, 0,  0, 16, 0, 13}},
    {"gumbel_4x4", 0, 14, -0.0688484866510738, {0, 1, 0, 0, 0, 0, 3, 0, 1, 0, 1, 0, 11, 0, 11, 3, 1}},
    {"gumbel_5x5_reuse", 0, 13, 0.17556000337004662, {0, 0, 1, 2, 1, 0, 0, 2, 2, 0, 1, 0, 2,
                                                      2, 0, 1, 0, 1, 0, 0, 2, 2, 2, 1, 1, 1}},
    {"gumbel_5x5_reuse", 1, 15, -0.09984615294692609, {0, 1, 2, 1, 2, 2, 0, 0, 0, 0, 1, 0, 1,
                                                       0, 1, 2, 1, 2, 0, 2, 0, 1, 0, 1, 2, 2}},
    {"gumbel_5x5_reuse", 2, 3, 0.14584615654670274, {0, 2, 0, 2, 1, 1, 0, 2, 1, 2, 1, 1, 1,
                                                     0, 2, 0, 1, 2, 0, 0, 1, 0, 2, 0, 2, 0}},
    {"gumbel_3x3_probabilities", 0, 1, 0.030666668677613848, {8, 8, 0, 0, 0, 2, 2, 0, 0, 0}},
    {"gumbel_3x3_all_visited", 0, 3, -0.044480002298951146, {0, 3, 9, 9, 0, 0, 0, 0, 0, 3}},
};

struct Case {
  std::string name;
  uint8_t size;
  std::vector<unsigned> actions;
  Options options;
  int searches;
};

// GOLDEN_CASES of search_reference.py.
std::vector<Case> cases() {
  auto options = [](Rule rule, uint32_t sims, uint64_t seed) {
    Options o;
    o.rule = rule;
    o.num_simulations = sims;
    o.seed = seed;
    return o;
  };
  std::vector<Case> out;
  out.push_back({"puct_3x3_noise", 3, {}, options(Rule::Puct, 60, 7), 1});
  Options o = options(Rule::Puct, 80, 3);
  o.puct.fpu_absolute = true;
  o.puct.fpu_value = 0.0;
  o.puct.dirichlet_fraction = 0.0;
  o.puct.temperature = 0.0;
  out.push_back({"puct_4x4_fpu_absolute", 4, {5, 10}, o, 1});
  o = options(Rule::Puct, 50, 11);
  o.puct.fpu_reduction = 0.25;
  out.push_back({"puct_5x5_reuse", 5, {12}, o, 3});
  o = options(Rule::Gumbel, 32, 5);
  o.gumbel.max_considered_actions = 8;
  out.push_back({"gumbel_4x4", 4, {}, o, 1});
  out.push_back({"gumbel_5x5_reuse", 5, {6, 18}, options(Rule::Gumbel, 24, 9), 3});
  o = options(Rule::Gumbel, 20, 2);
  o.policy = search::PolicyFormat::Probabilities;
  o.gumbel.max_considered_actions = 4;
  o.gumbel.gumbel_scale = 0.5;
  out.push_back({"gumbel_3x3_probabilities", 3, {4}, o, 1});
  o = options(Rule::Gumbel, 24, 171);
  o.gumbel.max_considered_actions = 4;
  out.push_back({"gumbel_3x3_all_visited", 3, {5, 6, 4, 0, 7}, o, 1});
  return out;
}

// search_reference.hash_probability_evaluator.
RowEval probabilities_of(RowEval logits, size_t num_actions) {
  return [=](const uint8_t* planes, const uint8_t* mask, float* policy, float& value) {
    logits(planes, mask, policy, value);
    for (size_t a = 0; a < num_actions; ++a) policy[a] = float((double(policy[a]) + 2.0) / 4.0);
  };
}

template <int NW>
std::vector<Golden> run_case(const Case& c) {
  Harness<NW> h(c.options, c.size, c.size, 2);
  Game<NW> root = Game<NW>::with_options(c.size, c.size, 7.5f, 0, 1000, true);
  for (unsigned a : c.actions) root.make_move(Move::place(uint8_t(a % c.size), uint8_t(a / c.size)));
  h.s.set_root(0, root);
  h.s.set_root(1, root);
  RowEval eval = hash_evaluator(h.s.plane_values(), h.s.num_actions());
  if (c.options.policy == search::PolicyFormat::Probabilities) eval = probabilities_of(eval, h.s.num_actions());
  std::vector<Golden> out;
  for (int i = 0; i < c.searches; ++i) {
    h.run(eval);
    EXPECT_TRUE(h.s.is_ok());
    search::RootResult r;
    const std::vector<uint32_t> v = h.visits(0, &r);
    out.push_back({c.name, i, r.action, r.value, v});
    h.s.play(0, uint32_t(r.action));
    search::RootResult other;
    h.visits(1, &other);
    h.s.play(1, uint32_t(other.action));
  }
  return out;
}

TEST(SearchReference, BatchedSearchMatchesTheLiteralReference) {
  size_t next = 0;
  for (const Case& c : cases()) {
    std::vector<Golden> got;
    with_words(c.size, c.size, [&]<int NW>() { got = run_case<NW>(c); });
    for (const Golden& g : got) {
      ASSERT_LT(next, kGolden.size());
      const Golden& want = kGolden[next++];
      SCOPED_TRACE(want.name + " search " + std::to_string(want.search));
      ASSERT_EQ(g.name, want.name);
      EXPECT_EQ(g.visits, want.visits);
      EXPECT_EQ(g.action, want.action);
      EXPECT_EQ(g.value, want.value);
    }
  }
  EXPECT_EQ(next, kGolden.size());
}

}  // namespace
}  // namespace vexlor::testing
