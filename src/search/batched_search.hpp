// Many tree searches at once, one tree per root game, with one evaluator call
// per round for the leaves of every tree.
//
// A round is select -> evaluate -> commit:
//   select()  walks each tree from its root to up to leaves_per_tree leaves
//             (virtual loss spreads them), writes each leaf's 17 input planes
//             and legal-action mask into the caller's buffers, and marks the
//             path. A terminal leaf takes its value from the outcome and gets
//             no row. Each tree works on its own copy of the root game, played
//             down to the leaf and taken back.
//   evaluate  (the caller) reads rows [0, rows) and returns, per row, a policy
//             over the area + 1 actions (logits or probabilities) and a value,
//             both from the side to move at the leaf, as float32.
//   commit()  checks every row first; on a bad row the round is aborted and
//             EvaluatorError is thrown. Otherwise it expands the leaves and
//             backs their values up.
//   abort()   undoes select(): virtual losses reverted, nothing expanded. An
//             evaluator that fails calls for it; the trees are as before the round.
// Between rounds the trees are consistent, so a search may stop there.
//
// Values: from the side to move at the node they belong to, +1 a win. The root
// evaluation of a fresh tree is not a simulation; `num_simulations` counts the
// evaluations (and terminal visits) below the root in one search.
//
// Tree reuse: after play(), or sync_root() recognising the root plus one move,
// the chosen child's subtree is the tree, its statistics kept. PUCT results
// count every visit of a root edge; Gumbel's sequential halving and its visit
// counts are this search's own, while its Q values use all visits.
//
// Memory: a tree's nodes and edges live in pools that keep their memory from
// move to move; begin() reserves what the search can add (within
// max_tree_bytes, which bounds the nodes and edges in use), so rounds do not
// allocate. A round that would take a tree past the bound throws
// TreeMemoryError before changing anything.
//
// Randomness: tree t draws from Random(seed, t), in this order per search:
// the root noise (PUCT: Dirichlet over the root's legal actions, ascending;
// Gumbel: one Gumbel per legal root action, ascending) when the root is first
// expanded in the search, then (PUCT, temperature > 0) one uniform for the move.
//
// Threads (Options::threads): the trees are split into contiguous slices, one
// per thread, each with its own work space; a thread writes its rows into its
// slice's part of the buffers, and the parts are then packed in tree order.
// Every result, the rows included, is the same for every thread count.
//
// Nothing here touches Python: a binding may run select and commit without
// the interpreter lock and take it only for the evaluator.
#pragma once

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "batch/worker_pool.hpp"
#include "engine/encode.hpp"
#include "engine/game.hpp"
#include "expansion.hpp"
#include "gumbel.hpp"
#include "options.hpp"
#include "puct.hpp"
#include "random.hpp"
#include "same_game.hpp"
#include "sequential_halving.hpp"
#include "tree.hpp"

namespace vexlor::search {

// The evaluator's output for a leaf is unusable (NaN, infinite value, no finite
// logit on a legal action, ...). The round has been aborted.
class EvaluatorError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A tree would grow past Options::max_tree_bytes. The round has been aborted.
class TreeMemoryError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Where select() writes its rows; each holds at least max_leaves() rows.
struct LeafBuffers {
  void* planes = nullptr;    // rows of 17 * area values, uint8_t or float as Options::planes says
  uint8_t* masks = nullptr;  // rows of area + 1 values: 1 for a legal action, else 0
  int32_t* trees = nullptr;  // optional: the tree of each row
};

// The evaluator's answer for rows [0, rows): policy row-major [rows, area + 1], values [rows].
struct Evaluation {
  const float* policy = nullptr;
  const float* values = nullptr;
};

enum class RootChange : uint8_t { Kept, Advanced, Replaced };
enum class RunStatus : uint8_t { Finished, Stopped };

struct RootResult {
  int32_t action = -1;       // the move to play; -1 when the root was never evaluated
  double value = 0.0;        // mean of the values backed up to the root, from its side to move
  uint32_t simulations = 0;  // simulations of this search
};

template <int NW>
class BatchedSearch {
 public:
  // Throws std::invalid_argument for bad options or a size off 2..32.
  BatchedSearch(const Options& options, uint8_t width, uint8_t height, size_t num_trees)
      : options_(options), width_(width), height_(height) {
    validate(options_);
    if (width < 2 || width > 32 || height < 2 || height > 32 || words_for(unsigned(width) * height) != NW)
      throw std::invalid_argument("board size does not fit this search");
    area_ = unsigned(width) * height;
    workers_.resize(options_.threads);
    for (Worker& w : workers_) {
      w.scratch.resize(3 * size_t(area_ + 1));
      w.indices.resize(area_ + 1);
    }
    if (options_.threads > 1) pool_ = std::make_unique<batch::WorkerPool>(options_.threads);
    resize(num_trees);
  }

