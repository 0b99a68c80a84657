// One game of Go: state, legality, make/unmake, superko bookkeeping, scoring.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bitboard.hpp"
#include "board.hpp"
#include "geometry.hpp"
#include "outcome.hpp"
#include "player.hpp"
#include "position.hpp"
#include "position_counts.hpp"
#include "siphash.hpp"

namespace vexlor {

// A pass or a placement; the coordinates of a pass are always 0 and never compared.
struct Move {
  uint8_t tag = 1;  // 0 placement, 1 pass
  uint8_t col = 0;
  uint8_t row = 0;

  static constexpr Move place(uint8_t c, uint8_t r) { return Move{0, c, r}; }
  static constexpr Move pass() { return Move{1, 0, 0}; }
  constexpr bool is_pass() const { return tag == 1; }
  constexpr bool operator==(const Move& o) const {
    return tag == o.tag && (is_pass() || (col == o.col && row == o.row));
  }
};

template <int NW>
struct UndoRecord {
  Bitboard<NW> captured;  // opponent stones the move removed
  Move move;
  std::optional<Point> previous_ko_point;
};

// Board before the last move of `rec` was made by `mover`: the placed stone is
// lifted and the captured stones go back to the opponent, replacing anything there.
template <int NW>
void undo_on_board(Board<NW>& b, const UndoRecord<NW>& rec, Player mover) {
  if (rec.move.is_pass()) return;
  const unsigned p = unsigned(rec.move.row) * b.width + rec.move.col;
  b.black.remove(p);
  b.white.remove(p);
  b.stones(mover) = b.stones(mover).minus(rec.captured);
  b.stones(opposite(mover)) |= rec.captured;
}

// Hash of stones, size, NW and side to move over a fixed byte stream.
template <int NW>
void hash_position_into(SipHasher13& h, const Board<NW>& board, Player to_move) {
  h.write_u64(NW);
  for (uint64_t w : board.black.w) h.write_u64(w);
  h.write_u64(NW);
  for (uint64_t w : board.white.w) h.write_u64(w);
  const uint8_t tail[3] = {board.width, board.height, player_hash_byte(to_move)};
  h.write(tail, 3);
}

template <int NW>
uint64_t compute_position_hash(const Board<NW>& board, Player to_move) {
  // Same stream as hash_position_into, with the 3 closing bytes as one tail word.
  SipHasher13 h;
  h.write_u64(NW);
  for (uint64_t w : board.black.w) h.write_u64(w);
  h.write_u64(NW);
  for (uint64_t w : board.white.w) h.write_u64(w);
  const uint64_t tail = uint64_t(board.width) | uint64_t(board.height) << 8 | uint64_t(player_hash_byte(to_move)) << 16;
  return h.finish_with_tail(tail, 3);
}

namespace detail {

// Zobrist keys: the cheap pre-filter in front of the exact position hash.
struct ZobristTable {
  std::array<uint64_t, 2 * 1024> stone{};  // [colour * 1024 + point], Black = 0
  uint64_t white_to_move = 0;
};

constexpr ZobristTable make_zobrist() {
  ZobristTable t;
  uint64_t x = 0x5eed5eed5eed5eedULL;
  auto next = [&x]() {
    uint64_t z = (x += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  };
  for (auto& k : t.stone) k = next();
  t.white_to_move = next();
  return t;
}

inline constexpr ZobristTable kZobrist = make_zobrist();

inline uint64_t zobrist_stone(Player p, unsigned point) {
  return kZobrist.stone[(p == Player::Black ? 0u : 1024u) + point];
}

template <int NW>
uint64_t zobrist_of_set(const Bitboard<NW>& s, Player colour) {
  uint64_t z = 0;
  s.for_each([&](unsigned p) { z ^= zobrist_stone(colour, p); });
  return z;
}

// Key of the Zobrist pre-filter for a whole position with a side to move.
template <int NW>
uint64_t zobrist_key(const Board<NW>& b, Player to_move) {
  return zobrist_of_set(b.black, Player::Black) ^ zobrist_of_set(b.white, Player::White) ^
         (to_move == Player::White ? kZobrist.white_to_move : 0);
}

}  // namespace detail

template <int NW>
struct GameSerializer;  // state transfer (pickling); defined where it is used

template <int NW>
class Game {
 public:
  using BB = Bitboard<NW>;

