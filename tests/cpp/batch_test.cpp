// The batch against a plain loop over Game objects fed the same actions, step
// for step and byte for byte; thread counts, auto-reset modes, refused
// actions, forfeits, sampling, rollouts, games in and out, saved states.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "batch/batch_state.hpp"
#include "batch/game_batch.hpp"
#include "engine/encode.hpp"
#include "test_util.hpp"

namespace vexlor::batch {
namespace {

constexpr uint8_t kUntouched = 0xA5;  // fill of output memory nothing may write

// Output memory of one step, each game's rows `pad` bytes apart from the packed layout.
struct Outputs {
  size_t n, area, pad;
  PlaneType type;
  std::vector<uint8_t> obs, final_obs, mask, term, trunc;
  std::vector<float> reward_mover, reward_black, score_black, score_white;
  std::vector<int8_t> outcome;

  Outputs(size_t n, unsigned area, PlaneType type, size_t pad = 0)
      : n(n),
        area(area),
        pad(pad),
        type(type),
        obs(n * obs_stride(), kUntouched),
        final_obs(obs),
        mask(n * mask_stride(), kUntouched),
        term(n),
        trunc(n),
        reward_mover(n),
        reward_black(n),
        score_black(n),
        score_white(n),
        outcome(n) {}
  size_t obs_stride() const { return kTotalInputPlanes * area * plane_item_bytes(type) + pad; }
  size_t mask_stride() const { return area + 1 + pad; }
  StepOutputs views() {
    return StepOutputs{{obs.data(), ptrdiff_t(obs_stride()), type},
                       {final_obs.data(), ptrdiff_t(obs_stride()), type},
                       {mask.data(), ptrdiff_t(mask_stride())},
                       {reward_mover.data()},
                       {reward_black.data()},
                       {term.data()},
                       {trunc.data()},
                       {outcome.data()},
                       {score_black.data()},
                       {score_white.data()}};
  }
  uint8_t* obs_row(std::vector<uint8_t>& v, size_t i) { return v.data() + i * obs_stride(); }
};

// Rows compare by value, padding included; scores by their bits (NaN for games going on).
void expect_same(const Outputs& a, const Outputs& b, const std::string& where) {
  EXPECT_EQ(a.obs, b.obs) << where;
  EXPECT_EQ(a.final_obs, b.final_obs) << where;
  EXPECT_EQ(a.mask, b.mask) << where;
  EXPECT_EQ(a.reward_mover, b.reward_mover) << where;
  EXPECT_EQ(a.reward_black, b.reward_black) << where;
  EXPECT_EQ(a.term, b.term) << where;
  EXPECT_EQ(a.trunc, b.trunc) << where;
  EXPECT_EQ(a.outcome, b.outcome) << where;
  for (size_t i = 0; i < a.n; ++i) {
    EXPECT_EQ(std::bit_cast<uint32_t>(a.score_black[i]), std::bit_cast<uint32_t>(b.score_black[i])) << where << i;
    EXPECT_EQ(std::bit_cast<uint32_t>(a.score_white[i]), std::bit_cast<uint32_t>(b.score_white[i])) << where << i;
  }
}

// encode_planes' values in the buffer's type.
template <int NW>
void reference_planes(const Game<NW>& g, PlaneType type, uint8_t* out) {
  const std::vector<float> f = encode_game_planes(g);
  for (size_t k = 0; k < f.size(); ++k) {
    if (type == PlaneType::F32)
      std::memcpy(out + 4 * k, &f[k], 4);
    else
      out[k] = uint8_t(f[k]);
  }
}

// What a step must produce, from a plain loop over games with the rules' own
// legality test and encoder.
template <int NW>
struct LoopModel {
  GameOptions options;
  BatchConfig config;
  std::vector<Game<NW>> games;
  std::vector<bool> forfeit;

  LoopModel(size_t n, const GameOptions& o, BatchConfig c)
      : options(o), config(c), games(n, o.new_game<NW>()), forfeit(n, false) {}

  bool ended(size_t i) const { return forfeit[i] || games[i].is_over(); }