  const Options& options() const { return options_; }
  size_t num_trees() const { return trees_.size(); }
  unsigned area() const { return area_; }
  unsigned num_actions() const { return area_ + 1; }
  size_t plane_values() const { return size_t(kTotalInputPlanes) * area_; }
  size_t max_leaves() const { return trees_.size() * options_.leaves_per_tree; }

  // Trees past the new count are dropped; new ones have no game yet.
  void resize(size_t num_trees) {
    require_no_round("resize");
    const size_t old = trees_.size();
    trees_.resize(num_trees);
    for (size_t t = old; t < num_trees; ++t) trees_[t].rng = Random(options_.seed, t);
    active_ = unsigned(std::clamp<size_t>(num_trees, 1, workers_.size()));
    for (unsigned i = 0; i < workers_.size(); ++i) {
      Worker& w = workers_[i];
      w.first = i < active_ ? num_trees * i / active_ : num_trees;
      w.last = i < active_ ? num_trees * (i + 1) / active_ : num_trees;
      const size_t leaves = (w.last - w.first) * options_.leaves_per_tree;
      w.leaves.reserve(leaves);
      w.legal.reserve(leaves * (area_ + 1));
      w.path.reserve(leaves * 64);  // deeper paths grow it once
    }
  }

  // --- roots -----------------------------------------------------------------

  // A new root, searched from scratch. Throws std::invalid_argument for a game
  // of another size or one that is over.
  void set_root(size_t t, const Game<NW>& game) {
    require_no_round("set_root");
    check_game(t, game);
    TreeState& ts = trees_.at(t);
    ts.game = game;
    ts.tree.clear();
    ts.reset_search();
  }

  // The same as set_root, except that a game equal to the root (Kept) or to the
  // root plus one move (Advanced, with tree reuse) keeps what the tree knows.
  RootChange sync_root(size_t t, const Game<NW>& game) {
    require_no_round("sync_root");
    check_game(t, game);
    TreeState& ts = trees_.at(t);
    if (ts.game && same_game(*ts.game, game)) return RootChange::Kept;
    if (ts.game && options_.reuse_tree && game.move_count() == ts.game->move_count() + 1) {
      const Move m = game.history().back().move;
      if (ts.game->make_move(m)) {
        if (same_game(*ts.game, game)) {
          follow(ts, action_of(m));
          return RootChange::Advanced;
        }
        ts.game->unmake_move();
      }
    }
    set_root(t, game);
    return RootChange::Replaced;
  }

  // Plays `action` on tree t's game; with tree reuse its subtree becomes the tree.
  // Throws std::invalid_argument for an action that is not legal there.
  void play(size_t t, uint32_t action) {
    require_no_round("play");
    TreeState& ts = trees_.at(t);
    if (!ts.game) throw std::invalid_argument("tree " + std::to_string(t) + " has no game");
    if (action > area_ || !ts.game->make_move(move_of(action)))
      throw std::invalid_argument("action " + std::to_string(action) + " is not legal in game " + std::to_string(t));
    follow(ts, action);
  }

  // The root position of tree t (nullptr before set_root).
  const Game<NW>* game(size_t t) const { return trees_.at(t).game ? &*trees_.at(t).game : nullptr; }

  // --- a search ----------------------------------------------------------------

  // Starts a search on every tree. Throws std::invalid_argument when a tree has
  // no game or its game is over.
  void begin() {
    require_no_round("begin");
    for (size_t t = 0; t < trees_.size(); ++t) {
      const TreeState& ts = trees_[t];
      if (!ts.game) throw std::invalid_argument("tree " + std::to_string(t) + " has no game");
      if (ts.game->is_over()) throw std::invalid_argument("game " + std::to_string(t) + " is over");
    }
    on_workers([&](Worker& w) {
      for (size_t t = w.first; t < w.last; ++t) {
        TreeState& ts = trees_[t];
        ts.reset_search();
        reserve_pool(ts.tree);
        if (ts.tree.expanded()) prepare_root(w, ts);
      }
    });
    searching_ = true;
  }

  // Every tree has finished its simulations (or the search was concluded early).
  bool done() const {
    for (const TreeState& ts : trees_)
      if (!ts.concluded) return false;
    return true;
  }

  // Selects the next leaves; returns the rows written (terminal leaves need
  // none, so a round can have leaves and no rows). Throws TreeMemoryError (the
  // round aborted) when a tree would outgrow its bound.
  size_t select(const LeafBuffers& out) {
    if (!searching_) throw std::logic_error("select() outside a search: call begin() first");
    require_no_round("select");
    round_ = true;
    rows_ = 0;
    try {
      on_workers([&](Worker& w) {
        w.rows = 0;
        w.leaves.clear();
        w.path.clear();
        w.legal.clear();
        const LeafBuffers mine = region(out, w.first * options_.leaves_per_tree);
        for (size_t t = w.first; t < w.last; ++t) {
          TreeState& ts = trees_[t];
          if (ts.concluded) continue;
          for (uint32_t k = 0; k < options_.leaves_per_tree; ++k)
            if (ts.done + ts.pending >= options_.num_simulations || !select_leaf(w, uint32_t(t), ts, mine)) break;
        }
      });
    } catch (...) {
      abort();
      throw;
    }
    pack(out);
    return rows_;
  }

