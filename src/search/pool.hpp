// A growable array of plain values that keeps its memory: clearing and
// truncating free nothing, and appending hands out slots without writing them,
// so that a search tree refills the same memory move after move.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace vexlor::search {

template <class T>
class Pool {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

 public:
  Pool() = default;
  Pool(const Pool& o) { *this = o; }
  Pool(Pool&& o) noexcept { swap(o); }
  Pool& operator=(const Pool& o) {
    if (this != &o) {
      clear();
      reserve(o.size_);
      if (o.size_) std::memcpy(static_cast<void*>(data_), o.data_, o.size_ * sizeof(T));
      size_ = o.size_;
    }
    return *this;
  }
  Pool& operator=(Pool&& o) noexcept {
    swap(o);
    return *this;
  }
  ~Pool() { std::free(data_); }

  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }
  T* data() { return data_; }
  const T* data() const { return data_; }
  T& operator[](size_t i) { return data_[i]; }
  const T& operator[](size_t i) const { return data_[i]; }
  T* begin() { return data_; }
  T* end() { return data_ + size_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }
  T& back() { return data_[size_ - 1]; }

  void clear() { size_ = 0; }
  // Keeps the first n values (n <= size()).
  void truncate(size_t n) { size_ = std::min(n, size_); }

  // Room for n values in all; never shrinks.
  void reserve(size_t n) {
    if (n <= capacity_) return;
    void* p = std::realloc(static_cast<void*>(data_), n * sizeof(T));
    if (!p) throw std::bad_alloc();
    data_ = static_cast<T*>(p);
    capacity_ = n;
  }

  // n more slots at the end, not initialised; the memory grows by half at least.
  T* append(size_t n) {
    if (size_ + n > capacity_) reserve(std::max(size_ + n, capacity_ + capacity_ / 2));
    T* p = data_ + size_;
    size_ += n;
    return p;
  }
  void push_back(const T& x) { *append(1) = x; }

 private:
  void swap(Pool& o) noexcept {
    std::swap(data_, o.data_);
    std::swap(size_, o.size_);
    std::swap(capacity_, o.capacity_);
  }

  T* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

}  // namespace vexlor::search
