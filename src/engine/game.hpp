// One game of Go: state, legality, make/unmake, superko bookkeeping, scoring.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
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
  SipHasher13 h;
  hash_position_into(h, board, to_move);
  return h.finish();
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
  const PositionCounts& position_hashes() const { return position_hashes_; }
  uint64_t zobrist() const { return zobrist_; }

  // Raw board edit: touches the board only (and the cached key derived from it).
  void set_piece(uint64_t col, uint64_t row, std::optional<Player> piece) {
    if (col >= width() || row >= height()) return;
    board_.set_piece(col, row, piece);
    zobrist_ = detail::zobrist_of_set(board_.black, Player::Black) ^
               detail::zobrist_of_set(board_.white, Player::White) ^
               (turn_ == Player::White ? detail::kZobrist.white_to_move : 0);
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
    if (would_be_suicide(p, turn_)) return false;
    return !superko_violation_filtered(p, turn_, captures_of(p, turn_));
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
    Board<NW> copy = board_;
    copy.stones(player).insert(p);
    copy.stones(opposite(player)) = copy.stones(opposite(player)).minus(captures_on(copy, p, player));
    return position_hashes_.size() > 0 && position_hashes_.contains(compute_position_hash(copy, opposite(player)));
  }

  // Every legal placement as a point set (ascending iteration = the legal order).
  BB legal_placements() const { return placements(false); }

  bool pass_is_legal() const { return is_legal_move(Move::pass()); }

  std::vector<Move> legal_moves() const {
    std::vector<Move> out;
    if (is_over_) return out;
    const BB places = legal_placements();
    out.reserve(size_t(places.count()) + 1);
    const unsigned w = width();
    places.for_each([&](unsigned p) { out.push_back(Move::place(uint8_t(p % w), uint8_t(p / w))); });
    if (out.empty() || move_count() >= min_moves_before_pass_possible_) out.push_back(Move::pass());
    return out;
  }

  // --- making and unmaking -----------------------------------------------

  bool make_move(Move m) {
    if (!is_legal_move(m)) return false;
    const std::optional<Point> previous_ko = ko_point_;
    ko_point_.reset();
    BB captured;
    const Player mover = turn_;
    if (m.is_pass()) {
      consecutive_passes_ = uint8_t(consecutive_passes_ + 1);
      if (consecutive_passes_ >= 2) end_game();
    } else {
      consecutive_passes_ = 0;
      const unsigned p = unsigned(m.row) * width() + m.col;
      const Player opp = opposite(mover);
      BB& own_set = board_.stones(mover);
      BB& opp_set = board_.stones(opp);
      own_set.insert(p);
      zobrist_ ^= detail::zobrist_stone(mover, p);
      BB candidates = geometry_.neighbors(BB::single(p)) & opp_set;
      int captured_count = 0;
      unsigned captured_from = 0;
      while (candidates.any()) {
        const unsigned q = candidates.lowest();
        const BB group = geometry_.flood_fill(BB::single(q), opp_set);
        candidates = candidates.minus(group);
        if (!geometry_.neighbors(group).intersects(empty_points())) {
          opp_set = opp_set.minus(group);
          captured |= group;
          captured_count += group.count();
          captured_from = q;
          zobrist_ ^= detail::zobrist_of_set(group, opp);
        }
      }
      if (captured_count == 1) {
        const BB single = BB::single(p);
        if (geometry_.flood_fill(single, own_set) == single &&
            (geometry_.neighbors(single) & empty_points()).count() == 1)
          ko_point_ = point_at(captured_from, width());
      }
    }
    history_.push_back(UndoRecord<NW>{captured, m, previous_ko});
    turn_ = opposite(turn_);
    zobrist_ ^= detail::kZobrist.white_to_move;
    if (superko_) {
      position_hashes_.increment(compute_position_hash(board_, turn_));
      zobrist_counts_.increment(zobrist_);
      signature_counts_.increment(signature());
    }
    if (!is_over_ && history_.size() >= max_moves_) end_game();
    return true;
  }

  bool unmake_move() {
    if (history_.empty()) return false;
    const UndoRecord<NW> rec = history_.back();
    history_.pop_back();
    if (superko_) {
      position_hashes_.decrement(compute_position_hash(board_, turn_));
      zobrist_counts_.decrement(zobrist_);
      signature_counts_.decrement(signature());
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
  BB captures_on(const Board<NW>& b, unsigned p, Player player) const { return captures_on(b, p, player, geometry_); }
  BB captures_of(unsigned p, Player player) const { return captures_on(board_, p, player, geometry_); }

  // Superko test with the Zobrist key as pre-filter: a key never recorded means
  // the position never occurred; a recorded key is confirmed by the exact hash.
  bool superko_violation_filtered(unsigned p, Player player, const BB& captured) const {
    if (!superko_) return false;
    const uint64_t z = zobrist_ ^ detail::kZobrist.white_to_move ^ detail::zobrist_stone(player, p) ^
                       detail::zobrist_of_set(captured, opposite(player));
    if (!zobrist_counts_.contains(z)) return false;
    return would_violate_superko(p, player);
  }

  bool has_legal_placement() const { return placements(true).any(); }

  // Liberty facts about chains, gathered lazily during one legality scan so
  // that every chain is flood-filled at most once per scan.
  struct ChainScan {
    const BoardGeometry<NW>& geo;
    BB empty;
    BB own, opp;
    BB own_multi;  // own stones in chains with two or more liberties
    BB own_known;  // own stones already classified
    BB opp_multi, opp_zero, opp_known;
    BB opp_single;  // opp stones in chains with exactly one liberty, lib_of[] holds it
    std::array<uint16_t, 64 * NW> lib_of;

    // Stones with two empty neighbours certainly lie in chains with two liberties.
    ChainScan(const BoardGeometry<NW>& g, const BB& e, const BB& o, const BB& x) : geo(g), empty(e), own(o), opp(x) {
      const unsigned w = g.width;
      const BB eu = e.shr_small(w);
      const BB ed = e.shl_small(w);
      const BB er = e.shr_small(1) & g.not_last_col;
      const BB el = e.shl_small(1) & g.not_first_col;
      const BB two = (eu & (ed | er | el)) | (ed & (er | el)) | (er & el);
      own_multi = g.flood_fill(own & two, own);
      own_known = own_multi;
      opp_multi = g.flood_fill(opp & two, opp);
      opp_known = opp_multi;
    }

    void classify_own(unsigned s) {
      const BB chain = geo.flood_fill(BB::single(s), own);
      own_known |= chain;
      if ((geo.neighbors(chain) & empty).count() >= 2) own_multi |= chain;
    }

    void classify_opp(unsigned s) {
      const BB chain = geo.flood_fill(BB::single(s), opp);
      opp_known |= chain;
      const BB libs = geo.neighbors(chain) & empty;
      const int n = libs.count();
      if (n == 0) {
        opp_zero |= chain;
      } else if (n == 1) {
        opp_single |= chain;
        const uint16_t l = uint16_t(libs.lowest());
        chain.for_each([&](unsigned q) { lib_of[q] = l; });
      } else {
        opp_multi |= chain;
      }
    }

    // Some opp chain through `stones` would have no liberty once p is filled.
    bool captures_any(const BB& stones, unsigned p) {
      bool found = false;
      stones.for_each([&](unsigned q) {
        if (found) return;
        if (!opp_known.test(q)) classify_opp(q);
        if (opp_zero.test(q) || (opp_single.test(q) && lib_of[q] == p)) found = true;
      });
      return found;
    }

    // Same verdict as would_be_suicide for an empty p with no empty neighbour.
    bool suicide_without_own_liberty(unsigned p) {
      const BB single = BB::single(p);
      const BB next = geo.neighbors(single);
      const BB adj_own = next & own;
      if (adj_own.intersects(own_multi)) return false;
      bool multi = false;
      adj_own.minus(own_known).for_each([&](unsigned s) {
        if (multi || own_known.test(s)) return;
        classify_own(s);
        multi = own_multi.test(s);
      });
      if (multi) return false;
      // Every joined chain has p as its only liberty: the move lives only by capturing.
      const BB chain = adj_own.any() ? geo.flood_fill(adj_own, own) | single : single;
      const BB adj_opp = geo.neighbors(chain) & opp;
      return !captures_any(adj_opp.minus(opp_multi), p);
    }
  };

  // Stone counts and side to move: a key every repetition must match.
  static uint64_t signature_of(int black, int white, Player to_move) {
    return uint64_t(black) | uint64_t(white) << 16 | uint64_t(to_move == Player::White) << 32;
  }
  uint64_t signature() const { return signature_of(board_.black.count(), board_.white.count(), turn_); }
  uint64_t signature_after_plain_placement() const {
    const int b = board_.black.count() + (turn_ == Player::Black);
    const int w = board_.white.count() + (turn_ == Player::White);
    return signature_of(b, w, opposite(turn_));
  }

  // Legal placements of the side to move; with first_only, stops at the first.
  BB placements(bool first_only) const {
    if (is_over_) return BB{};
    const Player me = turn_;
    const BB& own = board_.stones(me);
    const BB& opp = board_.stones(opposite(me));
    const BB empty = empty_points();
    BB candidates = empty;
    if (ko_point_) candidates.remove(point_index(*ko_point_, width()));
    // A point with an empty neighbour is never suicide; only the others need the full test.
    const BB next_to_empty = geometry_.neighbors(empty);
    BB ok = candidates & next_to_empty;
    if (first_only && !superko_ && ok.any()) return BB::single(ok.lowest());
    ChainScan scan(geometry_, empty, own, opp);
    candidates.minus(next_to_empty).for_each([&](unsigned p) {
      if (!scan.suicide_without_own_liberty(p)) ok.insert(p);
    });
    if (!superko_ || ok.empty()) return first_only && ok.any() ? BB::single(ok.lowest()) : ok;

    // Only opponent chains with one liberty can be captured, by a stone on that liberty.
    scan.opp.minus(scan.opp_known).for_each([&](unsigned q) {
      if (!scan.opp_known.test(q)) scan.classify_opp(q);
    });
    // A chain without liberties (possible only after hand edits) falls to any
    // neighbouring stone: leave such boards to the exact test.
    const bool exact_only = scan.opp_zero.any();
    BB capture_points;
    std::array<uint64_t, 64 * NW> capture_key;
    scan.opp_single.for_each([&](unsigned q) {
      const unsigned l = scan.lib_of[q];
      if (!capture_points.test(l)) {
        capture_points.insert(l);
        capture_key[l] = 0;
      }
      capture_key[l] ^= detail::zobrist_stone(opposite(me), q);
    });

    const uint64_t base = zobrist_ ^ detail::kZobrist.white_to_move;
    // A placement that captures nothing adds one stone: unless a recorded position
    // has exactly those counts with the opponent to move, none of them can repeat.
    const bool plain_may_repeat = signature_counts_.contains(signature_after_plain_placement());
    BB result;
    ok.for_each([&](unsigned p) {
      if (first_only && result.any()) return;
      bool violates;
      if (exact_only) {
        violates = would_violate_superko(p, me);
      } else if (!plain_may_repeat && !capture_points.test(p)) {
        violates = false;
      } else {
        uint64_t z = base ^ detail::zobrist_stone(me, p);
        if (capture_points.test(p)) z ^= capture_key[p];
        violates = zobrist_counts_.contains(z) && would_violate_superko(p, me);
      }
      if (!violates) result.insert(p);
    });
    return result;
  }

  Board<NW> board_;
  BoardGeometry<NW> geometry_;
  Player turn_ = Player::Black;
  float komi_ = 0;
  uint16_t min_moves_before_pass_possible_ = 0;
  uint16_t max_moves_ = 0;
  bool superko_ = false;
  PositionCounts position_hashes_;
  PositionCounts zobrist_counts_;     // same positions, keyed by Zobrist key
  PositionCounts signature_counts_;   // same positions, keyed by stone counts and side to move
  uint64_t zobrist_ = 0;  // of the current board with the side to move
  std::vector<UndoRecord<NW>> history_;
  std::optional<Point> ko_point_;
  uint8_t consecutive_passes_ = 0;
  bool is_over_ = false;
  std::optional<GameOutcome> outcome_;
};

}  // namespace vexlor
