// Helpers shared by the record tests: the shared SGF files, random games.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "engine/game.hpp"

namespace vexlor::testing {

// The shared records as (file name, bytes), sorted by name; empty when the folder is missing.
inline std::vector<std::pair<std::string, std::string>> shared_records() {
  std::string dir = VEXLOR_SGF_DIR;
  if (const char* env = std::getenv("VEXLOR_SGF_DIR")) dir = env;
  std::vector<std::pair<std::string, std::string>> out;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
    if (e.path().extension() != ".sgf") continue;
    std::ifstream in(e.path(), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    out.emplace_back(e.path().filename().string(), ss.str());
  }
  std::sort(out.begin(), out.end());
  return out;
}

// Plays random legal moves (placements mostly, a pass now and then) until the
// game ends or `moves` were made; captures and kos come up on small boards.
template <int NW>
void play_random(Game<NW>& g, std::mt19937_64& rng, size_t moves, double pass_chance = 0.03) {
  for (size_t i = 0; i < moves && !g.is_over(); ++i) {
    std::vector<Move> legal = g.legal_moves(false);
    if (legal.empty()) break;
    Move m = legal[rng() % legal.size()];
    if (std::uniform_real_distribution<double>(0, 1)(rng) < pass_chance) m = Move::pass();
    if (!g.make_move(m)) g.make_move(legal.front());
  }
}

}  // namespace vexlor::testing
