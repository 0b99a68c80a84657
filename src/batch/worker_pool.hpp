// A small persistent pool that splits one index range over its threads.
// The calling thread takes the first part and waits for the others, so a
// pool of one thread starts none. Parts are contiguous and every index is
// handled exactly once: work that depends only on its index gives the same
// result for every thread count.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace vexlor::batch {

class WorkerPool {
 public:
  // Upper bound on threads, so a bad count cannot exhaust the process.
  static constexpr unsigned kMaxThreads = 256;

  // threads in 1..kMaxThreads; throws std::system_error when a thread cannot start.
  explicit WorkerPool(unsigned threads) : threads_(std::clamp(threads, 1u, kMaxThreads)) {
    workers_.reserve(threads_ - 1);
    try {
      for (unsigned w = 1; w < threads_; ++w) workers_.emplace_back([this, w] { work(w); });
    } catch (...) {
      stop();
      throw;
    }
  }
  ~WorkerPool() { stop(); }
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  unsigned threads() const { return threads_; }

  // Calls f(begin, end) on parts of [0, n) of at least min_part indices, at
  // most one part per thread, and returns when all are done. The first
  // exception a part throws is rethrown here after every part has finished.
  // Not reentrant: one run at a time per pool.
  template <class F>
  void run(size_t n, F&& f, size_t min_part = 1) {
    const size_t by_size = std::max<size_t>(1, n / std::max<size_t>(min_part, 1));
    const unsigned parts = unsigned(std::min<size_t>(threads_, by_size));
    if (parts <= 1) {
      if (n) f(size_t{0}, n);
      return;
    }
    auto call = [&f, n, parts](unsigned part) { f(n * part / parts, n * (part + 1) / parts); };
    Task task{&call, [](void* c, unsigned part) { (*static_cast<decltype(call)*>(c))(part); }, parts};
    {
      std::lock_guard<std::mutex> lock(mutex_);
      task_ = task;
      pending_ = parts - 1;
      error_ = nullptr;
      ++generation_;
    }
    start_.notify_all();
    std::exception_ptr mine;
    try {
      call(0);
    } catch (...) {
      mine = std::current_exception();
    }
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return pending_ == 0; });
    if (mine) std::rethrow_exception(mine);
    if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
  }

 private:
  struct Task {
    void* ctx = nullptr;
    void (*fn)(void*, unsigned) = nullptr;
    unsigned parts = 0;
  };

  void work(unsigned index) {
    uint64_t seen = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      start_.wait(lock, [&] { return stopping_ || generation_ != seen; });
      if (stopping_) return;
      seen = generation_;
      const Task task = task_;
      if (index >= task.parts) continue;
      lock.unlock();
      std::exception_ptr err;
      try {
        task.fn(task.ctx, index);
      } catch (...) {
        err = std::current_exception();
      }
      lock.lock();
      if (err && !error_) error_ = err;
      if (--pending_ == 0) done_.notify_one();
    }
  }

  void stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    start_.notify_all();
    for (std::thread& t : workers_) t.join();
    workers_.clear();
  }

  const unsigned threads_;
  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable start_, done_;
  Task task_;
  uint64_t generation_ = 0;
  unsigned pending_ = 0;
  bool stopping_ = false;
  std::exception_ptr error_;
};

}  // namespace vexlor::batch
