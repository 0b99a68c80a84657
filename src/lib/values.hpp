// Shared pieces of the two immutable value classes (Move, GameOutcome).
#pragma once

#include "objects.hpp"

namespace vexlor::py {

// == by value for our own type, NotImplemented otherwise; != negates the
// interpreter's full == (fallbacks included); no ordering.
template <class Obj, class Eq>
PyObject* value_richcompare(PyObject* self, PyObject* other, int op, PyTypeObject* type, Eq eq) {
  if (op == Py_NE) {
    PyObject* r = PyObject_RichCompare(self, other, Py_EQ);
    if (!r) return nullptr;
    const int t = PyObject_IsTrue(r);
    Py_DECREF(r);
    if (t < 0) return nullptr;
    return new_bool(!t);
  }
  if (op != Py_EQ || Py_TYPE(other) != type) Py_RETURN_NOTIMPLEMENTED;
  return new_bool(eq(*reinterpret_cast<Obj*>(self), *reinterpret_cast<Obj*>(other)));
}

}  // namespace vexlor::py
