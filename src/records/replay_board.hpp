// The rules of Game<NW> (occupied point, simple ko, suicide, captures, the end
// after two passes or at the move limit) without the state a search needs
// (undo, superko, legal-move lists): the fast path for replaying records to
// boards. Chains are circular stone lists with pseudo-liberty counts (one
// count per stone and empty neighbour), so a placement costs a few dozen
// steps plus the stones it captures or relabels.
//
// Invariant: for every chain head h, libs[h] is the number of (stone of the
// chain, empty orthogonal neighbour) pairs, and the chain's stones form the
// cycle next[] through h, each with head h; board_ holds the same stones.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "engine/bitboard.hpp"
#include "engine/board.hpp"
#include "engine/game.hpp"
#include "engine/player.hpp"
#include "engine/point.hpp"

namespace vexlor::records {

template <int NW>
class ReplayBoard {
 public:
  using BB = Bitboard<NW>;
  static constexpr unsigned kCap = 64u * NW;
  static constexpr uint16_t kWallPoint = uint16_t(kCap);  // off-board neighbour of edge points

  ReplayBoard(uint8_t width, uint8_t height, uint16_t max_moves)
      : board_(width, height), area_(unsigned(width) * height), max_moves_(max_moves) {
    // Building the neighbour lists costs more than a short game: reuse the last ones of this size.
    thread_local Neighbours cached;
    if (cached.width != width || cached.height != height) cached.build(width, height);
    nbr_ = cached;
    colour_[kWallPoint] = kWall;
    head_[kWallPoint] = kWallPoint;
  }

  const Board<NW>& board() const { return board_; }
  uint8_t width() const { return board_.width; }
  uint8_t height() const { return board_.height; }
  Player turn() const { return turn_; }
  bool is_over() const { return over_; }
  size_t move_count() const { return moves_; }
  std::optional<Point> ko_point() const {
    if (ko_ == kNoPoint) return std::nullopt;
    return point_at(ko_, board_.width);
  }

  // Plays m for the side to move; false (nothing changed) when the rules refuse it.
  bool make_move(Move m) {
    if (over_) return false;
    if (m.is_pass()) {
      finish_move(true);
      return true;
    }
    if (m.col >= board_.width || m.row >= board_.height) return false;
    const uint16_t p = uint16_t(unsigned(m.row) * board_.width + m.col);
    if (colour_[p] != kEmpty || ko_ == p) return false;
    // One look at the four neighbours decides legality.
    const uint16_t* nb = nbr_.list[p].data();
    uint8_t col[4];
    uint16_t head[4];
    unsigned empties = 0;
    for (unsigned k = 0; k < 4; ++k) {
      col[k] = colour_[nb[k]];
      head[k] = head_[nb[k]];
      empties += col[k] == kEmpty;
    }
    const uint8_t me = code(turn_);
    if (empties == 0 && !lives_without_empty_neighbour(col, head, me)) return false;
    place(p, nb, col, empties, me);
    finish_move(false);
    return true;
  }

  // Takes back a pass that was the last move.
  void unmake_pass() {
    turn_ = opposite(turn_);
    --moves_;
    passes_ = passes_ ? uint8_t(passes_ - 1) : 0;
    over_ = false;
    ko_ = ko_before_pass_;
  }

  // Why m is refused for the side to move (m was refused).
  std::string refusal_reason(Move m) const {
    if (over_) return "the game is over";
    const unsigned p = unsigned(m.row) * board_.width + m.col;
    if (colour_[p] != kEmpty) return "the point is occupied";
    if (ko_ == p) return "it retakes a ko";
    return "it is suicide";
  }

  // Raw edits (setup); the chains are rebuilt by the next call to sync().
  void set_piece(unsigned col, unsigned row, std::optional<Player> piece) {
    board_.set_piece(col, row, piece);
    dirty_ = true;
  }
  void sync() {
    if (!dirty_) return;
    dirty_ = false;
    for (unsigned p = 0; p < area_; ++p)
      colour_[p] = board_.black.test(p) ? kBlack : board_.white.test(p) ? kWhite : kEmpty;
    for (unsigned p = 0; p < area_; ++p) {
      if (colour_[p] == kEmpty) continue;
      head_[p] = uint16_t(p);
      next_[p] = uint16_t(p);
      size_[p] = 1;
      libs_[p] = empty_neighbours(p);
    }
    for (unsigned p = 0; p < area_; ++p)
      if (colour_[p] != kEmpty)
        for (const uint16_t q : nbr_.list[p])
          if (colour_[q] == colour_[p] && head_[q] != head_[p]) join(head_[q], head_[p]);
  }

 private:
  static constexpr uint8_t kEmpty = 0, kBlack = 1, kWhite = 2, kWall = 3;
  static constexpr uint16_t kNoPoint = UINT16_MAX;