  // Expands and backs up the selected leaves with the evaluator's answer for
  // the rows select() returned (pointers may be null when it returned none).
  void commit(const Evaluation& eval) {
    if (!round_) throw std::logic_error("commit() without a selected round");
    if (rows_ > 0 && (!eval.policy || !eval.values)) {
      abort();
      throw EvaluatorError("no evaluation for the selected leaves");
    }
    // Every row of every slice is checked before any tree changes; here, as a
    // pass over the rows costs less than handing it to the threads.
    for (const Worker& w : workers_)
      for (const Leaf& leaf : w.leaves)
        if (leaf.row != kNoRow) {
          std::string why = check_row(w, leaf, eval);
          if (!why.empty()) {
            abort();
            throw EvaluatorError(why);
          }
        }
    on_workers([&](Worker& w) {
      for (const Leaf& leaf : w.leaves) apply(w, leaf, eval);
      w.leaves.clear();
      for (size_t t = w.first; t < w.last; ++t) {
        TreeState& ts = trees_[t];
        ts.pending_bytes = 0;
        if (!ts.concluded && ts.done >= options_.num_simulations) conclude(w, ts);
      }
    });
    round_ = false;
    searching_ = !done();
  }

  // Undoes the selected round.
  void abort() {
    if (!round_) return;
    for (Worker& w : workers_) {
      for (size_t i = w.leaves.size(); i-- > 0;) {
        const Leaf& leaf = w.leaves[i];
        TreeState& ts = trees_[leaf.tree];
        Tree& tr = ts.tree;
        if (leaf.depth == 0) {
          tr.root_pending = false;
          continue;
        }
        const uint32_t* path = w.path.data() + leaf.path_begin;
        for (uint32_t j = 0; j < leaf.depth; ++j) --tr.edges[path[j]].inflight;
        root_edge_changed(ts, path[0]);
        --tr.root_inflight;
        --ts.pending;
        if (leaf.new_node) tr.edges[path[leaf.depth - 1]].child = kNoChild;
      }
      w.leaves.clear();
    }
    for (TreeState& ts : trees_) ts.pending_bytes = 0;
    round_ = false;
  }

  // Ends the search where it stands (between rounds): trees that have not
  // finished choose their move from what they have.
  void conclude_all() {
    require_no_round("conclude_all");
    for (TreeState& ts : trees_)
      if (!ts.concluded) conclude(workers_[0], ts);
    searching_ = false;
  }

  // A whole search: begin, then rounds until every tree is done. evaluate(rows)
  // returns an Evaluation; stop() is asked before each round and ends the search
  // early (Stopped). An exception from evaluate aborts the round and propagates.
  template <class Evaluate, class Stop>
  RunStatus run(const LeafBuffers& buffers, Evaluate&& evaluate, Stop&& stop) {
    begin();
    while (!done()) {
      if (stop()) {
        conclude_all();
        return RunStatus::Stopped;
      }
      const size_t rows = select(buffers);
      Evaluation eval;
      if (rows) {
        try {
          eval = evaluate(rows);
        } catch (...) {
          abort();
          throw;
        }
      }
      commit(eval);
    }
    return RunStatus::Finished;
  }

  // --- results -------------------------------------------------------------------

  // Tree t's result; `visits` and `policy` (each area + 1 entries, or null) get
  // the visit count of each action (PUCT: all visits of the root's edges, reused
  // ones included; Gumbel: this search's) and the policy target (PUCT: visits
  // normalised; Gumbel: the improved policy). Illegal actions get 0, and so
  // does every action of a Gumbel root not searched yet.
  RootResult result(size_t t, uint32_t* visits, float* policy) {
    require_no_round("result");
    TreeState& ts = trees_.at(t);
    const Tree& tr = ts.tree;
    if (visits) std::fill(visits, visits + num_actions(), 0u);
    if (policy) std::fill(policy, policy + num_actions(), 0.0f);
    RootResult r;
    r.action = ts.action;
    r.simulations = ts.done;
    if (!tr.expanded() || tr.nodes[0].terminal) return r;
    r.value = tr.root_w / double(tr.root_n);
    const Node& root = tr.nodes[0];
    const Edge* e = tr.edges_of(root);
    const uint32_t count = root.num_edges;
    const bool gumbel = options_.rule == Rule::Gumbel;
    uint64_t total = 0;
    for (uint32_t i = 0; i < count; ++i) {
      const uint32_t n = gumbel ? (ts.prepared ? ts.search_visits[i] : 0) : e[i].n;
      if (visits) visits[e[i].action] = n;
      total += e[i].n;
    }
    if (!policy || (gumbel && !ts.prepared)) return r;
    if (gumbel) {
      const GumbelScratch work = gumbel_scratch(workers_[0]);
      const Completion c = root_completion(ts, work);
      double* probs = workers_[0].scratch.data() + 2 * size_t(num_actions());
      gumbel_improved_policy(root, e, c, work.q, work.p, probs);
      for (uint32_t i = 0; i < count; ++i) policy[e[i].action] = float(probs[i]);
    } else if (total > 0) {
      for (uint32_t i = 0; i < count; ++i) policy[e[i].action] = float(double(e[i].n) / double(total));
    }
    return r;
  }

