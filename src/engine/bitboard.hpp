// Fixed-size point sets: NW 64-bit words, point p is bit p%64 of word p/64.
#pragma once

#include <array>
#include <bit>
#include <cassert>
#include <cstdint>

namespace vexlor {

// Inline population count: without a popcnt target, std::popcount becomes a
// library call, and the portable build must run on any x86-64.
constexpr int popcount64(uint64_t x) {
#if defined(__POPCNT__)
  return std::popcount(x);
#else
  x = x - ((x >> 1) & 0x5555555555555555ULL);
  x = (x & 0x3333333333333333ULL) + ((x >> 2) & 0x3333333333333333ULL);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
  return int((x * 0x0101010101010101ULL) >> 56);
#endif
}

template <int NW>
struct Bitboard {
  static_assert(NW >= 1 && NW <= 16, "NW must be 1..16");
  static constexpr unsigned kBits = 64u * NW;

  std::array<uint64_t, NW> w{};

  // The set holding only p; p < 64*NW.
  static constexpr Bitboard single(unsigned p) {
    assert(p < kBits);
    Bitboard b;
    b.w[p >> 6] = uint64_t{1} << (p & 63);
    return b;
  }

  constexpr bool test(unsigned p) const {
    assert(p < kBits);
    return (w[p >> 6] >> (p & 63)) & 1u;
  }
  constexpr void insert(unsigned p) {
    assert(p < kBits);
    w[p >> 6] |= uint64_t{1} << (p & 63);
  }
  constexpr void remove(unsigned p) {
    assert(p < kBits);
    w[p >> 6] &= ~(uint64_t{1} << (p & 63));
  }

  constexpr bool empty() const {
    uint64_t acc = 0;
    for (int i = 0; i < NW; ++i) acc |= w[i];
    return acc == 0;
  }
  constexpr bool any() const { return !empty(); }

  constexpr int count() const {
    int n = 0;
    for (int i = 0; i < NW; ++i) n += popcount64(w[i]);
    return n;
  }

  // Lowest set index; the set must not be empty.
  constexpr unsigned lowest() const {
    for (int i = 0; i < NW; ++i)
      if (w[i]) return unsigned(i) * 64u + unsigned(std::countr_zero(w[i]));
    assert(false);
    return kBits;
  }

  // Calls f(index) for every set bit, ascending.
  template <class F>
  constexpr void for_each(F&& f) const {
    for (int i = 0; i < NW; ++i) {
      uint64_t x = w[i];
      while (x) {
        f(unsigned(i) * 64u + unsigned(std::countr_zero(x)));
        x &= x - 1;
      }
    }
  }

  // Towards higher indices; bits pushed past the top are lost.
  constexpr Bitboard shl(unsigned k) const {
    Bitboard r;
    if (k >= kBits) return r;
    const int q = int(k >> 6), s = int(k & 63);
    for (int j = NW - 1; j >= q; --j) {
      uint64_t v = w[j - q] << s;
      if (s && j - q - 1 >= 0) v |= w[j - q - 1] >> (64 - s);
      r.w[j] = v;
    }
    return r;
  }

  // Towards lower indices; bits pushed below 0 are lost.
  constexpr Bitboard shr(unsigned k) const {
    Bitboard r;
    if (k >= kBits) return r;
    const int q = int(k >> 6), s = int(k & 63);
    for (int j = 0; j + q < NW; ++j) {
      uint64_t v = w[j + q] >> s;
      if (s && j + q + 1 < NW) v |= w[j + q + 1] << (64 - s);
      r.w[j] = v;
    }
    return r;
  }

  // Shifts by 1..63 bits, the only ones board geometry needs (width <= 32).
  constexpr Bitboard shl_small(unsigned s) const {
    assert(s >= 1 && s < 64);
    Bitboard r;
    r.w[0] = w[0] << s;
    for (int j = 1; j < NW; ++j) r.w[j] = (w[j] << s) | (w[j - 1] >> (64 - s));
    return r;
  }
  constexpr Bitboard shr_small(unsigned s) const {
    assert(s >= 1 && s < 64);
    Bitboard r;
    for (int j = 0; j + 1 < NW; ++j) r.w[j] = (w[j] >> s) | (w[j + 1] << (64 - s));
    r.w[NW - 1] = w[NW - 1] >> s;
    return r;
  }

  constexpr Bitboard operator&(const Bitboard& o) const {
    Bitboard r;
    for (int i = 0; i < NW; ++i) r.w[i] = w[i] & o.w[i];
    return r;
  }
  constexpr Bitboard operator|(const Bitboard& o) const {
    Bitboard r;
    for (int i = 0; i < NW; ++i) r.w[i] = w[i] | o.w[i];
    return r;
  }
  constexpr Bitboard operator^(const Bitboard& o) const {
    Bitboard r;
    for (int i = 0; i < NW; ++i) r.w[i] = w[i] ^ o.w[i];
    return r;
  }
  // This set without the points of o.
  constexpr Bitboard minus(const Bitboard& o) const {
    Bitboard r;
    for (int i = 0; i < NW; ++i) r.w[i] = w[i] & ~o.w[i];
    return r;
  }

  constexpr Bitboard& operator&=(const Bitboard& o) { return *this = *this & o; }
  constexpr Bitboard& operator|=(const Bitboard& o) { return *this = *this | o; }
  constexpr Bitboard& operator^=(const Bitboard& o) { return *this = *this ^ o; }

  constexpr bool intersects(const Bitboard& o) const {
    uint64_t acc = 0;
    for (int i = 0; i < NW; ++i) acc |= w[i] & o.w[i];
    return acc != 0;
  }

  constexpr bool operator==(const Bitboard&) const = default;
};

}  // namespace vexlor
