// One game of Go: legality, make and unmake, scoring.
//
// Game holds the play state (what a move changes) and orchestrates two derived
// parts that each keep one invariant: the chain set (chain_set.hpp) and the
// repetition record (repetition.hpp); the legal set remembered between a listing
// and the next change is a cache. check_consistency() recomputes everything
// derived from scratch; builds with VEXLOR_CHECK_INVARIANTS run it after every
// change and stop at the first one that breaks an invariant.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bitboard.hpp"
#include "board.hpp"
#include "chain_set.hpp"
#include "force_inline.hpp"
#include "geometry.hpp"
#include "limits.hpp"
#include "move.hpp"
#include "outcome.hpp"
#include "player.hpp"
#include "point.hpp"
#include "position_counts.hpp"
#include "position_hash.hpp"
#include "repetition.hpp"
#include "siphash.hpp"
#include "undo_record.hpp"
#include "zobrist.hpp"

namespace vexlor {

namespace detail {

// Checks running on this thread: allocation probes in tests leave the
// checker's own allocations out.
inline thread_local int consistency_checks_running = 0;

// Stops the program at the checker's first finding (builds with
// VEXLOR_CHECK_INVARIANTS). The check allocates: without memory it is skipped,
// so that the operation checked still completes or fails as it would.
template <class G>
void require_consistent(const G& game, const char* after) {
  struct Running {
    Running() { ++consistency_checks_running; }
    ~Running() { --consistency_checks_running; }
  };
  std::string finding;
  try {
    const Running running;
    finding = game.check_consistency();
  } catch (const std::bad_alloc&) {
    return;
  }
  if (finding.empty()) return;
  std::fprintf(stderr, "vexlor: game inconsistent after %s: %s\n", after, finding.c_str());
  std::abort();
}

}  // namespace detail

#ifdef VEXLOR_CHECK_INVARIANTS
#define VEXLOR_CHECK_GAME(game, after) ::vexlor::detail::require_consistent(game, after)
#else
#define VEXLOR_CHECK_GAME(game, after) ((void)0)
#endif

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
    g.chains_ = ChainSet<NW>(g.board_, g.geometry_, 0);
    g.repetition_ = RepetitionRecord<NW>(g.board_, Player::Black, superko);
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
  // Zobrist key of the current board with the side to move.
  uint64_t zobrist() const { return repetition_.key(); }
  const RepetitionRecord<NW>& repetition() const { return repetition_; }
  // Occurrence counts of the exact position hashes (empty without superko).
  const PositionCounts& position_hashes() const {
    settle_position_hashes();
    return repetition_.exact();
  }

  // Moves record their positions' exact hashes lazily: only a superko test
  // that passes the filters needs them. This enters the pending ones; it
  // writes the game, so code that reads a game without the interpreter lock
  // calls it first. Strong guarantee.
  [[gnu::noinline]] void settle_position_hashes() const {  // rare: keeps hot paths small
    if (superko_) repetition_.settle(board_, turn_, history_);
  }

