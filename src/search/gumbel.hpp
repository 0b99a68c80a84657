// Gumbel search (Danihelka et al., "Policy improvement by planning with
// Gumbel", ICLR 2022), with the definitions of mctx's gumbel_muzero_policy:
// completed Q by the mixed value, sigma(q) = (c_visit + max_b N(b)) * c_scale * q,
// sequential halving at the root, deterministic visit matching below it.
//
// A node holds edges for its legal actions only; the illegal ones, which mctx
// carries as never-visited actions, matter in one place: they are unvisited,
// so their completed value (the mixed value) takes part in the min-max
// normalisation whenever the node has fewer edges than actions.
// Arithmetic is in double, in the order written; ties go to the lowest action.
#pragma once

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>

#include "options.hpp"
#include "tree.hpp"

namespace vexlor::search {

// The logits' max and sum of exp(logit - max), in edge order: the softmax
// normaliser of a node's prior probabilities.
inline double logit_max(const Edge* e, uint32_t count) {
  double max = -INFINITY;
  for (uint32_t i = 0; i < count; ++i) max = std::max(max, double(e[i].prior));
  return max;
}
inline double logit_sum(const Edge* e, uint32_t count, double max) {
  double sum = 0.0;
  for (uint32_t i = 0; i < count; ++i) sum += std::exp(double(e[i].prior) - max);
  return sum;
}
inline void logit_normaliser(const Edge* e, uint32_t count, double& max, double& sum) {
  max = logit_max(e, count);
  sum = logit_sum(e, count, max);
}

// softmax(x) over n entries: exp(x - max) / sum, the sum taken in order.
inline void softmax(const double* x, uint32_t n, double* out) {
  double max = -INFINITY;
  for (uint32_t i = 0; i < n; ++i) max = std::max(max, x[i]);
  double sum = 0.0;
  for (uint32_t i = 0; i < n; ++i) {
    out[i] = std::exp(x[i] - max);
    sum += out[i];
  }
  for (uint32_t i = 0; i < n; ++i) out[i] = out[i] / sum;
}

// Work space for a node of n edges: 2n doubles and n indices.
struct GumbelScratch {
  double* q;          // Q(a) of the visited edges
  double* p;          // prior probability of the visited edges, then free
  uint32_t* visited;  // indices of the visited edges, ascending
};

// sigma of the completed Q of a node's edges: sigma(a) = at(Q(a)) for a
// visited edge (Q in scratch.q[a]), `unvisited` for all the others.
struct Completion {
  double lo, span, scale, unvisited;
  bool rescale;
  double at(double q) const { return scale * (rescale ? (q - lo) / span : q); }
};

// Indices of the edges with visits (pending ones included), ascending; returns their number.
inline uint32_t visited_edges(const Edge* e, uint32_t count, uint32_t* out) {
  uint32_t k = 0;
  for (uint32_t i = 0; i < count; ++i)
    if (e[i].n + e[i].inflight) out[k++] = i;
  return k;
}

// Over the visited edges `visited` (ascending). Visits and Q include pending
// selections as losses of `vl`, as in PUCT. With N = sum N(a),
// p(a) = max(FLT_MIN, softmax(logits)(a)) and the sums over the visited edges,
// in edge order:
//   mixed     = (v + N * sum(p(a) * Q(a) / sum(p))) / (N + 1)   (v: the node's own value)
//   completed = Q(a) if visited, else mixed
//   rescaled  = (completed - min) / max(max - min, epsilon)
//   sigma     = (c_visit + max N(a)) * c_scale * rescaled
// Q(a) goes to s.q[a]; `sum_visits` receives N. The node's logit sum is
// computed the first time a visited edge needs it (node.logit_sum 0 until then).
inline Completion gumbel_completion(Node& node, const Edge* e, const uint32_t* visited, uint32_t count_visited,
                                    unsigned num_actions, double vl, const GumbelOptions& o, const GumbelScratch& s,
                                    uint64_t& sum_visits) {
  if (count_visited && node.logit_sum == 0.0) node.logit_sum = logit_sum(e, node.num_edges, node.logit_max);
  uint64_t sum_n = 0;
  uint32_t max_n = 0;
  double sum_p = 0.0;
  for (uint32_t k = 0; k < count_visited; ++k) {
    const Edge& x = e[visited[k]];
    const uint32_t n = x.n + x.inflight;
    sum_n += n;
    max_n = std::max(max_n, n);
    s.p[k] = std::max(double(FLT_MIN), std::exp(double(x.prior) - node.logit_max) / node.logit_sum);
    sum_p += s.p[k];
    s.q[visited[k]] = (x.w - vl * double(x.inflight)) / double(n);
  }
  double weighted = 0.0, lo = INFINITY, hi = -INFINITY;
  for (uint32_t k = 0; k < count_visited; ++k) {
    const double q = s.q[visited[k]];
    weighted += s.p[k] * q / sum_p;
    lo = std::min(lo, q);
    hi = std::max(hi, q);
  }
  double value = double(node.value);
  if (o.mixed_value) value = (value + double(sum_n) * weighted) / (double(sum_n) + 1.0);
  // Unvisited actions, the illegal ones included, complete to the mixed value.
  if (count_visited < num_actions) {
    lo = std::min(lo, value);
    hi = std::max(hi, value);
  }
  Completion c{lo, std::max(hi - lo, o.epsilon), (o.c_visit + double(max_n)) * o.c_scale, 0.0, o.rescale_values};
  c.unvisited = c.at(value);
  sum_visits = sum_n;
  return c;
}

// Below the root: argmax of softmax(logit + sigma)(a) - N(a) / (1 + sum N).
inline uint32_t gumbel_interior_select(Node& node, const Edge* e, unsigned num_actions, double vl,
                                       const GumbelOptions& o, const GumbelScratch& s) {
  const uint32_t count = node.num_edges;
  uint64_t sum_n;
  const uint32_t visited = visited_edges(e, count, s.visited);
  const Completion c = gumbel_completion(node, e, s.visited, visited, num_actions, vl, o, s, sum_n);
  if (!visited) {
    // Nothing visited: the score is softmax(x)(a) alone, x = logit + the one
    // sigma. It peaks where x does, exp(0) = 1 there, and an x short of the
    // top by 1e-12 or more has an exp, and so a probability, strictly below:
    // the first top x wins, as it would with every probability computed.
    // Closer values take the full computation below.
    double top = -INFINITY, below = -INFINITY;
    uint32_t first = 0;
    for (uint32_t i = 0; i < count; ++i) {
      const double x = double(e[i].prior) + c.unvisited;
      if (x > top) {
        below = top;
        top = x;
        first = i;
      } else if (x < top) {
        below = std::max(below, x);
      }
    }
    if (top - below >= 1e-12) return first;
  }
  double* x = s.p;  // logit + sigma, then its exp
  double max = -INFINITY;
  for (uint32_t i = 0; i < count; ++i) {
    x[i] = double(e[i].prior) + (e[i].n + e[i].inflight ? c.at(s.q[i]) : c.unvisited);
    max = std::max(max, x[i]);
  }
  double sum = 0.0;
  for (uint32_t i = 0; i < count; ++i) {
    x[i] = std::exp(x[i] - max);
    sum += x[i];
  }
  const double denominator = 1.0 + double(sum_n);
  uint32_t best = 0;
  double best_score = -INFINITY;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t n = e[i].n + e[i].inflight;
    const double score = n ? x[i] / sum - double(n) / denominator : x[i] / sum;  // p - 0 is p
    if (score > best_score) {
      best_score = score;
      best = i;
    }
  }
  return best;
}

