// Module entry: multi-phase init with one execution step that registers the
// classes and constants, in order, and builds __all__.
#include "objects.hpp"
#include "engine/encode.hpp"

namespace vexlor::py {
namespace {

int append_all(PyObject* module, const char* name) {
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = PyList_New(0);
    if (!all || PyObject_SetAttrString(module, "__all__", all) < 0) {
      Py_XDECREF(all);
      return -1;
    }
  }
  PyObject* s = PyUnicode_FromString(name);
  const int rc = s ? PyList_Append(all, s) : -1;
  Py_XDECREF(s);
  Py_DECREF(all);
  return rc;
}

int add_class(PyObject* module, const char* name, PyTypeObject* type) {
  if (!type) return -1;
  if (PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type)) < 0) return -1;
  return append_all(module, name);
}

int make_action_ints() {
  for (size_t i = 0; i < kCachedActionInts; ++i)
    if (!action_ints[i] && !(action_ints[i] = PyLong_FromSize_t(i))) return -1;
  return 0;
}

int exec_module(PyObject* module) {
  if (make_action_ints() < 0) return -1;
  if (add_class(module, "Board", board_type()) < 0) return -1;
  if (add_class(module, "Game", game_type()) < 0) return -1;
  if (add_class(module, "Move", move_type()) < 0) return -1;
  if (add_class(module, "GameOutcome", outcome_type()) < 0) return -1;
  if (PyModule_AddIntConstant(module, "BLACK", static_cast<int8_t>(Player::Black)) < 0) return -1;
  if (append_all(module, "BLACK") < 0) return -1;
  if (PyModule_AddIntConstant(module, "WHITE", static_cast<int8_t>(Player::White)) < 0) return -1;
  if (append_all(module, "WHITE") < 0) return -1;
  if (PyModule_AddIntConstant(module, "TOTAL_INPUT_PLANES", long(kTotalInputPlanes)) < 0) return -1;
  return append_all(module, "TOTAL_INPUT_PLANES");
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    // Type objects and the int cache are process-wide.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vexlor_go",
    nullptr,
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

std::optional<Player> piece_from_py(PyObject* o) {
  if (o == Py_None) return std::nullopt;
  const int8_t v = to_i8(o, "piece");
  const std::optional<Player> p = player_from_int(v);
  if (!p) raise(PyExc_ValueError, "Invalid player value");
  return p;
}

PyObject* action_ints[kCachedActionInts] = {};

}  // namespace vexlor::py

PyMODINIT_FUNC PyInit_vexlor_go(void) { return PyModuleDef_Init(&vexlor::py::module_def); }
