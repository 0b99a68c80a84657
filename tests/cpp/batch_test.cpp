// The batch against a plain loop over Game objects fed the same actions, step
// for step and byte for byte; thread counts, auto-reset modes, refused
// actions, forfeits, sampling, rollouts, games in and out, saved states.
#include <gtest/gtest.h>

#include <algorithm>
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
    const int steps = std::max(int(c.steps * testing::test_scale()), c.max_moves + 8);  // games end
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
        DiffCase{"2x3", 2, 3, true, Autoreset::SameStep, IllegalAction::Lose, PlaneType::F32, 20, 12, 200},
        DiffCase{"19x13", 19, 13, true, Autoreset::NextStep, IllegalAction::Raise, PlaneType::U8, 5, 150, 300},
        DiffCase{"19x19", 19, 19, false, Autoreset::SameStep, IllegalAction::Raise, PlaneType::U8, 0, 100, 150},
        DiffCase{"32x32", 32, 32, true, Autoreset::SameStep, IllegalAction::Lose, PlaneType::F32, 0, 30, 40}),
    [](const auto& info) {
      return std::to_string(info.index) + "_" + std::to_string(info.param.w) + "x" + std::to_string(info.param.h);
    });

std::vector<uint8_t> saved(const GameBatch<2>& b) { return BatchSerializer<2>::save(b); }

// A 9x9 batch whose games end often, some of them already played into.
GameBatch<2> busy_batch(size_t n, BatchConfig cfg = {}, unsigned threads = 1) {
  GameOptions o = GameOptions::defaults(9, 9);
  o.min_moves_before_pass_possible = 10;
  o.max_moves = 30;
  GameBatch<2> b(n, o, cfg, threads, 99);
  std::vector<int64_t> a(n);
  for (int s = 0; s < 25; ++s) {
    for (size_t i = 0; i < n; ++i)
      if (b.ended(i)) b.reset(i);
    b.sample(a);
    b.step(a, {});
  }
  return b;
}

// A game of these options played to its move limit.
Game<2> ended_game(const GameOptions& o) {
  Game<2> g = o.new_game<2>();
  while (!g.is_over()) g.make_move(g.legal_moves().front());
  return g;
}

TEST(Batch, EveryThreadCountGivesTheSameBytes) {
  std::vector<Outputs> first;
  std::vector<std::vector<uint8_t>> rollouts;
  for (unsigned threads : {1u, 2u, 4u}) {
    GameBatch<2> b = busy_batch(37, {Autoreset::SameStep, IllegalAction::Raise}, threads);
    std::vector<int64_t> a(37);
    for (int s = 0; s < 60; ++s) {
      Outputs out(37, 81, s % 2 ? PlaneType::F32 : PlaneType::U8);
      b.sample(a);
      b.step(a, out.views());
      if (threads == 1)
        first.push_back(out);
      else
        expect_same(out, first[size_t(s)], "threads " + std::to_string(threads) + " step " + std::to_string(s));
    }
    std::vector<float> scores(2 * 37);
    std::vector<uint32_t> lengths(37);
    b.rollout(5, {{}, {scores.data(), 8}, {scores.data() + 1, 8}, {lengths.data()}});
    b.set_threads(1);  // saved with the state
    std::vector<uint8_t> bytes = saved(b);
    bytes.insert(bytes.end(), reinterpret_cast<uint8_t*>(scores.data()),
                 reinterpret_cast<uint8_t*>(scores.data() + 74));
    bytes.insert(bytes.end(), reinterpret_cast<uint8_t*>(lengths.data()),
                 reinterpret_cast<uint8_t*>(lengths.data() + 37));
    if (threads > 1) {
      EXPECT_EQ(bytes.size(), rollouts[0].size());
      EXPECT_TRUE(bytes == rollouts[0]) << "threads " << threads;
    }
    rollouts.push_back(bytes);
  }
}

struct Refusal {
  const char* name;
  size_t game;
  int64_t action;  // -2: an occupied point
  ActionError::Reason reason;
  BatchConfig config;
};

class BatchRefusal : public ::testing::TestWithParam<Refusal> {};