  // The only constructor; throws std::logic_error when NW does not fit the size.
  static Game with_options(uint8_t width, uint8_t height, float komi, uint16_t min_moves_before_pass_possible,
                           uint16_t max_moves, bool superko) {
    Game g;
    g.board_ = Board<NW>(width, height);
    g.geometry_ = BoardGeometry<NW>(width, height);
    g.komi_ = komi;
    g.min_moves_before_pass_possible_ = min_moves_before_pass_possible;
    g.max_moves_ = max_moves;
    g.superko_ = superko;
    g.zobrist_ = 0;
    g.chain_of_.assign(g.geometry_.num_points, 0);
    if (superko) {
      g.position_hashes_.increment(compute_position_hash(g.board_, Player::Black));
      g.zobrist_counts_.increment(g.zobrist_);
      g.signature_counts_.increment(g.signature());
    }
    return g;
  }

  // --- read access -------------------------------------------------------
  const Board<NW>& board() const { return board_; }
  const BoardGeometry<NW>& geometry() const { return geometry_; }
  uint8_t width() const { return board_.width; }
  uint8_t height() const { return board_.height; }
  unsigned area() const { return geometry_.num_points; }
  Player turn() const { return turn_; }
  float komi() const { return komi_; }
  uint16_t min_moves_before_pass_possible() const { return min_moves_before_pass_possible_; }
  uint16_t max_moves() const { return max_moves_; }
  bool superko() const { return superko_; }
  size_t move_count() const { return history_.size(); }
  const std::vector<UndoRecord<NW>>& history() const { return history_; }
  std::optional<Point> ko_point() const { return ko_point_; }
  uint8_t consecutive_passes() const { return consecutive_passes_; }
  bool is_over() const { return is_over_; }
  std::optional<GameOutcome> outcome() const { return outcome_; }
  // Occurrence counts of the exact position hashes (empty without superko).
  const PositionCounts& position_hashes() const {
    settle_position_hashes();
    return position_hashes_;
  }

  // Moves record their positions' exact hashes lazily: only a superko test
  // that passes the filters needs them. This enters the pending ones; it
  // writes the game, so code that reads a game without the interpreter lock
  // calls it first.
  [[gnu::noinline]] void settle_position_hashes() const {  // rare: keeps hot paths small
    const size_t total = history_.size() + 1;
    if (!superko_ || hashed_ >= total) return;
    // Pending positions follow the last hand edit (edits settle first), so
    // taking the moves back from the current board gives them exactly.
    Board<NW> b = board_;
    Player to_move = turn_;
    for (size_t k = total - 1;; --k) {
      const uint64_t h = compute_position_hash(b, to_move);
      position_hashes_.increment(h);
      fast_undo_[k - 1].position_hash = h;
      if (k == hashed_) break;
      to_move = opposite(to_move);
      undo_on_board(b, history_[k - 1], to_move);
    }
    hashed_ = total;
  }
  uint64_t zobrist() const { return zobrist_; }

  // "" when every derived table agrees with the board and the history, else the first difference.
  // MERGE(bind): placeholder; the engine's real checker replaces this line.
  std::string check_consistency() const { return ""; }

  // Raw board edit: touches the board only (and the cached key derived from it).
  void set_piece(uint64_t col, uint64_t row, std::optional<Player> piece) {
    if (col >= width() || row >= height()) return;
    settle_position_hashes();
    board_.set_piece(col, row, piece);
    remembered_valid_ = false;
    recount_stones();
    rebuild_chains();
    zobrist_ = detail::zobrist_key(board_, turn_);
  }

  BB empty_points() const { return geometry_.board_mask.minus(board_.black | board_.white); }

  // --- legality ----------------------------------------------------------

  bool is_legal_move(Move m) const {
    if (is_over_) return false;
    if (m.is_pass()) return move_count() >= min_moves_before_pass_possible_ || !has_legal_placement();
    if (m.col >= width() || m.row >= height()) return false;
    const unsigned p = unsigned(m.row) * width() + m.col;
    if (board_.black.test(p) || board_.white.test(p)) return false;
    if (ko_point_ && *ko_point_ == Point{m.col, m.row}) return false;
    BB captured;
    return placement_allowed(p, captured);
  }

