// Helpers for the search tests: a harness that owns the round buffers and
// runs searches with per-row evaluators, and the hash evaluator that
// tests/python/search_reference.py defines (mirrored bit for bit).
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <vector>

#include "search/batched_search.hpp"
#include "test_util.hpp"

namespace vexlor::testing {

// Fills one row: policy over the actions and the value, from the leaf's planes and mask.
using RowEval = std::function<void(const uint8_t* planes, const uint8_t* mask, float* policy, float& value)>;

inline uint64_t fnv1a64(const uint8_t* p, size_t n, uint64_t h = 0xCBF29CE484222325ULL) {
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 0x100000001B3ULL;
  return h;
}

// search_reference.hash_evaluator: logits in [-2, 2], a value in [-1, 1].
inline RowEval hash_evaluator(size_t plane_bytes, size_t num_actions) {
  return [=](const uint8_t* planes, const uint8_t* mask, float* policy, float& value) {
    const uint64_t h = fnv1a64(mask, num_actions, fnv1a64(planes, plane_bytes));
    for (size_t a = 0; a < num_actions; ++a)
      policy[a] = float(double((search::mix64(h ^ a) >> 40) % 2001) / 500.0 - 2.0);
    value = float(double((search::mix64(h) >> 40) % 2001) / 1000.0 - 1.0);
  };
}

// Uniform logits and one value everywhere.
inline RowEval constant_evaluator(size_t num_actions, float value) {
  return [=](const uint8_t*, const uint8_t*, float* policy, float& v) {
    for (size_t a = 0; a < num_actions; ++a) policy[a] = 0.0f;
    v = value;
  };
}

template <int NW>
Game<NW> game_after(uint8_t w, uint8_t h, std::initializer_list<unsigned> actions, uint16_t max_moves = 1000,
                    float komi = 7.5f) {
  Game<NW> g = Game<NW>::with_options(w, h, komi, 0, max_moves, true);
  const unsigned area = unsigned(w) * h;
  for (unsigned a : actions) {
    const bool ok = g.make_move(a == area ? Move::pass() : Move::place(uint8_t(a % w), uint8_t(a / w)));
    if (!ok) throw std::logic_error("illegal action in a test game");
  }
  return g;
}

// Every field of a tree, for before/after comparisons; the raw policy rows
// count as the priors they turn into.
inline std::vector<double> snapshot(const search::Tree& tree, const search::Options& o) {
  search::Tree t = tree;
  std::vector<double> scratch(1025);
  search::ready_all(t, o.rule, o.policy, scratch.data());
  std::vector<double> out{double(t.root_n), t.root_w, double(t.root_inflight), double(t.root_pending)};
  for (const search::Node& n : t.nodes)
    out.insert(out.end(), {double(n.first_edge), double(n.num_edges), double(n.terminal), double(n.value), n.logit_max,
                           n.logit_sum});
  for (const search::Edge& e : t.edges)
    out.insert(out.end(), {e.w, double(e.n), double(e.child), double(e.prior), double(e.action), double(e.inflight)});
  return out;
}

template <int NW>
struct Harness {
  search::BatchedSearch<NW> s;
  std::vector<uint8_t> planes;
  std::vector<float> planes_f32;
  std::vector<uint8_t> masks;
  std::vector<int32_t> trees;
  std::vector<float> policy, values;
  size_t evaluator_calls = 0;

  Harness(const search::Options& o, uint8_t w, uint8_t h, size_t num_trees) : s(o, w, h, num_trees) {
    const size_t rows = s.max_leaves();
    if (o.planes == search::PlaneFormat::UInt8)
      planes.assign(rows * s.plane_values(), 0);
    else
      planes_f32.assign(rows * s.plane_values(), 0.0f);
    masks.assign(rows * s.num_actions(), 0);
    trees.assign(rows, -1);
    policy.assign(rows * s.num_actions(), 0.0f);
    values.assign(rows, 0.0f);
  }

  search::LeafBuffers buffers() {
    void* p = planes.empty() ? static_cast<void*>(planes_f32.data()) : static_cast<void*>(planes.data());
    return {p, masks.data(), trees.data()};
  }

  // Fills rows [0, rows) with f (planes read as uint8 when that is the format).
  search::Evaluation evaluate(size_t rows, const RowEval& f) {
    ++evaluator_calls;
    const size_t a = s.num_actions();
    for (size_t r = 0; r < rows; ++r)
      f(planes.empty() ? nullptr : planes.data() + r * s.plane_values(), masks.data() + r * a, policy.data() + r * a,
        values[r]);
    return {policy.data(), values.data()};
  }

  search::RunStatus run(const RowEval& f) {
    return s.run(buffers(), [&](size_t rows) { return evaluate(rows, f); }, [] { return false; });
  }

  // One round by hand: select, evaluate, commit.
  void round(const RowEval& f) { s.commit(evaluate(s.select(buffers()), f)); }

  std::vector<std::vector<double>> snapshots() const {
    std::vector<std::vector<double>> out;
    for (size_t t = 0; t < s.num_trees(); ++t) out.push_back(snapshot(s.tree(t), s.options()));
    return out;
  }

  std::vector<uint32_t> visits(size_t t, search::RootResult* r = nullptr, std::vector<float>* pol = nullptr) {
    std::vector<uint32_t> v(s.num_actions());
    std::vector<float> p(s.num_actions());
    const search::RootResult res = s.result(t, v.data(), p.data());
    if (r) *r = res;
    if (pol) *pol = p;
    return v;
  }
};

}  // namespace vexlor::testing
