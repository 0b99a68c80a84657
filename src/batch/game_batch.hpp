// N games of one size and one set of rules, stepped together: one call plays
// one action in every game and writes what a learner needs (next
// observations, legal masks, rewards, end flags, final results) into memory
// the caller owns. No Python here; the binding releases the interpreter lock
// around these calls and guards the buffers and the batch.
//
// Auto-reset follows Gymnasium 1.x's vector environments; the mode is chosen
// per batch:
//   SameStep (default)  A game that ends is replaced by a new game within the
//     step that ended it: that step's observation and mask are the new game's,
//     its reward, flags, outcome and score the ended game's, and the ended
//     game's last observation goes to `final_obs`. Every action of every step
//     is then a real move, which batched self-play wants (no step of an idle
//     slot, no action to ignore), and every game in the batch is always in play.
//   NextStep  The ending step returns the ended game's own observation; the
//     next step ignores that game's action (it must still be in range), starts
//     a new game and returns its observation, with reward 0 and both flags
//     false. Gymnasium's default mode.
//   Disabled  Ended games stay ended until reset() or reset_where(); stepping
//     one is an ActionError.
// The ended game itself stays readable (finished_game) until the next game
// of its slot ends.
//
// Ends: terminated = two passes in a row (or a forfeit, below); truncated =
// the move limit ended the game. Both give the game's outcome as reward.
//
// Invalid actions: every action is checked before any game changes. By
// default an action out of 0..area, an illegal move, or (Disabled) an action
// for an ended game throws ActionError naming the first such game and its
// action, and nothing changes. With IllegalAction::Lose an illegal move
// instead ends its game at once: the mover loses (reward -1, terminated),
// the move is not played and the board stays as it was. Out-of-range actions
// remain errors.
//
// Threads: games are split over a pool the batch owns; every result is
// byte-identical for every thread count.
//
// Sampling: uniform over each game's legal actions (streams.hpp), from the
// batch's seed and a per-game draw counter.
//
// Calls that run on the pool (step, observe, sample, rollout) must not
// overlap on one batch; the games are only ever touched by one thread at a time.
#pragma once

#include <bit>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "batch/board_ring.hpp"
#include "batch/streams.hpp"
#include "batch/worker_pool.hpp"
#include "batch/writers.hpp"
#include "engine/encode.hpp"
#include "engine/game.hpp"
#include "engine/outcome.hpp"
#include "engine/player.hpp"

namespace vexlor::batch {

enum class Autoreset : uint8_t { NextStep = 0, SameStep = 1, Disabled = 2 };
enum class IllegalAction : uint8_t { Raise = 0, Lose = 1 };

// The size and rules every game of a batch shares.
struct GameOptions {
  uint8_t width = 19;
  uint8_t height = 19;
  float komi = 7.5f;
  uint16_t min_moves_before_pass_possible = 180;
  uint16_t max_moves = 1083;
  bool superko = true;

  // The defaults of a new Python Game of this size.
  static GameOptions defaults(uint8_t width, uint8_t height) {
    const unsigned n = unsigned(width) * height;
    return GameOptions{width, height, 7.5f, uint16_t(n / 2), uint16_t(3 * n), true};
  }
  template <int NW>
  static GameOptions of(const Game<NW>& g) {
    return GameOptions{g.width(), g.height(), g.komi(), g.min_moves_before_pass_possible(), g.max_moves(), g.superko()};
  }
  unsigned area() const { return unsigned(width) * height; }
  template <int NW>
  Game<NW> new_game() const {
    return Game<NW>::with_options(width, height, komi, min_moves_before_pass_possible, max_moves, superko);
  }
  // Komi compares by its bits, so a NaN komi matches itself.
  bool operator==(const GameOptions& o) const {
    return width == o.width && height == o.height && std::bit_cast<uint32_t>(komi) == std::bit_cast<uint32_t>(o.komi) &&
           min_moves_before_pass_possible == o.min_moves_before_pass_possible && max_moves == o.max_moves &&
           superko == o.superko;
  }
  // Why a game with options o cannot join a batch with these; "" when it can.
  std::string mismatch(const GameOptions& o) const;
};

struct BatchConfig {
  Autoreset autoreset = Autoreset::SameStep;
  IllegalAction illegal = IllegalAction::Raise;
};

// An action a step refused; no game changed.
class ActionError : public std::invalid_argument {
 public:
  enum class Reason : uint8_t { OutOfRange, Illegal, GameOver };
  ActionError(size_t game, int64_t action, Reason reason, unsigned area)
      : std::invalid_argument(text(game, action, reason, area)), game(game), action(action), reason(reason) {}
  size_t game;
  int64_t action;
  Reason reason;

