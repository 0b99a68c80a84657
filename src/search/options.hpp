// Everything a batched search is configured with, and its validation.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "batch/worker_pool.hpp"

namespace vexlor::search {

enum class Rule : uint8_t {
  Puct,    // AlphaZero: PUCT with the c(s) schedule, Dirichlet noise at the root, temperature
  Gumbel,  // Gumbel root search with sequential halving, completed-Q improved policy
};

// What the search writes for each leaf, and what the evaluator returns.
enum class PlaneFormat : uint8_t { UInt8, Float32 };
enum class PolicyFormat : uint8_t { Logits, Probabilities };

struct PuctOptions {
  // c(s) = c_init + log((N(s) + c_base + 1) / c_base)
  double c_init = 1.25;
  double c_base = 19652.0;
  // First-play urgency: an unvisited child's value is Q(s) - fpu_reduction,
  // or fpu_value when fpu_absolute. A reduction above 0 favours the children
  // already visited (0.2 to 0.3 suit trained networks); with an uninformative
  // evaluator it sends every simulation into the first child, one level deeper each time.
  double fpu_reduction = 0.0;
  bool fpu_absolute = false;
  double fpu_value = -1.0;
  // Root priors become (1 - fraction) * P + fraction * Dirichlet(alpha); fraction 0 turns noise off.
  double dirichlet_alpha = 0.03;
  double dirichlet_fraction = 0.25;
  // The move is drawn with probability proportional to N^(1/temperature); 0 plays the most visited.
  double temperature = 1.0;
};

struct GumbelOptions {
  uint32_t max_considered_actions = 16;
  double gumbel_scale = 1.0;  // 0: no noise, the deterministic top-m
  // sigma(q) = (c_visit + max_b N(b)) * c_scale * q
  double c_visit = 50.0;
  double c_scale = 0.1;
  bool rescale_values = true;  // completed Q min-max normalised over the actions first
  bool mixed_value = true;     // unvisited actions take the mixed value (else the raw value)
  double epsilon = 1e-8;       // least denominator of the normalisation
};

struct Options {
  Rule rule = Rule::Puct;
  uint32_t num_simulations = 800;           // evaluations per search, not counting an unevaluated root's own
  uint32_t leaves_per_tree = 1;             // leaves selected per tree and round; more than 1 uses virtual loss
  double virtual_loss = 1.0;                // a pending selection counts as a visit of this loss (in value units)
  bool reuse_tree = true;                   // after a move, the chosen child's subtree becomes the root
  size_t max_tree_bytes = size_t(1) << 30;  // nodes and edges of one tree
  uint64_t seed = 0;
  uint32_t threads = 1;  // the trees are split over this many threads
  PlaneFormat planes = PlaneFormat::UInt8;
  PolicyFormat policy = PolicyFormat::Logits;
  PuctOptions puct;
  GumbelOptions gumbel;
};

inline constexpr uint32_t kMaxLeavesPerTree = 4096;

// Throws std::invalid_argument naming the first option out of range.
inline void validate(const Options& o) {
  auto fail = [](const std::string& what) { throw std::invalid_argument(what); };
  auto finite = [](double x) { return std::isfinite(x); };
  if (o.rule != Rule::Puct && o.rule != Rule::Gumbel) fail("unknown search rule");
  if (o.num_simulations < 1) fail("num_simulations must be at least 1");
  if (o.leaves_per_tree < 1 || o.leaves_per_tree > kMaxLeavesPerTree)
    fail("leaves_per_tree must be 1 to " + std::to_string(kMaxLeavesPerTree));
  if (!finite(o.virtual_loss) || o.virtual_loss < 0) fail("virtual_loss must be finite and not negative");
  if (o.threads < 1 || o.threads > batch::WorkerPool::kMaxThreads)
    fail("threads must be 1 to " + std::to_string(batch::WorkerPool::kMaxThreads));
  if (o.max_tree_bytes == 0) fail("max_tree_bytes must be positive");
  if (o.planes != PlaneFormat::UInt8 && o.planes != PlaneFormat::Float32) fail("unknown plane format");
  if (o.policy != PolicyFormat::Logits && o.policy != PolicyFormat::Probabilities) fail("unknown policy format");
  const PuctOptions& p = o.puct;
  if (!finite(p.c_init) || p.c_init < 0) fail("c_init must be finite and not negative");
  if (!finite(p.c_base) || p.c_base <= 0) fail("c_base must be finite and positive");
  if (!finite(p.fpu_reduction) || !finite(p.fpu_value)) fail("first-play urgency must be finite");
  if (!(p.dirichlet_fraction >= 0 && p.dirichlet_fraction <= 1)) fail("dirichlet_fraction must be 0 to 1");
  if (p.dirichlet_fraction > 0 && !(finite(p.dirichlet_alpha) && p.dirichlet_alpha > 0))
    fail("dirichlet_alpha must be finite and positive");
  if (!finite(p.temperature) || p.temperature < 0) fail("temperature must be finite and not negative");
  const GumbelOptions& g = o.gumbel;
  if (g.max_considered_actions < 1) fail("max_considered_actions must be at least 1");
  if (!finite(g.gumbel_scale) || g.gumbel_scale < 0) fail("gumbel_scale must be finite and not negative");
  if (!finite(g.c_visit) || g.c_visit < 0) fail("c_visit must be finite and not negative");
  if (!finite(g.c_scale) || g.c_scale < 0) fail("c_scale must be finite and not negative");
  if (!finite(g.epsilon) || g.epsilon <= 0) fail("epsilon must be finite and positive");
}

}  // namespace vexlor::search