  // Placement with no liberty that captures nothing; p must be an empty board point.
  bool would_be_suicide(unsigned p, Player player) const {
    const BB single = BB::single(p);
    const BB own = board_.stones(player) | single;
    const BB& opp = board_.stones(opposite(player));
    const BB empty = geometry_.board_mask.minus(own | opp);
    if (geometry_.neighbors(single).intersects(empty)) return false;
    const BB chain = geometry_.flood_fill(single, own);
    if (geometry_.neighbors(chain).intersects(empty)) return false;
    BB candidates = geometry_.neighbors(chain) & opp;
    while (candidates.any()) {
      const BB group = geometry_.flood_fill(BB::single(candidates.lowest()), opp);
      candidates = candidates.minus(group);
      if (!geometry_.neighbors(group).intersects(empty)) return false;
    }
    return true;
  }

  // Whether the placement recreates a recorded position (exact hash test).
  bool would_violate_superko(unsigned p, Player player) const {
    if (!superko_) return false;
    settle_position_hashes();
    Board<NW> copy = board_;
    copy.stones(player).insert(p);
    copy.stones(opposite(player)) = copy.stones(opposite(player)).minus(captures_on(copy, p, player, geometry_));
    return position_hashes_.size() > 0 && position_hashes_.contains(compute_position_hash(copy, opposite(player)));
  }

  // Every legal placement as a point set (ascending iteration = the legal order).
  BB legal_placements() const { return placements(false); }

  // The same, remembered until the game next changes so that playing one of
  // them skips its legality test. Writes a cache: callers must not race on it.
  BB legal_placements_remembered() const {
    if (!remembered_valid_) {
      remembered_ = placements(false);
      remembered_valid_ = true;
    }
    return remembered_;
  }

  bool pass_is_legal() const { return is_legal_move(Move::pass()); }

  // Whether a listing of the legal moves ends with the pass, given whether it holds a placement.
  bool pass_listed(bool any_placement) const {
    return !is_over_ && (!any_placement || move_count() >= min_moves_before_pass_possible_);
  }

  // Placements in point order, then the pass when allowed; with `remember`, the
  // set is kept like legal_placements_remembered (without, a fresh scan each call).
  std::vector<Move> legal_moves(bool remember = true) const {
    std::vector<Move> out;
    if (is_over_) return out;
    const BB places = remember ? legal_placements_remembered() : legal_placements();
    out.reserve(size_t(places.count()) + 1);
    const unsigned w = width();
    places.for_each([&](unsigned p) { out.push_back(Move::place(uint8_t(p % w), uint8_t(p / w))); });
    if (pass_listed(!out.empty())) out.push_back(Move::pass());
    return out;
  }

  // --- making and unmaking -----------------------------------------------

