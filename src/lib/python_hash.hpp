// The interpreter's view of a 64-bit hash. Plain C++ (no Python.h), so the
// engine tests can pin it next to the hashes it is applied to.
#pragma once

#include <bit>
#include <cstdint>

namespace vexlor::py {

// Signed, with -1 (the interpreter's error value) replaced by -2.
inline int64_t python_hash(uint64_t h) {
  const int64_t s = std::bit_cast<int64_t>(h);
  return s == -1 ? -2 : s;
}

}  // namespace vexlor::py
