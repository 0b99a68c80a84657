// Batch benchmark: steps per second of a batch of games playing random legal
// actions (sample + step), writing observations, masks, rewards and flags
// every step, for 1 and 2 threads and uint8 / float32 observations; next to a
// plain loop over Game objects doing the same with encode_planes and
// legal_placements. Cells are interleaved; medians over repetitions.
//
// Usage: batch_bench [--quick] [--games N]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "batch/game_batch.hpp"
#include "engine/encode.hpp"

namespace {

using namespace vexlor;
using namespace vexlor::batch;
using Clock = std::chrono::steady_clock;

// Output memory of every step.
struct Buffers {
  std::vector<uint8_t> obs, mask, term, trunc;
  std::vector<float> reward_mover, reward_black;
  std::vector<int64_t> actions;
  Buffers(size_t n, unsigned area)
      : obs(n * kTotalInputPlanes * area * 4),
        mask(n * (area + 1)),
        term(n),
        trunc(n),
        reward_mover(n),
        reward_black(n),
        actions(n) {}
  StepOutputs views(PlaneType type) {
    StepOutputs o;
    o.obs = {obs.data(), 0, type};
    o.mask = {mask.data(), 0};
    o.reward_mover = {reward_mover.data()};
    o.reward_black = {reward_black.data()};
    o.terminated = {term.data()};
    o.truncated = {trunc.data()};
    return o;
  }
};

// One cell: a workload that runs some steps and says how many game-steps it made.
struct Cell {
  std::string name;
  std::function<double()> run;  // game-steps done
  std::vector<double> rates = {}, cpu_rates = {};
};

double cpu_seconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

template <int NW>
void add_batch_cells(std::vector<Cell>& cells, uint8_t size, size_t games, int warmup, int steps_per_run) {
  const GameOptions o = GameOptions::defaults(size, size);
  for (unsigned threads : {1u, 2u}) {
    for (PlaneType type : {PlaneType::U8, PlaneType::F32}) {
      auto batch = std::make_shared<GameBatch<NW>>(games, o, BatchConfig{}, threads, 1);
      auto buf = std::make_shared<Buffers>(games, o.area());
      for (int s = 0; s < warmup; ++s) {
        batch->sample(buf->actions);
        batch->step(buf->actions, buf->views(type));
      }
      const std::string name = std::to_string(size) + "x" + std::to_string(size) + " batch " + std::to_string(threads) +
                               "T " + (type == PlaneType::U8 ? "uint8" : "float32");
      cells.push_back({name, [batch, buf, type, steps_per_run, games] {
                         for (int s = 0; s < steps_per_run; ++s) {
                           batch->sample(buf->actions);
                           batch->step(buf->actions, buf->views(type));
                         }
                         return double(steps_per_run) * double(games);
                       }});
    }
  }
  {
    auto batch = std::make_shared<GameBatch<NW>>(games, o, BatchConfig{}, 1, 1);
    auto buf = std::make_shared<Buffers>(games, o.area());
    for (int s = 0; s < warmup; ++s) {
      batch->sample(buf->actions);
      batch->step(buf->actions, {});
    }
    auto lengths = std::make_shared<std::vector<uint32_t>>(games);
    auto seed = std::make_shared<uint64_t>(0);
    cells.push_back({std::to_string(size) + "x" + std::to_string(size) + " rollout moves 1T", [batch, lengths, seed] {
                       batch->rollout((*seed)++, {{}, {}, {}, {lengths->data()}});
                       double moves = 0;
                       for (uint32_t l : *lengths) moves += l;
                       return moves;
                     }});
  }
  // The same work as a plain loop: encode_planes into zeroed rows, masks from legal_placements.
  struct Loop {
    std::vector<Game<NW>> g;
    GameOptions o;
    uint64_t rng = 1;
  };
  auto loop = std::make_shared<Loop>(Loop{std::vector<Game<NW>>(games, o.new_game<NW>()), o});
  auto buf = std::make_shared<Buffers>(games, o.area());
  auto run_loop = [loop, buf](int steps) {
    const unsigned area = loop->o.area();
    const size_t plane = kTotalInputPlanes * area;
    for (int s = 0; s < steps; ++s) {
      for (size_t i = 0; i < loop->g.size(); ++i) {
        Game<NW>& g = loop->g[i];
        const std::vector<Move> legal = g.legal_moves();
        loop->rng = mix64(loop->rng);
        g.make_move(legal[loop->rng % legal.size()]);
        const bool ended = g.is_over();
        buf->term[i] = ended;
        if (ended) g = loop->o.template new_game<NW>();
        uint8_t* obs = buf->obs.data() + i * plane;
        std::memset(obs, 0, plane);
        encode_planes(g, obs);
        uint8_t* mask = buf->mask.data() + i * (area + 1);
        std::memset(mask, 0, area + 1);
        const Bitboard<NW> places = g.legal_placements();
        places.for_each([&](unsigned p) { mask[p] = 1; });
        mask[area] = g.pass_listed(places.any());
      }
    }
  };
  run_loop(warmup);
  cells.push_back(
      {std::to_string(size) + "x" + std::to_string(size) + " plain loop 1T uint8", [run_loop, steps_per_run, games] {
         run_loop(steps_per_run);
         return double(steps_per_run) * double(games);
       }});
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = false;
  size_t games = 1024;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) quick = true;
    if (std::strcmp(argv[i], "--games") == 0 && i + 1 < argc) games = size_t(std::atol(argv[++i]));
  }
  const int reps = quick ? 3 : 7;
  std::vector<Cell> cells;
  // Warm-up past the move limit (3 n^2): the games are then spread over every stage of a game.
  add_batch_cells<2>(cells, 9, games, quick ? 100 : 300, quick ? 10 : 40);
  add_batch_cells<6>(cells, 19, games, quick ? 200 : 1200, quick ? 5 : 15);
  std::printf(
      "batch benchmark: %zu games, random legal actions (sample + step), observations, masks,\n"
      "rewards and flags written every step; %d interleaved repetitions, medians\n\n",
      games, reps);
  std::string load;
  std::getline(std::ifstream("/proc/loadavg"), load);
  std::printf("load average before: %s\n\n", load.c_str());
  for (int r = 0; r < reps; ++r)
    for (Cell& c : cells) {
      const auto start = Clock::now();
      const double cpu = cpu_seconds();
      const double done = c.run();
      c.cpu_rates.push_back(done / (cpu_seconds() - cpu));
      c.rates.push_back(done / std::chrono::duration<double>(Clock::now() - start).count());
    }
  std::getline(std::ifstream("/proc/loadavg"), load);
  std::printf("%-30s %14s %9s %16s\n", "cell", "steps/s", "spread", "steps/CPU-s");
  for (Cell& c : cells) {
    std::sort(c.rates.begin(), c.rates.end());
    std::sort(c.cpu_rates.begin(), c.cpu_rates.end());
    const double median = c.rates[c.rates.size() / 2];
    std::printf("%-30s %14.0f %8.1f%% %16.0f\n", c.name.c_str(), median,
                100.0 * (c.rates.back() - c.rates.front()) / median, c.cpu_rates[c.cpu_rates.size() / 2]);
  }
  std::printf(
      "\nsteps/s: per second of wall time; spread: (max - min) / median over the repetitions;\n"
      "steps/CPU-s: per second of this process's CPU time (all its threads), steadier on a busy machine.\n"
      "load average after: %s\n",
      load.c_str());
  return 0;
}