// A refused step names the first bad game and changes neither a game nor an output byte.
TEST_P(BatchRefusal, ChangesNothing) {
  const Refusal r = GetParam();
  GameBatch<2> b = busy_batch(9, r.config);
  std::vector<int64_t> a(9);
  b.sample(a);
  if (r.config.autoreset == Autoreset::Disabled) b.put(r.game, ended_game(b.options()));
  int64_t bad = r.action;
  if (bad == -2) bad = b.game(r.game).history().back().move.row * 9 + b.game(r.game).history().back().move.col;
  a[r.game] = bad;
  if (r.game + 2 < 9) a[r.game + 2] = -1;  // a later bad game is not the one named
  const std::vector<uint8_t> before = saved(b);
  Outputs out(9, 81, PlaneType::U8), untouched(9, 81, PlaneType::U8);
  out.term.assign(9, kUntouched);
  untouched.term.assign(9, kUntouched);
  try {
    b.step(a, out.views());
    FAIL() << "no error";
  } catch (const ActionError& e) {
    EXPECT_EQ(e.game, r.game);
    EXPECT_EQ(e.action, bad);
    EXPECT_EQ(e.reason, r.reason);
    EXPECT_NE(std::string(e.what()).find("game " + std::to_string(r.game)), std::string::npos) << e.what();
  }
  EXPECT_TRUE(saved(b) == before);
  expect_same(out, untouched, r.name);
}

constexpr BatchConfig kRaise{};
constexpr BatchConfig kLose{Autoreset::SameStep, IllegalAction::Lose};
constexpr BatchConfig kDisabled{Autoreset::Disabled, IllegalAction::Lose};

INSTANTIATE_TEST_SUITE_P(Actions, BatchRefusal,
                         ::testing::Values(Refusal{"negative", 3, -5, ActionError::Reason::OutOfRange, kRaise},
                                           Refusal{"past_pass", 0, 82, ActionError::Reason::OutOfRange, kLose},
                                           Refusal{"occupied", 4, -2, ActionError::Reason::Illegal, kRaise},
                                           Refusal{"ended", 5, 0, ActionError::Reason::GameOver, kDisabled}),
                         [](const auto& info) { return std::string(info.param.name); });

// The ended game stays readable after its slot moved on, and a forfeit is its own result.
TEST(Batch, FinishedGamesKeepTheirResult) {
  GameOptions o = GameOptions::defaults(9, 9);
  o.min_moves_before_pass_possible = 0;
  GameBatch<2> b(2, o, kLose);
  b.step(std::vector<int64_t>{40, 81}, {});
  Outputs out(2, 81, PlaneType::U8);
  b.step(std::vector<int64_t>{40, 81}, out.views());  // game 0: White on Black's stone; game 1: two passes
  EXPECT_EQ(out.outcome, (std::vector<int8_t>{int8_t(GameOutcome::BlackWin), int8_t(GameOutcome::WhiteWin)}));
  EXPECT_EQ(out.reward_mover, (std::vector<float>{-1.0f, 1.0f}));
  for (size_t i : {0u, 1u}) {
    ASSERT_TRUE(b.ended_in_last_step(i));
    EXPECT_EQ(b.game(i).move_count(), 0u);
    EXPECT_EQ(b.finished_game(i)->move_count(), i + 1);
    EXPECT_EQ(b.finished_outcome(i), GameOutcome(out.outcome[i]));
  }
  EXPECT_TRUE(b.finished_by_forfeit(0));
  EXPECT_FALSE(b.finished_game(0)->is_over());  // the illegal move was not played
  b.step(std::vector<int64_t>{0, 0}, {});
  EXPECT_FALSE(b.ended_in_last_step(0));
  EXPECT_EQ(b.finished_outcome(0), GameOutcome::BlackWin);
}

