// Module entry: multi-phase init whose execution step makes the classes from
// their PyType_Spec definitions into the module's state (state.hpp), then the
// constants, in order, and builds __all__. How to add a class: README.md here.
#include <unordered_map>

#include "engine/encode.hpp"
#include "methods.hpp"
#include "records_objects.hpp"

namespace vexlor::py {
namespace {

struct ClassEntry {
  const char* name;
  PyType_Spec* spec;
  PyTypeObject* ModuleState::* type;
};

// Registered in this order, which is also their order in __all__.
const ClassEntry kClasses[] = {
    {"Board", &board_spec, &ModuleState::board_type},
    {"Game", &game_spec, &ModuleState::game_type},
    {"Move", &move_spec, &ModuleState::move_type},
    {"GameOutcome", &outcome_spec, &ModuleState::outcome_type},
    {"GameBatch", &game_batch_spec, &ModuleState::game_batch_type},
    {"GameRecord", &record_spec, &ModuleState::record_type},
    {"TrainingPositions", &training_spec, &ModuleState::training_type},
    {"TreeSearch", &tree_search_spec, &ModuleState::tree_search_type},
};

ModuleState* state_of_module(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

PyMethodDef* methods_of(const PyType_Spec& spec) {
  for (const PyType_Slot* s = spec.slots; s->slot; ++s)
    if (s->slot == Py_tp_methods) return static_cast<PyMethodDef*>(s->pfunc);
  return nullptr;
}

// The interpreter calls a METH_STATIC function without self, but our static
// methods need their class to find the module state. Each one is therefore
// rebound once its class exists: the same entry without the flag, bound to
// the class and wrapped as a staticmethod. This maps every static entry of
// every class to that twin; built once per process, read-only afterwards.
const std::unordered_map<const PyMethodDef*, PyMethodDef>& bound_twins() {
  static const std::unordered_map<const PyMethodDef*, PyMethodDef> twins = [] {
    std::unordered_map<const PyMethodDef*, PyMethodDef> m;
    for (const ClassEntry& c : kClasses)
      for (const PyMethodDef* d = methods_of(*c.spec); d && d->ml_name; ++d)
        if (d->ml_flags & METH_STATIC)
          m.emplace(d, PyMethodDef{d->ml_name, d->ml_meth, d->ml_flags & ~METH_STATIC, d->ml_doc});
    return m;
  }();
  return twins;
}

// Replaces each static method of `type` by its twin bound to the class, in
// place: the class dict keeps its order, and the method its name, signature and pickling.
void bind_static_methods(PyTypeObject* type, const PyType_Spec& spec) {
  const auto& twins = bound_twins();
  for (const PyMethodDef* d = methods_of(spec); d && d->ml_name; ++d) {
    if (!(d->ml_flags & METH_STATIC)) continue;
    PyMethodDef* twin = const_cast<PyMethodDef*>(&twins.at(d));
    const Ref fn = check(PyCFunction_NewEx(twin, reinterpret_cast<PyObject*>(type), nullptr));
    const Ref method = check(PyStaticMethod_New(fn.get()));
    if (PyDict_SetItemString(type->tp_dict, d->ml_name, method.get()) < 0) throw PythonError{};
  }
  PyType_Modified(type);
}

void append_all(PyObject* module, const char* name) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
    PyErr_Clear();
    all = check(PyList_New(0));
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw PythonError{};
  }
  const Ref s = check(PyUnicode_FromString(name));
  if (PyList_Append(all.get(), s.get()) < 0) throw PythonError{};
}

void add_int_constant(PyObject* module, const char* name, long value) {
  if (PyModule_AddIntConstant(module, name, value) < 0) throw PythonError{};
  append_all(module, name);
}

// Steps stop at the first failure; the import then fails and m_free releases what was made.
int exec_module(PyObject* module) {
  return guarded_as(-1, [&] {
    ModuleState& st = *state_of_module(module);
    for (const ClassEntry& c : kClasses) {
      st.*c.type = reinterpret_cast<PyTypeObject*>(check(PyType_FromModuleAndSpec(module, c.spec, nullptr)).release());
      bind_static_methods(st.*c.type, *c.spec);
      if (PyModule_AddObjectRef(module, c.name, reinterpret_cast<PyObject*>(st.*c.type)) < 0) throw PythonError{};
      append_all(module, c.name);
    }
    st.float_zero = check(PyFloat_FromDouble(0.0)).release();
    st.float_one = check(PyFloat_FromDouble(1.0)).release();
    for (size_t i = 0; i < kCachedActionInts; ++i) st.action_ints[i] = check(PyLong_FromSize_t(i)).release();
    add_int_constant(module, "BLACK", static_cast<int8_t>(Player::Black));
    add_int_constant(module, "WHITE", static_cast<int8_t>(Player::White));
    add_int_constant(module, "TOTAL_INPUT_PLANES", long(kTotalInputPlanes));
    return 0;
  });
}

// The classes refer back to the module (their defining module), which holds
// them in its state: the collector must see those references to break the cycle.
int traverse_module(PyObject* module, visitproc visit, void* arg) {
  ModuleState* st = state_of_module(module);
  if (!st) return 0;
  for (const ClassEntry& c : kClasses) Py_VISIT(st->*c.type);
  return 0;
}

int clear_module(PyObject* module) {
  ModuleState* st = state_of_module(module);
  if (!st) return 0;
  for (const ClassEntry& c : kClasses) Py_CLEAR(st->*c.type);
  Py_CLEAR(st->float_zero);
  Py_CLEAR(st->float_one);
  for (PyObject*& o : st->action_ints) Py_CLEAR(o);
  return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    // Every object the module makes lives in its state, one per module object.
    // What is process-wide is plain C++ data, built once under a lock and
    // read-only afterwards (the engine's neighbour tables, the rebound
    // static-method entries): interpreters with their own lock each import
    // their own copy safely.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "vexlor_go",     nullptr,      sizeof(ModuleState), nullptr,
    module_slots,          traverse_module, clear_module, free_module,
};

}  // namespace
}  // namespace vexlor::py

PyMODINIT_FUNC PyInit_vexlor_go(void) { return PyModuleDef_Init(&vexlor::py::module_def); }
