// Tree reuse: the chosen move's subtree becomes the next root, a root is
// recognised when it comes back, and the pool stops allocating once warm.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <vector>

#include "search_test_util.hpp"
#include "test_allocator.hpp"

namespace vexlor::testing {
namespace {

using search::Options;
using search::Rule;

Options reuse_options(Rule rule, uint32_t sims = 100) {
  Options o;
  o.rule = rule;
  o.num_simulations = sims;
  o.seed = 23;
  return o;
}

size_t subtree_size(const search::Tree& tr, uint32_t node) {
  size_t n = 1;
  const search::Node& nd = tr.nodes[node];
  for (uint32_t i = 0; i < nd.num_edges; ++i) {
    const uint32_t c = tr.edges[nd.first_edge + i].child;
    if (c != search::kNoChild) n += subtree_size(tr, c);
  }
  return n;
}

class SearchReuse : public ::testing::TestWithParam<Rule> {};

TEST_P(SearchReuse, PlayingTheChosenMoveKeepsItsSubtree) {
  Harness<1> h(reuse_options(GetParam()), 4, 4, 1);
  h.s.set_root(0, game_after<1>(4, 4, {5}));
  const RowEval eval = hash_evaluator(h.s.plane_values(), 17);
  h.run(eval);
  search::RootResult r;
  h.visits(0, &r);
  const search::Tree& tr = h.s.tree(0);
  uint32_t e = 0;
  while (tr.edges[e].action != uint32_t(r.action)) ++e;
  const search::Edge chosen = tr.edges[e];
  const search::Node child = tr.nodes[chosen.child];
  const std::vector<search::Edge> grandchildren(tr.edges.begin() + child.first_edge,
                                                tr.edges.begin() + child.first_edge + child.num_edges);
  const size_t kept = subtree_size(tr, chosen.child);
  const size_t bytes = h.s.tree_bytes(0);

  h.s.play(0, uint32_t(r.action));
  EXPECT_EQ(tr.root_n, chosen.n);
  EXPECT_EQ(tr.root_w, -chosen.w);
  EXPECT_EQ(tr.nodes.size(), kept);
  EXPECT_LT(h.s.tree_bytes(0), bytes);
  ASSERT_EQ(tr.nodes[0].num_edges, grandchildren.size());
  for (size_t i = 0; i < grandchildren.size(); ++i) {
    EXPECT_EQ(tr.edges[i].action, grandchildren[i].action);
    EXPECT_EQ(tr.edges[i].n, grandchildren[i].n);
    EXPECT_EQ(tr.edges[i].w, grandchildren[i].w);
  }
  EXPECT_TRUE(h.s.is_ok());
  EXPECT_EQ(h.s.game(0)->move_count(), 2u);
  std::vector<float> policy;
  const auto before_search = h.visits(0, &r, &policy);
  EXPECT_EQ(r.action, -1) << "no move chosen before the new root is searched";
  if (GetParam() == Rule::Gumbel) {
    EXPECT_EQ(before_search, std::vector<uint32_t>(17, 0));
    EXPECT_EQ(policy, std::vector<float>(17, 0.0f));
  }

  h.run(eval);
  const auto v = h.visits(0, &r);
  EXPECT_EQ(tr.root_n, chosen.n + 100);
  EXPECT_EQ(r.simulations, 100u);
  uint64_t sum = 0;
  for (uint32_t x : v) sum += x;
  EXPECT_EQ(sum, GetParam() == Rule::Gumbel ? 100u : chosen.n + 99) << "Gumbel counts this search only";
  EXPECT_TRUE(h.s.is_ok());
}

TEST_P(SearchReuse, SyncRootKeepsAdvancesOrReplaces) {
  for (bool reuse : {true, false}) {
    Options o = reuse_options(GetParam(), 30);
    o.reuse_tree = reuse;
    Harness<1> h(o, 4, 4, 1);
    const Game<1> g = game_after<1>(4, 4, {5});
    h.s.set_root(0, g);
    h.run(hash_evaluator(h.s.plane_values(), 17));
    search::RootResult r;
    h.visits(0, &r);
    const auto searched = snapshot(h.s.tree(0), h.s.options());

    EXPECT_EQ(h.s.sync_root(0, g), search::RootChange::Kept);
    EXPECT_EQ(snapshot(h.s.tree(0), h.s.options()), searched);
    Game<1> next = g;
    next.make_move(Move::place(uint8_t(r.action % 4), uint8_t(r.action / 4)));
    EXPECT_EQ(h.s.sync_root(0, next), reuse ? search::RootChange::Advanced : search::RootChange::Replaced);
    EXPECT_EQ(h.s.tree(0).expanded(), reuse);
    EXPECT_TRUE(h.s.is_ok());

    // Same board and moves, different recorded positions: a stone put by hand
    // before the move or after it.
    Game<1> before = g, after = g;
    before.set_piece(3, 3, Player::Black);
    before.make_move(Move::place(0, 0));
    after.make_move(Move::place(0, 0));
    after.set_piece(3, 3, Player::Black);
    h.s.set_root(0, before);
    EXPECT_EQ(h.s.sync_root(0, before), search::RootChange::Kept);
    EXPECT_EQ(h.s.sync_root(0, after), search::RootChange::Replaced);
    EXPECT_EQ(h.s.sync_root(0, g), search::RootChange::Replaced);
    const Game<1> other_komi = Game<1>::with_options(4, 4, 6.5f, 0, 1000, true);
    EXPECT_EQ(h.s.sync_root(0, other_komi), search::RootChange::Replaced);
  }
}

INSTANTIATE_TEST_SUITE_P(Rules, SearchReuse, ::testing::Values(Rule::Puct, Rule::Gumbel));

TEST(SearchPool, RoundsAllocateNothingOnceWarm) {
  for (Rule rule : {Rule::Puct, Rule::Gumbel}) {
    Options o = reuse_options(rule, 64);
    o.leaves_per_tree = 2;
    Harness<2> h(o, 9, 9, 4);
    for (size_t t = 0; t < 4; ++t) h.s.set_root(t, game_after<2>(9, 9, {40, uint8_t(t)}));
    const RowEval eval = hash_evaluator(h.s.plane_values(), 82);
    long allocations = 0;
    for (int move = 0; move < 4; ++move) {
      h.s.begin();
      while (!h.s.done()) {
        alloc::counting = move >= 2;
        const size_t rows = h.s.select(h.buffers());
        alloc::counting = false;
        const search::Evaluation out = h.evaluate(rows, eval);
        alloc::counting = move >= 2;
        h.s.commit(out);
        alloc::counting = false;
      }
      allocations += alloc::allocations;
      alloc::allocations = 0;
      for (size_t t = 0; t < 4; ++t) {
        search::RootResult r;
        h.visits(t, &r);
        h.s.play(t, uint32_t(r.action));
      }
    }
    EXPECT_EQ(allocations, 0) << "allocations in the rounds of searches 3 and 4";
  }
}

}  // namespace
}  // namespace vexlor::testing
