// Board and Game pictures as SVG, and the _repr_svg_ hook notebooks call.
#include <string>

#include "records_objects.hpp"
#include "render/svg.hpp"

namespace vexlor::py {
namespace {

render::SvgOptions svg_options(const char* func, const CallArgs& call) {
  const auto [cell, coords] = bind_some<2>(func, {"cell", "coordinates"}, 0, call);
  render::SvgOptions opt;
  if (given(cell)) {
    const uint64_t c = to_unsigned(cell, "cell", 1u << 20);
    if (c < 8 || c > 128) raise(PyExc_ValueError, "cell size must be between 8 and 128 pixels");
    opt.cell = unsigned(c);
  }
  if (given(coords)) opt.coordinates = to_bool(coords, "coordinates");
  return opt;
}

PyObject* str_of(const std::string& s) { return PyUnicode_FromStringAndSize(s.data(), Py_ssize_t(s.size())); }

}  // namespace

PyObject* board_to_svg(PyObject* self, const CallArgs& call) {
  const Access access(as_board(self), Access::Shared);
  const render::SvgOptions opt = svg_options("to_svg", call);
  return str_of(std::visit([&](auto& b) { return render::board_svg(b, opt); }, as_board(self)->board));
}

PyObject* board_repr_svg(PyObject* self, const CallArgs& call) {
  const Access access(as_board(self), Access::Shared);
  bind_none("_repr_svg_", call);
  return str_of(std::visit([&](auto& b) { return render::board_svg(b); }, as_board(self)->board));
}

PyObject* game_to_svg(PyObject* self, const CallArgs& call) {
  const Access access(as_game(self), Access::Shared);
  const render::SvgOptions opt = svg_options("to_svg", call);
  return str_of(std::visit([&](auto& g) { return render::game_svg(g, opt); }, as_game(self)->game));
}

PyObject* game_repr_svg(PyObject* self, const CallArgs& call) {
  const Access access(as_game(self), Access::Shared);
  bind_none("_repr_svg_", call);
  return str_of(std::visit([&](auto& g) { return render::game_svg(g); }, as_game(self)->game));
}

}  // namespace vexlor::py
