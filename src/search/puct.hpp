// PUCT (AlphaZero): which edge a simulation follows, and the move played
// after the search. Arithmetic is in double, in the order written, so that a
// plain Python loop reproduces every score; ties go to the lowest action.
#pragma once

#include <cmath>
#include <cstdint>

#include "options.hpp"
#include "random.hpp"
#include "tree.hpp"

namespace vexlor::search {

// Selection at a node with `count` edges, N(s) = node_n visits and value
// node_q (both from its side to move, pending selections counted in node_n):
//   c(s)  = c_init + log((N(s) + c_base + 1) / c_base)
//   k     = sqrt(N(s)) * c(s)
//   score = Q(a) + k * P(a) / (N(a) + 1)
// N(a) and Q(a) include the pending selections, each a loss of `vl`:
// Q(a) = (W(a) - vl * pending) / (N(a) + pending). An unvisited edge takes the
// first-play urgency instead of Q(a). P(a) comes from `root_prior` when given
// (the root's noisy priors), else from the edge.
inline uint32_t puct_select(const Edge* e, uint32_t count, double node_n, double node_q, const double* root_prior,
                            const PuctOptions& o, double vl) {
  const double c = o.c_init + std::log((node_n + o.c_base + 1.0) / o.c_base);
  const double k = std::sqrt(node_n) * c;
  const double fpu = o.fpu_absolute ? o.fpu_value : node_q - o.fpu_reduction;
  uint32_t best = 0;
  double best_score = -INFINITY;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t n = e[i].n + e[i].inflight;
    const double q = n ? (e[i].w - vl * double(e[i].inflight)) / double(n) : fpu;
    const double prior = root_prior ? root_prior[i] : double(e[i].prior);
    // x / 1 is x: an unvisited edge needs no division.
    const double score = q + (n ? k * prior / (double(n) + 1.0) : k * prior);
    if (score > best_score) {
      best_score = score;
      best = i;
    }
  }
  return best;
}

// The move after the search: the most visited edge with temperature 0; else
// one drawn with weight (N(a) / max N)^(1/temperature), by one uniform draw u:
// the first edge whose running weight sum exceeds u * total. Before any visit,
// the edge of the highest prior.
inline uint32_t puct_choose(const Edge* e, uint32_t count, const double* prior, double temperature, Random& rng) {
  uint32_t most = 0;
  for (uint32_t i = 1; i < count; ++i)
    if (e[i].n > e[most].n) most = i;
  if (e[most].n == 0) {
    for (uint32_t i = 1; i < count; ++i)
      if (prior[i] > prior[most]) most = i;
    return most;
  }
  if (temperature == 0.0) return most;
  const double max_n = double(e[most].n);
  const double power = 1.0 / temperature;
  double total = 0.0;
  for (uint32_t i = 0; i < count; ++i) total += std::pow(double(e[i].n) / max_n, power);
  const double r = rng.uniform() * total;
  double running = 0.0;
  uint32_t last = most;
  for (uint32_t i = 0; i < count; ++i) {
    const double weight = std::pow(double(e[i].n) / max_n, power);
    running += weight;
    if (weight > 0.0) last = i;
    if (r < running) return i;
  }
  return last;
}

}  // namespace vexlor::search
