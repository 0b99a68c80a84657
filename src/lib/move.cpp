// Python class Move: an immutable pass or placement, with its action index.
#include "engine/siphash.hpp"
#include "methods.hpp"
#include "python_hash.hpp"
#include "values.hpp"

namespace vexlor::py {
namespace {

const Move& move_of(PyObject* o) { return reinterpret_cast<PyMove*>(o)->move; }

// Board sizes of Move.encode/decode: values that would not fit a byte are refused, not wrapped.
uint64_t size_arg(PyObject* o, const char* name) { return to_unsigned(o, name, 255); }

PyObject* move_place(PyObject* cls, const CallArgs& call) {
  const auto [c, r] = bind<2>("place", {"col", "row"}, call);
  const uint64_t col = to_unsigned(c, "col", 255);
  const uint64_t row = to_unsigned(r, "row", 255);
  return new_move_object(state_of_class(cls), Move::place(uint8_t(col), uint8_t(row)));
}

PyObject* move_pass(PyObject* cls, const CallArgs& call) {
  bind_none("pass_move", call);
  return new_move_object(state_of_class(cls), Move::pass());
}

PyObject* move_is_pass(PyObject* self, const CallArgs& call) {
  bind_none("is_pass", call);
  return new_bool(move_of(self).is_pass());
}

PyObject* move_col(PyObject* self, const CallArgs& call) {
  bind_none("col", call);
  const Move& m = move_of(self);
  return m.is_pass() ? new_none() : PyLong_FromLong(m.col);
}

PyObject* move_row(PyObject* self, const CallArgs& call) {
  bind_none("row", call);
  const Move& m = move_of(self);
  return m.is_pass() ? new_none() : PyLong_FromLong(m.row);
}

PyObject* move_encode(PyObject* self, const CallArgs& call) {
  const auto [bw, bh] = bind<2>("encode", {"board_width", "board_height"}, call);
  const uint64_t w = size_arg(bw, "board_width");
  const uint64_t h = size_arg(bh, "board_height");
  const Move& m = move_of(self);
  return PyLong_FromUnsignedLongLong(m.is_pass() ? w * h : uint64_t(m.row) * w + m.col);
}

PyObject* move_decode(PyObject* cls, const CallArgs& call) {
  const auto [a, bw, bh] = bind<3>("decode", {"action", "board_width", "board_height"}, call);
  const uint64_t action = to_unsigned(a, "action");
  const uint64_t w = size_arg(bw, "board_width");
  const uint64_t h = size_arg(bh, "board_height");
  const uint64_t area = w * h;
  const ModuleState& st = state_of_class(cls);
  if (action == area) return new_move_object(st, Move::pass());
  if (action > area) raise(PyExc_ValueError, "invalid action");
  return new_move_object(st, Move::place(uint8_t(action % w), uint8_t(action / w)));
}

PyObject* move_str(PyObject* self) {
  const Move& m = move_of(self);
  return m.is_pass() ? PyUnicode_FromString("Pass") : PyUnicode_FromFormat("Place(%d, %d)", m.col, m.row);
}

PyObject* move_repr(PyObject* self) {
  const Move& m = move_of(self);
  return m.is_pass() ? PyUnicode_FromString("Move.pass_move()")
                     : PyUnicode_FromFormat("Move.place(%d, %d)", m.col, m.row);
}

Py_hash_t move_hash(PyObject* self) {
  const Move& m = move_of(self);
  SipHasher13 h;
  h.write_u64(m.is_pass() ? 1 : 0);
  if (!m.is_pass()) {
    const uint8_t cr[2] = {m.col, m.row};
    h.write(cr, 2);
  }
  return Py_hash_t(python_hash(h.finish()));
}

PyObject* move_richcompare(PyObject* self, PyObject* other, int op) {
  return value_richcompare<PyMove>(self, other, op, [](const PyMove& a, const PyMove& b) { return a.move == b.move; });
}

PyMethodDef move_methods[] = {
    VX_METHOD("place", move_place, METH_STATIC, "place(col, row)"),
    VX_METHOD("pass_move", move_pass, METH_STATIC, "pass_move()"),
    VX_METHOD("is_pass", move_is_pass, 0, "is_pass($self)"),
    VX_METHOD("col", move_col, 0, "col($self)"),
    VX_METHOD("row", move_row, 0, "row($self)"),
    VX_METHOD("encode", move_encode, 0, "encode($self, board_width, board_height)"),
    VX_METHOD("decode", move_decode, METH_STATIC, "decode(action, board_width, board_height)"),
    VX_METHOD("__reduce__", move_reduce, 0, "__reduce__($self)"),
    VX_METHOD("__copy__", value_copy, 0, "__copy__($self)"),
    VX_METHOD("__deepcopy__", value_deepcopy, 0, "__deepcopy__($self, memo)"),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot move_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_holder<PyMove, Move, &PyMove::move>)},
    {Py_tp_str, reinterpret_cast<void*>(move_str)},
    {Py_tp_repr, reinterpret_cast<void*>(move_repr)},
    {Py_tp_hash, reinterpret_cast<void*>(move_hash)},
    {Py_tp_richcompare, reinterpret_cast<void*>(move_richcompare)},
    {Py_tp_methods, move_methods},
    {0, nullptr},
};

}  // namespace

PyType_Spec move_spec = {
    "vexlor_go.Move",
    sizeof(PyMove),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    move_slots,
};

PyObject* new_move_object(const ModuleState& st, Move m) { return new_holder(st.move_type, &PyMove::move, m); }

}  // namespace vexlor::py
