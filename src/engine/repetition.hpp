// The repetition record: the positions a game has recorded, for superko.
//
// Invariant: every recorded position (the start, then the one after each move
// made and not taken back) counts once in the Zobrist-key table and, while the
// record is complete, once in the stone-count table; it counts once in the
// exact-hash table when settled. Positions [0, settled()) are settled; the
// pending ones after them are entered lazily, by rewinding the moves from the
// current board. Positions [traced_from(), n] are the game's own since its last
// hand edit: each is recorded, and a settled one's exact hash is kept by index.
// key() and stones() describe the current board (kept with or without superko).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bitboard.hpp"
#include "board.hpp"
#include "player.hpp"
#include "position_counts.hpp"
#include "position_hash.hpp"
#include "undo_record.hpp"
#include "zobrist.hpp"

namespace vexlor {

template <int NW>
class RepetitionRecord {
 public:
  using BB = Bitboard<NW>;
  using Counts = std::vector<std::pair<uint64_t, uint32_t>>;
  using History = std::vector<UndoRecord<NW>>;

  // What a saved state holds of the record (the byte layout is the serializer's).
  struct Saved {
    bool explicit_exact = false;  // the exact counts differ from what rewinding the moves gives
    Counts exact;                 // stored only when explicit_exact
    Counts extra_keys;            // Zobrist keys of recorded positions rewinding does not give
  };

  RepetitionRecord() = default;

  // Keys of `board` with `to_move`; with `record`, that position is recorded (settled).
  RepetitionRecord(const Board<NW>& board, Player to_move, bool record) {
    rekey(board, to_move);
    if (record) start(board, to_move);
  }

  // --- the current position's keys ---------------------------------------------

  uint64_t key() const { return key_; }
  int stones(Player c) const { return stones_[colour_index(c)]; }

  void add_stone(Player c, unsigned p) {
    key_ ^= detail::zobrist_stone(c, p);
    ++stones_[colour_index(c)];
  }
  void remove_stone(Player c, unsigned p) {
    key_ ^= detail::zobrist_stone(c, p);
    --stones_[colour_index(c)];
  }
  void add_stones(Player c, const BB& s) {
    key_ ^= detail::zobrist_of_set(s, c);
    if (s.any()) stones_[colour_index(c)] += s.count();
  }
  void remove_stones(Player c, const BB& s) {
    key_ ^= detail::zobrist_of_set(s, c);
    if (s.any()) stones_[colour_index(c)] -= s.count();
  }
  void flip_turn() { key_ ^= detail::kZobrist.white_to_move; }
  // Keys from scratch (after a hand edit).
  void rekey(const Board<NW>& board, Player to_move) {
    key_ = detail::zobrist_key(board, to_move);
    stones_ = {board.black.count(), board.white.count()};
  }

  // Stone counts and side to move: a key every repetition must match.
  static uint64_t signature_of(int black, int white, Player to_move) {
    return uint64_t(black) | uint64_t(white) << 16 | uint64_t(to_move == Player::White) << 32;
  }
  uint64_t signature(Player to_move) const { return signature_of(stones_[0], stones_[1], to_move); }
  // Signature after `mover` places a stone that captures nothing.
  uint64_t signature_after_plain_placement(Player mover) const {
    return signature_of(stones_[0] + (mover == Player::Black), stones_[1] + (mover == Player::White), opposite(mover));
  }

  // --- filters and the exact test ----------------------------------------------

  // False only when no recorded position has this signature (the table is complete).
  bool signature_may_repeat(uint64_t sig) const { return !signature_complete_ || signature_counts_.contains(sig); }
  // Whether every recorded position has its true Zobrist key in the table, so
  // that a key missing from it rules a position out.
  bool keys_complete() const { return keys_complete_; }
  bool key_recorded(uint64_t z) const { return zobrist_counts_.contains(z); }
  // Exact test; the record must be settled.
  bool holds(uint64_t exact_hash) const { return exact_.size() > 0 && exact_.contains(exact_hash); }

  // Exact hashes of the settled positions (all of them once settled).
  const PositionCounts& exact() const { return exact_; }
  const PositionCounts& zobrist_counts() const { return zobrist_counts_; }
  size_t settled() const { return hashes_.size(); }
  size_t traced_from() const { return traced_from_; }

  // --- moves, with superko on --------------------------------------------------

