#include "test_allocator.hpp"

#include <cstdlib>
#include <new>

#include "engine/game.hpp"

namespace vexlor::testing::alloc {

std::atomic<long> countdown{0};
std::atomic<long> allocations{0};
std::atomic<bool> counting{false};

namespace {

void* allocate(std::size_t n) {
  if (counting.load(std::memory_order_relaxed) && detail::consistency_checks_running == 0)
    allocations.fetch_add(1, std::memory_order_relaxed);
  if (countdown.load(std::memory_order_relaxed) > 0 && countdown.fetch_sub(1) == 1) throw std::bad_alloc();
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}

}  // namespace
}  // namespace vexlor::testing::alloc

// GCC cannot see that the matching delete is free() as well.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t n) { return vexlor::testing::alloc::allocate(n); }
void* operator new[](std::size_t n) { return vexlor::testing::alloc::allocate(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