  bool make_move(Move m) {
    BB captured;
    if (m.is_pass()) {
      if (!is_legal_move(m)) return false;
    } else {
      if (is_over_ || m.col >= width() || m.row >= height()) return false;
      const unsigned p = unsigned(m.row) * width() + m.col;
      if (remembered_valid_) {
        if (!remembered_.test(p)) return false;
        captured = captures_at(p);
      } else {
        if (board_.black.test(p) || board_.white.test(p)) return false;
        if (ko_point_ && *ko_point_ == Point{m.col, m.row}) return false;
        if (!placement_allowed(p, captured)) return false;
      }
    }
    remembered_valid_ = false;
    const std::optional<Point> previous_ko = ko_point_;
    ko_point_.reset();
    const Player mover = turn_;
    FastUndo fast_undo;
    fast_undo.epoch = chain_epoch_;
    if (m.is_pass()) {
      consecutive_passes_ = uint8_t(consecutive_passes_ + 1);
      if (consecutive_passes_ >= 2) end_game();
    } else {
      consecutive_passes_ = 0;
      const unsigned p = unsigned(m.row) * width() + m.col;
      const Player opp = opposite(mover);
      BB& own_set = board_.stones(mover);
      BB& opp_set = board_.stones(opp);
      const BB next = geometry_.neighbors_of(p);
      // The new stone's chain: p joined with every own chain next to it.
      BB joined = BB::single(p);
      auto& merged = fast_undo.merged;
      (next & own_set).for_each([&](unsigned q) {
        const uint32_t id = chain_of_[q];
        if (!joined.test(q)) {
          merged[fast_undo.n_merged++] = id;
          joined |= chains_[id];
        }
      });
      own_set.insert(p);
      zobrist_ ^= detail::zobrist_stone(mover, p);
      // A lone stone gets a new entry. A joined chain takes over the entry of
      // the first chain it joined, whose stones keep their id (a merge usually
      // joins one chain); that entry's old value is appended instead, for the
      // undo. Either way one entry is appended (its liberties once the
      // captures are gone).
      uint32_t chain_id;
      if (fast_undo.n_merged == 0) {
        chain_id = uint32_t(chains_.size());
        push_grown(chains_, joined);
        chain_of_[p] = chain_id;
      } else {
        chain_id = merged[0];
        const BB first = chains_[chain_id];
        push_grown(chains_, first);
        chains_[chain_id] = joined;
        assign_chain(joined.minus(first), chain_id);
      }
      // The captured chains were found by the legality test; record them for the undo.
      BB taken = captured;
      while (taken.any()) {
        const uint32_t id = chain_of_[taken.lowest()];
        taken = taken.minus(chains_[id]);
        fast_undo.captured[fast_undo.n_captured++] = id;
      }
      opp_set = opp_set.minus(captured);
      zobrist_ ^= detail::zobrist_of_set(captured, opp);
      ++stone_count(mover);
      // Liberties: p is gone from the opponent chains next to it; own chains
      // next to captured stones gain those points.
      update_liberties(next & opp_set, opp, [&](BB& libs, const BB&) { libs.remove(p); });
      if (captured.any()) {
        stone_count(opp) -= captured.count();
        short_of_libs(opp) = short_of_libs(opp).minus(captured);
        const BB gaining = (geometry_.neighbors(captured) & own_set).minus(joined);
        update_liberties(gaining, mover, [&](BB& libs, const BB& chain) {
          (gaining & chain).for_each([&](unsigned q) { libs |= geometry_.neighbors_of(q) & captured; });
        });
      }
      // The joined chains' liberties but p, p's empty neighbours, and the
      // captured points next to the chain.
      const BB empty = empty_points();
      BB libs = next & empty;
      for (unsigned i = 0; i < fast_undo.n_merged; ++i) libs |= libs_[merged[i]];
      libs.remove(p);
      if (captured.any()) libs |= captured & geometry_.neighbors(joined);
      if (fast_undo.n_merged == 0) {
        push_grown(libs_, libs);
      } else {
        const BB first_libs = libs_[chain_id];
        push_grown(libs_, first_libs);
        libs_[chain_id] = libs;
      }
      classify(joined, libs, mover);
      if (fast_undo.n_merged == 0 && captured.count() == 1 && (next & empty).count() == 1)
        ko_point_ = point_at(captured.lowest(), width());
    }
    push_grown(fast_undo_, fast_undo);
    push_grown(history_, UndoRecord<NW>{captured, m, previous_ko});
    turn_ = opposite(turn_);
    zobrist_ ^= detail::kZobrist.white_to_move;
    if (superko_) {
      // The exact hash waits in the pending range (settle_position_hashes).
      zobrist_counts_.increment(zobrist_);
      signature_counts_.increment(signature());
    }
    if (!is_over_ && history_.size() >= max_moves_) end_game();
    return true;
  }

