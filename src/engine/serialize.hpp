// Compact, versioned byte form of games and boards (pickling, process transfer).
// Loading validates every field and recomputes what can be derived, so a
// corrupt or hostile byte string is refused instead of yielding a broken game.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "bitboard.hpp"
#include "board.hpp"
#include "chain_set.hpp"
#include "game.hpp"
#include "geometry.hpp"
#include "limits.hpp"
#include "move.hpp"
#include "outcome.hpp"
#include "player.hpp"
#include "point.hpp"
#include "position_counts.hpp"
#include "repetition.hpp"
#include "undo_record.hpp"

namespace vexlor {

// Any byte string that is not a state this build can load.
class StateError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

namespace serial {

// Leading bytes: kind, then format version.
inline constexpr uint8_t kGameKind = 'G';
inline constexpr uint8_t kBoardKind = 'B';
inline constexpr uint8_t kVersion = 1;

enum GameFlags : uint8_t {
  kSuperko = 1,
  kExplicitHashes = 2,  // the hash multiset is stored, not rebuilt from the history
};

class Writer {
 public:
  void u8(uint8_t v) { out_.push_back(v); }
  void u16(uint16_t v) { le(v, 2); }
  void u32(uint32_t v) { le(v, 4); }
  void u64(uint64_t v) { le(v, 8); }
  void varint(uint64_t v) {
    while (v >= 0x80) {
      out_.push_back(uint8_t(v | 0x80));
      v >>= 7;
    }
    out_.push_back(uint8_t(v));
  }
  // The first `area` bits of s, eight points per byte, lowest point first.
  template <int NW>
  void point_set(const Bitboard<NW>& s, unsigned area) {
    for (unsigned i = 0; i < (area + 7) / 8; ++i) out_.push_back(uint8_t(s.w[i / 8] >> (8 * (i % 8))));
  }
  // (key, count) pairs, keys ascending.
  void counts(const std::vector<std::pair<uint64_t, uint32_t>>& entries) {
    varint(entries.size());
    for (const auto& [key, count] : entries) {
      u64(key);
      varint(count);
    }
  }
  std::vector<uint8_t> take() { return std::move(out_); }

 private:
  void le(uint64_t v, int n) {
    for (int i = 0; i < n; ++i) out_.push_back(uint8_t(v >> (8 * i)));
  }
  std::vector<uint8_t> out_;
};

[[noreturn]] inline void fail(const std::string& why) { throw StateError(why); }

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}

  uint8_t u8() {
    need(1);
    return *p_++;
  }
  uint16_t u16() { return uint16_t(le(2)); }
  uint32_t u32() { return uint32_t(le(4)); }
  uint64_t u64() { return le(8); }

  // LEB128 in its shortest form only, so every value has one encoding.
  uint64_t varint(uint64_t max, const char* what) {
    uint64_t v = 0;
    for (int shift = 0;; shift += 7) {
      const uint8_t b = u8();
      if (shift == 63 && b > 1) fail(std::string(what) + " out of range");
      v |= uint64_t(b & 0x7F) << shift;
      if (!(b & 0x80)) {
        if (b == 0 && shift != 0) fail(std::string(what) + " not in shortest form");
        break;
      }
    }
    if (v > max) fail(std::string(what) + " out of range");
    return v;
  }

  template <int NW>
  Bitboard<NW> point_set(unsigned area, const char* what) {
    const unsigned n = (area + 7) / 8;
    need(n);
    Bitboard<NW> s;
    for (unsigned i = 0; i < n; ++i) s.w[i / 8] |= uint64_t(p_[i]) << (8 * (i % 8));
    p_ += n;
    if (area % 8 && (p_[-1] >> (area % 8))) fail(std::string(what) + " outside the board");
    return s;
  }

  // (key, count) pairs, keys ascending; a count is whatever the engine's
  // tables hold (1 to PositionCounts::kMaxCount), the one rule of saving and loading.
  std::vector<std::pair<uint64_t, uint32_t>> counts(const char* what) {
    // Each entry takes at least nine bytes: the claimed size cannot outgrow the input.
    const uint64_t n = varint(remaining() / 9, what);
    std::vector<std::pair<uint64_t, uint32_t>> out;
    out.reserve(size_t(n));
    for (uint64_t i = 0; i < n; ++i) {
      const uint64_t key = u64();
      const uint64_t count = varint(PositionCounts::kMaxCount, what);
      if (count == 0) fail(std::string(what) + " with a zero count");
      if (!out.empty() && key <= out.back().first) fail(std::string(what) + " not in ascending key order");
      out.emplace_back(key, uint32_t(count));
    }
    return out;
  }

  size_t remaining() const { return size_t(end_ - p_); }
  void finish() const {
    if (p_ != end_) fail("trailing bytes after the state");
  }

 private:
  void need(size_t n) const {
    if (remaining() < n) fail("state is truncated");
  }
  uint64_t le(int n) {
    need(size_t(n));
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) v |= uint64_t(p_[i]) << (8 * i);
    p_ += n;
    return v;
  }
  const uint8_t* p_;
  const uint8_t* end_;
};