  // Bytes of tree t's nodes and edges, and what its pool holds.
  size_t tree_bytes(size_t t) const { return trees_.at(t).tree.bytes(); }
  size_t tree_capacity_bytes(size_t t) const { return trees_.at(t).tree.capacity_bytes(); }
  const Tree& tree(size_t t) const { return trees_.at(t).tree; }

  // Every tree consistent, and this search's root visits within the edges' (tests call it between rounds).
  bool is_ok() const {
    if (round_) return false;
    for (const TreeState& ts : trees_) {
      if (!ts.tree.is_ok(num_actions()) || ts.pending != 0) return false;
      if (ts.prepared && options_.rule == Rule::Gumbel) {
        const Node& root = ts.tree.nodes[0];
        uint64_t sum = 0;
        for (uint32_t i = 0; i < root.num_edges; ++i) {
          if (ts.search_visits[i] > ts.tree.edges[i].n) return false;
          sum += ts.search_visits[i];
        }
        if (sum != ts.done) return false;
        std::vector<uint32_t> visited(root.num_edges);
        visited.resize(visited_edges(ts.tree.edges_of(root), root.num_edges, visited.data()));
        if (visited != ts.root_visited) return false;
        std::vector<uint32_t> order(root.num_edges);
        std::vector<double> keys(root.num_edges);
        gumbel_root_order(root, ts.tree.edges_of(root), ts.gumbel.data(), order.data(), keys.data());
        if (order != ts.root_order) return false;
      }
    }
    return true;
  }

 private:
  static constexpr uint32_t kNoRow = 0xFFFFFFFFu;

  struct TreeState {
    std::optional<Game<NW>> game;  // the root position; select() returns it here after each leaf
    Tree tree;
    Random rng;
    uint32_t done = 0;         // simulations completed in this search
    uint32_t pending = 0;      // simulations selected in the pending round
    size_t pending_bytes = 0;  // what the pending round adds to the tree
    bool prepared = false;     // root noise drawn for this search
    bool concluded = false;
    int32_t action = -1;
    std::vector<double> root_prior;        // PUCT: root priors with noise, per root edge
    std::vector<double> gumbel;            // Gumbel: g per root edge, scaled
    std::vector<uint32_t> search_visits;   // Gumbel: this search's visits per root edge
    const uint32_t* considered = nullptr;  // Gumbel: visits an eligible action has, per simulation
    std::vector<uint32_t> root_visited;    // Gumbel: root edges with visits (pending ones too), ascending
    std::vector<uint32_t> root_order;      // Gumbel: root edges by gumbel_base, for this search

    void reset_search() {
      done = pending = 0;
      pending_bytes = 0;
      prepared = concluded = false;
      action = -1;
    }
  };

  struct Leaf {
    uint32_t tree = 0;
    uint32_t path_begin = 0;   // edges from the root, in its worker's path
    uint32_t depth = 0;        // 0: the root itself
    uint32_t row = kNoRow;     // evaluator row; kNoRow for a terminal leaf
    uint32_t legal_begin = 0;  // legal actions of a new node, in its worker's legal
    uint32_t legal_count = 0;
    float value = 0;        // terminal: the outcome from the side to move at the leaf
    bool new_node = false;  // created at commit (else an existing terminal node)
  };

  // One thread's slice of the trees and its work space for a round.
  struct Worker {
    size_t first = 0, last = 0;  // trees [first, last)
    size_t rows = 0;             // rows written this round, from its slice's first row
    std::vector<Leaf> leaves;
    std::vector<uint32_t> path;
    Pool<uint16_t> legal;
    std::vector<double> scratch;                 // 3 * (area + 1): selection and expansion work space
    std::vector<uint32_t> indices;               // area + 1: visited edges in Gumbel selection
    std::vector<std::vector<uint32_t>> halving;  // Gumbel: the schedule per number of considered actions
  };

  // The sequential-halving schedule for m considered actions, made once per
  // search object and worker: it depends on nothing else. Its storage stays
  // put when the outer vector grows (moving a vector keeps its buffer).
  const uint32_t* halving_schedule(Worker& w, uint32_t m) const {
    if (w.halving.size() <= m) w.halving.resize(m + 1);
    std::vector<uint32_t>& seq = w.halving[m];
    if (seq.empty()) considered_visit_sequence(m, options_.num_simulations, seq);
    return seq.data();
  }