  bool unmake_move() {
    if (history_.empty()) return false;
    remembered_valid_ = false;
    const UndoRecord<NW> rec = history_.back();
    history_.pop_back();
    const FastUndo fast_undo = fast_undo_.back();
    fast_undo_.pop_back();
    if (superko_) {
      const size_t leaving = history_.size() + 1;  // index of the position being left
      if (leaving >= hashed_) {
        // Pending: not entered, and no hand edit since it was reached.
        zobrist_counts_.decrement(zobrist_);
        signature_counts_.decrement(signature());
      } else {
        hashed_ = leaving;
        // The position being left may be absent after a hand edit; the filters
        // must then stay untouched too, or they would drop another position's key.
        const uint64_t h =
            fast_undo.epoch == chain_epoch_ ? fast_undo.position_hash : compute_position_hash(board_, turn_);
        if (position_hashes_.contains(h)) {
          position_hashes_.decrement(h);
          zobrist_counts_.decrement(zobrist_);
          signature_counts_.decrement(signature());
        }
      }
    }
    turn_ = opposite(turn_);
    zobrist_ ^= detail::kZobrist.white_to_move;
    ko_point_ = rec.previous_ko_point;
    if (rec.move.is_pass()) {
      if (consecutive_passes_ > 0) --consecutive_passes_;
    } else {
      const Player mover = turn_;
      const Player opp = opposite(mover);
      const unsigned p = unsigned(rec.move.row) * width() + rec.move.col;
      for (Player c : {Player::Black, Player::White})
        if (board_.stones(c).test(p)) {
          board_.stones(c).remove(p);
          zobrist_ ^= detail::zobrist_stone(c, p);
        }
      // Captured stones return even where a hand edit put something else.
      const BB displaced = rec.captured & board_.stones(mover);
      const BB restored = rec.captured.minus(board_.stones(opp));
      zobrist_ ^= detail::zobrist_of_set(displaced, mover) ^ detail::zobrist_of_set(restored, opp);
      board_.stones(mover) = board_.stones(mover).minus(rec.captured);
      board_.stones(opp) |= rec.captured;
      if (fast_undo.epoch != chain_epoch_) {
        recount_stones();
        rebuild_chains();  // the board was edited since this move
      } else {
        --stone_count(mover);
        if (rec.captured.any()) stone_count(opp) += rec.captured.count();
        // The newest entry is the move's lone stone, or the old value of the
        // entry its chain took over (whose stones never changed id).
        if (fast_undo.n_merged > 0) {
          const uint32_t id = fast_undo.merged[0];
          chains_[id] = chains_.back();
          libs_[id] = libs_.back();
        }
        chains_.pop_back();
        libs_.pop_back();
        short_of_libs(mover).remove(p);
        if (fast_undo.n_merged > 0) classify(chains_[fast_undo.merged[0]], libs_[fast_undo.merged[0]], mover);
        for (unsigned i = 1; i < fast_undo.n_merged; ++i) restore_chain(fast_undo.merged[i], mover);
        for (unsigned i = 0; i < fast_undo.n_captured; ++i) restore_chain(fast_undo.captured[i], opp);
        // Merged and captured chains kept their liberties while out of play;
        // the others get back p and give back the captured points.
        update_liberties(geometry_.neighbors_of(p) & board_.stones(opp), opp, [&](BB& libs, const BB&) { libs.insert(p); });
        if (rec.captured.any())
          update_liberties(geometry_.neighbors(rec.captured) & board_.stones(mover), mover,
                           [&](BB& libs, const BB&) { libs = libs.minus(rec.captured); });
      }
    }
    is_over_ = false;
    outcome_.reset();
    return true;
  }

  // --- scoring -------------------------------------------------------------

  // Area score (Black, White + komi) in single precision, regions in discovery order.
  std::pair<float, float> score() const {
    float black = float(board_.black.count());
    float white = float(board_.white.count()) + komi_;
    const BB empty = empty_points();
    BB remaining = empty;
    while (remaining.any()) {
      const BB region = geometry_.flood_fill(BB::single(remaining.lowest()), empty);
      remaining = remaining.minus(region);
      const BB border = geometry_.neighbors(region);
      const bool touches_black = border.intersects(board_.black);
      const bool touches_white = border.intersects(board_.white);
      if (touches_black && !touches_white) black += float(region.count());
      if (touches_white && !touches_black) white += float(region.count());
    }
    return {black, white};
  }

  static GameOutcome outcome_for(float black, float white) {
    if (black > white) return GameOutcome::BlackWin;
    if (white > black) return GameOutcome::WhiteWin;
    return GameOutcome::Draw;
  }

  // Python-visible game hash: position stream plus the ko point.
  uint64_t game_hash() const {
    SipHasher13 h;
    hash_position_into(h, board_, turn_);
    h.write_u64(ko_point_ ? 1 : 0);
    if (ko_point_) {
      const uint8_t k[2] = {ko_point_->col, ko_point_->row};
      h.write(k, 2);
    }
    return h.finish();
  }

 private:
  friend struct GameSerializer<NW>;
  Game() = default;

  // What unmake_move needs beyond the undo record to restore derived state cheaply.
  struct FastUndo {
    std::array<uint32_t, 4> merged{};    // own chains the placement joined, the one it took over first
    std::array<uint32_t, 4> captured{};  // opponent chains it removed
    uint8_t n_merged = 0;
    uint8_t n_captured = 0;
    uint32_t epoch = 0;           // chain epoch when made: equal means no hand edit since
    uint64_t position_hash = 0;   // exact hash recorded for the position the move produced
  };

  // push_back that grows an empty record straight to 32 entries: a game that
  // is played at all soon needs them, and a new game stays small.
  template <class T>
  static void push_grown(std::vector<T>& v, const T& x) {
    if (v.size() == v.capacity()) v.reserve(std::max<size_t>(32, 2 * v.capacity()));
    v.push_back(x);
  }

