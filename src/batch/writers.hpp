// Fast writers of a game's input planes and legal-action mask into caller
// memory: point sets are expanded sixteen points at a time (SSE2 compares
// where available), never point by point. The
// values are those of encode_planes (encode.hpp) and of a legal listing.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "batch/board_ring.hpp"
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

// Bits 16j .. 16j + 15 of s.
template <int NW>
inline uint32_t chunk_of(const Bitboard<NW>& s, unsigned j) {
  return uint32_t(s.w[j >> 2] >> ((j & 3) * 16)) & 0xFFFF;
}

// The 16 bits of b as 16 values, lowest first.
#if defined(__SSE2__)
inline void spread16(uint32_t b, uint8_t* out) {
  __m128i x = _mm_cvtsi32_si128(int(b));
  x = _mm_unpacklo_epi8(x, x);
  x = _mm_unpacklo_epi16(x, x);
  x = _mm_unpacklo_epi32(x, x);  // byte k holds bits 8 (k / 8) .. 8 (k / 8) + 7
  const __m128i bit = _mm_set_epi8(-128, 64, 32, 16, 8, 4, 2, 1, -128, 64, 32, 16, 8, 4, 2, 1);
  x = _mm_cmpeq_epi8(_mm_and_si128(x, bit), bit);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_and_si128(x, _mm_set1_epi8(1)));
}
inline void spread16(uint32_t b, float* out) {
  const __m128i bit = _mm_set_epi32(8, 4, 2, 1);
  const __m128i one = _mm_set1_epi32(0x3F800000);  // 1.0f
  for (unsigned q = 0; q < 4; ++q) {
    const __m128i x = _mm_and_si128(_mm_set1_epi32(int(b >> (4 * q))), bit);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * q), _mm_and_si128(_mm_cmpeq_epi32(x, bit), one));
  }
}
#else
// kSpread[b][k] = bit k of b.
inline constexpr auto kSpread = [] {
  std::array<std::array<uint8_t, 8>, 256> t{};
  for (unsigned b = 0; b < 256; ++b)
    for (unsigned k = 0; k < 8; ++k) t[b][k] = uint8_t((b >> k) & 1);
  return t;
}();

inline void spread16(uint32_t b, uint8_t* out) {
  std::memcpy(out, kSpread[b & 0xFF].data(), 8);
  std::memcpy(out + 8, kSpread[b >> 8].data(), 8);
}
inline void spread16(uint32_t b, float* out) {
  for (unsigned k = 0; k < 16; ++k) out[k] = float((b >> k) & 1);
}
#endif

template <class T>
inline void spread_exact(uint32_t b, T* out, unsigned n) {
  for (unsigned k = 0; k < n; ++k) out[k] = T((b >> k) & 1);
}

}  // namespace detail

// out[p] = 1 for the points p < n of s, 0 for the others. With `spill`, the
// values from n up to the next multiple of 16 are written too (as 0): for
// callers that write those places again afterwards.
template <int NW, class T>
[[gnu::always_inline]] inline void write_points(const Bitboard<NW>& s, unsigned n, T* out, bool spill = false) {
  const unsigned full = n / 16;
  for (unsigned j = 0; j < full; ++j) detail::spread16(detail::chunk_of(s, j), out + 16 * j);
  if (n % 16 == 0) return;
  if (spill)
    detail::spread16(detail::chunk_of(s, full), out + 16 * full);
  else
    detail::spread_exact(detail::chunk_of(s, full), out + 16 * full, n % 16);
}

// The 17 planes of a game whose last boards are `ring` and whose side to move
// is `me` (encode.hpp's layout, me's view) into 17 * area values at out;
// every value is written.
template <int NW, class T>
void write_planes(const BoardRing<NW>& ring, Player me, unsigned area, T* out) {
  // Planes are written in order and plane 16 last, so each may spill into
  // the next when the last plane is long enough to take a spill.
  const bool spill = area >= 16;
  const unsigned boards = ring.count();
  for (unsigned t = 0; t < boards; ++t) {
    write_points(ring.stones(t, me), area, out + size_t(2 * t) * area, spill);
    write_points(ring.stones(t, opposite(me)), area, out + size_t(2 * t + 1) * area, spill);
  }
  std::fill(out + size_t(2 * boards) * area, out + size_t(16) * area, T(0));
  std::fill(out + size_t(16) * area, out + size_t(17) * area, T(me == Player::Black ? 1 : 0));
}

template <int NW>
void write_planes(const BoardRing<NW>& ring, Player me, unsigned area, void* out, PlaneType type) {
  if (type == PlaneType::F32)
    write_planes(ring, me, area, static_cast<float*>(out));
  else
    write_planes(ring, me, area, static_cast<uint8_t*>(out));
}

// area + 1 bytes: 1 at the legal placements, then the pass.
template <int NW>
void write_mask(const Bitboard<NW>& placements, bool pass, unsigned area, uint8_t* out) {
  write_points(placements, area, out);
  out[area] = pass ? 1 : 0;
}

}  // namespace vexlor::batch
