// Fast writers of a game's input planes and legal-action mask into caller
// memory: point sets are expanded eight points at a time through a table
// (one byte of the set becomes eight values), never point by point. The
// values are those of encode_planes (encode.hpp) and of a legal listing.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine/bitboard.hpp"
#include "engine/board.hpp"
#include "engine/encode.hpp"
#include "engine/game.hpp"
#include "engine/player.hpp"

namespace vexlor::batch {

// Element type of a plane buffer (bool arrays use U8).
enum class PlaneType : uint8_t { U8 = 0, F32 = 1 };

constexpr size_t plane_item_bytes(PlaneType t) { return t == PlaneType::F32 ? 4 : 1; }

namespace detail {

// kSpread[b][k] = bit k of b.
inline constexpr auto kSpread = [] {
  std::array<std::array<uint8_t, 8>, 256> t{};
  for (unsigned b = 0; b < 256; ++b)
    for (unsigned k = 0; k < 8; ++k) t[b][k] = uint8_t((b >> k) & 1);
  return t;
}();

template <int NW>
inline uint8_t byte_of(const Bitboard<NW>& s, unsigned j) {
  return uint8_t(s.w[j >> 3] >> ((j & 7) * 8));
}

inline void spread(uint8_t b, uint8_t* out, unsigned n) { std::memcpy(out, kSpread[b].data(), n); }

inline void spread(uint8_t b, float* out, unsigned n) {
  for (unsigned k = 0; k < n; ++k) out[k] = float(kSpread[b][k]);
}

}  // namespace detail

// out[p] = 1 for the points p < n of s, 0 for the others; writes exactly n values.
template <int NW, class T>
void write_points(const Bitboard<NW>& s, unsigned n, T* out) {
  const unsigned full = n / 8;
  for (unsigned j = 0; j < full; ++j) detail::spread(detail::byte_of(s, j), out + 8 * j, 8);
  if (n % 8) detail::spread(detail::byte_of(s, full), out + 8 * full, n % 8);
}

// The 17 planes of the game (encode.hpp's layout, the side to move's view)
// into 17 * area values at out; every value is written.
template <int NW, class T>
void write_planes(const Game<NW>& g, T* out) {
  const unsigned area = g.area();
  const Player me = g.turn();
  Board<NW> b = g.board();
  auto step = [&](unsigned t) {
    write_points(b.stones(me), area, out + size_t(2 * t) * area);
    write_points(b.stones(opposite(me)), area, out + size_t(2 * t + 1) * area);
  };
  step(0);
  const auto& hist = g.history();
  const size_t n = hist.size();
  const unsigned k = unsigned(std::min<size_t>(n, kHistorySteps - 1));
  Player mover = opposite(me);  // made the last move
  for (unsigned t = 1; t <= k; ++t) {
    undo_on_board(b, hist[n - t], mover);
    step(t);
    mover = opposite(mover);
  }
  std::fill(out + size_t(2 * (k + 1)) * area, out + size_t(16) * area, T(0));
  std::fill(out + size_t(16) * area, out + size_t(17) * area, T(me == Player::Black ? 1 : 0));
}

inline void write_planes_zero(size_t area, void* out, PlaneType type) {
  std::memset(out, 0, kTotalInputPlanes * area * plane_item_bytes(type));
}

template <int NW>
void write_planes(const Game<NW>& g, void* out, PlaneType type) {
  if (type == PlaneType::F32)
    write_planes(g, static_cast<float*>(out));
  else
    write_planes(g, static_cast<uint8_t*>(out));
}

// area + 1 bytes: 1 at the legal placements, then the pass.
template <int NW>
void write_mask(const Bitboard<NW>& placements, bool pass, unsigned area, uint8_t* out) {
  write_points(placements, area, out);
  out[area] = pass ? 1 : 0;
}

}  // namespace vexlor::batch