  void assign_chain(const BB& stones, uint32_t id) {
    stones.for_each([&](unsigned q) { chain_of_[q] = id; });
  }

  // Stones of `colour` whose chain has one liberty, and those whose chain has
  // none (only after hand edits): the scan's capture points and its edited-board
  // test come from these without visiting every chain.
  struct ShortOfLibs {
    BB one, none;
    ShortOfLibs minus(const BB& b) const { return {one.minus(b), none.minus(b)}; }
    void remove(unsigned p) {
      one.remove(p);
      none.remove(p);
    }
  };
  ShortOfLibs& short_of_libs(Player colour) { return short_[colour == Player::Black ? 0 : 1]; }
  const ShortOfLibs& short_of_libs(Player colour) const { return short_[colour == Player::Black ? 0 : 1]; }

  // Files the chain under its liberty count; `libs` are its current liberties.
  void classify(const BB& chain, const BB& libs, Player colour) {
    ShortOfLibs& s = short_of_libs(colour);
    s = s.minus(chain);
    if (libs.empty())
      s.none |= chain;
    else if (!at_least_two(libs))
      s.one |= chain;
  }

  // An entry of chains_ back in play: its stones map to it again, filed by its kept liberties.
  void restore_chain(uint32_t id, Player colour) {
    assign_chain(chains_[id], id);
    classify(chains_[id], libs_[id], colour);
  }

  static bool at_least_two(const BB& b) {
    int seen = 0;
    for (int i = 0; i < NW; ++i) {
      if (b.w[i] & (b.w[i] - 1)) return true;
      if (b.w[i] && ++seen == 2) return true;
    }
    return false;
  }

  // Recomputes every chain and its liberties from the board (after a hand edit).
  void rebuild_chains() {
    chains_.clear();
    libs_.clear();
    short_ = {};
    const BB empty = empty_points();
    ++chain_epoch_;
    for (Player c : {Player::Black, Player::White}) {
      const BB& all = board_.stones(c);
      BB rest = all;
      while (rest.any()) {
        const BB chain = geometry_.flood_fill(BB::single(rest.lowest()), all);
        rest = rest.minus(chain);
        assign_chain(chain, uint32_t(chains_.size()));
        chains_.push_back(chain);
        libs_.push_back(geometry_.neighbors(chain) & empty);
        classify(chain, libs_.back(), c);
      }
    }
  }

  // Opponent chains next to the empty point p whose only liberty, if any, is p.
  BB captures_at(unsigned p) const {
    const BB only_p = BB::single(p);
    BB captured;
    // Only chains short of liberties can fall.
    const ShortOfLibs& opp = short_of_libs(opposite(turn_));
    each_chain(geometry_.neighbors_of(p) & (opp.one | opp.none), [&](const BB& chain, const BB& libs) {
      if (libs.minus(only_p).empty()) captured |= chain;
    });
    return captured;
  }

  // f(stones, liberties) for every chain with a stone in `stones`, once each.
  template <class F>
  void each_chain(BB stones, F&& f) const {
    while (stones.any()) {
      const unsigned s = stones.lowest();
      const BB& chain = chain_at(s);
      stones = stones.minus(chain);
      f(chain, libs_at(s));
    }
  }

  // f(liberties, chain) once for every chain of `colour` with a stone in
  // `stones`; the chain is then refiled under its new liberty count.
  template <class F>
  void update_liberties(BB stones, Player colour, F&& f) {
    while (stones.any()) {
      const uint32_t id = chain_of_[stones.lowest()];
      const BB& chain = chains_[id];
      stones = stones.minus(chain);
      f(libs_[id], chain);
      classify(chain, libs_[id], colour);
    }
  }

  int& stone_count(Player p) { return stone_count_[p == Player::Black ? 0 : 1]; }
  void recount_stones() {
    stone_count(Player::Black) = board_.black.count();
    stone_count(Player::White) = board_.white.count();
  }

  const BB& chain_at(unsigned stone) const { return chains_[chain_of_[stone]]; }
  const BB& libs_at(unsigned stone) const { return libs_[chain_of_[stone]]; }