  // Room for one more position: enter() then allocates nothing. Throws with the record unchanged.
  void reserve_entry() {
    zobrist_counts_.reserve(1);
    signature_counts_.reserve(1);
  }

  // Records the current position (keys already moved on, `to_move` to play), pending.
  void enter(Player to_move) {
    zobrist_counts_.increment(key_);
    signature_counts_.increment(signature(to_move));
  }

  // Forgets position `index`, the current one (`board`, `to_move`), which a move
  // taken back leaves; allocates nothing. A position the game did not reach by
  // its own moves (a hand edit came after) is forgotten only if recorded at all.
  void leave(const Board<NW>& board, Player to_move, size_t index) {
    if (index >= hashes_.size()) {
      // Pending: not entered, and no hand edit since it was reached.
      zobrist_counts_.decrement(key_);
      signature_counts_.decrement(signature(to_move));
    } else {
      const uint64_t h = index >= traced_from_ ? hashes_[index] : compute_position_hash(board, to_move);
      hashes_.pop_back();
      if (exact_.contains(h)) {
        exact_.decrement(h);
        zobrist_counts_.decrement(key_);
        signature_counts_.decrement(signature(to_move));
      }
    }
    traced_from_ = std::min(traced_from_, index);
  }

  // Enters the pending positions' exact hashes, by rewinding `history` from
  // `board` (`to_move` to play). Writes only the lazily kept part: code that
  // reads a game without the interpreter lock calls it first. Strong guarantee.
  void settle(const Board<NW>& board, Player to_move, const History& history) const {
    const size_t total = history.size() + 1;
    const size_t first = hashes_.size();
    if (first >= total) return;
    if (hashes_.capacity() < total) hashes_.reserve(std::max(total, 2 * hashes_.capacity()));
    exact_.reserve(total - first);
    hashes_.resize(total);
    Board<NW> b = board;
    for (size_t k = total - 1;; --k) {
      const uint64_t h = compute_position_hash(b, to_move);
      exact_.increment(h);
      hashes_[k] = h;
      if (k == first) break;
      to_move = opposite(to_move);
      undo_on_board(b, history[k - 1], to_move);
    }
  }

  // A hand edit of the board after `moves` moves (settled first): the edited
  // board is no recorded position, and later moves start a new trace.
  void edited(size_t moves) { traced_from_ = moves + 1; }

  // --- saving and loading ------------------------------------------------------

  // The saved form; the record must be settled.
  Saved saved(const Board<NW>& board, const History& history) const {
    const std::vector<Rewound> rw = rewind(board, history);
    const std::vector<Rewound> by_hash = sorted_by_hash(rw);
    Saved s;
    s.exact = exact_.entries();
    s.explicit_exact = s.exact != tally_hashes(rw);
    // Keys of the stored hashes a rewound position explains; the rest of the
    // Zobrist table is stored.
    Counts explained;
    for (const auto& [h, count] : s.exact)
      if (const Rewound* r = find(by_hash, h)) explained.emplace_back(r->key, count);
    explained = merged(std::move(explained));
    auto it = explained.begin();
    for (const auto& [z, count] : zobrist_counts_.entries()) {
      while (it != explained.end() && it->first < z) ++it;
      const uint64_t covered = it != explained.end() && it->first == z ? it->second : 0;
      if (count > covered) s.extra_keys.emplace_back(z, uint32_t(count - covered));
    }
    if (!s.explicit_exact) s.exact.clear();
    return s;
  }