  // Raw board edit: replaces the point's content (off-board writes are
  // ignored); the moves stay, and taking them back restores their captures
  // over whatever stands there. Strong guarantee.
  void set_piece(uint64_t col, uint64_t row, std::optional<Player> piece) {
    if (col >= width() || row >= height()) return;
    settle_position_hashes();
    Board<NW> edited = board_;
    edited.set_piece(col, row, piece);
    ChainSet<NW> chains(edited, geometry_, history_.size());
    // Nothing below allocates.
    board_ = edited;
    chains_ = std::move(chains);
    repetition_.rekey(board_, turn_);
    repetition_.edited(history_.size());
    remembered_valid_ = false;
    VEXLOR_CHECK_GAME(*this, "set_piece");
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
    return repetition_.holds(compute_position_hash(board_after(p, player), opposite(player)));
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

  // Plays m if it is legal (false and no change otherwise). Strong guarantee:
  // everything the move needs is allocated before its first change.
  bool make_move(Move m) {
    BB captured;
    if (!admit(m, captured)) return false;
    reserve_for(m);
    remembered_valid_ = false;
    const std::optional<Point> previous_ko = ko_point_;
    ko_point_.reset();
    const Player mover = turn_;
    if (m.is_pass())
      count_pass();
    else
      place_stone(unsigned(m.row) * width() + m.col, mover, captured);
    history_.push_back(UndoRecord<NW>{captured, m, previous_ko});
    turn_ = opposite(turn_);
    repetition_.flip_turn();
    // The exact hash waits in the pending range (settle_position_hashes).
    if (superko_) repetition_.enter(turn_);
    if (!is_over_ && history_.size() >= max_moves_) end_game();
    VEXLOR_CHECK_GAME(*this, "make_move");
    return true;
  }

  // Takes back the last move (false on a new game). Undo contract: the whole
  // state returns to what it was before that move, the pass count included
  // (a placement taken back after a pass leaves that pass pending); after a
  // hand edit, the move's captured stones return over whatever stands on their
  // points. Strong guarantee.
  bool unmake_move() {
    if (history_.empty()) return false;
    const size_t index = history_.size() - 1;
    if (history_.back().move.is_pass() || chains_.can_undo(index))
      take_back(index, nullptr);
    else
      take_back_rebuilding(index);
    VEXLOR_CHECK_GAME(*this, "unmake_move");
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

  // --- checking ------------------------------------------------------------

  // "" when every part agrees with what the board and the moves give when
  // recomputed from scratch, else the first difference found, with what was
  // expected. Reads only (pending hashes stay pending).
  std::string check_consistency() const {
    const size_t n = history_.size();
    const BB& mask = geometry_.board_mask;
    if (geometry_.width != board_.width || geometry_.height != board_.height) return "geometry and board sizes differ";
    if (board_.black.intersects(board_.white)) return "a point holds both colours";
    if (board_.black.minus(mask).any() || board_.white.minus(mask).any()) return "stones off the board";
    if (turn_ != (n % 2 ? Player::White : Player::Black)) return "side to move does not follow the move count";
    // Each ko point the records carry is the single stone the move before captured;
    // no move follows two passes.
    if (n > 0 && history_[0].previous_ko_point) return "ko point before the first move";
    for (size_t i = 0; i < n; ++i) {
      const UndoRecord<NW>& rec = history_[i];
      auto move = [i](const char* what) { return "move " + std::to_string(i) + what; };
      if (rec.captured.minus(mask).any()) return move(" captured off the board");
      if (!rec.move.is_pass() && (rec.move.col >= width() || rec.move.row >= height())) return move(" off the board");
      if (i >= 2 && history_[i - 1].move.is_pass() && history_[i - 2].move.is_pass())
        return move(" follows two passes");
      const std::optional<Point> ko_after = i + 1 < n ? history_[i + 1].previous_ko_point : ko_point_;
      if (ko_after &&
          (rec.move.is_pass() || rec.captured.count() != 1 || rec.captured.lowest() != point_index(*ko_after, width())))
        return "ko point after " + move(" is not the single stone it captured");
    }
    if (n == 0 && ko_point_) return "ko point on a new game";
    // The last move, when no edit came after it, decides the ko point and the end afresh.
    const bool last_move_current = n > 0 && chains_.can_undo(n - 1);
    if (last_move_current && !history_.back().move.is_pass()) {
      const UndoRecord<NW>& last = history_.back();
      const unsigned p = point_index(Point{last.move.col, last.move.row}, width());
      const BB single = BB::single(p);
      const bool lone = geometry_.flood_fill(single, board_.stones(opposite(turn_))) == single;
      const bool ko = lone && last.captured.count() == 1 && (geometry_.neighbors_of(p) & empty_points()).count() == 1;
      if (ko != ko_point_.has_value()) return ko ? "ko point missing" : "ko point where none arises";
    }
    size_t passes = 0;
    while (passes < n && history_[n - 1 - passes].move.is_pass()) ++passes;
    if (consecutive_passes_ != passes)
      return "consecutive passes " + std::to_string(consecutive_passes_) + ", the history ends with " +
             std::to_string(passes);
    const bool over = passes >= 2 || (n > 0 && n >= max_moves_);
    if (is_over_ != over) return over ? "game not over at its end" : "game over before its end";
    if (outcome_.has_value() != over) return "outcome and end disagree";
    if (over && last_move_current) {
      const auto [b, w] = score();
      if (*outcome_ != outcome_for(b, w)) return "outcome differs from the score";
    }
    size_t placements_since = 0;
    for (size_t i = n; i > 0 && chains_.can_undo(i - 1); --i) placements_since += !history_[i - 1].move.is_pass();
    if (std::string c = chains_.check(board_, geometry_, placements_since); !c.empty()) return "chains: " + c;
    if (std::string r = repetition_.check(board_, turn_, history_, superko_); !r.empty()) return "repetition: " + r;
    if (remembered_valid_ && !(remembered_ == placements_from_scratch()))
      return "remembered legal set differs from the legal placements";
    return "";
  }

 private:
  friend struct GameSerializer<NW>;
  Game() = default;

  // Legality for make_move; fills `captured` for a placement. Changes only caches.
  bool admit(Move m, BB& captured) const {
    if (m.is_pass()) return is_legal_move(m);
    if (is_over_ || m.col >= width() || m.row >= height()) return false;
    const unsigned p = unsigned(m.row) * width() + m.col;
    if (remembered_valid_) {
      if (!remembered_.test(p)) return false;
      captured = chains_.captures_at(p, opposite(turn_), geometry_);
      return true;
    }
    if (board_.black.test(p) || board_.white.test(p)) return false;
    if (ko_point_ && *ko_point_ == Point{m.col, m.row}) return false;
    return placement_allowed(p, captured);
  }

  // Every allocation the move will need, before its first change.
  void reserve_for(Move m) {
    if (history_.size() == history_.capacity())
      history_.reserve(history_.capacity() < 16 ? 32 : 2 * history_.capacity());
    if (!m.is_pass()) chains_.reserve_placement();
    if (superko_) repetition_.reserve_entry();
  }

  void count_pass() {
    consecutive_passes_ = uint8_t(consecutive_passes_ + 1);
    if (consecutive_passes_ >= 2) end_game();
  }

  // Puts mover's stone on p, removes `captured`, and sets the ko point when
  // the stone stands alone after capturing one stone, with that point its only liberty.
  void place_stone(unsigned p, Player mover, const BB& captured) {
    consecutive_passes_ = 0;
    const Player opp = opposite(mover);
    board_.stones(mover).insert(p);
    board_.stones(opp) = board_.stones(opp).minus(captured);
    repetition_.add_stone(mover, p);
    repetition_.remove_stones(opp, captured);
    const bool ko_shape = chains_.place(p, mover, captured, board_, geometry_);
    if (ko_shape && captured.count() == 1) ko_point_ = point_at(captured.lowest(), width());
  }

  // Takes back move `index`, the last, in named steps; its chains come back
  // from the kept undo data, or are `rebuilt`. Allocates nothing.
  VEXLOR_INLINE void take_back(size_t index, ChainSet<NW>* rebuilt) {
    const UndoRecord<NW> rec = history_.back();
    const Player mover = opposite(turn_);
    remembered_valid_ = false;
    history_.pop_back();
    if (superko_) repetition_.leave(board_, turn_, index + 1);
    turn_ = mover;
    repetition_.flip_turn();
    ko_point_ = rec.previous_ko_point;
    if (rec.move.is_pass()) {
      if (consecutive_passes_ > 0) --consecutive_passes_;
      chains_.pass_taken_back(index);
    } else {
      lift_stone(rec, mover, rebuilt);
      // No placement follows two passes, so at most the one before it is pending.
      consecutive_passes_ = !history_.empty() && history_.back().move.is_pass();
    }
    is_over_ = false;
    outcome_.reset();
  }

  // A placement made before the chains were last built (a hand edit, a load)
  // takes its chains back by building them afresh: aside, first, since that
  // allocates.
  [[gnu::noinline]] void take_back_rebuilding(size_t index) {
    Board<NW> before = board_;
    undo_on_board(before, history_.back(), opposite(turn_));
    ChainSet<NW> rebuilt(before, geometry_, index);
    take_back(index, &rebuilt);
  }

  // Lifts the stone of `rec` and puts its captures back. A move made since the
  // chains were built meets its own board; an older one (`rebuilt` given) may
  // meet hand edits: whatever stands on its points makes way.
  VEXLOR_INLINE void lift_stone(const UndoRecord<NW>& rec, Player mover, ChainSet<NW>* rebuilt) {
    const Player opp = opposite(mover);
    const unsigned p = unsigned(rec.move.row) * width() + rec.move.col;
    if (rebuilt) {
      for (Player c : {Player::Black, Player::White})
        if (board_.stones(c).test(p)) repetition_.remove_stone(c, p);
      repetition_.remove_stones(mover, rec.captured & board_.stones(mover));
      repetition_.add_stones(opp, rec.captured.minus(board_.stones(opp)));
      board_.black.remove(p);
      board_.white.remove(p);
    } else {
      repetition_.remove_stone(mover, p);
      repetition_.add_stones(opp, rec.captured);
      board_.stones(mover).remove(p);
    }
    board_.stones(mover) = board_.stones(mover).minus(rec.captured);
    board_.stones(opp) |= rec.captured;
    if (rebuilt)
      chains_ = std::move(*rebuilt);
    else
      chains_.unplace(p, mover, rec.captured, board_, geometry_);
  }

  void end_game() {
    is_over_ = true;
    const auto [b, w] = score();
    outcome_ = outcome_for(b, w);
  }

  // The board once `player` stands on p and the chains it leaves without liberty are gone.
  Board<NW> board_after(unsigned p, Player player) const {
    Board<NW> copy = board_;
    copy.stones(player).insert(p);
    copy.stones(opposite(player)) = copy.stones(opposite(player)).minus(captures_on(copy, p, player, geometry_));
    return copy;
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

  // Superko test behind the filters: the stone counts, then the Zobrist key;
  // a position they rule out never occurred, the rest take the exact hash.
  bool superko_violation_filtered(unsigned p, Player player, const BB& captured) const {
    if (!superko_) return false;
    if (captured.empty() && player == turn_ &&
        !repetition_.signature_may_repeat(repetition_.signature_after_plain_placement(player)))
      return false;
    const uint64_t z = repetition_.key() ^ detail::kZobrist.white_to_move ^ detail::zobrist_stone(player, p) ^
                       detail::zobrist_of_set(captured, opposite(player));
    if (repetition_.keys_complete() && !repetition_.key_recorded(z)) return false;
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
    captured = chains_.captures_at(p, opposite(me), geometry_);
    if (!next.intersects(empty_after) && captured.empty()) {
      // No liberty of its own and no capture next to it: it lives only through
      // a joined chain's other liberty, or an opponent chain next to the joined
      // chain that has no liberty at all.
      BB joined = BB::single(p);
      bool lives = false;
      (next & own).for_each([&](unsigned s) {
        if (lives || joined.test(s)) return;
        joined |= chains_.chain_at(s);
        lives = chains_.libs_at(s).minus(only_p).any();
      });
      BB touching = geometry_.neighbors(joined) & opp;
      while (!lives && touching.any()) {
        const unsigned s = touching.lowest();
        touching = touching.minus(chains_.chain_at(s));
        lives = chains_.libs_at(s).minus(only_p).empty();
      }
      if (!lives) return false;
    }
    return !superko_violation_filtered(p, me, captured);
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
    const typename ChainSet<NW>::ShortOfLibs& opp_short = chains_.short_of_libs(opposite(me));
    BB capture_points;
    std::array<uint64_t, 64 * NW> capture_key;
    chains_.each_chain(opp_short.one, [&](const BB& chain, const BB& libs) {
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
        const typename ChainSet<NW>::ShortOfLibs& own_short = chains_.short_of_libs(me);
        const BB own_multi = own.minus(own_short.one | own_short.none);
        ok |= enclosed & (capture_points | geometry_.neighbors(own_multi));
      }
    } else {
      enclosed.for_each([&](unsigned p) {
        if (!would_be_suicide(p, me)) ok.insert(p);
      });
    }
    if (!superko_ || ok.empty()) return first_only && ok.any() ? BB::single(ok.lowest()) : ok;

    const uint64_t base = repetition_.key() ^ detail::kZobrist.white_to_move;
    // A placement that captures nothing adds one stone: unless a recorded position
    // has exactly those counts with the opponent to move, none of them can repeat.
    const bool plain_may_repeat = repetition_.signature_may_repeat(repetition_.signature_after_plain_placement(me));
    // Keys the record cannot vouch for (a loaded state) rule nothing out.
    const bool exact_only = edited_shape || !repetition_.keys_complete();
    BB result = ok;
    (plain_may_repeat || edited_shape ? ok : ok & capture_points).for_each([&](unsigned p) {
      bool violates;
      if (exact_only) {
        violates = would_violate_superko(p, me);
      } else {
        uint64_t z = base ^ detail::zobrist_stone(me, p);
        if (capture_points.test(p)) z ^= capture_key[p];
        violates = repetition_.key_recorded(z) && would_violate_superko(p, me);
      }
      if (violates) result.remove(p);
    });
    if (first_only && result.any()) return BB::single(result.lowest());
    return result;
  }

  // The legal placements by the rules alone (flood fills and exact hashes,
  // pending ones included), without the chains, filters or settling.
  BB placements_from_scratch() const {
    BB out;
    if (is_over_) return out;
    std::vector<uint64_t> pending;
    if (superko_) {
      Board<NW> b = board_;
      Player to_move = turn_;
      for (size_t k = history_.size(); k >= repetition_.settled(); --k) {
        pending.push_back(compute_position_hash(b, to_move));
        if (k == 0) break;
        to_move = opposite(to_move);
        undo_on_board(b, history_[k - 1], to_move);
      }
    }
    empty_points().for_each([&](unsigned p) {
      if (ko_point_ && point_index(*ko_point_, width()) == p) return;
      if (would_be_suicide(p, turn_)) return;
      if (superko_) {
        const uint64_t h = compute_position_hash(board_after(p, turn_), opposite(turn_));
        if (repetition_.exact().contains(h) || std::find(pending.begin(), pending.end(), h) != pending.end()) return;
      }
      out.insert(p);
    });
    return out;
  }

  // Options, fixed at creation.
  BoardGeometry<NW> geometry_;
  float komi_ = 0;
  uint16_t min_moves_before_pass_possible_ = 0;
  uint16_t max_moves_ = 0;
  bool superko_ = false;
  // What a move changes.
  Board<NW> board_;
  Player turn_ = Player::Black;
  std::vector<UndoRecord<NW>> history_;
  std::optional<Point> ko_point_;
  uint8_t consecutive_passes_ = 0;
  bool is_over_ = false;
  std::optional<GameOutcome> outcome_;
  // Derived from the board and the moves, kept incrementally.
  ChainSet<NW> chains_;
  RepetitionRecord<NW> repetition_;  // with superko; its current keys always
  // Cached until the next change.
  mutable BB remembered_;  // legal placements, while remembered_valid_
  mutable bool remembered_valid_ = false;
};

}  // namespace vexlor