// The part of a root edge's selection score fixed for a whole search.
inline double gumbel_base(const Node& root, const Edge& e, double gumbel) {
  return gumbel + (double(e.prior) - root.logit_max);
}

// The root's edges ordered by gumbel_base, highest first, ties by lower
// action; `keys` holds num_edges doubles.
inline void gumbel_root_order(const Node& root, const Edge* e, const double* gumbel, uint32_t* order, double* keys) {
  for (uint32_t i = 0; i < root.num_edges; ++i) {
    order[i] = i;
    keys[i] = gumbel_base(root, e[i], gumbel[i]);
  }
  std::sort(order, order + root.num_edges,
            [&](uint32_t a, uint32_t b) { return keys[a] > keys[b] || (keys[a] == keys[b] && a < b); });
}

// At the root (and for the move played): among the edges whose visits in this
// search (`visits`, pending selections added as the edges' inflight) equal
// `considered_visit`, the argmax of
//   max(-1e9, (g(a) + (logit(a) - max logit)) + sigma(a)),
// ties to the lower action. Only visited edges (`visited`, ascending) have a
// sigma of their own; the others share the unvisited one, so among them the
// score follows gumbel_base and only the first of `order` that is unvisited,
// and those tied with it, can win.
inline uint32_t gumbel_root_select(const Node& root, const Edge* e, const double* gumbel, const uint32_t* visits,
                                   uint32_t considered_visit, const Completion& c, const double* q,
                                   const uint32_t* visited, uint32_t count_visited, const uint32_t* order) {
  uint32_t best = 0;
  double best_score = -INFINITY;
  bool found = false;
  auto consider = [&](uint32_t i, double score) {
    if (!found || score > best_score || (score == best_score && i < best)) {
      best = i;
      best_score = score;
      found = true;
    }
  };
  for (uint32_t k = 0; k < count_visited; ++k) {
    const uint32_t i = visited[k];
    if (visits[i] + e[i].inflight == considered_visit)
      consider(i, std::max(-1e9, gumbel_base(root, e[i], gumbel[i]) + c.at(q[i])));
  }
  // An unvisited edge has no visits in this search either.
  if (considered_visit == 0) {
    bool first = true;
    double top = 0;
    for (uint32_t k = 0; k < root.num_edges; ++k) {
      const uint32_t i = order[k];
      if (e[i].n + e[i].inflight) continue;
      const double score = std::max(-1e9, gumbel_base(root, e[i], gumbel[i]) + c.unvisited);
      if (!first && score < top) break;
      if (first) top = score;
      first = false;
      consider(i, score);
    }
  }
  return best;
}

// The improved policy: softmax((logit(a) - max logit) + sigma(a)) over the edges, into `out`.
inline void gumbel_improved_policy(const Node& node, const Edge* e, const Completion& c, const double* q, double* x,
                                   double* out) {
  for (uint32_t i = 0; i < node.num_edges; ++i)
    x[i] = (double(e[i].prior) - node.logit_max) + (e[i].n ? c.at(q[i]) : c.unvisited);
  softmax(x, node.num_edges, out);
}

}  // namespace vexlor::search