 private:
  static std::string text(size_t game, int64_t action, Reason reason, unsigned area) {
    const std::string g = "game " + std::to_string(game);
    const std::string a = "action " + std::to_string(action);
    switch (reason) {
      case Reason::OutOfRange:
        return g + ": " + a + " is out of range (0 to " + std::to_string(area) + ")";
      case Reason::Illegal:
        return g + ": " + a + " is illegal";
      default:
        return g + " is over and waits for a reset (" + a + ")";
    }
  }
};

// One value per game at data + i * stride (stride in bytes; 0 means packed).
template <class T>
struct Column {
  T* data = nullptr;
  ptrdiff_t stride = 0;
  explicit operator bool() const { return data != nullptr; }
  T* at(size_t i) const {
    return reinterpret_cast<T*>(reinterpret_cast<char*>(data) +
                                ptrdiff_t(i) * (stride ? stride : ptrdiff_t(sizeof(T))));
  }
};

// 17 * area values per game, contiguous within a game; stride in bytes between games (0: packed).
struct PlanesOut {
  void* data = nullptr;
  ptrdiff_t stride = 0;
  PlaneType type = PlaneType::U8;
  explicit operator bool() const { return data != nullptr; }
  void* at(size_t i, unsigned area) const {
    const ptrdiff_t s = stride ? stride : ptrdiff_t(kTotalInputPlanes * size_t(area) * plane_item_bytes(type));
    return static_cast<char*>(data) + ptrdiff_t(i) * s;
  }
};

// Rows of area + 1 mask bytes; stride in bytes between games (0: packed).
struct MaskOut {
  uint8_t* data = nullptr;
  ptrdiff_t stride = 0;
  explicit operator bool() const { return data != nullptr; }
  uint8_t* at(size_t i, unsigned area) const { return data + ptrdiff_t(i) * (stride ? stride : ptrdiff_t(area) + 1); }
};

// Where a step writes; every part is optional (null: not written).
struct StepOutputs {
  PlanesOut obs;               // every game's observation after the step
  PlanesOut final_obs;         // games that ended in this step: their last observation; other rows untouched
  MaskOut mask;                // every game's legal actions after the step (all 0 for an ended game)
  Column<float> reward_mover;  // the step's reward from the side of the game's mover
  Column<float> reward_black;  // the same from Black's side
  Column<uint8_t> terminated;  // 0 or 1
  Column<uint8_t> truncated;   // 0 or 1
  Column<int8_t> outcome;      // GameOutcome code of a game that ended in this step, -1 for the others
  Column<float> score_black;   // area score of a game that ended in this step, NaN for the others
  Column<float> score_white;   // (komi included)
};

// Where a rollout writes; every part is optional.
struct RolloutOutputs {
  Column<int8_t> outcome;  // GameOutcome code
  Column<float> score_black;
  Column<float> score_white;
  Column<uint32_t> length;  // moves the rollout played
};

template <int NW>
struct BatchSerializer;

template <int NW>
class GameBatch {
 public:
  // Below this many games per thread, a call uses fewer threads.
  static constexpr size_t kMinGamesPerThread = 8;

