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
// normaliser a node keeps.
inline void logit_normaliser(const Edge* e, uint32_t count, double& max, double& sum) {
  max = -INFINITY;
  for (uint32_t i = 0; i < count; ++i) max = std::max(max, double(e[i].prior));
  sum = 0.0;
  for (uint32_t i = 0; i < count; ++i) sum += std::exp(double(e[i].prior) - max);
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

// sigma of the completed Q of every edge of `node` into sigma[]. Visits and
// Q include pending selections as losses of `vl`, as in PUCT. With N = sum N(a),
// p(a) = max(FLT_MIN, softmax(logits)(a)) and the sums over visited edges:
//   mixed     = (v + N * sum(p(a) * Q(a) / sum(p))) / (N + 1)   (v: the node's own value)
//   completed = Q(a) if visited, else mixed
//   rescaled  = (completed - min) / max(max - min, epsilon)
//   sigma     = (c_visit + max N(a)) * c_scale * rescaled
inline void gumbel_sigma(const Node& node, const Edge* e, unsigned num_actions, double vl, const GumbelOptions& o,
                         double* sigma) {
  const uint32_t count = node.num_edges;
  uint64_t sum_n = 0;
  uint32_t max_n = 0;
  uint32_t visited = 0;
  double sum_p = 0.0;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t n = e[i].n + e[i].inflight;
    sum_n += n;
    max_n = std::max(max_n, n);
    if (n) {
      ++visited;
      sum_p += std::max(double(FLT_MIN), std::exp(double(e[i].prior) - node.logit_max) / node.logit_sum);
    }
  }
  double value = double(node.value);
  if (o.mixed_value) {
    double weighted = 0.0;
    for (uint32_t i = 0; i < count; ++i) {
      const uint32_t n = e[i].n + e[i].inflight;
      if (!n) continue;
      const double p = std::max(double(FLT_MIN), std::exp(double(e[i].prior) - node.logit_max) / node.logit_sum);
      const double q = (e[i].w - vl * double(e[i].inflight)) / double(n);
      weighted += p * q / sum_p;
    }
    value = (value + double(sum_n) * weighted) / (double(sum_n) + 1.0);
  }
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t n = e[i].n + e[i].inflight;
    sigma[i] = n ? (e[i].w - vl * double(e[i].inflight)) / double(n) : value;
  }
  if (o.rescale_values) {
    double lo = visited < num_actions ? value : INFINITY;
    double hi = visited < num_actions ? value : -INFINITY;
    for (uint32_t i = 0; i < count; ++i) {
      lo = std::min(lo, sigma[i]);
      hi = std::max(hi, sigma[i]);
    }
    const double span = std::max(hi - lo, o.epsilon);
    for (uint32_t i = 0; i < count; ++i) sigma[i] = (sigma[i] - lo) / span;
  }
  const double scale = (o.c_visit + double(max_n)) * o.c_scale;
  for (uint32_t i = 0; i < count; ++i) sigma[i] = scale * sigma[i];
}

// Below the root: argmax of softmax(logit + sigma)(a) - N(a) / (1 + sum N).
// `scratch` holds 2 * count doubles.
inline uint32_t gumbel_interior_select(const Node& node, const Edge* e, unsigned num_actions, double vl,
                                       const GumbelOptions& o, double* scratch) {
  const uint32_t count = node.num_edges;
  double* x = scratch;
  double* probs = scratch + count;
  gumbel_sigma(node, e, num_actions, vl, o, x);
  uint64_t sum_n = 0;
  for (uint32_t i = 0; i < count; ++i) {
    x[i] = double(e[i].prior) + x[i];
    sum_n += e[i].n + e[i].inflight;
  }
  softmax(x, count, probs);
  const double denominator = 1.0 + double(sum_n);
  uint32_t best = 0;
  double best_score = -INFINITY;
  for (uint32_t i = 0; i < count; ++i) {
    const double score = probs[i] - double(e[i].n + e[i].inflight) / denominator;
    if (score > best_score) {
      best_score = score;
      best = i;
    }
  }
  return best;
}

// At the root (and for the move played): among the edges whose visits equal
// `considered_visit`, argmax of max(-1e9, g(a) + (logit(a) - max logit) + sigma(a)).
// visits[i] are this search's visits of edge i; `sigma` as gumbel_sigma gives it.
inline uint32_t gumbel_root_select(const Node& node, const Edge* e, const double* gumbel, const uint32_t* visits,
                                   uint32_t considered_visit, const double* sigma) {
  uint32_t best = 0;
  double best_score = -INFINITY;
  for (uint32_t i = 0; i < node.num_edges; ++i) {
    if (visits[i] != considered_visit) continue;
    const double score = std::max(-1e9, gumbel[i] + (double(e[i].prior) - node.logit_max) + sigma[i]);
    if (score > best_score) {
      best_score = score;
      best = i;
    }
  }
  return best;
}

// The improved policy: softmax((logit(a) - max logit) + sigma(a)) over the edges.
// `sigma` is overwritten with the logits it is built from.
inline void gumbel_improved_policy(const Node& node, const Edge* e, double* sigma, double* out) {
  for (uint32_t i = 0; i < node.num_edges; ++i) sigma[i] = (double(e[i].prior) - node.logit_max) + sigma[i];
  softmax(sigma, node.num_edges, out);
}

}  // namespace vexlor::search