  // Calls f on every worker with a slice, each on its own thread. When some
  // throw, the exception of the first slice in tree order is rethrown once all
  // are done (the one a single thread would have met first).
  template <class F>
  void on_workers(F&& f) {
    if (active_ == 1) {
      f(workers_[0]);
      return;
    }
    std::vector<std::exception_ptr> errors(active_);
    pool_->run(active_, [&](size_t begin, size_t end) {
      for (size_t i = begin; i < end; ++i) try {
          f(workers_[i]);
        } catch (...) {
          errors[i] = std::current_exception();
        }
    });
    for (const std::exception_ptr& e : errors)
      if (e) std::rethrow_exception(e);
  }

  // The buffers from row `first` on.
  LeafBuffers region(const LeafBuffers& out, size_t first) const {
    LeafBuffers r = out;
    const size_t bytes = options_.planes == PlaneFormat::UInt8 ? 1 : sizeof(float);
    r.planes = static_cast<uint8_t*>(out.planes) + first * plane_values() * bytes;
    r.masks = out.masks + first * num_actions();
    if (out.trees) r.trees = out.trees + first;
    return r;
  }

  // Moves each slice's rows down to follow the previous slice's, in tree order,
  // and numbers the leaves' rows from 0 over all slices.
  void pack(const LeafBuffers& out) {
    const size_t bytes = options_.planes == PlaneFormat::UInt8 ? 1 : sizeof(float);
    for (Worker& w : workers_) {
      const size_t from = w.first * options_.leaves_per_tree, to = rows_;
      if (w.rows && from != to) {
        std::memmove(static_cast<uint8_t*>(out.planes) + to * plane_values() * bytes,
                     static_cast<uint8_t*>(out.planes) + from * plane_values() * bytes,
                     w.rows * plane_values() * bytes);
        std::memmove(out.masks + to * num_actions(), out.masks + from * num_actions(), w.rows * num_actions());
        if (out.trees) std::memmove(out.trees + to, out.trees + from, w.rows * sizeof(int32_t));
      }
      if (to)
        for (Leaf& leaf : w.leaves)
          if (leaf.row != kNoRow) leaf.row += uint32_t(to);
      rows_ += w.rows;
    }
  }

  void require_no_round(const char* what) const {
    if (round_) throw std::logic_error(std::string(what) + "() while a round is selected: commit() or abort() first");
  }

  void check_game(size_t t, const Game<NW>& game) const {
    if (t >= trees_.size()) throw std::out_of_range("tree index out of range");
    if (game.width() != width_ || game.height() != height_)
      throw std::invalid_argument("game " + std::to_string(t) + " is " + std::to_string(game.width()) + "x" +
                                  std::to_string(game.height()) + "; this search is for " + std::to_string(width_) +
                                  "x" + std::to_string(height_));
    if (game.is_over()) throw std::invalid_argument("game " + std::to_string(t) + " is over");
  }

  Move move_of(uint32_t action) const {
    return action == area_ ? Move::pass() : Move::place(uint8_t(action % width_), uint8_t(action / width_));
  }
  uint32_t action_of(Move m) const { return m.is_pass() ? area_ : uint32_t(m.row) * width_ + m.col; }

  // After the game of `ts` has played `action`: keep that subtree or start over.
  void follow(TreeState& ts, uint32_t action) {
    Tree& tr = ts.tree;
    bool kept = false;
    if (options_.reuse_tree && tr.expanded() && !tr.nodes[0].terminal) {
      const Node& root = tr.nodes[0];
      for (uint32_t i = 0; i < root.num_edges; ++i)
        if (tr.edges[root.first_edge + i].action == action) {
          tr.keep_subtree(root.first_edge + i);
          kept = true;
          break;
        }
    }
    if (!kept) tr.clear();
    ts.reset_search();
  }

  // Room for everything a search can add (one node per simulation and the
  // root's, each with at most every action), within the memory bound: the
  // rounds then never allocate.
  // A pool grows by half at least, so that the kept subtrees of successive
  // moves do not reallocate it every time.
  void reserve_pool(Tree& tr) const {
    const size_t nodes = size_t(options_.num_simulations) + 1;
    const size_t cap = options_.max_tree_bytes;
    grow(tr.nodes, std::min(tr.nodes.size() + nodes, cap / sizeof(Node)));
    grow(tr.edges, std::min(tr.edges.size() + nodes * num_actions(), cap / sizeof(Edge)));
  }
  template <class T>
  static void grow(Pool<T>& v, size_t need) {
    if (need > v.capacity()) v.reserve(std::max(need, v.capacity() + v.capacity() / 2));
  }

  GumbelScratch gumbel_scratch(Worker& w) {
    return {w.scratch.data(), w.scratch.data() + num_actions(), w.indices.data()};
  }