  // For code that restores a game field by field (GameSerializer): once board_,
  // geometry_, turn_, history_, the options and the hash counts are set,
  // recomputes everything derived from them. Undo of the restored moves then
  // takes the slow, exact path, and the stone-count filter stays off because
  // the counts of the earlier positions are not known.
  void restore_derived_state() {
    remembered_valid_ = false;
    hashed_ = history_.size() + 1;
    recount_stones();
    chain_of_.assign(geometry_.num_points, 0);
    rebuild_chains();
    fast_undo_.assign(history_.size(), FastUndo{});
    for (FastUndo& f : fast_undo_) f.epoch = chain_epoch_ - 1;
    zobrist_ = detail::zobrist_key(board_, turn_);
    signature_counts_ = PositionCounts{};
    signature_filter_ = false;
  }

  void end_game() {
    is_over_ = true;
    const auto [b, w] = score();
    outcome_ = outcome_for(b, w);
  }

  // Opponent chains next to p that have no liberty once `player` stands on p.
  static BB captures_on(const Board<NW>& b, unsigned p, Player player, const BoardGeometry<NW>& geo) {
    const BB& opp = b.stones(opposite(player));
    const BB empty = geo.board_mask.minus(b.black | b.white | BB::single(p));
    BB candidates = geo.neighbors(BB::single(p)) & opp;
    BB captured;
    while (candidates.any()) {
      const BB group = geo.flood_fill(BB::single(candidates.lowest()), opp);
      candidates = candidates.minus(group);
      if (!geo.neighbors(group).intersects(empty)) captured |= group;
    }
    return captured;
  }

  // Superko test with the Zobrist key as pre-filter: a key never recorded means
  // the position never occurred; a recorded key is confirmed by the exact hash.
  bool superko_violation_filtered(unsigned p, Player player, const BB& captured) const {
    if (!superko_) return false;
    if (captured.empty() && signature_filter_ && player == turn_ &&
        !signature_counts_.contains(signature_after_plain_placement()))
      return false;
    const uint64_t z = zobrist_ ^ detail::kZobrist.white_to_move ^ detail::zobrist_stone(player, p) ^
                       detail::zobrist_of_set(captured, opposite(player));
    if (!zobrist_counts_.contains(z)) return false;
    return would_violate_superko(p, player);
  }

  bool has_legal_placement() const { return placements(true).any(); }

  // Suicide and superko verdict for the side to move on an empty board point p,
  // from the tracked chains; `captured` receives the stones the placement takes.
  bool placement_allowed(unsigned p, BB& captured) const {
    const Player me = turn_;
    const BB& own = board_.stones(me);
    const BB& opp = board_.stones(opposite(me));
    const BB next = geometry_.neighbors_of(p);
    BB empty_after = empty_points();
    empty_after.remove(p);
    const BB only_p = BB::single(p);
    captured = captures_at(p);
    if (!next.intersects(empty_after) && captured.empty()) {
      // No liberty of its own and no capture next to it: it lives only through
      // a joined chain's other liberty, or an opponent chain next to the joined
      // chain that has no liberty at all.
      BB joined = BB::single(p);
      bool lives = false;
      (next & own).for_each([&](unsigned s) {
        if (lives || joined.test(s)) return;
        joined |= chain_at(s);
        lives = libs_at(s).minus(only_p).any();
      });
      BB touching = geometry_.neighbors(joined) & opp;
      while (!lives && touching.any()) {
        const unsigned s = touching.lowest();
        touching = touching.minus(chain_at(s));
        lives = libs_at(s).minus(only_p).empty();
      }
      if (!lives) return false;
    }
    return !superko_violation_filtered(p, me, captured);
  }

  // Stone counts and side to move: a key every repetition must match.
  static uint64_t signature_of(int black, int white, Player to_move) {
    return uint64_t(black) | uint64_t(white) << 16 | uint64_t(to_move == Player::White) << 32;
  }
  uint64_t signature() const { return signature_of(stone_count_[0], stone_count_[1], turn_); }
  uint64_t signature_after_plain_placement() const {
    const int b = stone_count_[0] + (turn_ == Player::Black);
    const int w = stone_count_[1] + (turn_ == Player::White);
    return signature_of(b, w, opposite(turn_));
  }

