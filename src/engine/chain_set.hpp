// The chain set: the chain (connected stones of one colour) of every stone on
// the board, each chain's liberties, and per colour the stones of chains short
// of liberties.
//
// Invariant: for every stone s, chain_at(s) is exactly the connected group of
// s's colour through s, libs_at(s) exactly the empty points next to it, and s
// lies in short_of_libs(colour).one (.none) exactly when its chain has one (no)
// liberty. Moves keep it by merge, capture, restore and refile, never by flood
// fill; building from a board (after a hand edit or a load) starts it afresh.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bitboard.hpp"
#include "board.hpp"
#include "force_inline.hpp"
#include "geometry.hpp"
#include "player.hpp"

namespace vexlor {

template <int NW>
class ChainSet {
 public:
  using BB = Bitboard<NW>;

  // Stones of one colour whose chain has one liberty, and those whose chain has
  // none (only after hand edits).
  struct ShortOfLibs {
    BB one, none;
    ShortOfLibs minus(const BB& b) const { return {one.minus(b), none.minus(b)}; }
    void remove(unsigned p) {
      one.remove(p);
      none.remove(p);
    }
    bool operator==(const ShortOfLibs&) const = default;
  };

  ChainSet() = default;

  // The chains of `board`, after `moves` moves whose undo data this set does not hold.
  ChainSet(const Board<NW>& board, const BoardGeometry<NW>& geo, size_t moves) : rebuilt_at_(moves) {
    chain_of_.assign(geo.num_points, 0);
    const BB empty = geo.board_mask.minus(board.black | board.white);
    for (Player c : {Player::Black, Player::White}) {
      const BB& all = board.stones(c);
      BB rest = all;
      while (rest.any()) {
        const BB chain = geo.flood_fill(BB::single(rest.lowest()), all);
        rest = rest.minus(chain);
        assign(chain, uint32_t(chains_.size()));
        chains_.push_back(chain);
        libs_.push_back(geo.neighbors(chain) & empty);
        classify(chain, libs_.back(), c);
      }
    }
  }

  // --- reading (the point must hold a stone) -------------------------------

  const BB& chain_at(unsigned stone) const { return chains_[chain_of_[stone]]; }
  const BB& libs_at(unsigned stone) const { return libs_[chain_of_[stone]]; }
  const ShortOfLibs& short_of_libs(Player colour) const { return short_[colour_index(colour)]; }

