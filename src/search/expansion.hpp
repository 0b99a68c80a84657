// A node's edges from the evaluator's policy row. The row is stored as it
// comes (logit or probability, one float per legal action) and turned into
// what selection reads only when the node is first selected from: most
// leaves never are, and the conversion costs an exp or a log per action.
// The result is the same whenever it is made.
//
// Ready edges hold:
//   PUCT    prior probabilities in single precision: softmax of the logits in
//           double (exp(l - max) / sum, summed in action order), or the
//           probabilities divided by their sum, then rounded;
//   Gumbel  logits (probabilities become log(max(p, FLT_MIN))), and the node
//           their max (gumbel.hpp adds their exp sum when it needs it).
#pragma once

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>

#include "gumbel.hpp"
#include "options.hpp"
#include "tree.hpp"

namespace vexlor::search {

// Appends the edges of `node` (its first_edge and num_edges set) with the raw row values.
inline void append_edges(Tree& tr, const Node& node, const uint16_t* __restrict legal, const float* __restrict row) {
  Edge* __restrict e = tr.edges.append(node.num_edges);
  const uint32_t count = node.num_edges;
  for (uint32_t i = 0; i < count; ++i) {
    const uint16_t a = legal[i];
    e[i] = Edge{0.0, 0, kNoChild, row[a], a, 0};
  }
}

// Converts the raw values of a node's edges (once); `scratch` holds num_edges doubles.
inline void ready_node(Tree& tr, uint32_t index, Rule rule, PolicyFormat format, double* scratch) {
  Node& node = tr.nodes[index];
  if (node.ready) return;
  node.ready = true;
  Edge* e = tr.edges_of(node);
  const uint32_t count = node.num_edges;
  const bool logits = format == PolicyFormat::Logits;
  if (rule == Rule::Gumbel) {
    if (!logits)
      for (uint32_t i = 0; i < count; ++i) e[i].prior = float(std::log(std::max(double(e[i].prior), double(FLT_MIN))));
    node.logit_max = logit_max(e, count);  // the sum waits until a prior probability is needed
    return;
  }
  double* x = scratch;
  double sum = 0.0;
  if (logits) {
    double max = -INFINITY;
    for (uint32_t i = 0; i < count; ++i) max = std::max(max, double(e[i].prior));
    for (uint32_t i = 0; i < count; ++i) {
      x[i] = std::exp(double(e[i].prior) - max);
      sum += x[i];
    }
  } else {
    for (uint32_t i = 0; i < count; ++i) {
      x[i] = double(e[i].prior);
      sum += x[i];
    }
  }
  for (uint32_t i = 0; i < count; ++i) e[i].prior = float(x[i] / sum);
}

// Every node ready, its logit sum included (for comparisons of whole trees).
inline void ready_all(Tree& tr, Rule rule, PolicyFormat format, double* scratch) {
  for (uint32_t i = 0; i < tr.nodes.size(); ++i) {
    ready_node(tr, i, rule, format, scratch);
    Node& node = tr.nodes[i];
    if (rule == Rule::Gumbel && !node.terminal && node.logit_sum == 0.0)
      node.logit_sum = logit_sum(tr.edges_of(node), node.num_edges, node.logit_max);
  }
}

}  // namespace vexlor::search
