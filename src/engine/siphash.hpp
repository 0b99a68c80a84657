// SipHash-1-3 under the all-zero key: the one hash of every exposed value.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "force_inline.hpp"

namespace vexlor {

class SipHasher13 {
 public:
  // Absorbs bytes in stream order.
  void write(const uint8_t* data, size_t n) {
    length_ += n;
    if (ntail_) {
      while (n && ntail_ < 8) {
        tail_ |= uint64_t(*data++) << (8 * ntail_++);
        --n;
      }
      if (ntail_ < 8) return;
      compress(tail_);
      tail_ = 0;
      ntail_ = 0;
    }
    while (n >= 8) {
      uint64_t m = 0;
      for (int i = 0; i < 8; ++i) m |= uint64_t(data[i]) << (8 * i);
      compress(m);
      data += 8;
      n -= 8;
    }
    while (n) {
      tail_ |= uint64_t(*data++) << (8 * ntail_++);
      --n;
    }
  }

  void write_u8(uint8_t b) { write(&b, 1); }

  // Finishes a stream whose length is a multiple of 8 plus `n` (< 8) trailing
  // bytes packed little-endian in `tail`; the stream so far must be 8-aligned.
  VEXLOR_INLINE uint64_t finish_with_tail(uint64_t tail, unsigned n) {
    length_ += n;
    tail_ = tail;
    ntail_ = n;
    return finish();
  }

  // Eight bytes, little-endian.
  VEXLOR_INLINE void write_u64(uint64_t v) {
    if (ntail_ == 0) {
      length_ += 8;
      compress(v);
      return;
    }
    uint8_t buf[8];
    for (int i = 0; i < 8; ++i) buf[i] = uint8_t(v >> (8 * i));
    write(buf, 8);
  }

  uint64_t finish() const {
    uint64_t v0 = v0_, v1 = v1_, v2 = v2_, v3 = v3_;
    const uint64_t b = (uint64_t(length_ & 0xff) << 56) | tail_;
    v3 ^= b;
    round(v0, v1, v2, v3);
    v0 ^= b;
    v2 ^= 0xff;
    round(v0, v1, v2, v3);
    round(v0, v1, v2, v3);
    round(v0, v1, v2, v3);
    return v0 ^ v1 ^ v2 ^ v3;
  }

 private:
  static VEXLOR_INLINE void round(uint64_t& v0, uint64_t& v1, uint64_t& v2, uint64_t& v3) {
    v0 += v1;
    v1 = std::rotl(v1, 13);
    v1 ^= v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = std::rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = std::rotl(v1, 17);
    v1 ^= v2;
    v2 = std::rotl(v2, 32);
  }
  VEXLOR_INLINE void compress(uint64_t m) {
    v3_ ^= m;
    round(v0_, v1_, v2_, v3_);
    v0_ ^= m;
  }

  uint64_t v0_ = 0x736f6d6570736575ULL;
  uint64_t v1_ = 0x646f72616e646f6dULL;
  uint64_t v2_ = 0x6c7967656e657261ULL;
  uint64_t v3_ = 0x7465646279746573ULL;
  uint64_t tail_ = 0;
  unsigned ntail_ = 0;
  uint64_t length_ = 0;
};

inline uint64_t siphash13(const uint8_t* data, size_t n) {
  SipHasher13 h;
  h.write(data, n);
  return h.finish();
}

}  // namespace vexlor
