// Byte form of a whole batch (pickling): the shared rules, the batch's
// configuration and seed, and every slot with its game in serialize.hpp's
// game state. Loading checks every field and every game like a single game's
// state, so a corrupt or hostile byte string is refused (StateError).
//
// Batch state, version 1 (integers little-endian, varints LEB128):
//   'N' 1 width height | komi bits u32 | min_moves_before_pass_possible u16 |
//   max_moves u16 | superko u8 | autoreset u8 | illegal-action rule u8 |
//   threads varint | seed u64 | varint slot count |
//   per slot: draws varint | flags u8 | varint length, game state |
//             [varint length, finished game state]  (flag kHasFinished)
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "batch/game_batch.hpp"
#include "engine/geometry.hpp"
#include "engine/serialize.hpp"

namespace vexlor::batch {

namespace state {

inline constexpr uint8_t kBatchKind = 'N';
inline constexpr uint8_t kVersion = 1;

enum SlotFlags : uint8_t {
  kForfeit = 1,
  kEndedInLastStep = 2,
  kHasFinished = 4,
  kFinishedForfeit = 8,
};

// The smallest slot: draws, flags, a length and a game state of at least 16 bytes.
inline constexpr size_t kMinSlotBytes = 19;

}  // namespace state

template <int NW>
struct BatchSerializer {
  static std::vector<uint8_t> save(const GameBatch<NW>& b) {
    serial::Writer w;
    const GameOptions& o = b.options_;
    w.u8(state::kBatchKind);
    w.u8(state::kVersion);
    w.u8(o.width);
    w.u8(o.height);
    uint32_t komi_bits;
    std::memcpy(&komi_bits, &o.komi, 4);
    w.u32(komi_bits);
    w.u16(o.min_moves_before_pass_possible);
    w.u16(o.max_moves);
    w.u8(o.superko ? 1 : 0);
    w.u8(uint8_t(b.config_.autoreset));
    w.u8(uint8_t(b.config_.illegal));
    w.varint(b.threads());
    w.u64(b.seed_);
    w.varint(b.slots_.size());
    std::vector<uint8_t> out = w.take();
    for (const auto& s : b.slots_) {
      serial::Writer sw;
      sw.varint(s.draws);
      sw.u8(uint8_t((s.forfeit ? state::kForfeit : 0) | (s.ended_in_last_step ? state::kEndedInLastStep : 0) |
                    (s.finished ? state::kHasFinished : 0) |
                    (s.finished && s.finished_forfeit ? state::kFinishedForfeit : 0)));
      std::vector<uint8_t> head = sw.take();
      out.insert(out.end(), head.begin(), head.end());
      append_game(out, s.game);
      if (s.finished) append_game(out, *s.finished);
    }
    return out;
  }

  // Throws StateError for anything but a consistent batch of this word count.
  static GameBatch<NW> load(const uint8_t* data, size_t size) {
    serial::Reader r(data, size);
    if (r.u8() != state::kBatchKind) serial::fail("not a saved batch");
    const uint8_t version = r.u8();
    if (version != state::kVersion) serial::fail("unsupported state version " + std::to_string(version));
    GameOptions o;
    o.width = r.u8();
    o.height = r.u8();
    if (o.width < 2 || o.width > 32 || o.height < 2 || o.height > 32) serial::fail("board size out of range");
    if (words_for(o.area()) != NW) serial::fail("board size does not match the word count");
    const uint32_t komi_bits = r.u32();
    std::memcpy(&o.komi, &komi_bits, 4);
    o.min_moves_before_pass_possible = r.u16();
    o.max_moves = r.u16();
    const uint8_t superko = r.u8();
    if (superko > 1) serial::fail("superko flag out of range");
    o.superko = superko == 1;
    BatchConfig config;
    const uint8_t autoreset = r.u8();
    if (autoreset > uint8_t(Autoreset::Disabled)) serial::fail("unknown autoreset mode");
    config.autoreset = Autoreset(autoreset);
    const uint8_t illegal = r.u8();
    if (illegal > uint8_t(IllegalAction::Lose)) serial::fail("unknown illegal-action rule");
    config.illegal = IllegalAction(illegal);
    const uint64_t threads = r.varint(WorkerPool::kMaxThreads, "thread count");
    if (threads == 0) serial::fail("thread count out of range");
    const uint64_t seed = r.u64();
    const size_t n = size_t(r.varint(r.remaining() / state::kMinSlotBytes, "game count"));

    GameBatch<NW> b(0, o, config, 1, seed);
    b.slots_.reserve(n);
    for (size_t i = 0; i < n; ++i) {
      const uint64_t draws = r.varint(UINT64_MAX, "draw count");
      const uint8_t flags = r.u8();
      if (flags & ~(state::kForfeit | state::kEndedInLastStep | state::kHasFinished | state::kFinishedForfeit))
        serial::fail("unknown slot flags");
      const bool has_finished = flags & state::kHasFinished;
      if (!has_finished && (flags & (state::kEndedInLastStep | state::kFinishedForfeit)))
        serial::fail("a finished game's flags without a finished game");
      auto& s = b.slots_.emplace_back(read_game(r, data, size, o));
      s.draws = draws;
      s.forfeit = flags & state::kForfeit;
      if (s.forfeit && s.game.is_over()) serial::fail("a forfeit of a game that ended by the rules");
      if (s.ended() && config.autoreset == Autoreset::SameStep)
        serial::fail("an ended game in a batch that resets games as they end");
      if (has_finished) {
        s.finished.emplace(read_game(r, data, size, o));
        s.finished_forfeit = flags & state::kFinishedForfeit;
        if (s.finished_forfeit == s.finished->is_over()) serial::fail("a finished game that did not end once");
        s.ended_in_last_step = flags & state::kEndedInLastStep;
      }
      (void)s.game.legal_placements_remembered();
    }
    r.finish();
    b.set_threads(unsigned(threads));
    return b;
  }

 private:
  static void append_game(std::vector<uint8_t>& out, const Game<NW>& g) {
    const std::vector<uint8_t> bytes = GameSerializer<NW>::save(g);
    serial::Writer w;
    w.varint(bytes.size());
    std::vector<uint8_t> head = w.take();
    out.insert(out.end(), head.begin(), head.end());
    out.insert(out.end(), bytes.begin(), bytes.end());
  }

  // The game state at r's position in data[0, size); r moves past it.
  static Game<NW> read_game(serial::Reader& r, const uint8_t* data, size_t size, const GameOptions& o) {
    const size_t len = size_t(r.varint(r.remaining(), "game state length"));
    const uint8_t* at = data + (size - r.remaining());
    r = serial::Reader(at + len, r.remaining() - len);
    Game<NW> g = GameSerializer<NW>::load(at, len);
    if (!(GameOptions::of(g) == o)) serial::fail("a game whose size or rules differ from the batch's");
    return g;
  }
};

}  // namespace vexlor::batch
