// The module's state: the classes and the objects made once per import. Each
// module object (one per interpreter) owns its own, so nothing is shared
// between interpreters; it lives as long as the module, which every class of
// it keeps alive, so any object of ours can reach it.
#pragma once

#include <cstddef>

#include "ref.hpp"

namespace vexlor::py {

// Actions 0..1025 cover every board up to 32 x 32 and its pass.
inline constexpr size_t kCachedActionInts = 1026;

struct ModuleState {
  // The classes, in registration order (module.cpp lists them).
  PyTypeObject* board_type;
  PyTypeObject* game_type;
  PyTypeObject* move_type;
  PyTypeObject* outcome_type;
  PyTypeObject* game_batch_type;
  // Game records (records_*.cpp).
  PyTypeObject* record_type;
  PyTypeObject* training_type;
  PyTypeObject* tree_search_type;
  // The two values of encode_game_planes' list.
  PyObject* float_zero;
  PyObject* float_one;
  // Int objects for action indices, so the hot listing calls make none.
  PyObject* action_ints[kCachedActionInts];
};

// The state of the module that created `type`, one of our classes. None of them
// can be subclassed, so an object's type is always its defining class.
inline ModuleState& state_of_type(PyTypeObject* type) {
  void* s = PyType_GetModuleState(type);
  if (!s) throw PythonError{};  // not one of ours: TypeError set
  return *static_cast<ModuleState*>(s);
}

// From an instance method or slot: the state of self's class.
inline ModuleState& state_of(PyObject* self) { return state_of_type(Py_TYPE(self)); }

// From a static method, whose self is the class it was declared in.
inline ModuleState& state_of_class(PyObject* cls) { return state_of_type(reinterpret_cast<PyTypeObject*>(cls)); }

inline PyObject* action_int(const ModuleState& st, size_t v) {
  return v < kCachedActionInts ? Py_NewRef(st.action_ints[v]) : PyLong_FromSize_t(v);
}

}  // namespace vexlor::py