// Size found in a state's header; the caller picks NW from it.
struct StateSize {
  uint8_t width = 0;
  uint8_t height = 0;
};

inline StateSize read_header(Reader& r, uint8_t kind) {
  if (r.u8() != kind) fail("not a saved " + std::string(kind == kGameKind ? "game" : "board"));
  const uint8_t version = r.u8();
  if (version != kVersion) fail("unsupported state version " + std::to_string(version));
  StateSize s;
  s.width = r.u8();
  s.height = r.u8();
  if (!side_in_range(s.width) || !side_in_range(s.height)) fail("board size out of range");
  return s;
}

template <int NW>
void check_word_count(StateSize s) {
  if (words_for(unsigned(s.width) * s.height) != NW) fail("board size does not match the word count");
}

}  // namespace serial

// State transfer of a Game (declared a friend by Game).
//
// Game state, version 1 (integers little-endian, varints LEB128):
//   'G' 1 width height | komi bits u32 | min_moves_before_pass_possible u16 |
//   max_moves u16 | flags u8 | consecutive_passes u8 | black, white point sets |
//   history: varint n, then per move: varint point index (width*height = pass);
//     placements add varint (captured count << 1 | sets ko) and the captured
//     point indices, ascending |
//   outcome code u8, only when the game is over |
//   with superko: [explicit hashes: (key u64, varint count) list] then the
//     Zobrist keys the history does not account for, as such a list.
// Derived on load: side to move (history parity), the end flag, every ko
// point (the stone captured by a move flagged `sets ko`), and every table the
// rules consult: the chains from the board, the repetition record from the
// board and the moves (checked against the stored lists, see RepetitionRecord).
// The multiset of position hashes is stored only when it is not exactly the
// positions the undo records lead back through (hand edits).
template <int NW>
struct GameSerializer {
  using BB = Bitboard<NW>;

  static std::vector<uint8_t> save(const Game<NW>& g) {
    serial::Writer w;
    const unsigned area = g.area();
    w.u8(serial::kGameKind);
    w.u8(serial::kVersion);
    w.u8(g.width());
    w.u8(g.height());
    uint32_t komi_bits;
    const float komi = g.komi();
    std::memcpy(&komi_bits, &komi, 4);
    w.u32(komi_bits);
    w.u16(g.min_moves_before_pass_possible());
    w.u16(g.max_moves());

    typename RepetitionRecord<NW>::Saved record;
    if (g.superko()) {
      g.settle_position_hashes();
      record = g.repetition().saved(g.board(), g.history());
    }
    w.u8(uint8_t((g.superko() ? serial::kSuperko : 0) | (record.explicit_exact ? serial::kExplicitHashes : 0)));
    w.u8(g.consecutive_passes());
    w.point_set(g.board().black, area);
    w.point_set(g.board().white, area);

    const auto& history = g.history();
    w.varint(history.size());
    for (size_t i = 0; i < history.size(); ++i) {
      const UndoRecord<NW>& rec = history[i];
      if (rec.move.is_pass()) {
        w.varint(area);
        continue;
      }
      w.varint(point_index(Point{rec.move.col, rec.move.row}, g.width()));
      const std::optional<Point> ko_after = i + 1 < history.size() ? history[i + 1].previous_ko_point : g.ko_point();
      w.varint(uint64_t(rec.captured.count()) << 1 | (ko_after ? 1 : 0));
      rec.captured.for_each([&](unsigned p) { w.varint(p); });
    }
    if (g.is_over()) w.u8(uint8_t(outcome_code(*g.outcome())));
    if (g.superko()) {
      if (record.explicit_exact) w.counts(record.exact);
      w.counts(record.extra_keys);
    }
    return w.take();
  }

