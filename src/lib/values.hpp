// Shared pieces of the two immutable value classes (Move, GameOutcome) and
// the reward rules Game and GameOutcome both apply.
#pragma once

#include <optional>

#include "objects.hpp"

namespace vexlor::py {

// == by value for our own type, NotImplemented otherwise; != negates the
// interpreter's full == (fallbacks included); no ordering.
template <class Obj, class Eq>
PyObject* value_richcompare(PyObject* self, PyObject* other, int op, Eq eq) {
  if (op == Py_NE) {
    PyObject* r = PyObject_RichCompare(self, other, Py_EQ);
    if (!r) return nullptr;
    const int t = PyObject_IsTrue(r);
    Py_DECREF(r);
    if (t < 0) return nullptr;
    return new_bool(!t);
  }
  if (op != Py_EQ || Py_TYPE(other) != Py_TYPE(self)) Py_RETURN_NOTIMPLEMENTED;
  return new_bool(eq(*reinterpret_cast<Obj*>(self), *reinterpret_cast<Obj*>(other)));
}

// Black's reward seen from `perspective` (1 Black, -1 White, as a float);
// any other perspective raises ValueError with `refusal`.
inline PyObject* reward_seen_from(int8_t perspective, double black, const char* refusal) {
  if (perspective == 1) return PyFloat_FromDouble(black);
  if (perspective == -1) return PyFloat_FromDouble(-black + 0.0);  // a draw is +0.0 from both sides
  raise(PyExc_ValueError, refusal);
}

}  // namespace vexlor::py
