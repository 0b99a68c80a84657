// Helpers shared by the engine tests: positions from text, index sets, NW dispatch.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "engine/bitboard.hpp"
#include "engine/board.hpp"
#include "engine/game.hpp"
#include "engine/geometry.hpp"
#include "engine/player.hpp"

namespace vexlor::testing {

template <int NW>
Bitboard<NW> set_of(std::initializer_list<unsigned> points) {
  Bitboard<NW> b;
  for (unsigned p : points) b.insert(p);
  return b;
}

template <int NW>
std::vector<unsigned> indices(const Bitboard<NW>& b) {
  std::vector<unsigned> out;
  for (unsigned p = 0; p < 64u * NW; ++p)
    if (b.test(p)) out.push_back(p);
  return out;
}

// Puts stones from rows written top row first, one character per point:
// 'B' black, 'W' white, anything else empty. Works on Board, Game and the oracle.
template <class Target>
void put_rows(Target& target, const std::vector<std::string>& rows) {
  const unsigned h = unsigned(rows.size());
  for (unsigned i = 0; i < h; ++i) {
    const unsigned row = h - 1 - i;
    for (unsigned col = 0; col < rows[i].size(); ++col) {
      const char c = rows[i][col];
      std::optional<Player> piece;
      if (c == 'B') piece = Player::Black;
      if (c == 'W') piece = Player::White;
      target.set_piece(col, row, piece);
    }
  }
}

// Rows of a board in the same notation, top row first.
template <int NW>
std::vector<std::string> rows_of(const Board<NW>& b) {
  std::vector<std::string> out;
  for (int r = int(b.height) - 1; r >= 0; --r) {
    std::string line;
    for (unsigned c = 0; c < b.width; ++c) {
      const auto piece = b.get_piece(c, unsigned(r));
      line += piece ? (*piece == Player::Black ? 'B' : 'W') : '.';
    }
    out.push_back(line);
  }
  return out;
}

// A game whose passes are legal from the start, unless told otherwise.
template <int NW>
Game<NW> open_game(uint8_t w, uint8_t h, bool superko = true, float komi = 7.5f, uint16_t min_moves = 0,
                   uint16_t max_moves = 10000) {
  return Game<NW>::with_options(w, h, komi, min_moves, max_moves, superko);
}

// Plays the moves, each required to be legal; returns false at the first refusal.
template <class G>
bool play(G& g, std::initializer_list<Move> moves) {
  for (Move m : moves)
    if (!g.make_move(m)) return false;
  return true;
}

inline Move P(uint8_t col, uint8_t row) { return Move::place(col, row); }
inline Move pass_move() { return Move::pass(); }

// Calls f.template operator()<NW>() with the word count of a width x height board.
// Only the word counts the tests use are instantiated.
template <class F>
void with_words(unsigned width, unsigned height, F&& f) {
  switch (words_for(width * height)) {
    case 1:
      f.template operator()<1>();
      return;
    case 2:
      f.template operator()<2>();
      return;
    case 3:
      f.template operator()<3>();
      return;
    case 4:
      f.template operator()<4>();
      return;
    case 5:
      f.template operator()<5>();
      return;
    case 6:
      f.template operator()<6>();
      return;
    case 16:
      f.template operator()<16>();
      return;
    default:
      throw std::logic_error("board size not instantiated in the tests");
  }
}

// Repetition scale for the randomised tests: smaller under sanitizers or in
// quick runs, larger when VEXLOR_TEST_SCALE asks for a longer soak.
inline double test_scale() {
  double scale = 1.0;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  scale = 0.15;
#endif
  if (const char* s = std::getenv("VEXLOR_SANITIZED"); s && std::string(s) == "1") scale = 0.15;
  if (const char* s = std::getenv("VEXLOR_QUICK"); s && std::string(s) == "1" && scale > 0.5) scale = 0.5;
  if (const char* s = std::getenv("VEXLOR_TEST_SCALE")) {
    const double v = std::atof(s);
    if (v > 0) scale = v;
  }
  return scale;
}

}  // namespace vexlor::testing