  // Legal placements of the side to move; with first_only, stops at the first.
  BB placements(bool first_only) const {
    if (is_over_) return BB{};
    const Player me = turn_;
    const BB& own = board_.stones(me);
    const BB empty = empty_points();
    BB candidates = empty;
    if (ko_point_) candidates.remove(point_index(*ko_point_, width()));
    // A point with an empty neighbour is never suicide; only the others need the full test.
    const BB next_to_empty = geometry_.neighbors(empty);
    BB ok = candidates & next_to_empty;
    if (first_only && !superko_ && ok.any()) return BB::single(ok.lowest());

    // Opponent chains with one liberty: a stone there captures them. With
    // superko, each capture point also gets the Zobrist key of what it takes.
    const ShortOfLibs& opp_short = short_of_libs(opposite(me));
    BB capture_points;
    std::array<uint64_t, 64 * NW> capture_key;
    each_chain(opp_short.one, [&](const BB& chain, const BB& libs) {
      const unsigned l = libs.lowest();
      if (!capture_points.test(l)) {
        capture_points.insert(l);
        capture_key[l] = 0;
      }
      if (superko_) capture_key[l] ^= detail::zobrist_of_set(chain, opposite(me));
    });
    // A chain without liberties (possible only after hand edits) falls to any
    // stone next to the new chain: such boards take the exact tests.
    const bool edited_shape = opp_short.none.any();

    // Points without an empty neighbour live by capturing or by joining an own
    // chain that keeps another liberty.
    const BB enclosed = candidates.minus(next_to_empty);
    if (!edited_shape) {
      if (enclosed.any()) {
        const ShortOfLibs& own_short = short_of_libs(me);
        const BB own_multi = own.minus(own_short.one | own_short.none);
        ok |= enclosed & (capture_points | geometry_.neighbors(own_multi));
      }
    } else {
      enclosed.for_each([&](unsigned p) {
        if (!would_be_suicide(p, me)) ok.insert(p);
      });
    }
    if (!superko_ || ok.empty()) return first_only && ok.any() ? BB::single(ok.lowest()) : ok;

    const uint64_t base = zobrist_ ^ detail::kZobrist.white_to_move;
    // A placement that captures nothing adds one stone: unless a recorded position
    // has exactly those counts with the opponent to move, none of them can repeat.
    const bool plain_may_repeat = !signature_filter_ || signature_counts_.contains(signature_after_plain_placement());
    BB result = ok;
    (plain_may_repeat || edited_shape ? ok : ok & capture_points).for_each([&](unsigned p) {
      bool violates;
      if (edited_shape) {
        violates = would_violate_superko(p, me);
      } else {
        uint64_t z = base ^ detail::zobrist_stone(me, p);
        if (capture_points.test(p)) z ^= capture_key[p];
        violates = zobrist_counts_.contains(z) && would_violate_superko(p, me);
      }
      if (violates) result.remove(p);
    });
    if (first_only && result.any()) return BB::single(result.lowest());
    return result;
  }

  Board<NW> board_;
  BoardGeometry<NW> geometry_;
  Player turn_ = Player::Black;
  float komi_ = 0;
  uint16_t min_moves_before_pass_possible_ = 0;
  uint16_t max_moves_ = 0;
  bool superko_ = false;
  mutable PositionCounts position_hashes_;  // of positions [0, hashed_) of the game
  mutable size_t hashed_ = 1;               // the later ones are pending
  PositionCounts zobrist_counts_;     // same positions, keyed by Zobrist key
  PositionCounts signature_counts_;   // same positions, keyed by stone counts and side to move
  bool signature_filter_ = true;      // false when signature_counts_ may miss positions
  uint64_t zobrist_ = 0;  // of the current board with the side to move
  std::array<int, 2> stone_count_{};  // Black, White: counts of board_'s stones
  std::vector<UndoRecord<NW>> history_;
  // Chains (connected stones of one colour) kept across moves so that rules
  // never need to flood-fill a chain: chain_of_ maps a stone to its entry in
  // chains_. Each placement appends one entry and its unmake drops it: a lone
  // stone's chain, or the old value of the entry a merge took over. Chains
  // joined into another or captured keep their entries for the undo.
  std::vector<uint32_t> chain_of_;  // one entry per point; meaningful on stones
  std::vector<BB> chains_;
  std::vector<BB> libs_;  // liberties of each entry of chains_, kept current for chains in play
  mutable std::vector<FastUndo> fast_undo_;  // parallel to history_
  uint32_t chain_epoch_ = 0;           // bumped by every rebuild after a hand edit
  std::optional<Point> ko_point_;
  uint8_t consecutive_passes_ = 0;
  bool is_over_ = false;
  std::optional<GameOutcome> outcome_;
  std::array<ShortOfLibs, 2> short_{};  // Black, White: chains in play with fewer than two liberties
  mutable BB remembered_;  // legal placements, while remembered_valid_
  mutable bool remembered_valid_ = false;
};

}  // namespace vexlor
