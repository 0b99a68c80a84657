// The test binary's one replacement of the global operator new: it forwards to
// malloc, counts allocations while counting is on, and can make the k-th
// allocation from now throw std::bad_alloc.
#pragma once

#include <atomic>

namespace vexlor::testing::alloc {

// > 0: allocations left before one fails; 0: none fails.
extern std::atomic<long> countdown;
// Allocations made while `counting` is set, the consistency checker's apart.
extern std::atomic<long> allocations;
extern std::atomic<bool> counting;

}  // namespace vexlor::testing::alloc
