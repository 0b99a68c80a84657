// The four Python classes: object layouts, type objects, and constructors used across files.
#pragma once

#include "access.hpp"
#include "args.hpp"
#include "dispatch.hpp"
#include "engine/board.hpp"
#include "engine/game.hpp"
#include "engine/outcome.hpp"
#include "ref.hpp"

namespace vexlor::py {

using BoardVariant = NwVariant<Board>;
using GameVariant = NwVariant<Game>;

struct PyBoard {
  PyObject_HEAD
  AccessFlag access;
  BoardVariant board;
};

struct PyGame {
  PyObject_HEAD
  AccessFlag access;
  GameVariant game;
  // The list legal_action_indices last returned (null until then): once its
  // caller drops it, the next call refills it instead of building a new one.
  PyObject* action_list;
};

struct PyMove {
  PyObject_HEAD
  Move move;
};

struct PyGameOutcome {
  PyObject_HEAD
  GameOutcome outcome;
};

// Type objects, created once by the module's execution step and reused.
PyTypeObject* board_type();
PyTypeObject* game_type();
PyTypeObject* move_type();
PyTypeObject* outcome_type();

// New Python objects wrapping engine values.
PyObject* new_board_object(BoardVariant&& b);
PyObject* new_game_object(GameVariant&& g);
PyObject* new_move_object(Move m);
PyObject* new_outcome_object(GameOutcome o);

// Allocates an instance of t and constructs field in place; the object owns it from then on.
template <class Obj, class Field, class Value>
PyObject* new_holder(PyTypeObject* t, Field Obj::*field, Value&& v) {
  Obj* self = reinterpret_cast<Obj*>(t->tp_alloc(t, 0));
  if (!self) throw PythonError{};
  new (&(self->*field)) Field(std::forward<Value>(v));
  if constexpr (requires { self->access; }) new (&self->access) AccessFlag{};
  return reinterpret_cast<PyObject*>(self);
}

// The size rule shared by Board and Game: width first, then height.
inline void check_board_size(uint64_t width, uint64_t height) {
  if (width < 2 || width > 32) raise(PyExc_ValueError, "Board width must be between 2 and 32");
  if (height < 2 || height > 32) raise(PyExc_ValueError, "Board height must be between 2 and 32");
}

// Text signature header for a docstring: "name(params)\n--\n\n".
#define VX_SIG(text) text "\n--\n\n"

// Fast-call method entry: binds the C++ body behind the error boundary.
template <PyObject* (*Impl)(PyObject*, const CallArgs&)>
PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] { return Impl(self, CallArgs{args, nargs, kwnames}); });
}

#define VX_METHOD(name, impl, flags, sig) \
  {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&fastcall<impl>)), \
   METH_FASTCALL | METH_KEYWORDS | (flags), VX_SIG(sig)}

// Deallocates a heap-type instance holding one C++ member.
template <class Obj, class Field, Field Obj::*F>
void dealloc_holder(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  (reinterpret_cast<Obj*>(self)->*F).~Field();
  tp->tp_free(self);
  Py_DECREF(tp);
}

// Creates the type once; later calls return the same object.
inline PyTypeObject* cached_type(PyTypeObject*& slot, PyType_Spec& spec) {
  if (!slot) slot = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  return slot;
}

// 1, -1 or None.
inline PyObject* piece_to_py(std::optional<Player> p) {
  if (!p) return new_none();
  return PyLong_FromLong(long(static_cast<int8_t>(*p)));
}

// Piece argument: None, or a signed 8-bit 1 / -1 (ValueError otherwise).
std::optional<Player> piece_from_py(PyObject* o);

// Int objects for action indices, made once (0..1025 covers every board).
inline constexpr size_t kCachedActionInts = 1026;
extern PyObject* action_ints[kCachedActionInts];
inline PyObject* action_int(size_t v) {
  return v < kCachedActionInts ? Py_NewRef(action_ints[v]) : PyLong_FromSize_t(v);
}

// Game methods defined in buffers.cpp: writes into caller buffers and board symmetries.
PyObject* game_encode_planes_into(PyObject* self, const CallArgs& call);
PyObject* game_legal_action_mask_into(PyObject* self, const CallArgs& call);
PyObject* game_encode_planes_batch(PyObject* self, const CallArgs& call);
PyObject* game_legal_action_mask_batch(PyObject* self, const CallArgs& call);
PyObject* game_transform_planes(PyObject* self, const CallArgs& call);
PyObject* game_transform_policy(PyObject* self, const CallArgs& call);
PyObject* game_transform_action(PyObject* self, const CallArgs& call);
PyObject* game_inverse_transform(PyObject* self, const CallArgs& call);
PyObject* game_valid_transforms(PyObject* self, const CallArgs& call);

// Pickling and copying, defined in pickle.cpp.
PyObject* game_reduce(PyObject* self, const CallArgs& call);
PyObject* game_from_state(PyObject* self, const CallArgs& call);
PyObject* game_copy(PyObject* self, const CallArgs& call);
PyObject* game_deepcopy(PyObject* self, const CallArgs& call);
PyObject* board_reduce(PyObject* self, const CallArgs& call);
PyObject* board_from_state(PyObject* self, const CallArgs& call);
PyObject* board_copy(PyObject* self, const CallArgs& call);
PyObject* board_deepcopy(PyObject* self, const CallArgs& call);
PyObject* move_reduce(PyObject* self, const CallArgs& call);
PyObject* outcome_reduce(PyObject* self, const CallArgs& call);
PyObject* outcome_from_code(PyObject* self, const CallArgs& call);
// Copies of the immutable Move and GameOutcome are the objects themselves.
PyObject* value_copy(PyObject* self, const CallArgs& call);
PyObject* value_deepcopy(PyObject* self, const CallArgs& call);

}  // namespace vexlor::py
