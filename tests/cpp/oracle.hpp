// Reference engine: the rules written out literally, one step per rule,
// with no caching, no pre-filters and no word tricks. It exists to be obviously
// right; the differential tests and the benchmark hold the fast engine to it.
//
// Shared with the engine: Bitboard (as a plain bit array), Board, Player,
// Point, Move, GameOutcome and the SipHash-1-3 primitive. Neighbours, region
// growing, captures, ko, superko bookkeeping, hashing streams and scoring are
// all computed here point by point.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "engine/bitboard.hpp"
#include "engine/board.hpp"
#include "engine/game.hpp"
#include "engine/outcome.hpp"
#include "engine/player.hpp"
#include "engine/point.hpp"
#include "engine/siphash.hpp"

namespace vexlor::oracle {

// Ascending indices of the set bits (optionally only those below limit).
template <int NW>
std::vector<unsigned> members(const Bitboard<NW>& s, unsigned limit = 64u * NW) {
  std::vector<unsigned> out;
  for (int i = 0; i < NW; ++i)
    for (uint64_t x = s.w[i]; x; x &= x - 1) {
      const unsigned p = unsigned(i) * 64u + unsigned(std::countr_zero(x));
      if (p < limit) out.push_back(p);
    }
  return out;
}

template <int NW>
bool is_empty_set(const Bitboard<NW>& s) {
  for (uint64_t w : s.w)
    if (w) return false;
  return true;
}

template <int NW>
int size_of(const Bitboard<NW>& s) {
  return int(members(s).size());
}

template <int NW>
unsigned lowest_of(const Bitboard<NW>& s) {
  const std::vector<unsigned> m = members(s);
  return m.empty() ? 64u * NW : m.front();
}

template <int NW>
Bitboard<NW> set_and(const Bitboard<NW>& a, const Bitboard<NW>& b) {
  Bitboard<NW> r;
  for (int i = 0; i < NW; ++i) r.w[i] = a.w[i] & b.w[i];
  return r;
}

template <int NW>
Bitboard<NW> set_or(const Bitboard<NW>& a, const Bitboard<NW>& b) {
  Bitboard<NW> r;
  for (int i = 0; i < NW; ++i) r.w[i] = a.w[i] | b.w[i];
  return r;
}

template <int NW>
Bitboard<NW> set_minus(const Bitboard<NW>& a, const Bitboard<NW>& b) {
  Bitboard<NW> r;
  for (int i = 0; i < NW; ++i) r.w[i] = a.w[i] & ~b.w[i];
  return r;
}

// Board shape by coordinates: the reference for neighbours and flood fill.
template <int NW>
struct Grid {
  unsigned width = 0;
  unsigned height = 0;
  Bitboard<NW> mask;  // every point of the board

  Grid(unsigned w, unsigned h) : width(w), height(h) {
    for (unsigned p = 0; p < w * h; ++p) mask.insert(p);
  }

  unsigned points() const { return width * height; }
  const Bitboard<NW>& all() const { return mask; }

  // The up to four orthogonal neighbours of point p.
  struct Adjacent {
    std::array<unsigned, 4> p{};
    unsigned n = 0;
    const unsigned* begin() const { return p.data(); }
    const unsigned* end() const { return p.data() + n; }
  };
  Adjacent adjacent(unsigned p) const {
    Adjacent out;
    const unsigned c = p % width, r = p / width;
    if (c > 0) out.p[out.n++] = p - 1;
    if (c + 1 < width) out.p[out.n++] = p + 1;
    if (r > 0) out.p[out.n++] = p - width;
    if (r + 1 < height) out.p[out.n++] = p + width;
    return out;
  }

  // Points orthogonally adjacent to a point of s.
  Bitboard<NW> neighbors(const Bitboard<NW>& s) const {
    Bitboard<NW> r;
    for (unsigned p : members(s, points()))
      for (unsigned q : adjacent(p)) r.insert(q);
    return r;
  }

  // Points of allowed connected to seed ∩ allowed, by depth-first search.
  Bitboard<NW> flood_fill(const Bitboard<NW>& seed, const Bitboard<NW>& allowed) const {
    Bitboard<NW> filled;
    std::vector<unsigned> todo;
    for (unsigned p : members(seed, points()))
      if (allowed.test(p)) {
        filled.insert(p);
        todo.push_back(p);
      }
    while (!todo.empty()) {
      const unsigned p = todo.back();
      todo.pop_back();
      for (unsigned q : adjacent(p))
        if (allowed.test(q) && !filled.test(q)) {
          filled.insert(q);
          todo.push_back(q);
        }
    }
    return filled;
  }
};

// The position byte stream, built as bytes and hashed in one piece.
template <int NW>
std::vector<uint8_t> position_stream(const Board<NW>& b, Player to_move) {
  std::vector<uint8_t> s;
  auto put_u64 = [&s](uint64_t v) {
    for (int i = 0; i < 8; ++i) s.push_back(uint8_t(v >> (8 * i)));
  };
  put_u64(NW);
  for (int i = 0; i < NW; ++i) put_u64(b.black.w[i]);
  put_u64(NW);
  for (int i = 0; i < NW; ++i) put_u64(b.white.w[i]);
  s.push_back(b.width);
  s.push_back(b.height);
  s.push_back(to_move == Player::Black ? 0x01 : 0xFF);
  return s;
}

template <int NW>
uint64_t position_hash(const Board<NW>& b, Player to_move) {
  const std::vector<uint8_t> s = position_stream(b, to_move);
  return siphash13(s.data(), s.size());
}

template <int NW>
class OracleGame {
 public:
  using BB = Bitboard<NW>;

