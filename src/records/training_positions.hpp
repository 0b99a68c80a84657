// Supervised-learning positions from game records: for every record move of
// every main line, the 17 input planes of the position it was played from
// (the encoding of encode.hpp), the move as an action (policy target) and the
// game's result from the mover's side (value target).
//
// Two steps, both spread over threads with results independent of the thread
// count:
//   add()   parses and replays records (each game of each SGF text is one
//           record) and keeps, per position, its board and the earlier boards
//           of its game (about 100 bytes per 19 x 19 position);
//   write() expands any range of the kept positions into caller buffers, so a
//           caller fills arrays or shards of its chosen size chunk by chunk.
//
// Targets:
// - the action is the point index (row x width + col), a pass is the action
//   `width x height`; positions are taken only before the record's own moves
//   (passes a replay inserts appear in the history planes, never as targets);
//   the position after the last move has no target and is not kept;
// - the value is +1 when the mover won, -1 when it lost, 0 for a draw (RE).
// Records skipped, each reported with the reason, without stopping the rest:
// unreadable text or root values, a board of another size, a result that is
// not a win or a draw (unless keep_unknown_results: then value 0 and
// has_value 0), a move the rules refuse (the replay is strict; superko as
// chosen, off by default).
//
// Random symmetry: position i (its index in the set) gets the transform
// splitmix64(seed + i) picks among those valid for the board shape
// (symmetry.hpp), applied to every plane and to the action.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "engine/bitboard.hpp"
#include "engine/encode.hpp"
#include "engine/geometry.hpp"
#include "engine/symmetry.hpp"
#include "game_info.hpp"
#include "parallel.hpp"
#include "record_error.hpp"
#include "replay.hpp"
#include "sgf_parser.hpp"

