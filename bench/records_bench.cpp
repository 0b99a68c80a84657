// Records benchmark: parsing and replaying SGF records held in memory, and
// training positions from them with one and two threads.
//
// Usage: records_bench [dir] [--quick]
//   dir: a folder of .sgf files (default ../shared/data/sgf from the repo root,
//   or $VEXLOR_SGF_DIR). Every figure is the median of several runs.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "records/game_info.hpp"
#include "records/replay.hpp"
#include "records/sgf_parser.hpp"
#include "records/sgf_writer.hpp"
#include "records/training_positions.hpp"

namespace {

using namespace vexlor;
using namespace vexlor::records;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

template <class F>
double median_seconds(int runs, F&& f) {
  std::vector<double> t;
  for (int i = 0; i < runs; ++i) {
    const auto t0 = Clock::now();
    f();
    t.push_back(seconds_since(t0));
  }
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

volatile uint64_t g_sink = 0;

}  // namespace

int main(int argc, char** argv) {
  std::string dir;
  bool quick = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0)
      quick = true;
    else
      dir = argv[i];
  }
  if (dir.empty()) {
    const char* env = std::getenv("VEXLOR_SGF_DIR");
    dir = env ? env : "../shared/data/sgf";
  }
  std::vector<std::string> files;
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    if (e.path().extension() != ".sgf") continue;
    std::ifstream in(e.path(), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    files.push_back(ss.str());
    names.push_back(e.path().filename().string());
  }
  if (files.empty()) {
    std::fprintf(stderr, "no .sgf files in %s\n", dir.c_str());
    return 1;
  }
  const int runs = quick ? 3 : 7;
  size_t bytes = 0, moves = 0;
  for (const std::string& f : files) bytes += f.size();

  // Parse + replay to the final position, one record after another.
  const int rounds = quick ? 5 : 40;
  const double replay_s = median_seconds(runs, [&] {
    size_t m = 0;
    for (int r = 0; r < rounds; ++r)
      for (const std::string& f : files) {
        const SgfTree t = parse_sgf(f);
        const Replay<6> rep = replay_record<6>(t, 0, ReplayOptions{});
        m += rep.moves_played;
        g_sink = g_sink + rep.game.board().black.w[0];
      }
    moves = m / size_t(rounds);
  });
  const double board_s = median_seconds(runs, [&] {
    for (int r = 0; r < rounds; ++r)
      for (const std::string& f : files) {
        const SgfTree t = parse_sgf(f);
        const BoardReplay<6> rep = replay_board<6>(t, 0, ReplayOptions{});
        g_sink = g_sink + rep.board.board().black.w[0];
      }
  });
  const double parse_s = median_seconds(runs, [&] {
    for (int r = 0; r < rounds; ++r)
      for (const std::string& f : files) g_sink = g_sink + parse_sgf(f).node_count();
  });
  const double records = double(files.size()) * rounds;
  std::printf("records: %zu files, %zu bytes, %zu moves\n", files.size(), bytes, moves);
  std::printf("parse only:           %9.1f us/record  %8.1f MB/s\n", parse_s / records * 1e6,
              double(bytes) * rounds / parse_s / 1e6);
  std::printf("parse + replay Game:  %9.1f us/record  %8.0f records/s  %9.0f moves/s\n", replay_s / records * 1e6,
              records / replay_s, double(moves) * rounds / replay_s);
  std::printf("parse + replay board: %9.1f us/record  %8.0f records/s  %9.0f moves/s\n", board_s / records * 1e6,
              records / board_s, double(moves) * rounds / board_s);

  // Training positions, end to end from bytes: add() then write() into uint8 planes.
  const size_t copies = quick ? 20 : 100;  // a corpus of files x copies records
  std::vector<std::string_view> texts;
  for (size_t c = 0; c < copies; ++c)
    for (const std::string& f : files) texts.push_back(f);
  for (const bool symmetry : {false, true}) {
    for (const unsigned threads : {1u, 2u}) {
      size_t positions = 0;
      double add_s = 0, write_s = 0;
      const double total_s = median_seconds(runs, [&] {
        TrainingOptions to;
        to.parallel.threads = threads;
        to.parallel.grain = 8;
        TrainingPositions<6> set(19, 19, to);
        auto t0 = Clock::now();
        set.add(texts);
        add_s = seconds_since(t0);
        positions = set.size();
        // Written in chunks of 4096 positions, as shards would be.
        const size_t chunk = 4096;
        std::vector<uint8_t> planes(chunk * 17 * 361);
        std::vector<int32_t> action(chunk);
        std::vector<float> value(chunk);
        WriteOptions wo;
        wo.random_symmetry = symmetry;
        wo.parallel.threads = threads;
        t0 = Clock::now();
        for (size_t first = 0; first < positions; first += chunk) {
          const size_t n = std::min(chunk, positions - first);
          set.write<uint8_t>(first, n, TrainingBuffers<uint8_t>{planes.data(), action.data(), value.data()}, wo);
          g_sink = g_sink + planes[n * 17 * 361 / 2] + size_t(action[0]);
        }
        write_s = seconds_since(t0);
      });
      std::printf("training uint8 %s %u thread%s: %9.0f positions/s  (%zu positions; add %.3f s, write %.3f s)\n",
                  symmetry ? "symmetry   " : "no symmetry", threads, threads == 1 ? " " : "s",
                  double(positions) / total_s, positions, add_s, write_s);
    }
  }
  return 0;
}