  struct Record {
    BB captured;
    Move move;
    std::optional<Point> previous_ko_point;
  };

  OracleGame(uint8_t width, uint8_t height, float komi, uint16_t min_moves_before_pass_possible, uint16_t max_moves,
             bool superko)
      : board(width, height),
        grid(width, height),
        komi(komi),
        min_moves_before_pass_possible(min_moves_before_pass_possible),
        max_moves(max_moves),
        superko(superko) {
    if (superko) counts[position_hash(board, Player::Black)] = 1;
  }

  Board<NW> board;
  Grid<NW> grid;
  Player turn = Player::Black;
  float komi;
  uint16_t min_moves_before_pass_possible;
  uint16_t max_moves;
  bool superko;
  std::map<uint64_t, int> counts;  // position hash -> occurrences; empty without superko
  std::vector<Record> history;
  std::optional<Point> ko_point;
  uint8_t consecutive_passes = 0;
  bool is_over = false;
  std::optional<GameOutcome> outcome;

  unsigned width() const { return board.width; }
  unsigned height() const { return board.height; }
  size_t move_count() const { return history.size(); }

  BB& stones(Player p) { return p == Player::Black ? board.black : board.white; }
  const BB& stones(Player p) const { return p == Player::Black ? board.black : board.white; }

  BB empty_points() const { return set_minus(set_minus(grid.all(), board.black), board.white); }

  void set_piece(unsigned col, unsigned row, std::optional<Player> piece) {
    if (col >= width() || row >= height()) return;
    const unsigned p = row * width() + col;
    board.black.remove(p);
    board.white.remove(p);
    if (piece) stones(*piece).insert(p);
  }

  bool would_be_suicide(unsigned p, Player player) const {
    const BB own = set_or(stones(player), BB::single(p));
    const BB& opp = stones(opposite(player));
    const BB empty = set_minus(set_minus(grid.all(), own), opp);
    if (!is_empty_set(set_and(grid.neighbors(BB::single(p)), empty))) return false;
    const BB chain = grid.flood_fill(BB::single(p), own);
    if (!is_empty_set(set_and(grid.neighbors(chain), empty))) return false;
    BB candidates = set_and(grid.neighbors(chain), opp);
    while (!is_empty_set(candidates)) {
      const BB group = grid.flood_fill(BB::single(lowest_of(candidates)), opp);
      candidates = set_minus(candidates, group);
      if (is_empty_set(set_and(grid.neighbors(group), empty))) return false;
    }
    return true;
  }

  // The position after `player` places on p, captures made.
  Board<NW> board_after(unsigned p, Player player) const {
    Board<NW> copy = board;
    BB& own = player == Player::Black ? copy.black : copy.white;
    BB& opp = player == Player::Black ? copy.white : copy.black;
    own.insert(p);
    BB candidates = set_and(grid.neighbors(BB::single(p)), opp);
    while (!is_empty_set(candidates)) {
      const BB group = grid.flood_fill(BB::single(lowest_of(candidates)), opp);
      candidates = set_minus(candidates, group);
      const BB empty = set_minus(set_minus(grid.all(), copy.black), copy.white);
      if (is_empty_set(set_and(grid.neighbors(group), empty))) opp = set_minus(opp, group);
    }
    return copy;
  }

  bool would_violate_superko(unsigned p, Player player) const {
    if (!superko) return false;
    const uint64_t h = position_hash(board_after(p, player), opposite(player));
    auto it = counts.find(h);
    return it != counts.end() && it->second > 0;
  }

  bool is_ko_point(unsigned p) const { return ko_point && ko_point->row * width() + ko_point->col == p; }

  bool placement_is_legal(unsigned p) const {
    if (board.black.test(p) || board.white.test(p)) return false;
    if (is_ko_point(p)) return false;
    if (would_be_suicide(p, turn)) return false;
    return !would_violate_superko(p, turn);
  }

  bool is_legal_move(Move m) const {
    if (is_over) return false;
    if (m.is_pass()) {
      if (move_count() >= min_moves_before_pass_possible) return true;
      for (unsigned p = 0; p < grid.points(); ++p)
        if (placement_is_legal(p)) return false;
      return true;
    }
    if (m.col >= width() || m.row >= height()) return false;
    return placement_is_legal(unsigned(m.row) * width() + m.col);
  }

  std::vector<Move> legal_moves() const {
    std::vector<Move> out;
    if (is_over) return out;
    for (unsigned p = 0; p < grid.points(); ++p)
      if (placement_is_legal(p)) out.push_back(Move::place(uint8_t(p % width()), uint8_t(p / width())));
    if (out.empty() || move_count() >= min_moves_before_pass_possible) out.push_back(Move::pass());
    return out;
  }