  // n new games; throws std::invalid_argument for a thread count outside
  // 1..WorkerPool::kMaxThreads and std::logic_error when NW does not fit the size.
  GameBatch(size_t n, const GameOptions& options, BatchConfig config = {}, unsigned threads = 1, uint64_t seed = 0)
      : options_(options),
        config_(config),
        seed_(seed),
        fresh_(options.new_game<NW>()),
        fresh_ring_(BoardRing<NW>::of(fresh_)) {
    check_threads(threads);
    (void)fresh_.legal_placements_remembered();  // copies start with their legal set known
    slots_.assign(n, Slot{fresh_});
    pool_ = std::make_unique<WorkerPool>(threads);
  }
  GameBatch(const GameBatch&) = delete;
  GameBatch& operator=(const GameBatch&) = delete;
  GameBatch(GameBatch&&) = default;
  GameBatch& operator=(GameBatch&&) = default;

  // --- read access -------------------------------------------------------
  size_t size() const { return slots_.size(); }
  unsigned area() const { return options_.area(); }
  unsigned action_count() const { return area() + 1; }
  const GameOptions& options() const { return options_; }
  BatchConfig config() const { return config_; }
  unsigned threads() const { return pool_->threads(); }
  uint64_t seed() const { return seed_; }

  // The game in slot i (i < size()); copy it to keep it.
  const Game<NW>& game(size_t i) const { return slot(i).game; }
  // Whether slot i's game has ended and waits for a reset (never with SameStep).
  bool ended(size_t i) const { return slot(i).ended(); }
  // Whether slot i's game ended by a forfeit (IllegalAction::Lose) and waits for a reset.
  bool forfeited(size_t i) const { return slot(i).forfeit; }
  // Draws slot i's stream has given since the last reseed.
  uint64_t draws(size_t i) const { return slot(i).draws; }
  // Whether a game of slot i ended in the last step.
  bool ended_in_last_step(size_t i) const { return slot(i).ended_in_last_step; }
  // The last game that ended in slot i (as it ended), if any.
  const Game<NW>* finished_game(size_t i) const {
    const Slot& s = slot(i);
    return s.finished ? &*s.finished : nullptr;
  }
  // Its result: the rules' outcome, or a win for the opponent of the side that forfeited.
  std::optional<GameOutcome> finished_outcome(size_t i) const {
    const Slot& s = slot(i);
    return s.finished ? std::optional(result_of(*s.finished, s.finished_forfeit)) : std::nullopt;
  }
  // Whether that game ended by a forfeit (its last move is then not in it).
  bool finished_by_forfeit(size_t i) const { return slot(i).finished && slot(i).finished_forfeit; }

  // --- configuration -----------------------------------------------------
  void set_threads(unsigned threads) {
    check_threads(threads);
    if (threads != pool_->threads()) pool_ = std::make_unique<WorkerPool>(threads);
  }
  // Restarts every game's stream from `seed`.
  void reseed(uint64_t seed) {
    seed_ = seed;
    for (Slot& s : slots_) s.draws = 0;
  }

  // --- games in and out -------------------------------------------------
  // A copy of a game into slot i, which keeps its stream. Throws
  // std::invalid_argument when its size or rules differ from the batch's or
  // when it has ended and the batch resets games as they end (SameStep).
  void put(size_t i, Game<NW> g) {
    Slot& s = slot(i);
    const std::string why = options_.mismatch(GameOptions::of(g));
    if (!why.empty()) throw std::invalid_argument(why);
    if (g.is_over() && config_.autoreset == Autoreset::SameStep)
      throw std::invalid_argument("the game has ended; a batch that resets games as they end holds games in play");
    (void)g.legal_placements_remembered();
    s.game = std::move(g);
    s.ring = BoardRing<NW>::of(s.game);
    s.forfeit = false;
  }
  // A new game in slot i (its stream goes on).
  void reset(size_t i) { slot(i).restart(fresh_, fresh_ring_); }
  // A new game in every slot.
  void reset_all() {
    for (Slot& s : slots_) s.restart(fresh_, fresh_ring_);
  }
  // A new game in every slot whose byte in `which` (size() bytes) is not 0.
  void reset_where(std::span<const uint8_t> which) {
    require_count(which.size(), "reset mask");
    for (size_t i = 0; i < slots_.size(); ++i)
      if (which[i]) slots_[i].restart(fresh_, fresh_ring_);
  }