  // The record of a loaded game, rebuilt from its board and moves and checked
  // against the saved form; nullopt (with `why`) when they disagree. Recorded
  // positions that rewinding cannot give keep their stored Zobrist keys, which
  // nothing can confirm: the record is then incomplete and the key filter
  // rules nothing out.
  static std::optional<RepetitionRecord> restored(const Board<NW>& board, Player to_move, const History& history,
                                                  const Saved& saved, std::string& why) {
    const std::vector<Rewound> rw = rewind(board, history);
    const std::vector<Rewound> by_hash = sorted_by_hash(rw);
    const Counts exact = saved.explicit_exact ? saved.exact : tally_hashes(rw);
    // The start of every game, an empty board with Black to move, is known too.
    const Board<NW> empty(board.width, board.height);
    const Rewound start{compute_position_hash(empty, Player::Black), 0, signature_of(0, 0, Player::Black)};
    RepetitionRecord r;
    r.rekey(board, to_move);
    r.exact_.reserve(exact.size());
    r.zobrist_counts_.reserve(exact.size() + saved.extra_keys.size());
    r.signature_counts_.reserve(exact.size());
    uint64_t unkeyed = 0, start_only = 0;
    for (const auto& [h, count] : exact) {
      r.exact_.add(h, count);
      const Rewound* known = find(by_hash, h);
      if (!known && h == start.hash) {
        known = &start;
        start_only += count;
      }
      if (!known) {
        unkeyed += count;
        continue;
      }
      r.zobrist_counts_.add(known->key, count);
      r.signature_counts_.add(known->signature, count);
    }
    // Stored keys cover the start position wherever rewinding does not give it.
    uint64_t extra_total = 0;
    for (const auto& [z, count] : saved.extra_keys) {
      uint64_t n = count;
      if (z == start.key) {
        if (n < start_only) {
          why = "Zobrist keys missing for recorded positions";
          return std::nullopt;
        }
        n -= start_only;
        start_only = 0;
      }
      if (n) r.zobrist_counts_.add(z, uint32_t(n));
      extra_total += n;
    }
    if (start_only) {
      why = "Zobrist keys missing for recorded positions";
      return std::nullopt;
    }
    // One stored key for each position rewinding cannot give: a state whose
    // stones or keys were changed no longer adds up.
    if (extra_total != unkeyed) {
      why = "Zobrist keys do not match the recorded positions";
      return std::nullopt;
    }
    r.keys_complete_ = r.signature_complete_ = unkeyed == 0;
    if (!r.signature_complete_) r.signature_counts_ = PositionCounts{};
    r.hashes_.reserve(rw.size());
    for (size_t k = 0; k < rw.size(); ++k) r.hashes_.push_back(rw[rw.size() - 1 - k].hash);
    // The trace: the longest run of rewound positions, ending at the current
    // one, that the stored counts hold.
    Counts left = exact;  // ascending keys
    r.traced_from_ = 0;
    for (size_t k = rw.size(); k-- > 0;) {
      const auto at = std::lower_bound(left.begin(), left.end(), std::pair<uint64_t, uint32_t>{r.hashes_[k], 0});
      if (at == left.end() || at->first != r.hashes_[k] || at->second == 0) {
        r.traced_from_ = k + 1;
        break;
      }
      --at->second;
    }
    return r;
  }

  // --- checking ----------------------------------------------------------------

  // "" when the invariant holds for `board` (`to_move` to play) after `history`,
  // else the first difference found. Does not settle.
  std::string check(const Board<NW>& board, Player to_move, const History& history, bool superko) const {
    if (key_ != detail::zobrist_key(board, to_move)) return "Zobrist key differs from the board's";
    if (stones_[0] != board.black.count() || stones_[1] != board.white.count()) return "stone counts differ";
    const size_t n = history.size();
    if (!superko) {
      if (exact_.size() || zobrist_counts_.size() || signature_counts_.size() || !hashes_.empty())
        return "positions recorded without superko";
      return "";
    }
    if (hashes_.empty() || hashes_.size() > n + 1) return "settled range out of bounds";
    if (traced_from_ > hashes_.size()) return "pending positions before the trace";
    if (signature_complete_ && !keys_complete_) return "stone-count table complete without the key table";
    // The traced positions, from the current one back.
    PositionCounts exact_want, key_want, sig_want;
    Board<NW> b = board;
    Player p = to_move;
    for (size_t k = n;; --k) {
      if (k < traced_from_) break;
      const uint64_t z = detail::zobrist_key(b, p);
      const uint64_t h = compute_position_hash(b, p);
      if (k < hashes_.size()) {
        if (hashes_[k] != h) return "kept exact hash of position " + std::to_string(k) + " differs from its board's";
        exact_want.increment(h);
      }
      key_want.increment(z);
      sig_want.increment(signature_of(b.black.count(), b.white.count(), p));
      if (k == 0) break;
      p = opposite(p);
      undo_on_board(b, history[k - 1], p);
    }
    for (const auto& [h, c] : exact_want.entries())
      if (exact_.count(h) < c) return "a traced position's exact hash is missing";
    for (const auto& [z, c] : key_want.entries())
      if (zobrist_counts_.count(z) < c) return "a traced position's Zobrist key is missing";
    if (signature_complete_)
      for (const auto& [sig, c] : sig_want.entries())
        if (signature_counts_.count(sig) < c) return "a traced position's stone counts are missing";
    // Each recorded position once in every table: totals agree unless a count stopped at its limit.
    const uint64_t pending = n + 1 - hashes_.size();
    const auto [exact_total, exact_full] = total(exact_);
    const auto [key_total, key_full] = total(zobrist_counts_);
    const auto [sig_total, sig_full] = total(signature_counts_);
    if (!exact_full && !key_full && key_total != exact_total + pending)
      return "Zobrist table holds " + std::to_string(key_total) + " positions, expected " +
             std::to_string(exact_total + pending);
    if (signature_complete_ && !exact_full && !sig_full && sig_total != exact_total + pending)
      return "stone-count table holds " + std::to_string(sig_total) + " positions, expected " +
             std::to_string(exact_total + pending);
    return "";
  }

