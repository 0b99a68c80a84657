// The machinery every class file uses: method table entries behind the error
// boundary, instance allocation and release, and the methods one class defines
// in another file.
#pragma once

#include <new>
#include <utility>

#include "args.hpp"
#include "objects.hpp"

namespace vexlor::py {

// Text signature header for a docstring: "name(params)\n--\n\n".
#define VX_SIG(text) text "\n--\n\n"

// Fast-call method entry: binds the C++ body behind the error boundary.
template <PyObject* (*Impl)(PyObject*, const CallArgs&)>
PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] { return Impl(self, CallArgs{args, nargs, kwnames}); });
}

// One PyMethodDef entry. A static method's self is its class (state_of_class).
#define VX_METHOD(name, impl, flags, sig)                                                  \
  {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&fastcall<impl>)), \
   METH_FASTCALL | METH_KEYWORDS | (flags), VX_SIG(sig)}

// Allocates an instance of t and constructs field in place from v; the object
// owns it from then on. A construction that throws (a copy out of memory)
// leaves nothing behind.
template <class Obj, class Field, class Value>
PyObject* new_holder(PyTypeObject* t, Field Obj::* field, Value&& v) {
  if (!t) raise(PyExc_RuntimeError, "the vexlor_go module has been torn down");
  Obj* self = reinterpret_cast<Obj*>(t->tp_alloc(t, 0));
  if (!self) throw PythonError{};
  try {
    new (&(self->*field)) Field(std::forward<Value>(v));
  } catch (...) {
    PyObject* o = reinterpret_cast<PyObject*>(self);
    if (PyObject_IS_GC(o)) PyObject_GC_UnTrack(o);
    t->tp_free(o);  // the field was never made: no destructor to run
    Py_DECREF(t);   // the instance's reference to its class
    throw;
  }
  if constexpr (requires { self->access; }) new (&self->access) AccessFlag{};
  return reinterpret_cast<PyObject*>(self);
}

// Deallocates a heap-type instance holding one C++ member.
template <class Obj, class Field, Field Obj::* F>
void dealloc_holder(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  (reinterpret_cast<Obj*>(self)->*F).~Field();
  tp->tp_free(self);
  Py_DECREF(tp);
}

// Game methods defined in buffers.cpp: writes into caller buffers, one game or many.
PyObject* game_encode_planes_into(PyObject* self, const CallArgs& call);
PyObject* game_legal_action_mask_into(PyObject* self, const CallArgs& call);
PyObject* game_encode_planes_batch(PyObject* cls, const CallArgs& call);
PyObject* game_legal_action_mask_batch(PyObject* cls, const CallArgs& call);

// Game methods defined in symmetry.cpp: the board symmetries on buffers and actions.
PyObject* game_transform_planes(PyObject* cls, const CallArgs& call);
PyObject* game_transform_policy(PyObject* cls, const CallArgs& call);
PyObject* game_transform_action(PyObject* cls, const CallArgs& call);
PyObject* game_inverse_transform(PyObject* cls, const CallArgs& call);
PyObject* game_valid_transforms(PyObject* cls, const CallArgs& call);

// Pickling and copying, defined in pickle.cpp.
PyObject* game_reduce(PyObject* self, const CallArgs& call);
PyObject* game_from_state(PyObject* cls, const CallArgs& call);
PyObject* game_copy(PyObject* self, const CallArgs& call);
PyObject* game_deepcopy(PyObject* self, const CallArgs& call);
PyObject* board_reduce(PyObject* self, const CallArgs& call);
PyObject* board_from_state(PyObject* cls, const CallArgs& call);
PyObject* board_copy(PyObject* self, const CallArgs& call);
PyObject* board_deepcopy(PyObject* self, const CallArgs& call);
PyObject* move_reduce(PyObject* self, const CallArgs& call);
PyObject* outcome_reduce(PyObject* self, const CallArgs& call);
PyObject* outcome_from_code(PyObject* cls, const CallArgs& call);
// Copies of the immutable Move and GameOutcome are the objects themselves.
PyObject* value_copy(PyObject* self, const CallArgs& call);
PyObject* value_deepcopy(PyObject* self, const CallArgs& call);

}  // namespace vexlor::py