  // Whether slot i's kept boards are those its game's history gives (checked by tests).
  bool boards_consistent(size_t i) const { return slot(i).ring == BoardRing<NW>::of(slot(i).game); }

  // --- stepping ----------------------------------------------------------
  // One action per game (size() of them); see the top of this file.
  void step(std::span<const int64_t> actions, const StepOutputs& out) {
    require_count(actions.size(), "actions");
    verdicts_.resize(slots_.size());
    for (size_t i = 0; i < slots_.size(); ++i) verdicts_[i] = check(i, actions[i]);
    pool_->run(
        slots_.size(),
        [&](size_t begin, size_t end) {
          for (size_t i = begin; i < end; ++i) step_one(i, actions[i], verdicts_[i], out);
        },
        kMinGamesPerThread);
  }

  // The current observation and legal mask of every game (after reset or put).
  void observe(const PlanesOut& obs, const MaskOut& mask) {
    pool_->run(
        slots_.size(),
        [&](size_t begin, size_t end) {
          for (size_t i = begin; i < end; ++i) write_state(i, obs, mask);
        },
        kMinGamesPerThread);
  }

  // A uniformly random legal action for every game (size() of them), from
  // each game's stream; an ended game gets the pass action and draws nothing.
  void sample(std::span<int64_t> out) {
    require_count(out.size(), "sample output");
    pool_->run(
        slots_.size(),
        [&](size_t begin, size_t end) {
          for (size_t i = begin; i < end; ++i) {
            Slot& s = slots_[i];
            if (s.ended()) {
              out[i] = area();
              continue;
            }
            Stream st = Stream::of(seed_, i, s.draws);
            out[i] = random_action(s.game, st);
            s.draws = st.counter;
          }
        },
        kMinGamesPerThread);
  }

  // Plays a copy of every game to its end with uniformly random legal moves
  // (game i from Stream::of(seed, i)) and writes the results; the batch is
  // left untouched. An ended game reports its result with length 0.
  void rollout(uint64_t seed, const RolloutOutputs& out) {
    pool_->run(
        slots_.size(),
        [&](size_t begin, size_t end) {
          for (size_t i = begin; i < end; ++i) rollout_one(i, seed, out);
        },
        1);
  }

 private:
  friend struct BatchSerializer<NW>;

  struct Slot {
    Game<NW> game;
    BoardRing<NW> ring;  // game's last boards, for its observations
    uint64_t draws = 0;
    bool forfeit = false;  // game ended by an illegal move and waits for a reset
    bool ended_in_last_step = false;
    bool finished_forfeit = false;
    std::optional<Game<NW>> finished;  // the last game that ended here

    explicit Slot(const Game<NW>& g) : game(g), ring(BoardRing<NW>::of(g)) {}
    bool ended() const { return forfeit || game.is_over(); }
    void restart(const Game<NW>& fresh, const BoardRing<NW>& fresh_ring) {
      game = fresh;
      ring = fresh_ring;
      forfeit = false;
    }
  };

  // What the check found for one game's action.
  enum class Verdict : uint8_t { Play, Forfeit, Restart };

  static void check_threads(unsigned threads) {
    if (threads < 1 || threads > WorkerPool::kMaxThreads)
      throw std::invalid_argument("thread count must be between 1 and " + std::to_string(WorkerPool::kMaxThreads));
  }