 private:
  struct Rewound {
    uint64_t hash;
    uint64_t key;
    uint64_t signature;
  };

  // Records the current position as the game's first, settled.
  void start(const Board<NW>& board, Player to_move) {
    const uint64_t h = compute_position_hash(board, to_move);
    exact_.increment(h);
    hashes_.push_back(h);
    enter(to_move);
  }

  // The positions the undo records lead back through, current one first.
  static std::vector<Rewound> rewind(Board<NW> b, const History& history) {
    std::vector<Rewound> out;
    out.reserve(history.size() + 1);
    Player to_move = history.size() % 2 ? Player::White : Player::Black;
    uint64_t z = detail::zobrist_key(b, to_move);
    for (size_t i = history.size();; --i) {
      out.push_back({compute_position_hash(b, to_move), z, signature_of(b.black.count(), b.white.count(), to_move)});
      if (i == 0) break;
      to_move = opposite(to_move);
      // The key follows the few points each step changes, not the whole board.
      const Board<NW> before = b;
      undo_on_board(b, history[i - 1], to_move);
      z ^= detail::zobrist_of_set(before.black ^ b.black, Player::Black) ^
           detail::zobrist_of_set(before.white ^ b.white, Player::White) ^ detail::kZobrist.white_to_move;
    }
    return out;
  }

  static std::vector<Rewound> sorted_by_hash(std::vector<Rewound> rw) {
    std::sort(rw.begin(), rw.end(), [](const Rewound& a, const Rewound& b) { return a.hash < b.hash; });
    return rw;
  }

  // The rewound position with this exact hash, if any; `by_hash` is sorted by hash.
  static const Rewound* find(const std::vector<Rewound>& by_hash, uint64_t hash) {
    const auto it =
        std::lower_bound(by_hash.begin(), by_hash.end(), hash, [](const Rewound& r, uint64_t h) { return r.hash < h; });
    return it != by_hash.end() && it->hash == hash ? &*it : nullptr;
  }

  // (key, count) pairs sorted, equal keys summed.
  static Counts merged(Counts c) {
    std::sort(c.begin(), c.end());
    Counts out;
    for (const auto& [k, n] : c) {
      if (!out.empty() && out.back().first == k)
        out.back().second = uint32_t(std::min<uint64_t>(uint64_t(out.back().second) + n, PositionCounts::kMaxCount));
      else
        out.emplace_back(k, n);
    }
    return out;
  }

  static Counts tally_hashes(const std::vector<Rewound>& rw) {
    Counts c;
    for (const Rewound& r : rw) c.emplace_back(r.hash, 1);
    return merged(std::move(c));
  }

  // Sum of the counts, and whether any count stopped at its limit.
  static std::pair<uint64_t, bool> total(const PositionCounts& t) {
    uint64_t sum = 0;
    bool full = false;
    for (const auto& [key, count] : t.entries()) {
      sum += count;
      full |= count == PositionCounts::kMaxCount;
    }
    return {sum, full};
  }

  uint64_t key_ = 0;                      // Zobrist key of the current board and side to move
  std::array<int, 2> stones_{};           // stones on the current board, by colour_index
  mutable PositionCounts exact_;          // exact hashes of the settled positions
  mutable std::vector<uint64_t> hashes_;  // exact hash of each settled position, by index
  PositionCounts zobrist_counts_;         // Zobrist key of every recorded position
  PositionCounts signature_counts_;       // stone counts and side to move of every recorded position
  size_t traced_from_ = 0;
  bool keys_complete_ = true;       // every recorded position's true key is in zobrist_counts_
  bool signature_complete_ = true;  // signature_counts_ holds every recorded position
};

}  // namespace vexlor