  Completion root_completion(TreeState& ts, const GumbelScratch& work) const {
    Node& root = ts.tree.nodes[0];
    uint64_t sum_n;
    return gumbel_completion(root, ts.tree.edges_of(root), ts.root_visited.data(), uint32_t(ts.root_visited.size()),
                             num_actions(), options_.virtual_loss, options_.gumbel, work, sum_n);
  }

  // A root edge may have gained or lost its only visit (a pending one): keep
  // the Gumbel root's list of visited edges in step.
  void root_edge_changed(TreeState& ts, uint32_t edge) {
    if (options_.rule != Rule::Gumbel) return;
    const Edge& x = ts.tree.edges[edge];
    auto& list = ts.root_visited;
    const auto at = std::lower_bound(list.begin(), list.end(), edge);
    const bool listed = at != list.end() && *at == edge;
    if (x.n + x.inflight && !listed) list.insert(at, edge);
    if (!(x.n + x.inflight) && listed) list.erase(at);
  }

  // Root noise of this search, once the root is expanded.
  void prepare_root(Worker& w, TreeState& ts) {
    ready_node(ts.tree, 0, options_.rule, options_.policy, w.scratch.data());
    const Node& root = ts.tree.nodes[0];
    const Edge* e = ts.tree.edges_of(root);
    const uint32_t count = root.num_edges;
    if (options_.rule == Rule::Puct) {
      ts.root_prior.resize(count);
      for (uint32_t i = 0; i < count; ++i) ts.root_prior[i] = double(e[i].prior);
      const double f = options_.puct.dirichlet_fraction;
      if (f > 0 && count > 0) {
        double* eta = w.scratch.data();
        ts.rng.dirichlet(options_.puct.dirichlet_alpha, eta, count);
        for (uint32_t i = 0; i < count; ++i) ts.root_prior[i] = (1.0 - f) * ts.root_prior[i] + f * eta[i];
      }
    } else {
      ts.gumbel.resize(count);
      for (uint32_t i = 0; i < count; ++i) ts.gumbel[i] = options_.gumbel.gumbel_scale * ts.rng.gumbel();
      ts.search_visits.assign(count, 0);
      ts.root_order.resize(count);
      gumbel_root_order(root, e, ts.gumbel.data(), ts.root_order.data(), w.scratch.data());
      ts.root_visited.resize(count);
      ts.root_visited.resize(visited_edges(e, count, ts.root_visited.data()));
      ts.considered = halving_schedule(w, std::min(options_.gumbel.max_considered_actions, count));
    }
    ts.prepared = true;
  }

  // Index of the edge (within the node's) a simulation follows at `node`;
  // `parent` is the edge that led there (unused at the root).
  uint32_t choose(Worker& w, TreeState& ts, uint32_t node, uint32_t parent) {
    Tree& tr = ts.tree;
    ready_node(tr, node, options_.rule, options_.policy, w.scratch.data());
    Node& nd = tr.nodes[node];
    const Edge* e = tr.edges_of(nd);
    const double vl = options_.virtual_loss;
    if (options_.rule == Rule::Puct) {
      if (node == 0)
        return puct_select(e, nd.num_edges, double(tr.root_n + tr.root_inflight), tr.root_w / double(tr.root_n),
                           ts.root_prior.data(), options_.puct, vl);
      const Edge& pe = tr.edges[parent];
      return puct_select(e, nd.num_edges, double(pe.n + pe.inflight), -pe.w / double(pe.n), nullptr, options_.puct, vl);
    }
    const GumbelScratch work = gumbel_scratch(w);
    if (node != 0) return gumbel_interior_select(nd, e, num_actions(), vl, options_.gumbel, work);
    const Completion c = root_completion(ts, work);
    // Every simulation, finished or pending, went through one root edge.
    const uint32_t index = ts.done + ts.pending;
    return gumbel_root_select(nd, e, ts.gumbel.data(), ts.search_visits.data(), ts.considered[index], c, work.q,
                              ts.root_visited.data(), uint32_t(ts.root_visited.size()), ts.root_order.data());
  }