  // Chains of `victim` next to the empty point p whose only liberty, if any, is p.
  BB captures_at(unsigned p, Player victim, const BoardGeometry<NW>& geo) const {
    const BB only_p = BB::single(p);
    BB captured;
    // Only chains short of liberties can fall.
    const ShortOfLibs& s = short_of_libs(victim);
    each_chain(geo.neighbors_of(p) & (s.one | s.none), [&](const BB& chain, const BB& libs) {
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

  // --- moves -----------------------------------------------------------------

  // Whether move number `index` (0 first) can be taken back from the kept undo
  // data: it was made since the set was last built.
  bool can_undo(size_t index) const { return index >= rebuilt_at_; }

  // Move number `index`, a pass, was taken back: moves made from there on build on this set.
  void pass_taken_back(size_t index) { rebuilt_at_ = std::min(rebuilt_at_, index); }

  // Room for one more placement: place() then allocates nothing. Throws with the set unchanged.
  void reserve_placement() {
    reserve_one(chains_);
    reserve_one(libs_);
    reserve_one(undo_);
  }

  // `mover`'s stone stands on p of `board` and `captured` is gone from it: p
  // joins the own chains next to it, the captured chains leave play (keeping
  // their entries for the undo), and every chain touched is refiled. Returns
  // whether the stone stands alone with a single liberty (a ko shape).
  VEXLOR_INLINE bool place(unsigned p, Player mover, const BB& captured, const Board<NW>& board,
                           const BoardGeometry<NW>& geo) {
    const Player opp = opposite(mover);
    const BB& own_set = board.stones(mover);
    const BB& opp_set = board.stones(opp);
    const BB next = geo.neighbors_of(p);
    MoveUndo undo;
    // The new stone's chain: p joined with every own chain next to it.
    BB joined = BB::single(p);
    (next & own_set).for_each([&](unsigned q) {
      const uint32_t id = chain_of_[q];
      if (!joined.test(q)) {
        undo.merged[undo.n_merged++] = id;
        joined |= chains_[id];
      }
    });
    // A lone stone gets a new entry. A joined chain takes over the entry of
    // the first chain it joined, whose stones keep their id (a merge usually
    // joins one chain); that entry's old value is appended instead, for the
    // undo. Either way one entry is appended (its liberties once the
    // captures are gone).
    uint32_t chain_id;
    if (undo.n_merged == 0) {
      chain_id = uint32_t(chains_.size());
      chains_.push_back(joined);
      chain_of_[p] = chain_id;
    } else {
      chain_id = undo.merged[0];
      const BB first = chains_[chain_id];
      chains_.push_back(first);
      chains_[chain_id] = joined;
      assign(joined.minus(first), chain_id);
    }
    BB taken = captured;
    while (taken.any()) {
      const uint32_t id = chain_of_[taken.lowest()];
      taken = taken.minus(chains_[id]);
      undo.captured[undo.n_captured++] = id;
    }
    // Liberties: p is gone from the opponent chains next to it; own chains
    // next to captured stones gain those points.
    update_liberties(next & opp_set, opp, [&](BB& libs, const BB&) { libs.remove(p); });
    if (captured.any()) {
      short_[colour_index(opp)] = short_of_libs(opp).minus(captured);
      const BB gaining = (geo.neighbors(captured) & own_set).minus(joined);
      update_liberties(gaining, mover, [&](BB& libs, const BB& chain) {
        (gaining & chain).for_each([&](unsigned q) { libs |= geo.neighbors_of(q) & captured; });
      });
    }
    // The joined chains' liberties but p, p's empty neighbours, and the
    // captured points next to the chain.
    const BB empty = geo.board_mask.minus(board.black | board.white);
    BB libs = next & empty;
    for (unsigned i = 0; i < undo.n_merged; ++i) libs |= libs_[undo.merged[i]];
    libs.remove(p);
    if (captured.any()) libs |= captured & geo.neighbors(joined);
    if (undo.n_merged == 0) {
      libs_.push_back(libs);
    } else {
      const BB first_libs = libs_[chain_id];
      libs_.push_back(first_libs);
      libs_[chain_id] = libs;
    }
    classify(joined, libs, mover);
    undo_.push_back(undo);
    return undo.n_merged == 0 && !at_least_two(libs);
  }

  // Takes back the last place() (can_undo of it holds): `board` is the position
  // before it, with p empty and `captured` back.
  VEXLOR_INLINE void unplace(unsigned p, Player mover, const BB& captured, const Board<NW>& board,
                             const BoardGeometry<NW>& geo) {
    const MoveUndo undo = undo_.back();
    undo_.pop_back();
    const Player opp = opposite(mover);
    // The newest entry is the move's lone stone, or the old value of the
    // entry its chain took over (whose stones never changed id).
    if (undo.n_merged > 0) {
      const uint32_t id = undo.merged[0];
      chains_[id] = chains_.back();
      libs_[id] = libs_.back();
    }
    chains_.pop_back();
    libs_.pop_back();
    short_[colour_index(mover)].remove(p);
    if (undo.n_merged > 0) classify(chains_[undo.merged[0]], libs_[undo.merged[0]], mover);
    for (unsigned i = 1; i < undo.n_merged; ++i) restore(undo.merged[i], mover);
    for (unsigned i = 0; i < undo.n_captured; ++i) restore(undo.captured[i], opp);
    // Merged and captured chains kept their liberties while out of play;
    // the others get back p and give back the captured points.
    update_liberties(geo.neighbors_of(p) & board.stones(opp), opp, [&](BB& libs, const BB&) { libs.insert(p); });
    if (captured.any())
      update_liberties(geo.neighbors(captured) & board.stones(mover), mover,
                       [&](BB& libs, const BB&) { libs = libs.minus(captured); });
  }

  // --- checking ----------------------------------------------------------------

  // "" when the invariant holds for `board`, with `placements` placements made
  // since the set was built, else the first difference found.
  std::string check(const Board<NW>& board, const BoardGeometry<NW>& geo, size_t placements) const {
    if (chain_of_.size() != geo.num_points) return "chain map has the wrong size";
    if (chains_.size() != libs_.size()) return "chains and liberties differ in number";
    if (undo_.size() != placements)
      return std::to_string(undo_.size()) + " undo entries for " + std::to_string(placements) + " placements";
    for (const MoveUndo& u : undo_) {
      if (u.n_merged > 4 || u.n_captured > 4) return "chain undo entry out of range";
      for (unsigned i = 0; i < u.n_merged; ++i)
        if (u.merged[i] >= chains_.size()) return "chain undo entry names no chain";
      for (unsigned i = 0; i < u.n_captured; ++i)
        if (u.captured[i] >= chains_.size()) return "chain undo entry names no chain";
    }
    const BB empty = geo.board_mask.minus(board.black | board.white);
    for (Player c : {Player::Black, Player::White}) {
      const BB& all = board.stones(c);
      ShortOfLibs want;
      BB rest = all;
      while (rest.any()) {
        const unsigned s = rest.lowest();
        const BB chain = geo.flood_fill(BB::single(s), all);
        rest = rest.minus(chain);
        const BB libs = geo.neighbors(chain) & empty;
        std::string where = std::string(player_name(c)) + " chain at point " + std::to_string(s);
        bool chain_ok = true, libs_ok = true;
        chain.for_each([&](unsigned q) {
          const uint32_t id = chain_of_[q];
          if (id >= chains_.size() || !(chains_[id] == chain))
            chain_ok = false;
          else if (!(libs_[id] == libs))
            libs_ok = false;
        });
        if (!chain_ok) return where + ": stones not mapped to an entry holding exactly the chain";
        if (!libs_ok) return where + ": kept liberties differ from the empty points next to it";
        if (libs.empty())
          want.none |= chain;
        else if (libs.count() == 1)
          want.one |= chain;
      }
      const ShortOfLibs& have = short_of_libs(c);
      if (!(have.one == want.one)) return std::string(player_name(c)) + " stones of one-liberty chains differ";
      if (!(have.none == want.none)) return std::string(player_name(c)) + " stones of chains without liberty differ";
    }
    return "";
  }

 private:
  // What taking back one placement needs: the own chains it joined (the one
  // whose entry it took over first) and the opponent chains it removed.
  struct MoveUndo {
    std::array<uint32_t, 4> merged{};
    std::array<uint32_t, 4> captured{};
    uint8_t n_merged = 0;
    uint8_t n_captured = 0;
  };

  // Grows an empty vector straight to 32 entries (a game that is played at all
  // soon needs them, and a new game stays small), a full one to twice its size.
  template <class T>
  static void reserve_one(std::vector<T>& v) {
    if (v.size() == v.capacity()) v.reserve(v.capacity() < 16 ? 32 : 2 * v.capacity());
  }

  void assign(const BB& stones, uint32_t id) {
    stones.for_each([&](unsigned q) { chain_of_[q] = id; });
  }

  // Files the chain under its liberty count; `libs` are its current liberties.
  void classify(const BB& chain, const BB& libs, Player colour) {
    ShortOfLibs& s = short_[colour_index(colour)];
    s = s.minus(chain);
    if (libs.empty())
      s.none |= chain;
    else if (!at_least_two(libs))
      s.one |= chain;
  }

  // An entry back in play: its stones map to it again, filed by its kept liberties.
  void restore(uint32_t id, Player colour) {
    assign(chains_[id], id);
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

  // Each placement appends one entry and its unplace drops it: a lone stone's
  // chain, or the old value of the entry a merge took over. Chains joined into
  // another or captured keep their entries for the undo.
  std::vector<uint32_t> chain_of_;  // one entry per point; meaningful on stones
  std::vector<BB> chains_;
  std::vector<BB> libs_;                // liberties of each entry, kept current for chains in play
  std::vector<MoveUndo> undo_;          // one per placement made since rebuilt_at_
  size_t rebuilt_at_ = 0;               // moves made when the set was built
  std::array<ShortOfLibs, 2> short_{};  // by colour_index: chains in play with fewer than two liberties
};

}  // namespace vexlor
