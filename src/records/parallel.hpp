// Work split over std::threads, with progress reported on the caller's thread
// (so a binding can take the interpreter lock there, and nowhere else).
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace vexlor::records {

// progress(done, total) on the caller's thread; returning false cancels.
using Progress = std::function<bool(size_t done, size_t total)>;

struct ParallelOptions {
  unsigned threads = 1;           // 0: one per hardware thread
  size_t grain = 1;               // items taken at a time
  double progress_seconds = 0.1;  // least time between two progress calls (the last call is always made)
};

inline unsigned resolve_threads(unsigned threads) {
  if (threads) return threads;
  const unsigned hw = std::thread::hardware_concurrency();
  return hw ? hw : 1;
}

// Runs body(begin, end) over consecutive ranges covering [0, n). With one
// thread everything runs on the caller's thread; with more, workers run the
// ranges while the caller waits and reports. Results must not depend on which
// thread runs a range. Returns false when progress cancelled (ranges not yet
// started are skipped); an exception from body stops the work and is rethrown.
template <class Body>
bool run_parallel(size_t n, const ParallelOptions& opt, Body&& body, const Progress& progress = {}) {
  using Clock = std::chrono::steady_clock;
  const size_t grain = std::max<size_t>(1, opt.grain);
  const auto interval = std::chrono::duration<double>(opt.progress_seconds);
  const unsigned threads = unsigned(std::min<size_t>(resolve_threads(opt.threads), (n + grain - 1) / grain));
  if (threads <= 1) {
    auto last = Clock::now();
    for (size_t i = 0; i < n; i += grain) {
      body(i, std::min(n, i + grain));
      if (progress && i + grain < n && Clock::now() - last >= interval) {
        last = Clock::now();
        if (!progress(i + grain, n)) return false;
      }
    }
    return !progress || progress(n, n);
  }

  std::atomic<size_t> next{0};
  std::atomic<size_t> done{0};
  std::atomic<bool> stop{false};
  std::mutex mu;
  std::condition_variable cv;
  std::exception_ptr error;
  size_t finished_workers = 0;
  auto worker = [&] {
    try {
      while (!stop.load(std::memory_order_relaxed)) {
        const size_t i = next.fetch_add(grain);
        if (i >= n) break;
        const size_t end = std::min(n, i + grain);
        body(i, end);
        done.fetch_add(end - i);
      }
    } catch (...) {
      std::lock_guard<std::mutex> lock(mu);
      if (!error) error = std::current_exception();
      stop = true;
    }
    std::lock_guard<std::mutex> lock(mu);
    ++finished_workers;
    cv.notify_all();
  };
  std::vector<std::thread> pool;
  pool.reserve(threads);
  for (unsigned k = 0; k < threads; ++k) pool.emplace_back(worker);
  bool cancelled = false;
  {
    std::unique_lock<std::mutex> lock(mu);
    while (finished_workers < threads) {
      cv.wait_for(lock, interval);
      if (progress && !cancelled && finished_workers < threads) {
        const size_t d = done.load();
        lock.unlock();
        bool go_on = false;
        try {
          go_on = progress(d, n);  // outside the lock: it may take long
        } catch (...) {
          lock.lock();
          if (!error) error = std::current_exception();
          lock.unlock();
        }
        lock.lock();
        if (!go_on) {
          cancelled = true;
          stop = true;
        }
      }
    }
  }
  for (std::thread& t : pool) t.join();
  if (error) std::rethrow_exception(error);
  if (cancelled) return false;
  return !progress || progress(n, n);
}

}  // namespace vexlor::records
