// With an evaluator that knows the true value of every position (3x3
// end-games solved here by full negamax), both rules find a winning move.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "engine/encode.hpp"
#include "search_test_util.hpp"

namespace vexlor::testing {
namespace {

using search::Options;
using search::Rule;

// Passes only when forced, and none is ever forced in these trees; the game
// ends at max_moves and is scored.
struct EndGame {
  std::vector<unsigned> actions;
  float komi;
  uint16_t max_moves;
  std::set<int> winning;
};

const std::vector<EndGame> kEndGames = {
    {{8, 6}, 0.5f, 6, {3}},       {{1, 3, 2}, 0.5f, 7, {7}}, {{3, 1, 7, 0}, 1.5f, 7, {4, 5}},
    {{7, 6, 2}, 1.5f, 7, {1, 5}}, {{7, 1, 3}, 0.5f, 6, {5}}, {{4, 6}, 0.5f, 6, {3, 7}},
};

// +1 when the side to move wins with best play, -1 when it loses, 0 for a draw.
int solve(Game<1>& g) {
  if (g.is_over()) {
    const GameOutcome o = *g.outcome();
    if (o == GameOutcome::Draw) return 0;
    return (o == GameOutcome::BlackWin) == (g.turn() == Player::Black) ? 1 : -1;
  }
  int best = -2;
  for (Move m : g.legal_moves(false)) {
    g.make_move(m);
    best = std::max(best, -solve(g));
    g.unmake_move();
  }
  return best;
}

std::string key_of(const uint8_t* planes, size_t plane_bytes, const uint8_t* mask, size_t actions) {
  return std::string(reinterpret_cast<const char*>(planes), plane_bytes) +
         std::string(reinterpret_cast<const char*>(mask), actions);
}

// The true value of every position below the root, keyed by what the evaluator sees.
void tabulate(Game<1>& g, std::map<std::string, int>& truth) {
  if (g.is_over()) return;
  std::vector<uint8_t> planes(kTotalInputPlanes * 9, 0), mask(10, 0);
  encode_planes(g, planes.data());
  for (Move m : g.legal_moves(false)) mask[m.is_pass() ? 9 : m.row * 3 + m.col] = 1;
  const int v = solve(g);
  const auto [it, fresh] = truth.emplace(key_of(planes.data(), planes.size(), mask.data(), 10), v);
  if (!fresh && it->second != v) throw std::logic_error("two positions look alike but differ in value");
  for (Move m : g.legal_moves(false)) {
    g.make_move(m);
    tabulate(g, truth);
    g.unmake_move();
  }
}

TEST(SearchSanity, ATrueEvaluatorLeadsBothRulesToAWinningMove) {
  for (const EndGame& e : kEndGames) {
    Game<1> root = Game<1>::with_options(3, 3, e.komi, 1000, e.max_moves, true);
    for (unsigned a : e.actions) root.make_move(Move::place(uint8_t(a % 3), uint8_t(a / 3)));
    ASSERT_EQ(solve(root), 1);
    std::map<std::string, int> truth;
    tabulate(root, truth);
    const RowEval oracle = [&](const uint8_t* planes, const uint8_t* mask, float* policy, float& value) {
      for (size_t a = 0; a < 10; ++a) policy[a] = 0.0f;
      value = float(truth.at(key_of(planes, kTotalInputPlanes * 9, mask, 10)));
    };
    for (Rule rule : {Rule::Puct, Rule::Gumbel}) {
      for (uint64_t seed : {1, 2, 3}) {
        SCOPED_TRACE(::testing::Message() << "end-game after " << e.actions.size() << " moves, komi " << e.komi
                                          << (rule == Rule::Puct ? ", PUCT" : ", Gumbel") << ", seed " << seed);
        Options o;
        o.rule = rule;
        o.num_simulations = rule == Rule::Puct ? 200 : 48;
        o.seed = seed;
        o.puct.temperature = 0.0;
        Harness<1> h(o, 3, 3, 1);
        h.s.set_root(0, root);
        h.run(oracle);
        search::RootResult r;
        std::vector<float> policy;
        h.visits(0, &r, &policy);
        EXPECT_TRUE(e.winning.count(r.action)) << "chose " << r.action;
        if (rule == Rule::Puct) {
          EXPECT_GT(r.value, 0.0);
        } else {  // its root value averages the halving's visits, losing moves too
          const int top = int(std::max_element(policy.begin(), policy.end()) - policy.begin());
          EXPECT_TRUE(e.winning.count(top)) << "improved policy peaks at " << top;
        }
      }
    }
  }
}

}  // namespace
}  // namespace vexlor::testing