  // One leaf of tree t; false on a collision with a leaf already selected
  // this round (the tree then selects no more this round).
  bool select_leaf(Worker& w, uint32_t t, TreeState& ts, const LeafBuffers& out) {
    Tree& tr = ts.tree;
    Game<NW>& g = *ts.game;
    std::vector<uint32_t>& path = w.path;
    Leaf leaf;
    leaf.tree = t;
    leaf.path_begin = uint32_t(path.size());
    if (!tr.expanded()) {
      if (tr.root_pending) return false;
      leaf.new_node = true;
      reserve_or_throw(w, ts, g, leaf, 0, evaluation_leaf(w, t, g, out, leaf));
      tr.root_pending = true;
      w.leaves.push_back(leaf);
      return false;  // nothing else until the root is expanded
    }
    uint32_t node = 0;
    uint32_t parent = 0;
    uint32_t depth = 0;
    bool collided = false;
    for (;;) {
      const uint32_t edge = tr.nodes[node].first_edge + choose(w, ts, node, parent);
      path.push_back(edge);
      ++depth;
      Edge& x = tr.edges[edge];
      if (!g.make_move(move_of(x.action))) {
        unwind(g, depth);
        path.resize(leaf.path_begin);
        throw std::logic_error("search tree out of step with its game");
      }
      if (x.child == kPendingChild) {
        collided = true;
        break;
      }
      if (x.child == kNoChild) {
        leaf.new_node = true;
        size_t edges = 0;
        if (g.is_over()) {
          leaf.value = outcome_value(g);
        } else {
          edges = evaluation_leaf(w, t, g, out, leaf);
        }
        leaf.depth = depth;
        reserve_or_throw(w, ts, g, leaf, depth, edges);
        x.child = kPendingChild;
        break;
      }
      parent = edge;
      node = x.child;
      if (tr.nodes[node].terminal) {
        leaf.value = tr.nodes[node].value;
        break;
      }
    }
    unwind(g, depth);
    if (collided) {
      path.resize(leaf.path_begin);
      return false;
    }
    leaf.depth = depth;
    for (uint32_t j = 0; j < depth; ++j) ++tr.edges[path[leaf.path_begin + j]].inflight;
    root_edge_changed(ts, path[leaf.path_begin]);
    ++tr.root_inflight;
    ++ts.pending;
    w.leaves.push_back(leaf);
    return true;
  }

  // The game's outcome from the side to move: +1 a win, -1 a loss, 0 a draw.
  static float outcome_value(const Game<NW>& g) {
    const GameOutcome o = *g.outcome();
    if (o == GameOutcome::Draw) return 0.0f;
    const Player winner = o == GameOutcome::BlackWin ? Player::Black : Player::White;
    return winner == g.turn() ? 1.0f : -1.0f;
  }

  static void unwind(Game<NW>& g, uint32_t depth) {
    for (uint32_t j = 0; j < depth; ++j) g.unmake_move();
  }

  // Room for the new node of `leaf` with `edges` edges, or the game is taken
  // back from the leaf and TreeMemoryError thrown (select() aborts the round).
  void reserve_or_throw(Worker& w, TreeState& ts, Game<NW>& g, const Leaf& leaf, uint32_t depth, size_t edges) {
    const size_t need = Tree::bytes_for(1, edges);
    const size_t have = ts.tree.bytes() + ts.pending_bytes;
    if (have + need <= options_.max_tree_bytes) {
      ts.pending_bytes += need;
      return;
    }
    unwind(g, depth);
    w.path.resize(leaf.path_begin);
    throw TreeMemoryError("search tree " + std::to_string(leaf.tree) + " would grow to " + std::to_string(have + need) +
                          " bytes, past its bound of " + std::to_string(options_.max_tree_bytes) + " (max_tree_bytes)");
  }

  // Writes the row of a leaf to evaluate (planes, mask, tree) and records its
  // legal actions; returns their number.
  size_t evaluation_leaf(Worker& w, uint32_t t, const Game<NW>& g, const LeafBuffers& out, Leaf& leaf) {
    leaf.row = uint32_t(w.rows++);
    const size_t planes = plane_values();
    if (options_.planes == PlaneFormat::UInt8) {
      uint8_t* p = static_cast<uint8_t*>(out.planes) + size_t(leaf.row) * planes;
      std::memset(p, 0, planes);
      encode_planes(g, p);
    } else {
      float* p = static_cast<float*>(out.planes) + size_t(leaf.row) * planes;
      std::memset(static_cast<void*>(p), 0, planes * sizeof(float));
      encode_planes(g, p);
    }
    uint8_t* mask = out.masks + size_t(leaf.row) * num_actions();
    std::memset(mask, 0, num_actions());
    if (out.trees) out.trees[leaf.row] = int32_t(t);
    leaf.legal_begin = uint32_t(w.legal.size());
    const auto places = g.legal_placements();
    const bool pass = g.pass_listed(places.any());
    leaf.legal_count = uint32_t(places.count()) + pass;
    uint16_t* legal = w.legal.append(leaf.legal_count);
    places.for_each([&](unsigned p) {
      mask[p] = 1;
      *legal++ = uint16_t(p);
    });
    if (pass) {
      mask[area_] = 1;
      *legal = uint16_t(area_);
    }
    return leaf.legal_count;
  }

