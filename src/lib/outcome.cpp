// Python class GameOutcome: the immutable result of a finished game.
#include <string_view>

#include "methods.hpp"
#include "values.hpp"

namespace vexlor::py {
namespace {

GameOutcome outcome_of(PyObject* o) { return reinterpret_cast<PyGameOutcome*>(o)->outcome; }

PyObject* text(std::string_view s) { return PyUnicode_FromStringAndSize(s.data(), Py_ssize_t(s.size())); }

PyObject* outcome_winner_py(PyObject* self, const CallArgs& call) {
  bind_none("winner", call);
  return piece_to_py(outcome_winner(outcome_of(self)));
}

PyObject* outcome_encode_absolute(PyObject* self, const CallArgs& call) {
  bind_none("encode_winner_absolute", call);
  return PyFloat_FromDouble(black_reward(outcome_of(self)));
}

PyObject* outcome_encode_perspective(PyObject* self, const CallArgs& call) {
  const auto [p] = bind<1>("encode_winner_from_perspective", {"perspective"}, call);
  const int8_t perspective = to_i8(p, "perspective");
  return reward_seen_from(perspective, black_reward(outcome_of(self)), "Unrecognized perspective");
}

PyObject* outcome_is_draw(PyObject* self, const CallArgs& call) {
  bind_none("is_draw", call);
  return new_bool(outcome_is_draw(outcome_of(self)));
}

PyObject* outcome_name(PyObject* self, const CallArgs& call) {
  bind_none("name", call);
  return text(outcome_text(outcome_of(self)));
}

PyObject* outcome_str(PyObject* self) { return text(outcome_text(outcome_of(self))); }

PyObject* outcome_repr(PyObject* self) {
  std::string s = "GameOutcome(";
  s += outcome_text(outcome_of(self));
  s += ')';
  return text(s);
}

PyObject* outcome_richcompare(PyObject* self, PyObject* other, int op) {
  return value_richcompare<PyGameOutcome>(
      self, other, op, [](const PyGameOutcome& a, const PyGameOutcome& b) { return a.outcome == b.outcome; });
}

PyMethodDef outcome_methods[] = {
    VX_METHOD("winner", outcome_winner_py, 0, "winner($self)"),
    VX_METHOD("encode_winner_absolute", outcome_encode_absolute, 0, "encode_winner_absolute($self)"),
    VX_METHOD("encode_winner_from_perspective", outcome_encode_perspective, 0,
              "encode_winner_from_perspective($self, perspective)"),
    VX_METHOD("is_draw", outcome_is_draw, 0, "is_draw($self)"),
    VX_METHOD("name", outcome_name, 0, "name($self)"),
    VX_METHOD("__reduce__", outcome_reduce, 0, "__reduce__($self)"),
    VX_METHOD("_from_code", outcome_from_code, METH_STATIC, "_from_code(code)"),
    VX_METHOD("__copy__", value_copy, 0, "__copy__($self)"),
    VX_METHOD("__deepcopy__", value_deepcopy, 0, "__deepcopy__($self, memo)"),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot outcome_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_holder<PyGameOutcome, GameOutcome, &PyGameOutcome::outcome>)},
    {Py_tp_str, reinterpret_cast<void*>(outcome_str)},
    {Py_tp_repr, reinterpret_cast<void*>(outcome_repr)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_tp_richcompare, reinterpret_cast<void*>(outcome_richcompare)},
    {Py_tp_methods, outcome_methods},
    {0, nullptr},
};

}  // namespace

PyType_Spec outcome_spec = {
    "vexlor_go.GameOutcome",
    sizeof(PyGameOutcome),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    outcome_slots,
};

PyObject* new_outcome_object(const ModuleState& st, GameOutcome o) {
  return new_holder(st.outcome_type, &PyGameOutcome::outcome, o);
}

}  // namespace vexlor::py