  void require_count(size_t n, const char* what) const {
    if (n != slots_.size())
      throw std::invalid_argument(std::string(what) + " must hold " + std::to_string(slots_.size()) +
                                  " values (one per game), not " + std::to_string(n));
  }

  Slot& slot(size_t i) {
    if (i >= slots_.size()) throw_index(i);
    return slots_[i];
  }
  const Slot& slot(size_t i) const {
    if (i >= slots_.size()) throw_index(i);
    return slots_[i];
  }
  [[noreturn]] void throw_index(size_t i) const {
    throw std::out_of_range("game index " + std::to_string(i) + " out of range for a batch of " +
                            std::to_string(slots_.size()));
  }

  static GameOutcome result_of(const Game<NW>& g, bool forfeit) {
    if (forfeit) return g.turn() == Player::Black ? GameOutcome::WhiteWin : GameOutcome::BlackWin;
    return *g.outcome();
  }

  Move decode(int64_t action) const {
    const unsigned a = unsigned(action), w = options_.width;
    return a == area() ? Move::pass() : Move::place(uint8_t(a % w), uint8_t(a / w));
  }

  Verdict check(size_t i, int64_t action) {
    using R = ActionError::Reason;
    if (action < 0 || action > int64_t(area())) throw ActionError(i, action, R::OutOfRange, area());
    Slot& s = slots_[i];
    if (s.ended()) {
      if (config_.autoreset == Autoreset::Disabled) throw ActionError(i, action, R::GameOver, area());
      return Verdict::Restart;
    }
    const Bitboard<NW> places = s.game.legal_placements_remembered();
    const bool legal = action == int64_t(area()) ? s.game.pass_listed(places.any()) : places.test(unsigned(action));
    if (legal) return Verdict::Play;
    if (config_.illegal == IllegalAction::Lose) return Verdict::Forfeit;
    throw ActionError(i, action, R::Illegal, area());
  }

  void step_one(size_t i, int64_t action, Verdict verdict, const StepOutputs& out) {
    Slot& s = slots_[i];
    s.ended_in_last_step = false;
    float reward_black = 0;
    Player mover = s.game.turn();
    bool ended = false, terminated = false;
    float score_black = std::numeric_limits<float>::quiet_NaN(), score_white = score_black;
    int8_t outcome = -1;
    if (verdict == Verdict::Restart) {
      s.restart(fresh_, fresh_ring_);
    } else {
      if (verdict == Verdict::Forfeit) {
        s.forfeit = true;
      } else {
        [[maybe_unused]] const bool made = s.game.make_move(decode(action));
        assert(made && "checked action refused");
        s.ring.push(s.game.board());
      }
      ended = s.ended();
    }
    if (ended) {
      const GameOutcome result = result_of(s.game, s.forfeit);
      outcome = int8_t(outcome_code(result));
      reward_black = result == GameOutcome::BlackWin ? 1.0f : result == GameOutcome::WhiteWin ? -1.0f : 0.0f;
      terminated = s.forfeit || s.game.consecutive_passes() >= 2;
      if (out.score_black || out.score_white) std::tie(score_black, score_white) = s.game.score();
      if (out.final_obs) write_planes(s.ring, s.game.turn(), area(), out.final_obs.at(i, area()), out.final_obs.type);
      s.ended_in_last_step = true;
      s.finished_forfeit = s.forfeit;
      if (config_.autoreset == Autoreset::SameStep) {
        // The ended game moves out; the new one reuses the old finished game's memory.
        if (s.finished)
          std::swap(*s.finished, s.game);
        else
          s.finished.emplace(std::move(s.game));
        s.restart(fresh_, fresh_ring_);
      } else {
        s.finished = s.game;
      }
    }
    assert(s.ring == BoardRing<NW>::of(s.game));
    write_state(i, out.obs, out.mask);
    const float reward_mover = mover == Player::Black ? reward_black : -reward_black;
    if (out.reward_mover) *out.reward_mover.at(i) = reward_mover + 0.0f;  // no -0.0
    if (out.reward_black) *out.reward_black.at(i) = reward_black;
    if (out.terminated) *out.terminated.at(i) = terminated;
    if (out.truncated) *out.truncated.at(i) = ended && !terminated;
    if (out.outcome) *out.outcome.at(i) = outcome;
    if (out.score_black) *out.score_black.at(i) = score_black;
    if (out.score_white) *out.score_white.at(i) = score_white;
  }