  // Why the evaluator's row for `leaf` is unusable, or "" when it is fine.
  std::string check_row(const Worker& w, const Leaf& leaf, const Evaluation& eval) const {
    auto number = [](double x) {
      char buf[32];
      std::snprintf(buf, sizeof buf, "%g", x);
      return std::string(buf);
    };
    auto who = [&] { return "leaf " + std::to_string(leaf.row); };
    const float v = eval.values[leaf.row];
    if (!std::isfinite(v)) return "evaluator value for " + who() + " is " + number(v);
    const float* row = eval.policy + size_t(leaf.row) * num_actions();
    const uint16_t* legal = w.legal.data() + leaf.legal_begin;
    const bool logits = options_.policy == PolicyFormat::Logits;
    // Fast path: nothing unusable anywhere in the row (one branch-free pass);
    // then logits need one legal action above -inf, probabilities a positive sum.
    unsigned bad = 0;
    if (logits)
      for (uint32_t a = 0; a < num_actions(); ++a) bad |= unsigned(row[a] != row[a]) | unsigned(row[a] == INFINITY);
    if (!bad && logits) {
      for (uint32_t i = 0; i < leaf.legal_count; ++i)
        if (row[legal[i]] != -INFINITY) return {};
    }
    bool any = false;
    double sum = 0.0;
    for (uint32_t i = 0; i < leaf.legal_count; ++i) {
      const float x = row[legal[i]];
      const bool bad = logits ? std::isnan(x) || x == INFINITY : !std::isfinite(x) || x < 0;
      if (bad)
        return std::string(logits ? "evaluator logit" : "evaluator probability") + " for " + who() + " is " +
               number(x) + " at action " + std::to_string(legal[i]);
      any = any || x != -INFINITY;
      sum += double(x);
    }
    if (logits && !any) return "evaluator logits for " + who() + " are -inf on every legal action";
    if (!logits && !(sum > 0 && std::isfinite(sum)))
      return "evaluator probabilities for " + who() + " sum to " + number(sum) + " over the legal actions";
    return {};
  }

  // Expands the leaf (when new) and backs its value up to the root.
  void apply(Worker& w, const Leaf& leaf, const Evaluation& eval) {
    TreeState& ts = trees_[leaf.tree];
    Tree& tr = ts.tree;
    const uint32_t* path = w.path.data() + leaf.path_begin;
    const bool evaluated = leaf.row != kNoRow;
    const double v = evaluated ? double(eval.values[leaf.row]) : double(leaf.value);
    if (leaf.new_node) {
      const uint32_t index = uint32_t(tr.nodes.size());
      Node node;
      node.first_edge = uint32_t(tr.edges.size());
      node.num_edges = uint16_t(leaf.legal_count);
      node.terminal = !evaluated;
      node.value = evaluated ? eval.values[leaf.row] : leaf.value;
      if (evaluated)
        append_edges(tr, node, w.legal.data() + leaf.legal_begin, eval.policy + size_t(leaf.row) * num_actions());
      tr.nodes.push_back(node);
      if (leaf.depth > 0) tr.edges[path[leaf.depth - 1]].child = index;
    }
    double sign = -1.0;
    for (uint32_t j = leaf.depth; j-- > 0;) {
      Edge& x = tr.edges[path[j]];
      --x.inflight;
      ++x.n;
      x.w += sign * v;
      sign = -sign;
    }
    ++tr.root_n;
    tr.root_w += -sign * v;
    if (leaf.depth == 0) {
      tr.root_pending = false;
      prepare_root(w, ts);
      return;
    }
    --tr.root_inflight;
    --ts.pending;
    ++ts.done;
    if (ts.prepared && options_.rule == Rule::Gumbel) ++ts.search_visits[path[0] - tr.nodes[0].first_edge];
  }

  // The move of a tree whose search has ended.
  void conclude(Worker& w, TreeState& ts) {
    ts.concluded = true;
    const Tree& tr = ts.tree;
    if (!tr.expanded()) return;
    if (!ts.prepared) prepare_root(w, ts);
    const Node& root = tr.nodes[0];
    const Edge* e = tr.edges_of(root);
    uint32_t index;
    if (options_.rule == Rule::Puct) {
      index = puct_choose(e, root.num_edges, ts.root_prior.data(), options_.puct.temperature, ts.rng);
    } else {
      const GumbelScratch work = gumbel_scratch(w);
      const Completion c = root_completion(ts, work);
      const uint32_t most = *std::max_element(ts.search_visits.begin(), ts.search_visits.end());
      index = gumbel_root_select(root, e, ts.gumbel.data(), ts.search_visits.data(), most, c, work.q,
                                 ts.root_visited.data(), uint32_t(ts.root_visited.size()), ts.root_order.data());
    }
    ts.action = int32_t(e[index].action);
  }

  Options options_;
  uint8_t width_, height_;
  unsigned area_ = 0;
  std::vector<TreeState> trees_;
  bool searching_ = false;
  bool round_ = false;                       // select() done, commit() or abort() due
  size_t rows_ = 0;                          // rows of the selected round, all slices
  std::vector<Worker> workers_;              // Options::threads of them
  unsigned active_ = 1;                      // the workers with a slice: min(threads, trees), at least 1
  std::unique_ptr<batch::WorkerPool> pool_;  // with more than one thread
};

}  // namespace vexlor::search