  bool make_move(Move m) {
    if (!is_legal_move(m)) return false;
    const std::optional<Point> previous_ko = ko_point;
    ko_point.reset();
    BB captured;
    if (m.is_pass()) {
      consecutive_passes = uint8_t(consecutive_passes + 1);
      if (consecutive_passes >= 2) end_game();
    } else {
      consecutive_passes = 0;
      const unsigned p = unsigned(m.row) * width() + m.col;
      const Player mover = turn;
      stones(mover).insert(p);
      BB candidates = set_and(grid.neighbors(BB::single(p)), stones(opposite(mover)));
      int captured_count = 0;
      unsigned captured_from = 0;
      while (!is_empty_set(candidates)) {
        const unsigned q = lowest_of(candidates);
        const BB group = grid.flood_fill(BB::single(q), stones(opposite(mover)));
        candidates = set_minus(candidates, group);
        if (is_empty_set(set_and(grid.neighbors(group), empty_points()))) {
          board.black = set_minus(board.black, group);
          board.white = set_minus(board.white, group);
          captured = set_or(captured, group);
          captured_count += size_of(group);
          captured_from = q;
        }
      }
      if (captured_count == 1) {
        const BB single = BB::single(p);
        const bool lone = grid.flood_fill(single, stones(mover)) == single;
        if (lone && size_of(set_and(grid.neighbors(single), empty_points())) == 1)
          ko_point = Point{uint8_t(captured_from % width()), uint8_t(captured_from / width())};
      }
    }
    history.push_back(Record{captured, m, previous_ko});
    turn = opposite(turn);
    if (superko) ++counts[position_hash(board, turn)];
    if (!is_over && history.size() >= max_moves) end_game();
    return true;
  }

  bool unmake_move() {
    if (history.empty()) return false;
    const Record rec = history.back();
    history.pop_back();
    if (superko) {
      auto it = counts.find(position_hash(board, turn));
      if (it != counts.end() && --it->second == 0) counts.erase(it);
    }
    turn = opposite(turn);
    ko_point = rec.previous_ko_point;
    if (!rec.move.is_pass()) {
      const unsigned p = unsigned(rec.move.row) * width() + rec.move.col;
      board.black.remove(p);
      board.white.remove(p);
      // The captured stones come back even over a hand-placed stone.
      stones(turn) = set_minus(stones(turn), rec.captured);
      stones(opposite(turn)) = set_or(stones(opposite(turn)), rec.captured);
    }
    // The passes the game now ends with are the ones in force.
    consecutive_passes = 0;
    for (size_t i = history.size(); i > 0 && history[i - 1].move.is_pass(); --i) ++consecutive_passes;
    is_over = false;
    outcome.reset();
    return true;
  }

  std::pair<float, float> score() const {
    float black = float(size_of(board.black));
    float white = float(size_of(board.white)) + komi;
    const BB empty = empty_points();
    BB remaining = empty;
    while (!is_empty_set(remaining)) {
      const BB region = grid.flood_fill(BB::single(lowest_of(remaining)), empty);
      remaining = set_minus(remaining, region);
      const BB border = grid.neighbors(region);
      const bool touches_black = !is_empty_set(set_and(border, board.black));
      const bool touches_white = !is_empty_set(set_and(border, board.white));
      if (touches_black && !touches_white) black += float(size_of(region));
      if (touches_white && !touches_black) white += float(size_of(region));
    }
    return {black, white};
  }

  uint64_t game_hash() const {
    std::vector<uint8_t> s = position_stream(board, turn);
    const uint64_t flag = ko_point ? 1 : 0;
    for (int i = 0; i < 8; ++i) s.push_back(uint8_t(flag >> (8 * i)));
    if (ko_point) {
      s.push_back(ko_point->col);
      s.push_back(ko_point->row);
    }
    return siphash13(s.data(), s.size());
  }

  // The 17 input planes, earlier positions taken back on a copy of this game.
  std::vector<float> planes() const {
    const size_t area = grid.points();
    std::vector<float> out(17 * area, 0.0f);
    const Player perspective = turn;
    OracleGame copy = *this;
    const size_t steps = history.size() < 7 ? history.size() : 7;
    for (size_t t = 0; t <= steps; ++t) {
      if (t > 0) copy.unmake_move();
      for (unsigned p = 0; p < area; ++p) {
        const std::optional<Player> piece = copy.board.get_piece(p % width(), p / width());
        if (piece) out[(2 * t + (*piece == perspective ? 0 : 1)) * area + p] = 1.0f;
      }
    }
    if (perspective == Player::Black)
      for (size_t i = 16 * area; i < 17 * area; ++i) out[i] = 1.0f;
    return out;
  }

 private:
  void end_game() {
    is_over = true;
    const auto [b, w] = score();
    outcome = b > w ? GameOutcome::BlackWin : w > b ? GameOutcome::WhiteWin : GameOutcome::Draw;
  }
};

}  // namespace vexlor::oracle
