// The search's random draws: splitmix64 and the doubles, Gumbel and Dirichlet
// samples built on it. Every formula below is written out so that plain Python
// (ints, floats and the math module, which call the same C library) draws the
// same numbers bit for bit.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#if defined(__FAST_MATH__)
#error "the search needs IEEE arithmetic: build without -ffast-math"
#endif

namespace vexlor::search {

inline constexpr uint64_t kGolden = 0x9E3779B97F4A7C15ULL;
inline constexpr uint64_t kStreamKey = 0xD1B54A32D192ED03ULL;

// The splitmix64 output function.
constexpr uint64_t mix64(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

// splitmix64: state += golden, output mix64(state). A tree's stream starts
// from seed ^ (tree * kStreamKey), so tree 0 of seed s is plain splitmix64(s).
class Random {
 public:
  constexpr explicit Random(uint64_t seed = 0, uint64_t stream = 0) : state_(seed ^ (stream * kStreamKey)) {}

  constexpr uint64_t next() {
    state_ += kGolden;
    return mix64(state_);
  }

  // (next() >> 11) * 2^-53, in [0, 1).
  double uniform() { return double(next() >> 11) * 0x1.0p-53; }

  // ((next() >> 11) + 0.5) * 2^-53, in (0, 1): safe under log.
  double uniform_open() { return (double(next() >> 11) + 0.5) * 0x1.0p-53; }

  // -log(-log(u)) with u = uniform_open().
  double gumbel() { return -std::log(-std::log(uniform_open())); }

  // Box-Muller, cosine branch: sqrt(-2 log u1) * cos(2 pi u2), u1 = uniform_open(), then u2 = uniform().
  double normal() {
    const double u1 = uniform_open();
    const double u2 = uniform();
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
  }

  // Gamma(alpha, 1), alpha > 0: Marsaglia-Tsang; below 1, gamma(alpha + 1) * u^(1/alpha)
  // with the gamma drawn first.
  double gamma(double alpha) {
    if (alpha < 1.0) {
      const double g = gamma(alpha + 1.0);
      const double u = uniform_open();
      return g * std::pow(u, 1.0 / alpha);
    }
    const double d = alpha - 1.0 / 3.0;
    const double c = 1.0 / std::sqrt(9.0 * d);
    for (;;) {
      const double x = normal();
      double v = 1.0 + c * x;
      if (v <= 0.0) continue;
      v = v * v * v;
      const double u = uniform_open();
      if (u < 1.0 - 0.0331 * (x * x) * (x * x)) return d * v;
      if (std::log(u) < 0.5 * x * x + d * (1.0 - v + std::log(v))) return d * v;
    }
  }

  // Dirichlet(alpha, ..., alpha) over n entries: gammas drawn in order, divided
  // by their sum (added in order); all 1/n if every gamma underflowed to 0.
  void dirichlet(double alpha, double* out, size_t n) {
    double sum = 0.0;
    for (size_t i = 0; i < n; ++i) {
      out[i] = gamma(alpha);
      sum += out[i];
    }
    for (size_t i = 0; i < n; ++i) out[i] = sum > 0.0 ? out[i] / sum : 1.0 / double(n);
  }

  uint64_t state() const { return state_; }

 private:
  uint64_t state_;
};

}  // namespace vexlor::search
