// Shared/exclusive access flag: a call that would overlap a conflicting one
// on the same object (re-entry from an argument's conversion code, or another
// thread while a batch works without the interpreter lock) is refused.
// The flag is only touched with the interpreter lock held.
#pragma once

#include <utility>

#include "ref.hpp"

namespace vexlor::py {

struct AccessFlag {
  int state = 0;  // > 0: readers, -1: one writer
};

// Holds one access to one object for its lifetime; the only code that changes a flag.
class Access {
 public:
  enum Mode { Shared, Exclusive };

  // Raises RuntimeError when the access conflicts with one already held.
  Access(AccessFlag& flag, Mode mode) : flag_(&flag), mode_(mode) {
    if (mode == Exclusive) {
      if (flag.state != 0) raise(PyExc_RuntimeError, "object is already in use by another call");
      flag.state = -1;
    } else {
      if (flag.state < 0) raise(PyExc_RuntimeError, "object is being changed by another call");
      ++flag.state;
    }
  }
  // For any object layout with an `access` member.
  template <class Obj>
  Access(Obj* object, Mode mode) : Access(object->access, mode) {}

  Access(Access&& o) noexcept : flag_(std::exchange(o.flag_, nullptr)), mode_(o.mode_) {}
  Access(const Access&) = delete;
  Access& operator=(const Access&) = delete;
  Access& operator=(Access&&) = delete;
  ~Access() {
    if (!flag_) return;
    if (mode_ == Exclusive)
      flag_->state = 0;
    else
      --flag_->state;
  }

  // Whether taking `mode` now would be refused (for callers that word the refusal themselves).
  static bool conflicts(const AccessFlag& flag, Mode mode) {
    return mode == Exclusive ? flag.state != 0 : flag.state < 0;
  }

 private:
  AccessFlag* flag_;
  Mode mode_;
};

}  // namespace vexlor::py