  // Four neighbours per point, kWallPoint where the board ends.
  struct Neighbours {
    uint8_t width = 0, height = 0;
    std::array<std::array<uint16_t, 4>, kCap> list{};
    void build(uint8_t w, uint8_t h) {
      width = w;
      height = h;
      for (unsigned r = 0, p = 0; r < h; ++r)
        for (unsigned c = 0; c < w; ++c, ++p)
          list[p] = {c > 0 ? uint16_t(p - 1) : kWallPoint, c + 1 < w ? uint16_t(p + 1) : kWallPoint,
                     r > 0 ? uint16_t(p - w) : kWallPoint, r + 1 < h ? uint16_t(p + w) : kWallPoint};
    }
  };
  static uint8_t code(Player p) { return p == Player::Black ? kBlack : kWhite; }

  uint16_t empty_neighbours(unsigned p) const {
    uint16_t e = 0;
    for (const uint16_t q : nbr_.list[p]) e += colour_[q] == kEmpty;
    return e;
  }

  // A placement without an empty neighbour lives if it captures (an opponent
  // chain whose only liberty is p) or joins an own chain with another liberty.
  bool lives_without_empty_neighbour(const uint8_t* col, const uint16_t* head, uint8_t me) const {
    for (unsigned k = 0; k < 4; ++k) {
      if (col[k] == kWall) continue;
      unsigned adj = 0;  // pseudo-liberties of the chain at p
      for (unsigned j = 0; j < 4; ++j) adj += head[j] == head[k];
      if (col[k] == me ? libs_[head[k]] > adj : libs_[head[k]] == adj) return true;
    }
    return false;
  }

  // Joins chain `from` into chain `into`.
  void merge(uint16_t into, uint16_t from) {
    uint16_t s = from;
    do {
      head_[s] = into;
      s = next_[s];
    } while (s != from);
    std::swap(next_[into], next_[from]);
    libs_[into] = uint16_t(libs_[into] + libs_[from]);
    size_[into] = uint16_t(size_[into] + size_[from]);
  }

  // Joins two chains, relabelling the smaller.
  void join(uint16_t a, uint16_t b) {
    if (size_[a] >= size_[b])
      merge(a, b);
    else
      merge(b, a);
  }

  void place(uint16_t p, const uint16_t* nb, const uint8_t* col, unsigned empties, uint8_t me) {
    colour_[p] = me;
    board_.stones(turn_).insert(p);
    head_[p] = p;
    next_[p] = p;
    size_[p] = 1;
    libs_[p] = uint16_t(empties);
    bool joined = false;
    // The wall's count absorbs the decrements of edge points; it is never read.
    for (unsigned k = 0; k < 4; ++k) {
      if (col[k] == kEmpty) continue;
      const uint16_t q = nb[k];
      --libs_[head_[q]];
      if (col[k] == me && head_[q] != head_[p]) {
        join(head_[q], head_[p]);
        joined = true;
      }
    }
    const uint8_t opp = me ^ 3;
    unsigned taken = 0;
    uint16_t last_taken = 0;
    for (unsigned k = 0; k < 4; ++k) {
      const uint16_t q = nb[k];
      if (col[k] != opp || colour_[q] != opp || libs_[head_[q]] != 0) continue;
      taken += remove_chain(head_[q]);
      last_taken = q;
    }
    ko_ = taken == 1 && !joined && empties == 0 ? last_taken : kNoPoint;
  }

  // Removes the chain with head h; returns its size.
  unsigned remove_chain(uint16_t h) {
    const Player owner = colour_[h] == kBlack ? Player::Black : Player::White;
    unsigned n = 0;
    uint16_t s = h;
    do {
      colour_[s] = kEmpty;
      ++n;
      s = next_[s];
    } while (s != h);
    // Every stone next to an emptied point gains a pseudo-liberty.
    do {
      board_.stones(owner).remove(s);
      for (const uint16_t q : nbr_.list[s])
        if (colour_[q] != kEmpty) ++libs_[head_[q]];
      s = next_[s];
    } while (s != h);
    return n;
  }

  void finish_move(bool pass) {
    if (pass) {
      ko_before_pass_ = ko_;
      ko_ = kNoPoint;
      passes_ = uint8_t(passes_ + 1);
      if (passes_ >= 2) over_ = true;
    } else {
      passes_ = 0;
    }
    turn_ = opposite(turn_);
    if (++moves_ >= max_moves_) over_ = true;
  }

  Board<NW> board_;
  unsigned area_;
  uint16_t max_moves_;
  Player turn_ = Player::Black;
  uint16_t ko_ = kNoPoint, ko_before_pass_ = kNoPoint;
  uint8_t passes_ = 0;
  size_t moves_ = 0;
  bool over_ = false;
  bool dirty_ = false;
  std::array<uint8_t, kCap + 1> colour_{};  // and the wall
  std::array<uint16_t, kCap + 1> head_{}, next_{}, libs_{}, size_{};
  Neighbours nbr_;
};

}  // namespace vexlor::records