  void step(const std::vector<int64_t>& actions, Outputs& e) {
    const unsigned area = options.area();
    for (size_t i = 0; i < games.size(); ++i) {
      Game<NW>& g = games[i];
      const Player mover = g.turn();
      float black = 0;
      bool done = false;
      e.outcome[i] = -1;
      e.score_black[i] = e.score_white[i] = std::numeric_limits<float>::quiet_NaN();
      e.term[i] = e.trunc[i] = 0;
      if (ended(i)) {  // NextStep: a new game, the action ignored
        g = options.new_game<NW>();
        forfeit[i] = false;
      } else {
        const int64_t a = actions[i];
        const Move m = a == area ? Move::pass() : Move::place(uint8_t(a % options.width), uint8_t(a / options.width));
        if (!g.is_legal_move(m))
          forfeit[i] = true;
        else
          EXPECT_TRUE(g.make_move(m));
        done = ended(i);
      }
      if (done) {
        const GameOutcome r =
            forfeit[i] ? (mover == Player::Black ? GameOutcome::WhiteWin : GameOutcome::BlackWin) : *g.outcome();
        black = r == GameOutcome::BlackWin ? 1.0f : r == GameOutcome::WhiteWin ? -1.0f : 0.0f;
        e.outcome[i] = int8_t(r);
        std::tie(e.score_black[i], e.score_white[i]) = g.score();
        e.term[i] = forfeit[i] || g.consecutive_passes() == 2;
        e.trunc[i] = !e.term[i];
        reference_planes(g, e.type, e.obs_row(e.final_obs, i));
        if (config.autoreset == Autoreset::SameStep) {
          g = options.new_game<NW>();
          forfeit[i] = false;
        }
      }
      e.reward_black[i] = black;
      e.reward_mover[i] = black == 0 ? 0.0f : mover == Player::Black ? black : -black;
      reference_planes(g, e.type, e.obs_row(e.obs, i));
      uint8_t* mask = e.mask.data() + i * e.mask_stride();
      std::memset(mask, 0, area + 1);
      if (!ended(i)) {
        for (const Move& m : g.legal_moves(false))
          mask[m.is_pass() ? area : unsigned(m.row) * options.width + m.col] = 1;
      }
    }
  }
};

struct DiffCase {
  const char* name;
  uint8_t w, h;
  bool superko;
  Autoreset autoreset;
  IllegalAction illegal;
  PlaneType type;
  size_t pad;
  uint16_t max_moves;
  int steps;
};

class BatchDifferential : public ::testing::TestWithParam<DiffCase> {};

// Every step's outputs equal the loop's; actions are mostly sampled, some
// chosen at random (illegal ones only where they forfeit).
TEST_P(BatchDifferential, MatchesAPlainLoopStepForStep) {
  const DiffCase c = GetParam();
  testing::with_words(c.w, c.h, [&]<int NW>() {
    const size_t n = 13;
    GameOptions o = GameOptions::defaults(c.w, c.h);
    o.superko = c.superko;
    o.min_moves_before_pass_possible = uint16_t(c.max_moves / 2);
    o.max_moves = c.max_moves;  // many games end by the limit, others by passes
    const BatchConfig cfg{c.autoreset, c.illegal};
    GameBatch<NW> batch(n, o, cfg, 2, 7);
    LoopModel<NW> model(n, o, cfg);
    std::mt19937_64 rng(c.w * 100 + c.h);
    std::vector<int64_t> actions(n);
    int ends = 0;
    const int steps = int(c.steps * testing::test_scale()) + 1;
    for (int s = 0; s < steps; ++s) {
      batch.sample(actions);
      if (c.illegal == IllegalAction::Lose)
        for (auto& a : actions)
          if (rng() % 8 == 0) a = int64_t(rng() % (o.area() + 1));
      if (c.autoreset == Autoreset::Disabled)
        for (size_t i = 0; i < n; ++i)
          if (batch.ended(i)) batch.reset(i), model.games[i] = o.new_game<NW>(), model.forfeit[i] = false;
      Outputs got(n, o.area(), c.type, c.pad), want(n, o.area(), c.type, c.pad);
      batch.step(actions, got.views());
      model.step(actions, want);
      expect_same(got, want, std::string(c.name) + " step " + std::to_string(s) + " game ");
      if (::testing::Test::HasFailure()) return;
      for (size_t i = 0; i < n; ++i) ends += got.term[i] || got.trunc[i];
    }
    EXPECT_GT(ends, 0);
  });
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, BatchDifferential,
    ::testing::Values(
        DiffCase{"9x9", 9, 9, true, Autoreset::SameStep, IllegalAction::Raise, PlaneType::U8, 0, 60, 400},
        DiffCase{"9x9f", 9, 9, false, Autoreset::NextStep, IllegalAction::Lose, PlaneType::F32, 12, 50, 300},
        DiffCase{"7x5", 7, 5, true, Autoreset::Disabled, IllegalAction::Lose, PlaneType::U8, 3, 40, 400},
        DiffCase{"2x3", 2, 3, true, Autoreset::SameStep, IllegalAction::Lose, PlaneType::F32, 0, 12, 200},
        DiffCase{"19x13", 19, 13, true, Autoreset::NextStep, IllegalAction::Raise, PlaneType::U8, 5, 150, 300},
        DiffCase{"19x19", 19, 19, false, Autoreset::SameStep, IllegalAction::Raise, PlaneType::U8, 0, 100, 150},
        DiffCase{"32x32", 32, 32, true, Autoreset::SameStep, IllegalAction::Lose, PlaneType::F32, 0, 30, 40}),
    [](const auto& info) {
      return std::to_string(info.index) + "_" + std::to_string(info.param.w) + "x" + std::to_string(info.param.h);
    });

}  // namespace
}  // namespace vexlor::batch
