// Python class Board: a stand-alone stone placement of 2x2 to 32x32 points.
#include <string>

#include "methods.hpp"
#include "records_objects.hpp"

namespace vexlor::py {
namespace {

template <class F>
decltype(auto) visit_board(PyObject* self, F&& f) {
  return std::visit(std::forward<F>(f), as_board(self)->board);
}

BoardVariant make_board(uint64_t width, uint64_t height) {
  return make_nw_variant<BoardVariant>(words_for_size(unsigned(width), unsigned(height)),
                                       [&]<int NW>() { return Board<NW>(uint8_t(width), uint8_t(height)); });
}

PyObject* board_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const auto [w, h] = bind_tuple<2>("Board", {"width", "height"}, args, kwargs);
    const uint64_t width = to_unsigned(w, "width");
    const uint64_t height = to_unsigned(h, "height");
    check_board_size(width, height);
    return new_board_object(state_of_type(type), make_board(width, height));
  });
}

PyObject* board_standard(PyObject* cls, const CallArgs& call) {
  bind_none("standard", call);
  return new_board_object(state_of_class(cls), make_board(19, 19));
}

PyObject* board_width(PyObject* self, const CallArgs& call) {
  const Access access(as_board(self), Access::Shared);
  bind_none("width", call);
  return visit_board(self, [](auto& b) { return PyLong_FromLong(b.width); });
}

PyObject* board_height(PyObject* self, const CallArgs& call) {
  const Access access(as_board(self), Access::Shared);
  bind_none("height", call);
  return visit_board(self, [](auto& b) { return PyLong_FromLong(b.height); });
}

PyObject* board_get_piece(PyObject* self, const CallArgs& call) {
  const Access access(as_board(self), Access::Shared);
  const auto [c, r] = bind<2>("get_piece", {"col", "row"}, call);
  const uint64_t col = to_unsigned(c, "col");
  const uint64_t row = to_unsigned(r, "row");
  return visit_board(self, [&](auto& b) { return piece_to_py(b.get_piece(col, row)); });
}

PyObject* board_set_piece(PyObject* self, const CallArgs& call) {
  const Access access(as_board(self), Access::Exclusive);
  const auto [c, r, pc] = bind<3>("set_piece", {"col", "row", "piece"}, call);
  const uint64_t col = to_unsigned(c, "col");
  const uint64_t row = to_unsigned(r, "row");
  const std::optional<Player> piece = piece_from_py(pc);
  visit_board(self, [&](auto& b) { b.set_piece(col, row, piece); });
  return new_none();
}

PyObject* board_clear(PyObject* self, const CallArgs& call) {
  const Access access(as_board(self), Access::Exclusive);
  bind_none("clear", call);
  visit_board(self, [](auto& b) { b.clear(); });
  return new_none();
}

PyObject* board_str(PyObject* self) {
  return guarded([&] {
    const Access access(as_board(self), Access::Shared);
    const std::string s = visit_board(self, [](auto& b) { return b.to_string(); });
    return PyUnicode_FromStringAndSize(s.data(), Py_ssize_t(s.size()));
  });
}

PyObject* board_repr(PyObject* self) {
  return guarded([&] {
    const Access access(as_board(self), Access::Shared);
    return visit_board(self,
                       [](auto& b) { return PyUnicode_FromFormat("Board(width=%d, height=%d)", b.width, b.height); });
  });
}

PyMethodDef board_methods[] = {
    VX_METHOD("standard", board_standard, METH_STATIC, "standard()"),
    VX_METHOD("width", board_width, 0, "width($self)"),
    VX_METHOD("height", board_height, 0, "height($self)"),
    VX_METHOD("get_piece", board_get_piece, 0, "get_piece($self, col, row)"),
    VX_METHOD("set_piece", board_set_piece, 0, "set_piece($self, col, row, piece)"),
    VX_METHOD("clear", board_clear, 0, "clear($self)"),
    VX_METHOD("__reduce__", board_reduce, 0, "__reduce__($self)"),
    VX_METHOD("_from_state", board_from_state, METH_STATIC, "_from_state(state)"),
    VX_METHOD("__copy__", board_copy, 0, "__copy__($self)"),
    VX_METHOD("__deepcopy__", board_deepcopy, 0, "__deepcopy__($self, memo)"),
    VX_METHOD("to_svg", board_to_svg, 0, "to_svg($self, cell=24, coordinates=True)"),
    VX_METHOD("_repr_svg_", board_repr_svg, 0, "_repr_svg_($self)"),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot board_slots[] = {
    {Py_tp_doc, const_cast<char*>(VX_SIG("Board(width, height)"))},
    {Py_tp_new, reinterpret_cast<void*>(board_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_holder<PyBoard, BoardVariant, &PyBoard::board>)},
    {Py_tp_str, reinterpret_cast<void*>(board_str)},
    {Py_tp_repr, reinterpret_cast<void*>(board_repr)},
    {Py_tp_methods, board_methods},
    {0, nullptr},
};

}  // namespace

PyType_Spec board_spec = {
    "vexlor_go.Board", sizeof(PyBoard), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, board_slots,
};

PyObject* new_board_object(const ModuleState& st, BoardVariant&& b) {
  return new_holder(st.board_type, &PyBoard::board, std::move(b));
}

PyObject* new_board_object(const ModuleState& st, const BoardVariant& b) {
  return new_holder(st.board_type, &PyBoard::board, b);
}

}  // namespace vexlor::py
