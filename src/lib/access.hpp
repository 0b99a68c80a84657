// Shared/exclusive access flag: a call that would overlap a conflicting one
// on the same object (re-entry from an argument's conversion code) is refused.
#pragma once

#include "ref.hpp"

namespace vexlor::py {

struct AccessFlag {
  int state = 0;  // > 0: readers, -1: one writer
};

class Access {
 public:
  enum Mode { Shared, Exclusive };

  Access(AccessFlag& flag, Mode mode) : flag_(flag), mode_(mode) {
    if (mode == Exclusive) {
      if (flag.state != 0) raise(PyExc_RuntimeError, "object is already in use by another call");
      flag.state = -1;
    } else {
      if (flag.state < 0) raise(PyExc_RuntimeError, "object is being changed by another call");
      ++flag.state;
    }
  }
  ~Access() {
    if (mode_ == Exclusive)
      flag_.state = 0;
    else
      --flag_.state;
  }
  Access(const Access&) = delete;
  Access& operator=(const Access&) = delete;

 private:
  AccessFlag& flag_;
  Mode mode_;
};

}  // namespace vexlor::py
