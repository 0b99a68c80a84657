// Batched tree search benchmark: the tree's own cost per simulation (select,
// expand, back up, the moves along the path, writing the leaf's planes and
// mask) with a trivial evaluator (uniform logits, value 0) whose time is
// measured and subtracted; and the memory of one tree.
//
// Each configuration searches 64 roots (openings a few seeded random moves
// deep, default rules: komi 7.5, passes from move area/2, superko) for several
// moves of self-play with tree reuse: search, play the chosen move, search
// again, after two untimed warm-up moves. Repetitions are interleaved across
// configurations; medians reported. Tree figures are CPU time of the thread,
// so that other load on the machine does not count.
//
// Usage: search_bench [--quick] [--reps N] [--leaves K] [--only NAME-PART]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "engine/game.hpp"
#include "search/batched_search.hpp"

namespace {

using namespace vexlor;
using Clock = std::chrono::steady_clock;

// CPU time of this thread: what the search itself costs, whatever else runs on the machine.
double cpu_seconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
}

struct Config {
  std::string name;
  unsigned size;
  search::Rule rule;
  uint32_t sims;
  int moves;  // searches per repetition
};

struct Sample {
  double ns_per_sim = 0;     // tree work only, CPU time
  double eval_share = 0;     // evaluator CPU time over all
  double sims_per_s = 0;     // wall clock, the evaluator's time included
  double tree_bytes = 0;     // mean over trees at the end of the last search
  double tree_capacity = 0;  // mean pool size
  double depth = 0;          // mean edges per simulation path (reused visits included), last search
};

template <int NW>
Sample run(const Config& c, uint32_t leaves, uint64_t seed) {
  constexpr size_t kTrees = 64;
  search::Options o;
  o.rule = c.rule;
  o.num_simulations = c.sims;
  o.leaves_per_tree = leaves;
  o.seed = seed;
  const uint8_t n = uint8_t(c.size);
  search::BatchedSearch<NW> s(o, n, n, kTrees);
  const unsigned area = s.area();
  std::mt19937_64 rng(seed);
  for (size_t t = 0; t < kTrees; ++t) {
    Game<NW> g = Game<NW>::with_options(n, n, 7.5f, uint16_t(area / 2), uint16_t(3 * area), true);
    for (int k = 0; k < 4; ++k) {
      const auto moves = g.legal_moves(false);
      g.make_move(moves[rng() % (moves.size() - 1)]);  // a placement: the pass is listed last
    }
    s.set_root(t, g);
  }
  std::vector<uint8_t> planes(s.max_leaves() * s.plane_values());
  std::vector<uint8_t> masks(s.max_leaves() * s.num_actions());
  std::vector<float> policy(s.max_leaves() * s.num_actions()), values(s.max_leaves());
  const search::LeafBuffers buffers{planes.data(), masks.data(), nullptr};
  double eval_seconds = 0;
  auto evaluate = [&](size_t rows) {
    const double start = cpu_seconds();
    std::memset(policy.data(), 0, rows * s.num_actions() * sizeof(float));
    std::memset(values.data(), 0, rows * sizeof(float));
    eval_seconds += cpu_seconds() - start;
    return search::Evaluation{policy.data(), values.data()};
  };
  uint64_t sims = 0;
  Sample out;
  auto search_and_play = [&](bool last) {
    s.run(buffers, evaluate, [] { return false; });
    for (size_t t = 0; t < kTrees; ++t) {
      const search::RootResult r = s.result(t, nullptr, nullptr);
      sims += r.simulations;
      if (!last) s.play(t, uint32_t(r.action));
    }
  };
  // Warm-up: the pools reach their working size (first-touch page faults).
  for (int move = 0; move < 2; ++move) search_and_play(false);
  sims = 0;
  eval_seconds = 0;
  const auto start = Clock::now();
  const double cpu_start = cpu_seconds();
  for (int move = 0; move < c.moves; ++move) search_and_play(move + 1 == c.moves);
  const double cpu = cpu_seconds() - cpu_start;
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  out.ns_per_sim = 1e9 * (cpu - eval_seconds) / double(sims);
  out.eval_share = eval_seconds / cpu;
  out.sims_per_s = double(sims) / wall;
  uint64_t edge_visits = 0, root_visits = 0;
  for (size_t t = 0; t < kTrees; ++t) {
    for (const search::Edge& e : s.tree(t).edges) edge_visits += e.n;
    root_visits += s.tree(t).root_n - 1;
    out.tree_bytes += double(s.tree_bytes(t)) / kTrees;
    out.tree_capacity += double(s.tree_capacity_bytes(t)) / kTrees;
  }
  out.depth = double(edge_visits) / double(root_visits);
  return out;
}

Sample run(const Config& c, uint32_t leaves, uint64_t seed) {
  return c.size == 9 ? run<2>(c, leaves, seed) : run<6>(c, leaves, seed);
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = false;
  int reps = 5;
  uint32_t leaves = 1;
  std::string only;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--quick") {
      quick = true;
      reps = 2;
    } else if (a == "--reps" && i + 1 < argc) {
      reps = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--only" && i + 1 < argc) {
      only = argv[++i];
    } else if (a == "--leaves" && i + 1 < argc) {
      leaves = uint32_t(std::max(1, std::atoi(argv[++i])));
    } else {
      std::fprintf(stderr, "usage: search_bench [--quick] [--reps N] [--leaves K] [--only NAME-PART]\n");
      return 2;
    }
  }
  const int scale = quick ? 1 : 2;
  std::vector<Config> configs = {
      {"9x9 PUCT 800", 9, search::Rule::Puct, 800, scale},
      {"9x9 Gumbel 32", 9, search::Rule::Gumbel, 32, 8 * scale},
      {"19x19 PUCT 800", 19, search::Rule::Puct, 800, scale},
      {"19x19 Gumbel 32", 19, search::Rule::Gumbel, 32, 8 * scale},
  };
  std::erase_if(configs, [&](const Config& c) { return c.name.find(only) == std::string::npos; });
  std::vector<std::vector<Sample>> samples(configs.size());
  for (int r = 0; r < reps; ++r)
    for (size_t i = 0; i < configs.size(); ++i) samples[i].push_back(run(configs[i], leaves, uint64_t(r + 1)));
  std::printf("search benchmark: 64 trees, %u leaf per tree and round, trivial evaluator; median of %d repetitions\n\n",
              leaves, reps);
  std::printf(
      "| search | tree CPU ns/simulation | simulations/s (wall) | evaluator share | mean depth | tree bytes | pool "
      "bytes |\n");
  std::printf("|---|---|---|---|---|---|---|\n");
  for (size_t i = 0; i < configs.size(); ++i) {
    auto pick = [&](double Sample::* field) {
      std::vector<double> v;
      for (const Sample& s : samples[i]) v.push_back(s.*field);
      return median(v);
    };
    std::printf("| %s | %.0f | %.0f | %.1f%% | %.1f | %.0f | %.0f |\n", configs[i].name.c_str(),
                pick(&Sample::ns_per_sim), pick(&Sample::sims_per_s), 100 * pick(&Sample::eval_share),
                pick(&Sample::depth), pick(&Sample::tree_bytes), pick(&Sample::tree_capacity));
  }
  return 0;
}