  // Throws StateError for anything but a consistent game of this word count.
  static Game<NW> load(const uint8_t* data, size_t size) {
    serial::Reader r(data, size);
    const serial::StateSize dims = serial::read_header(r, serial::kGameKind);
    serial::check_word_count<NW>(dims);
    const unsigned width = dims.width;
    const unsigned area = width * dims.height;
    const uint32_t komi_bits = r.u32();
    float komi;
    std::memcpy(&komi, &komi_bits, 4);
    const uint16_t min_pass = r.u16();
    const uint16_t max_moves = r.u16();
    const uint8_t flags = r.u8();
    if (flags & ~(serial::kSuperko | serial::kExplicitHashes)) serial::fail("unknown flags");
    const bool superko = flags & serial::kSuperko;
    if ((flags & serial::kExplicitHashes) && !superko) serial::fail("position hashes without superko");
    const uint8_t passes = r.u8();
    if (passes > 2) serial::fail("consecutive pass count out of range");

    Game<NW> g = Game<NW>::with_options(dims.width, dims.height, komi, min_pass, max_moves, superko);
    const BoardGeometry<NW>& geo = g.geometry();
    Board<NW> board = g.board();
    board.black = r.point_set<NW>(area, "black stones");
    board.white = r.point_set<NW>(area, "white stones");
    if (board.black.intersects(board.white)) serial::fail("a point holds both colours");

    // Only play makes history, and play stops at the move limit (one move when it is 0).
    const size_t limit = std::max<size_t>(max_moves, 1);
    const size_t n = size_t(r.varint(limit, "move count"));
    std::vector<UndoRecord<NW>> history;
    history.reserve(n);
    std::optional<Point> ko;  // in force after the records read so far
    size_t trailing_passes = 0;
    for (size_t i = 0; i < n; ++i) {
      UndoRecord<NW> rec;
      rec.previous_ko_point = ko;
      ko.reset();
      const unsigned p = unsigned(r.varint(area, "move"));
      if (p == area) {
        rec.move = Move::pass();
        // Two passes end the game: nothing follows them.
        if (++trailing_passes > 2 || (trailing_passes == 2 && i + 1 < n)) serial::fail("moves after two passes");
      } else {
        trailing_passes = 0;
        const Point at = point_at(p, width);
        rec.move = Move::place(at.col, at.row);
        const uint64_t head = r.varint(2 * uint64_t(area) + 1, "captured count");
        const uint64_t count = head >> 1;
        uint64_t next = 0;  // lowest index the next captured point may have
        for (uint64_t k = 0; k < count; ++k) {
          const uint64_t q = r.varint(area - 1, "captured point");
          if (q < next) serial::fail("captured points not ascending");
          rec.captured.insert(unsigned(q));
          next = q + 1;
        }
        // Captured stones are whole chains next to the placed stone.
        if (rec.captured.test(p)) serial::fail("a move captured its own point");
        const BB touching = geo.neighbors(BB::single(p)) & rec.captured;
        if (geo.flood_fill(touching, rec.captured) != rec.captured)
          serial::fail("captured stones not connected to the move");
        if (head & 1) {
          if (count != 1) serial::fail("ko after a capture of more than one stone");
          ko = point_at(rec.captured.lowest(), width);
        }
      }
      history.push_back(rec);
    }
    // The pass count follows from the history: taking a placement back after a
    // pass leaves that pass pending, so every pass at the end still counts.
    if (passes != trailing_passes) serial::fail("consecutive pass count does not match the history");
    const bool over = passes == 2 || n >= limit;
    std::optional<GameOutcome> outcome;
    if (over) {
      const uint8_t code = r.u8();
      if (code > 2) serial::fail("unknown outcome code");
      outcome = GameOutcome(code);
    }
    const Player turn = n % 2 ? Player::White : Player::Black;

    typename RepetitionRecord<NW>::Saved stored;
    if (superko) {
      stored.explicit_exact = flags & serial::kExplicitHashes;
      if (stored.explicit_exact) stored.exact = r.counts("position hashes");
      stored.extra_keys = r.counts("zobrist keys");
    }
    r.finish();

    RepetitionRecord<NW> record(board, turn, false);
    if (superko) {
      std::string why;
      std::optional<RepetitionRecord<NW>> restored = RepetitionRecord<NW>::restored(board, turn, history, stored, why);
      if (!restored) serial::fail(why);
      record = std::move(*restored);
    }
    ChainSet<NW> chains(board, geo, n);

    g.board_ = board;
    g.turn_ = turn;
    g.history_ = std::move(history);
    g.ko_point_ = ko;
    g.consecutive_passes_ = passes;
    g.is_over_ = over;
    g.outcome_ = outcome;
    g.chains_ = std::move(chains);
    g.repetition_ = std::move(record);
    VEXLOR_CHECK_GAME(g, "loading");
    return g;
  }
};

// Board state, version 1: 'B' 1 width height | black, white point sets.
template <int NW>
std::vector<uint8_t> save_board(const Board<NW>& b) {
  serial::Writer w;
  w.u8(serial::kBoardKind);
  w.u8(serial::kVersion);
  w.u8(b.width);
  w.u8(b.height);
  const unsigned area = unsigned(b.width) * b.height;
  w.point_set(b.black, area);
  w.point_set(b.white, area);
  return w.take();
}

template <int NW>
Board<NW> load_board(const uint8_t* data, size_t size) {
  serial::Reader r(data, size);
  const serial::StateSize dims = serial::read_header(r, serial::kBoardKind);
  serial::check_word_count<NW>(dims);
  const unsigned area = unsigned(dims.width) * dims.height;
  Board<NW> b(dims.width, dims.height);
  b.black = r.point_set<NW>(area, "black stones");
  b.white = r.point_set<NW>(area, "white stones");
  if (b.black.intersects(b.white)) serial::fail("a point holds both colours");
  r.finish();
  return b;
}

// Width and height named by a state's header (kind 'G' or 'B'), for choosing NW.
inline serial::StateSize peek_state_size(const uint8_t* data, size_t size, uint8_t kind) {
  serial::Reader r(data, size);
  return serial::read_header(r, kind);
}

}  // namespace vexlor
