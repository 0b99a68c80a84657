// Running engine work with the interpreter lock released.
#pragma once

#include "ref.hpp"

namespace vexlor::py {

// Runs f with the interpreter lock released when `release`. f must not touch
// Python objects, and everything it reads must be held by an Access (so that
// no thread holding the lock can change it meanwhile).
template <class F>
void maybe_without_lock(bool release, F&& f) {
  if (!release) {
    f();
    return;
  }
  PyThreadState* ts = PyEval_SaveThread();
  try {
    f();
  } catch (...) {
    PyEval_RestoreThread(ts);
    throw;
  }
  PyEval_RestoreThread(ts);
}

}  // namespace vexlor::py