namespace vexlor::records {

enum class SkipReason : uint8_t { None, Unreadable, WrongSize, UnknownResult, IllegalMove };

constexpr std::string_view skip_reason_name(SkipReason r) {
  switch (r) {
    case SkipReason::None:
      return "";
    case SkipReason::Unreadable:
      return "unreadable";
    case SkipReason::WrongSize:
      return "wrong size";
    case SkipReason::UnknownResult:
      return "unknown result";
    default:
      return "illegal move";
  }
}

struct RecordReport {
  size_t source = 0;          // index of the text in the add() call that brought it, counted over all calls
  size_t game = 0;            // game within that text's collection
  size_t first_position = 0;  // the record's positions are [first_position, first_position + positions)
  size_t positions = 0;
  SkipReason skipped = SkipReason::None;
  std::string message;  // why it was skipped
};

struct TrainingOptions {
  bool superko = false;
  bool keep_unknown_results = false;
  ParallelOptions parallel{};
};

// Where write() puts positions [first, first + count); null targets are skipped.
template <class T>
struct TrainingBuffers {
  T* planes = nullptr;           // count x 17 x height x width
  int32_t* action = nullptr;     // count
  float* value = nullptr;        // count
  uint8_t* has_value = nullptr;  // count: 0 for records kept without a known result
  uint32_t* record = nullptr;    // count: index into records()
  uint8_t* transform = nullptr;  // count: the symmetry applied (0 without)
};

struct WriteOptions {
  bool random_symmetry = false;
  uint64_t seed = 0;
  ParallelOptions parallel{0, 64, 0.1};
};

inline uint64_t splitmix64(uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

template <int NW>
class TrainingPositions {
 public:
  using BB = Bitboard<NW>;

  // Positions of width x height records; other sizes are skipped.
  TrainingPositions(uint8_t width, uint8_t height, TrainingOptions opt = {})
      : width_(width), height_(height), area_(unsigned(width) * height), opt_(opt) {
    if (width < 2 || width > 32 || height < 2 || height > 32 || words_for(area_) != NW)
      throw std::invalid_argument("board size does not fit the word count");
    for (unsigned t = 0; t < kTransformCount; ++t) {
      if (!transform_valid(t, height, width)) continue;
      valid_transforms_.push_back(uint8_t(t));
      dest_[t].resize(area_);
      for (unsigned p = 0; p < area_; ++p) dest_[t][p] = uint16_t(transform_index(t, height, width, p));
    }
  }

  uint8_t width() const { return width_; }
  uint8_t height() const { return height_; }
  size_t size() const { return positions_.size(); }
  const std::vector<RecordReport>& records() const { return reports_; }
  size_t sources() const { return sources_; }
  void clear() {
    positions_.clear();
    boards_.clear();
    reports_.clear();
  }

  // Parses and replays every text (its name, for messages, is names[i] when
  // given, else "record <i>"). Returns false when progress cancelled; nothing
  // of this call is kept then.
  bool add(std::span<const std::string_view> texts, std::span<const std::string> names = {},
           const Progress& progress = {}) {
    std::vector<Local> local(texts.size());
    const bool finished = run_parallel(
        texts.size(), opt_.parallel,
        [&](size_t begin, size_t end) {
          for (size_t i = begin; i < end; ++i)
            extract(texts[i], i < names.size() ? names[i] : "record " + std::to_string(sources_ + i), local[i]);
        },
        progress);
    if (!finished) return false;
    size_t more_boards = 0, more_positions = 0;
    for (const Local& l : local) {
      more_boards += l.boards.size();
      more_positions += l.positions.size();
    }
    if (boards_.size() + more_boards > UINT32_MAX || reports_.size() + texts.size() > UINT32_MAX)
      throw std::length_error("too many positions in one set");
    boards_.reserve(boards_.size() + more_boards);
    positions_.reserve(positions_.size() + more_positions);
    for (size_t i = 0; i < local.size(); ++i) {
      const uint32_t board_base = uint32_t(boards_.size());
      for (RecordReport& rep : local[i].reports) {
        rep.source = sources_ + i;
        rep.first_position += positions_.size();
      }
      const uint32_t record_base = uint32_t(reports_.size());
      for (Position p : local[i].positions) {
        p.board += board_base;
        p.record += record_base;
        positions_.push_back(p);
      }
      boards_.insert(boards_.end(), local[i].boards.begin(), local[i].boards.end());
      reports_.insert(reports_.end(), local[i].reports.begin(), local[i].reports.end());
    }
    sources_ += texts.size();
    return true;
  }

  // Writes positions [first, first + count). Returns false when progress cancelled.
  template <class T>
  bool write(size_t first, size_t count, const TrainingBuffers<T>& out, const WriteOptions& wo = {},
             const Progress& progress = {}) const {
    if (first > positions_.size() || count > positions_.size() - first)
      throw std::out_of_range("positions out of range");
    const size_t plane_values = size_t(kTotalInputPlanes) * area_;
    return run_parallel(
        count, wo.parallel,
        [&](size_t begin, size_t end) {
          for (size_t j = begin; j < end; ++j) {
            const size_t i = first + j;
            const Position& pos = positions_[i];
            const unsigned t = wo.random_symmetry ? pick_transform(wo.seed, i) : 0;
            if (out.planes) write_planes(pos, t, out.planes + j * plane_values);
            if (out.action) out.action[j] = int32_t(pos.action == area_ || t == 0 ? pos.action : dest_[t][pos.action]);
            if (out.value) out.value[j] = float(pos.value);
            if (out.has_value) out.has_value[j] = pos.has_value;
            if (out.record) out.record[j] = pos.record;
            if (out.transform) out.transform[j] = uint8_t(t);
          }
        },
        progress);
  }

 private:
  struct Position {
    uint32_t board;   // index in boards_ of the position's board (black, white)
    uint32_t record;  // index in reports_
    uint16_t action;
    int8_t value;
    uint8_t has_value;
    uint8_t mover_black;
    uint8_t history;  // earlier boards of the same game at board - 1, ..., board - history (at most 7)
  };
  struct Stones {
    BB black, white;
  };
  struct Local {
    std::vector<Stones> boards;
    std::vector<Position> positions;
    std::vector<RecordReport> reports;
  };

  void extract(std::string_view text, const std::string& name, Local& out) const {
    SgfTree tree;
    try {
      tree = parse_sgf(text);
    } catch (const RecordError& e) {
      out.reports.push_back(
          RecordReport{0, 0, out.positions.size(), 0, SkipReason::Unreadable, name + ": " + e.what()});
      return;
    } catch (const std::length_error& e) {
      out.reports.push_back(
          RecordReport{0, 0, out.positions.size(), 0, SkipReason::Unreadable, name + ": " + e.what()});
      return;
    }
    for (size_t g = 0; g < tree.game_count(); ++g) extract_game(tree, g, name, out);
  }

  void extract_game(const SgfTree& tree, size_t game, const std::string& name, Local& out) const {
    RecordReport rep{0, game, out.positions.size(), 0, SkipReason::None, {}};
    const uint32_t record = uint32_t(out.reports.size());
    const std::string label = tree.game_count() > 1 ? name + " game " + std::to_string(game + 1) : name;
    auto skip = [&](SkipReason why, const std::string& message) {
      rep.skipped = why;
      rep.message = message;
      out.reports.push_back(std::move(rep));
    };
    GameInfo info;
    try {
      info = read_game_info(tree, game, true, label);
    } catch (const SgfError& e) {
      return skip(SkipReason::Unreadable, e.what());
    }
    if (info.width != width_ || info.height != height_)
      return skip(SkipReason::WrongSize, label + ": board " + std::to_string(info.width) + "x" +
                                             std::to_string(info.height) + ", not " + std::to_string(width_) + "x" +
                                             std::to_string(height_));
    const std::optional<int> black_value = info.result.value_for_black();
    if (!black_value && !opt_.keep_unknown_results)
      return skip(SkipReason::UnknownResult, label + ": no win or draw in RE");
    ReplayOptions ro;
    ro.superko = opt_.superko;
    ro.name = label;
    const size_t boards_before = out.boards.size();
    const size_t positions_before = out.positions.size();
    size_t game_position = 0;
    try {
      auto visit = [&](const Board<NW>& before, Player mover, Move m, bool inserted) {
        if (out.boards.size() >= UINT32_MAX) throw std::length_error("too many positions");
        out.boards.push_back(Stones{before.black, before.white});
        if (!inserted) {
          const int v = black_value ? (mover == Player::Black ? *black_value : -*black_value) : 0;
          out.positions.push_back(Position{uint32_t(out.boards.size() - 1), record,
                                           uint16_t(m.is_pass() ? area_ : unsigned(m.row) * width_ + m.col), int8_t(v),
                                           uint8_t(black_value ? 1 : 0), uint8_t(mover == Player::Black),
                                           uint8_t(std::min<size_t>(game_position, kHistorySteps - 1))});
        }
        ++game_position;
      };
      if (opt_.superko)
        replay_record<NW>(tree, game, info, ro, visit);
      else
        replay_board<NW>(tree, game, info, ro, visit);
    } catch (const RecordError& e) {
      out.boards.resize(boards_before);
      out.positions.resize(positions_before);
      return skip(dynamic_cast<const ReplayError*>(&e) ? SkipReason::IllegalMove : SkipReason::Unreadable, e.what());
    }
    rep.positions = out.positions.size() - positions_before;
    out.reports.push_back(std::move(rep));
  }

  unsigned pick_transform(uint64_t seed, size_t i) const {
    return valid_transforms_[splitmix64(seed + i) % valid_transforms_.size()];
  }

  BB transformed(const BB& b, unsigned t) const {
    if (t == 0) return b;
    BB out;
    const uint16_t* d = dest_[t].data();
    b.for_each([&](unsigned p) { out.insert(d[p]); });
    return out;
  }

  // One plane per point, from the point set: eight points per table lookup.
  template <class T>
  void expand(const BB& b, T* plane) const {
    const unsigned full = area_ / 8;
    for (unsigned k = 0; k < full; ++k) {
      const unsigned byte = unsigned(b.w[k >> 3] >> ((k & 7) * 8)) & 0xFF;
      std::memcpy(plane + 8 * k, kExpand<T>[byte].data(), 8 * sizeof(T));
    }
    if (const unsigned rest = area_ % 8) {
      const unsigned byte = unsigned(b.w[full >> 3] >> ((full & 7) * 8)) & 0xFF;
      std::memcpy(plane + 8 * full, kExpand<T>[byte].data(), rest * sizeof(T));
    }
  }

  template <class T>
  void write_planes(const Position& pos, unsigned t, T* out) const {
    for (unsigned step = 0; step < kHistorySteps; ++step) {
      T* mine = out + size_t(2 * step) * area_;
      T* theirs = mine + area_;
      if (step > pos.history) {
        std::memset(mine, 0, 2 * size_t(area_) * sizeof(T));
        continue;
      }
      const Stones& s = boards_[pos.board - step];
      const BB black = transformed(s.black, t), white = transformed(s.white, t);
      expand(pos.mover_black ? black : white, mine);
      expand(pos.mover_black ? white : black, theirs);
    }
    T* side = out + size_t(2 * kHistorySteps) * area_;
    const T fill = pos.mover_black ? T(1) : T(0);
    for (unsigned p = 0; p < area_; ++p) side[p] = fill;
  }

  template <class T>
  static constexpr std::array<std::array<T, 8>, 256> make_expand() {
    std::array<std::array<T, 8>, 256> table{};
    for (unsigned v = 0; v < 256; ++v)
      for (unsigned b = 0; b < 8; ++b) table[v][b] = T((v >> b) & 1);
    return table;
  }
  template <class T>
  static constexpr std::array<std::array<T, 8>, 256> kExpand = make_expand<T>();

  uint8_t width_, height_;
  unsigned area_;
  TrainingOptions opt_;
  std::vector<uint8_t> valid_transforms_;
  std::array<std::vector<uint16_t>, kTransformCount> dest_;
  std::vector<Stones> boards_;
  std::vector<Position> positions_;
  std::vector<RecordReport> reports_;
  size_t sources_ = 0;
};

}  // namespace vexlor::records