  // The game's observation and mask; also leaves its legal set remembered,
  // so the next step's check and move skip the legality scan.
  void write_state(size_t i, const PlanesOut& obs, const MaskOut& mask) {
    const Slot& s = slots_[i];
    const Bitboard<NW> places = s.game.legal_placements_remembered();
    if (obs) write_planes(s.ring, s.game.turn(), area(), obs.at(i, area()), obs.type);
    if (mask) {
      if (s.ended())
        write_mask(Bitboard<NW>{}, false, area(), mask.at(i, area()));
      else
        write_mask(places, s.game.pass_listed(places.any()), area(), mask.at(i, area()));
    }
  }

  int64_t random_action(const Game<NW>& g, Stream& st) const {
    const Bitboard<NW> places = g.legal_placements_remembered();
    const unsigned count = unsigned(places.count());
    const uint64_t choices = count + (g.pass_listed(count > 0) ? 1 : 0);
    const unsigned j = unsigned(st.below(choices));
    return j < count ? int64_t(select_point(places, j)) : int64_t(area());
  }

  void rollout_one(size_t i, uint64_t seed, const RolloutOutputs& out) const {
    const Slot& s = slots_[i];
    uint32_t length = 0;
    GameOutcome result;
    std::pair<float, float> score;
    if (s.ended()) {
      result = result_of(s.game, s.forfeit);
      score = s.game.score();
    } else {
      Game<NW> g = s.game;
      Stream st = Stream::of(seed, i);
      while (!g.is_over()) {
        g.make_move(decode(random_action(g, st)));
        ++length;
      }
      result = *g.outcome();
      score = g.score();
    }
    if (out.outcome) *out.outcome.at(i) = int8_t(outcome_code(result));
    if (out.score_black) *out.score_black.at(i) = score.first;
    if (out.score_white) *out.score_white.at(i) = score.second;
    if (out.length) *out.length.at(i) = length;
  }

  GameOptions options_;
  BatchConfig config_;
  uint64_t seed_;
  Game<NW> fresh_;            // a new game with its legal set remembered: the template of every reset
  BoardRing<NW> fresh_ring_;  // its boards
  std::vector<Slot> slots_;
  std::vector<Verdict> verdicts_;  // scratch of step()
  std::unique_ptr<WorkerPool> pool_;
};

inline std::string GameOptions::mismatch(const GameOptions& o) const {
  auto size = [](const GameOptions& x) { return std::to_string(x.width) + "x" + std::to_string(x.height); };
  if (o.width != width || o.height != height)
    return "the game is " + size(o) + ", the batch's games are " + size(*this);
  if (std::bit_cast<uint32_t>(o.komi) != std::bit_cast<uint32_t>(komi))
    return "the game's komi " + std::to_string(o.komi) + " differs from the batch's " + std::to_string(komi);
  if (o.min_moves_before_pass_possible != min_moves_before_pass_possible)
    return "the game's min_moves_before_pass_possible " + std::to_string(o.min_moves_before_pass_possible) +
           " differs from the batch's " + std::to_string(min_moves_before_pass_possible);
  if (o.max_moves != max_moves)
    return "the game's max_moves " + std::to_string(o.max_moves) + " differs from the batch's " +
           std::to_string(max_moves);
  if (o.superko != superko)
    return std::string("the game has superko ") + (o.superko ? "on" : "off") + ", the batch's games " +
           (superko ? "on" : "off");
  return "";
}

}  // namespace vexlor::batch
