// One search tree: nodes and their edges in two pooled arrays, reused across
// moves. A node exists once its position has been evaluated (or found
// terminal); its edges, one per legal action in ascending action order, carry
// the statistics of the moves out of it. Node 0 is the root.
//
// Allocation order is the invariant the pool relies on: a node is created
// after its parent, and its edge block is appended when the node is, so node
// i's edges come right after node i-1's. Keeping a subtree (tree reuse) then
// slides the live nodes and edge blocks down in one ascending pass.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "pool.hpp"

namespace vexlor::search {

inline constexpr uint32_t kNoChild = 0;                 // the root is never a child
inline constexpr uint32_t kPendingChild = 0xFFFFFFFFu;  // selected in the pending round, created at commit

struct Edge {
  double w = 0.0;  // sum of the values backed up through the edge, from the side to move at the parent
  uint32_t n = 0;  // completed visits
  uint32_t child = kNoChild;
  float prior = 0;  // PUCT: prior probability; Gumbel: the evaluator's logit
  uint16_t action = 0;
  uint16_t inflight = 0;  // selections of the pending round through the edge
};

struct Node {
  uint32_t first_edge = 0;
  uint16_t num_edges = 0;  // 0 for a terminal node
  bool terminal = false;
  bool ready = false;  // edges converted from the raw policy row (expansion.hpp)
  float value = 0;     // evaluator value, or the outcome, from the side to move here
  // Gumbel, once ready: max of the logits and sum of exp(logit - max), in
  // action order, so that a prior probability costs one exp.
  double logit_max = 0.0;
  double logit_sum = 0.0;
};

class Tree {
 public:
  Pool<Node> nodes;
  Pool<Edge> edges;
  // The root has no parent edge: its statistics live here, from its side to move.
  uint32_t root_n = 0;
  double root_w = 0.0;
  uint32_t root_inflight = 0;
  bool root_pending = false;  // the root itself was selected for evaluation

  bool expanded() const { return !nodes.empty(); }
  const Edge* edges_of(const Node& node) const { return edges.data() + node.first_edge; }
  Edge* edges_of(const Node& node) { return edges.data() + node.first_edge; }

  static constexpr size_t bytes_for(size_t num_nodes, size_t num_edges) {
    return num_nodes * sizeof(Node) + num_edges * sizeof(Edge);
  }
  size_t bytes() const { return bytes_for(nodes.size(), edges.size()); }
  size_t capacity_bytes() const {
    return nodes.capacity() * sizeof(Node) + edges.capacity() * sizeof(Edge) +
           (remap_.capacity() + stack_.capacity()) * sizeof(uint32_t);
  }

  // Drops every node; the pool keeps its memory.
  void clear() {
    nodes.clear();
    edges.clear();
    root_n = 0;
    root_w = 0.0;
    root_inflight = 0;
    root_pending = false;
  }

  // The subtree under the root's edge `e` becomes the whole tree, its statistics
  // seen from the new root's side to move. Without a child there, the tree is cleared.
  void keep_subtree(uint32_t e) {
    const uint32_t keep = edges[e].child;
    if (keep == kNoChild || keep == kPendingChild) {
      clear();
      return;
    }
    const uint32_t n = edges[e].n;
    const double w = -edges[e].w;
    // Mark: remap_[i] != kDead for every node reachable from `keep`.
    remap_.assign(nodes.size(), kDead);
    stack_.clear();
    stack_.push_back(keep);
    remap_[keep] = 0;
    while (!stack_.empty()) {
      const Node& node = nodes[stack_.back()];
      stack_.pop_back();
      for (const Edge *x = edges_of(node), *end = x + node.num_edges; x != end; ++x)
        if (x->child != kNoChild && x->child != kPendingChild) {
          remap_[x->child] = 0;
          stack_.push_back(x->child);
        }
    }
    // Slide down in ascending order: every destination lies at or below its source.
    uint32_t next_node = 0;
    uint32_t next_edge = 0;
    for (uint32_t i = keep; i < nodes.size(); ++i)
      if (remap_[i] != kDead) remap_[i] = next_node++;
    for (uint32_t i = keep; i < nodes.size(); ++i) {
      if (remap_[i] == kDead) continue;
      Node node = nodes[i];
      if (node.num_edges) {
        std::memmove(static_cast<void*>(edges.data() + next_edge), edges.data() + node.first_edge,
                     node.num_edges * sizeof(Edge));
        for (Edge *x = edges.data() + next_edge, *end = x + node.num_edges; x != end; ++x)
          if (x->child != kNoChild && x->child != kPendingChild) x->child = remap_[x->child];
      }
      node.first_edge = next_edge;
      next_edge += node.num_edges;
      nodes[remap_[i]] = node;
    }
    nodes.truncate(next_node);
    edges.truncate(next_edge);
    root_n = n;
    root_w = w;
    root_inflight = 0;
    root_pending = false;
  }

  // Structure and statistics agree (between rounds): edge blocks in allocation
  // order, actions ascending, children after their parents, no selection in
  // flight, and each visit count is one (the expansion) plus the visits below.
  bool is_ok(unsigned num_actions) const {
    if (root_inflight != 0 || root_pending) return false;
    if (nodes.empty()) return edges.empty() && root_n == 0;
    uint32_t expected_first = 0;
    for (uint32_t i = 0; i < nodes.size(); ++i) {
      const Node& node = nodes[i];
      if (node.first_edge != expected_first) return false;
      expected_first += node.num_edges;
      if (expected_first > edges.size()) return false;
      if (node.terminal && node.num_edges != 0) return false;
      if (!node.terminal && node.num_edges == 0) return false;
      if (node.terminal && !std::isfinite(node.value)) return false;
      uint64_t below = 0;
      int last_action = -1;
      for (const Edge *x = edges_of(node), *end = x + node.num_edges; x != end; ++x) {
        if (x->inflight != 0 || int(x->action) <= last_action || x->action >= num_actions) return false;
        last_action = x->action;
        below += x->n;
        if (x->child == kPendingChild) return false;
        if (x->child == kNoChild) {
          if (x->n != 0 || x->w != 0.0) return false;
          continue;
        }
        if (x->child <= i || x->child >= nodes.size() || x->n == 0) return false;
        const Node& c = nodes[x->child];
        if (!c.terminal) {
          uint64_t child_below = 0;
          for (const Edge *y = edges_of(c), *yend = y + c.num_edges; y != yend; ++y) child_below += y->n;
          if (x->n != child_below + 1) return false;
        }
      }
      if (i == 0 && !node.terminal && root_n != below + 1) return false;
    }
    return expected_first == edges.size();
  }

 private:
  static constexpr uint32_t kDead = 0xFFFFFFFFu;
  std::vector<uint32_t> remap_;  // compaction scratch, kept for its capacity
  std::vector<uint32_t> stack_;
};

}  // namespace vexlor::search