TEST(Batch, SamplingIsUniformAndReproducible) {
  Stream st = Stream::of(1, 2);
  std::vector<int> seen(7);
  for (int k = 0; k < 70000; ++k) ++seen[st.below(7)];
  for (int c : seen) EXPECT_NEAR(c, 10000, 500);

  GameBatch<2> a = busy_batch(20), b = busy_batch(20);
  std::vector<int64_t> x(20), y(20);
  a.sample(x);
  b.reseed(1234);
  b.sample(y);
  EXPECT_NE(x, y);
  b.reseed(a.seed());
  for (size_t i = 0; i < 20; ++i) EXPECT_EQ(b.draws(i), 0u);
  a.reseed(a.seed());
  a.sample(x);
  b.sample(y);
  EXPECT_EQ(x, y);
  // Every legal action of a new 2x2 game, the pass included, comes up about equally often.
  GameOptions o = GameOptions::defaults(2, 2);
  o.min_moves_before_pass_possible = 0;
  GameBatch<1> c(4000, o, kRaise, 2, 3);
  std::vector<int64_t> z(4000);
  c.sample(z);
  std::vector<int> hits(5);
  for (int64_t v : z) ++hits[size_t(v)];
  for (int h : hits) EXPECT_NEAR(h, 800, 120);
}

// Rollouts play copies: the batch is unchanged and each result is the game
// replayed with its own stream choosing among its listed legal moves.
TEST(Batch, RolloutsPlayCopiesWithTheGamesStreams) {
  GameBatch<2> b = busy_batch(11, kLose);
  b.step(std::vector<int64_t>(11, 0), {});  // forfeits or plays the corner in every game
  const std::vector<uint8_t> before = saved(b);
  std::vector<int8_t> outcome(11);
  std::vector<float> black(11), white(11);
  std::vector<uint32_t> length(11);
  b.rollout(77, {{outcome.data()}, {black.data()}, {white.data()}, {length.data()}});
  EXPECT_TRUE(saved(b) == before);
  for (size_t i = 0; i < 11; ++i) {
    if (b.ended(i)) {
      EXPECT_EQ(length[i], 0u);
      continue;
    }
    Game<2> g = b.game(i);
    Stream st = Stream::of(77, i);
    uint32_t n = 0;
    for (; !g.is_over(); ++n) {
      const std::vector<Move> legal = g.legal_moves(false);
      g.make_move(legal[st.below(legal.size())]);
    }
    EXPECT_EQ(length[i], n);
    EXPECT_EQ(outcome[i], int8_t(*g.outcome()));
    EXPECT_EQ(black[i], g.score().first);
    EXPECT_EQ(white[i], g.score().second);
  }
}

TEST(Batch, GamesGoInAndOut) {
  GameBatch<2> b = busy_batch(3);
  GameOptions other = b.options();
  other.komi = 6.5f;
  EXPECT_THROW(b.put(0, other.new_game<2>()), std::invalid_argument);
  EXPECT_THROW(b.put(0, ended_game(b.options())), std::invalid_argument);  // SameStep keeps games in play
  EXPECT_THROW(b.put(3, b.options().new_game<2>()), std::out_of_range);
  // An edited game goes in; its observation is encode_planes' and play goes on from it.
  Game<2> g = b.game(1);
  testing::put_rows(g, {"BW"});
  b.put(2, g);
  EXPECT_EQ(b.game(2).history().size(), g.history().size());
  Outputs out(3, 81, PlaneType::F32), want(3, 81, PlaneType::F32);
  b.observe({out.obs.data(), 0, PlaneType::F32}, {out.mask.data(), 0});
  reference_planes(g, PlaneType::F32, want.obs_row(want.obs, 2));
  EXPECT_TRUE(std::equal(want.obs_row(want.obs, 2), want.obs_row(want.obs, 3), out.obs_row(out.obs, 2)));
  const Move m = g.legal_moves().front();
  ASSERT_TRUE(g.make_move(m));
  std::vector<int64_t> a(3);
  b.sample(a);
  a[2] = m.is_pass() ? 81 : m.row * 9 + m.col;
  b.step(a, {});
  EXPECT_EQ(b.game(2).board(), g.board());
}

// The boards a batch keeps for observations are the ones its games' histories
// give after every kind of change: steps (placements, passes, forfeits, ends
// and restarts), resets, a game put in (edited by hand) and a load.
class BatchKeptBoards : public ::testing::TestWithParam<Autoreset> {};

