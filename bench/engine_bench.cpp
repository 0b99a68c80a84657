// Engine benchmark: random playouts per second, legal_moves() and make+unmake
// on a mid-game 19x19 position, for the engine and the literal reference
// engine, which must play every benchmark game identically.
//
// Usage: engine_bench [--quick]   (--quick: fewer and shorter repetitions)
//        engine_bench --count WHAT  (engine only, for bench/step_instructions.sh to count
//                                    under callgrind; WHAT: steps9, steps19, legal, legal_plain,
//                                    make_unmake, make_unmake_plain)
#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "engine/game.hpp"
#include "oracle.hpp"

namespace {

using namespace vexlor;
using Clock = std::chrono::steady_clock;

// One interface over both engines.
template <int NW>
struct Fast {
  Game<NW> g;
  Fast(uint8_t w, uint8_t h, bool superko)
      : g(Game<NW>::with_options(w, h, 7.5f, uint16_t(w * h / 2), uint16_t(3 * w * h), superko)) {}
  std::vector<Move> legal() const { return g.legal_moves(); }
  // legal_moves() answers repeated calls from the set it remembers; timing it needs a fresh scan.
  std::vector<Move> legal_fresh() const { return g.legal_moves(false); }
  bool make(Move m) { return g.make_move(m); }
  bool unmake() { return g.unmake_move(); }
  bool over() const { return g.is_over(); }
  std::optional<GameOutcome> outcome() const { return g.outcome(); }
  std::pair<float, float> score() const { return g.score(); }
  const Board<NW>& board() const { return g.board(); }
  size_t moves() const { return g.move_count(); }
};

template <int NW>
struct Reference {
  oracle::OracleGame<NW> g;
  Reference(uint8_t w, uint8_t h, bool superko) : g(w, h, 7.5f, uint16_t(w * h / 2), uint16_t(3 * w * h), superko) {}
  std::vector<Move> legal() const { return g.legal_moves(); }
  std::vector<Move> legal_fresh() const { return g.legal_moves(); }
  bool make(Move m) { return g.make_move(m); }
  bool unmake() { return g.unmake_move(); }
  bool over() const { return g.is_over; }
  std::optional<GameOutcome> outcome() const { return g.outcome; }
  std::pair<float, float> score() const { return g.score(); }
  const Board<NW>& board() const { return g.board; }
  size_t moves() const { return g.move_count(); }
};

// What a finished game must agree on between the two engines.
struct Result {
  size_t moves = 0;
  int outcome = -1;
  uint32_t black = 0, white = 0;  // score bits
  uint64_t board = 0;             // hash of the final stones
  uint64_t sequence = 0;          // hash of the moves played
  bool operator==(const Result&) const = default;
};

// Uniformly random legal moves from a new game to its end.
template <class E>
Result playout(uint8_t w, uint8_t h, bool superko, uint64_t seed) {
  E e(w, h, superko);
  std::mt19937_64 rng(seed);
  uint64_t seq = 0xcbf29ce484222325ULL;
  while (!e.over()) {
    const std::vector<Move> legal = e.legal();
    const Move m = legal[rng() % legal.size()];
    if (!e.make(m)) {
      std::fprintf(stderr, "legal move refused\n");
      std::exit(1);
    }
    seq = (seq ^ (uint64_t(m.tag) << 16 | uint64_t(m.col) << 8 | m.row)) * 0x100000001b3ULL;
  }
  Result r;
  r.moves = e.moves();
  r.outcome = e.outcome() ? int(*e.outcome()) : -1;
  r.black = std::bit_cast<uint32_t>(e.score().first);
  r.white = std::bit_cast<uint32_t>(e.score().second);
  r.board = compute_position_hash(e.board(), Player::Black);
  r.sequence = seq;
  return r;
}

struct Sample {
  double median = 0, low = 0, high = 0;
};

// Repeats `run` (which returns operations done) and reports operations per second.
Sample rate(int reps, double min_seconds, const std::function<long()>& run) {
  std::vector<double> rates;
  for (int i = 0; i < reps; ++i) {
    long ops = 0;
    const auto start = Clock::now();
    double elapsed = 0;
    do {
      ops += run();
      elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    } while (elapsed < min_seconds);
    rates.push_back(double(ops) / elapsed);
  }
  std::sort(rates.begin(), rates.end());
  return Sample{rates[rates.size() / 2], rates.front(), rates.back()};
}

struct Row {
  std::string name;
  std::string unit;
  Sample fast, ref;
  bool per_op_time;  // report microseconds per operation instead of a rate
};

void print(const std::vector<Row>& rows) {
  std::printf("\n%-34s %16s %16s %12s   %s\n", "benchmark", "engine", "reference", "ratio",
              "spread (engine, reference)");
  for (const Row& r : rows) {
    auto value = [&](const Sample& s) { return r.per_op_time ? 1e6 / s.median : s.median; };
    auto spread = [](const Sample& s) { return s.median > 0 ? 100.0 * (s.high - s.low) / s.median : 0.0; };
    std::printf("%-34s %16.2f %16.2f %11.1fx   %5.1f%% %5.1f%%\n", (r.name + " " + r.unit).c_str(), value(r.fast),
                value(r.ref), r.fast.median / r.ref.median, spread(r.fast), spread(r.ref));
  }
  std::printf(
      "\nratio: engine throughput over reference throughput (medians); spread: (max - min) / median over "
      "the repetitions.\n");
}

// Both engines play the same fixed set of games; the engine repeats the set
// until a repetition has lasted long enough.
template <int NW>
void playout_rows(std::vector<Row>& rows, uint8_t size, bool superko, int reps, double seconds, int games) {
  std::vector<uint64_t> seeds;
  for (int i = 0; i < games; ++i) seeds.push_back(1000 + size * 10 + superko + uint64_t(i));
  size_t moves = 0;
  for (uint64_t seed : seeds) {
    const Result a = playout<Fast<NW>>(size, size, superko, seed);
    const Result b = playout<Reference<NW>>(size, size, superko, seed);
    if (!(a == b)) {
      std::fprintf(stderr, "engines disagree on %ux%u superko=%d seed %llu\n", size, size, int(superko),
                   (unsigned long long)seed);
      std::exit(1);
    }
    moves += a.moves;
  }
  auto play_all = [&](auto engine_tag) {
    using E = typename decltype(engine_tag)::type;
    return [&] {
      for (uint64_t seed : seeds) (void)playout<E>(size, size, superko, seed);
      return long(seeds.size());
    };
  };
  Row row{std::to_string(size) + "x" + std::to_string(size) + (superko ? " superko" : " no superko") + " playouts",
          "/s",
          {},
          {},
          false};
  row.fast = rate(reps, seconds, play_all(std::type_identity<Fast<NW>>{}));
  row.ref = rate(reps, seconds, play_all(std::type_identity<Reference<NW>>{}));
  rows.push_back(row);
  std::printf("  %s: %d games, %.0f moves each on average; engine %.1f/s, reference %.2f/s\n", row.name.c_str(), games,
              double(moves) / games, row.fast.median, row.ref.median);
  std::fflush(stdout);
}

// The mid-game position: a fixed seeded random sequence of 150 moves on 19x19.
template <class E>
E mid_game(bool superko) {
  E e(19, 19, superko);
  std::mt19937_64 rng(150);
  for (int i = 0; i < 150 && !e.over(); ++i) {
    const std::vector<Move> legal = e.legal();
    e.make(legal[rng() % legal.size()]);
  }
  return e;
}

template <class E>
Sample time_legal_moves(E& e, int reps, double seconds) {
  return rate(reps, seconds, [&] {
    const std::vector<Move> legal = e.legal_fresh();
    return legal.empty() ? 0L : 1L;
  });
}

// make + unmake of every legal move in turn; one operation is one pair.
template <class E>
Sample time_make_unmake(E& e, int reps, double seconds) {
  const std::vector<Move> legal = e.legal();
  size_t i = 0;
  return rate(reps, seconds, [&] {
    const Move m = legal[i++ % legal.size()];
    if (!e.make(m) || !e.unmake()) {
      std::fprintf(stderr, "make/unmake failed\n");
      std::exit(1);
    }
    return 1L;
  });
}

void mid_game_rows(std::vector<Row>& rows, bool superko, int reps, double seconds) {
  auto fast = mid_game<Fast<6>>(superko);
  auto ref = mid_game<Reference<6>>(superko);
  if (!(fast.board() == ref.board()) || fast.legal_fresh() != ref.legal() || fast.legal() != ref.legal()) {
    std::fprintf(stderr, "engines disagree on the mid-game position\n");
    std::exit(1);
  }
  const std::string tag = superko ? " superko" : " no superko";
  Row lm{"19x19 mid-game legal_moves()" + tag, "us", time_legal_moves(fast, reps, seconds),
         time_legal_moves(ref, reps, seconds), true};
  Row mu{"19x19 mid-game make+unmake" + tag, "us", time_make_unmake(fast, reps, seconds),
         time_make_unmake(ref, reps, seconds), true};
  rows.push_back(lm);
  rows.push_back(mu);
  std::printf("  19x19 mid-game%s: %zu legal moves, %zu moves played\n", tag.c_str(), fast.legal().size(),
              fast.moves());
  std::fflush(stdout);
}

// The games of the playout rows (superko on), engine only, each step asking
// what the Python loop asks of it (the remembered legal set, then one move)
// without building a move list; the moves chosen are those of playout().
// Returns the steps played. Kept out of line so that callgrind counts exactly this.
template <int NW>
[[gnu::noinline]] size_t counted_random_steps(uint8_t size, int games) {
  size_t steps = 0;
  for (int i = 0; i < games; ++i) {
    Fast<NW> e(size, size, true);
    std::mt19937_64 rng(1000 + size * 10 + 1 + uint64_t(i));
    while (!e.over()) {
      const Bitboard<NW> places = e.g.legal_placements_remembered();
      const unsigned n = unsigned(places.count());
      const unsigned k = unsigned(rng() % (n + (e.g.pass_listed(n > 0) ? 1 : 0)));
      Move m = Move::pass();
      if (k < n) {
        // The k-th point of the set: whole words skipped by their counts.
        unsigned word = 0, left = k;
        while (unsigned(popcount64(places.w[word])) <= left) left -= unsigned(popcount64(places.w[word++]));
        uint64_t bits = places.w[word];
        for (; left > 0; --left) bits &= bits - 1;
        const unsigned p = 64 * word + unsigned(std::countr_zero(bits));
        m = Move::place(uint8_t(p % size), uint8_t(p / size));
      }
      if (!e.make(m)) std::abort();
    }
    steps += e.moves();
  }
  return steps;
}

// The mid-game rows' work, once per legal move of the position, out of line
// for callgrind; the position is built before.
template <class E>
[[gnu::noinline]] size_t counted_legal_moves(E& e, size_t times) {
  size_t n = 0;
  for (size_t i = 0; i < times; ++i) n += e.legal_fresh().size();
  return n;
}

template <class E>
[[gnu::noinline]] size_t counted_make_unmake(E& e, const std::vector<Move>& moves) {
  size_t n = 0;
  for (const Move m : moves) n += e.make(m) && e.unmake();
  return n;
}

int count(const std::string& what) {
  size_t ops = 0;
  if (what == "steps9") {
    ops = counted_random_steps<2>(9, 20);
  } else if (what == "steps19") {
    ops = counted_random_steps<6>(19, 4);
  } else if (what.starts_with("legal") || what.starts_with("make_unmake")) {
    auto e = mid_game<Fast<6>>(!what.ends_with("_plain"));
    const std::vector<Move> moves = e.legal();
    ops = what.starts_with("legal") ? (counted_legal_moves(e, moves.size()), moves.size())
                                    : counted_make_unmake(e, moves);
  } else {
    std::fprintf(stderr, "unknown count: %s\n", what.c_str());
    return 2;
  }
  std::printf("operations %zu\n", ops);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2 && std::strcmp(argv[1], "--count") == 0) return count(argv[2]);
  const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
  const int reps = quick ? 3 : 5;
  const double seconds = quick ? 0.1 : 0.4;  // minimum time per repetition
  std::printf("engine benchmark (%s): %d repetitions of at least %.1f s each, medians reported\n",
              quick ? "quick" : "full", reps, seconds);
  std::vector<Row> rows;
  for (bool superko : {true, false}) {
    playout_rows<2>(rows, 9, superko, reps, seconds, quick ? 8 : 20);
    playout_rows<6>(rows, 19, superko, reps, seconds, quick ? 2 : 4);
  }
  for (bool superko : {true, false}) mid_game_rows(rows, superko, reps, seconds);
  print(rows);
  return 0;
}