TEST_P(BatchKeptBoards, FollowEveryChange) {
  const size_t n = 9;
  GameOptions o = GameOptions::defaults(9, 9);
  o.min_moves_before_pass_possible = 4;
  o.max_moves = 20;
  GameBatch<2> b(n, o, {GetParam(), IllegalAction::Lose}, 2, 3);
  auto expect_consistent = [&](const std::string& after) {
    for (size_t i = 0; i < n; ++i) EXPECT_TRUE(b.boards_consistent(i)) << after << ", game " << i;
  };
  auto reset_ended = [&] {
    if (GetParam() == Autoreset::Disabled)
      for (size_t i = 0; i < n; ++i)
        if (b.ended(i)) b.reset(i);
  };
  std::mt19937_64 rng(11);
  std::vector<int64_t> a(n);
  for (int s = 0; s < 60; ++s) {
    reset_ended();
    b.sample(a);
    for (auto& x : a)
      if (rng() % 6 == 0) x = int64_t(rng() % 82);  // passes, and illegal moves that forfeit
    b.step(a, {});
    expect_consistent("step " + std::to_string(s));
    if (s % 7 == 3) {
      std::vector<uint8_t> which(n);
      for (auto& w : which) w = rng() % 3 == 0;
      b.reset_where(which);
      expect_consistent("reset_where");
    }
  }
  Game<2> g = b.game(1);
  while (g.move_count() < 3) g.make_move(g.legal_moves().front());
  g.set_piece(8, 8, Player::White);
  b.put(4, g);
  expect_consistent("put");
  reset_ended();
  b.sample(a);
  b.step(a, {});
  expect_consistent("step after put");
  const std::vector<uint8_t> bytes = saved(b);
  b = BatchSerializer<2>::load(bytes.data(), bytes.size());
  expect_consistent("load");
  b.reset(0);
  b.reset_all();
  expect_consistent("reset_all");
}

INSTANTIATE_TEST_SUITE_P(Modes, BatchKeptBoards,
                         ::testing::Values(Autoreset::SameStep, Autoreset::NextStep, Autoreset::Disabled));

// A saved batch loads to one that steps the same; damaged bytes are refused, never crash.
TEST(Batch, SavedStatesRoundTripAndRefuseDamage) {
  GameBatch<2> b = busy_batch(5, kDisabled, 2);
  const std::vector<uint8_t> bytes = saved(b);
  GameBatch<2> c = BatchSerializer<2>::load(bytes.data(), bytes.size());
  EXPECT_TRUE(saved(c) == bytes);
  EXPECT_EQ(c.threads(), 2u);
  std::vector<int64_t> x(5), y(5);
  for (size_t i = 0; i < 5; ++i)
    if (b.ended(i)) b.reset(i), c.reset(i);
  b.sample(x);
  c.sample(y);
  EXPECT_EQ(x, y);
  Outputs ob(5, 81, PlaneType::U8), oc(5, 81, PlaneType::U8);
  b.step(x, ob.views());
  c.step(y, oc.views());
  expect_same(ob, oc, "loaded");

  std::mt19937_64 rng(5);
  int refused = 0;
  for (size_t cut = 0; cut < bytes.size(); cut += 1 + cut / 16) {
    EXPECT_THROW(BatchSerializer<2>::load(bytes.data(), cut), StateError) << cut;
  }
  for (int k = 0; k < 2000; ++k) {
    std::vector<uint8_t> bad = bytes;
    bad[rng() % bad.size()] ^= uint8_t(1u << (rng() % 8));
    try {
      GameBatch<2> d = BatchSerializer<2>::load(bad.data(), bad.size());
      std::vector<int64_t> z(d.size());
      d.sample(z);
      d.step(z, {});
    } catch (const StateError&) {
      ++refused;
    } catch (const ActionError&) {
    }
  }
  EXPECT_GT(refused, 1000);
  // An ended game cannot enter a batch that resets games as they end.
  b.put(1, ended_game(b.options()));
  std::vector<uint8_t> same_step = saved(b);
  BatchSerializer<2>::load(same_step.data(), same_step.size());
  same_step[13] = uint8_t(Autoreset::SameStep);
  EXPECT_THROW(BatchSerializer<2>::load(same_step.data(), same_step.size()), StateError);
}

}  // namespace
}  // namespace vexlor::batch
