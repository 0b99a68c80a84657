// The eight board symmetries as static Game methods: on plane and policy
// buffers of any plain number format, on single actions, and their inverses.
#include "engine/symmetry.hpp"

#include <cstring>
#include <vector>

#include "buffer_view.hpp"
#include "methods.hpp"
#include "without_lock.hpp"

namespace vexlor::py {
namespace {

// Transforms of fewer items than this keep the interpreter lock.
constexpr size_t kMinItemsWithoutLock = size_t{1} << 16;

struct Shape {
  unsigned height;
  unsigned width;
  unsigned area() const { return height * width; }
};

Shape shape_args(PyObject* h, PyObject* w) {
  const uint64_t height = to_unsigned(h, "height");
  const uint64_t width = to_unsigned(w, "width");
  check_board_size(width, height);
  return Shape{unsigned(height), unsigned(width)};
}

unsigned transform_number(uint64_t t) {
  if (t >= kTransformCount) raise(PyExc_ValueError, "transform must be between 0 and 7");
  return unsigned(t);
}

void require_valid_for(unsigned t, Shape s) {
  if (!transform_valid(t, s.height, s.width))
    raise(PyExc_ValueError, "transform %u needs a square board; a board of height %u and width %u allows 0, 2, 4 and 5",
          t, s.height, s.width);
}

// Permutes the first `area` items of each of `rows` rows of `row_items` items
// of S bytes; the rest of a row (the pass of a policy) is copied as it is.
template <size_t S>
void permute_rows(const char* src, char* dst, size_t rows, size_t row_items, size_t area, const uint16_t* src_of,
                  char* tmp) {
  for (size_t r = 0; r < rows; ++r) {
    const char* s = src + r * row_items * S;
    char* d = dst + r * row_items * S;
    if (s == d) {
      std::memcpy(tmp, s, area * S);  // the tail already stands where it belongs
      s = tmp;
    } else if (row_items > area) {
      std::memcpy(d + area * S, s + area * S, (row_items - area) * S);
    }
    for (size_t i = 0; i < area; ++i) std::memcpy(d + i * S, s + size_t(src_of[i]) * S, S);
  }
}

// Shared body of transform_planes and transform_policy: rows of `extra` items past the board.
PyObject* transform_rows(const char* func, const char* src_name, const CallArgs& call, size_t extra) {
  const auto a = bind<5>(func, {src_name, "out", "height", "width", "transform"}, call);
  const Shape shape = shape_args(a[2], a[3]);
  const unsigned t = transform_number(to_unsigned(a[4], "transform"));
  require_valid_for(t, shape);
  View src(a[0], src_name, false);
  View out(a[1], "out", true);
  src.require_plain_numbers();
  const size_t isz = src.itemsize();
  if (out.code() != src.code() || out.itemsize() != isz)
    raise(PyExc_TypeError, "argument 'out' has format '%s', but '%s' has '%s'", out.format(), src_name, src.format());
  const size_t row_items = shape.area() + extra;
  if (src.items() % row_items != 0)
    raise(PyExc_ValueError, "argument '%s' must hold a multiple of %zu items (%s), not %zu", src_name, row_items,
          extra ? "height x width + 1" : "height x width", src.items());
  out.require_items(src.items(), "as many as the input");
  const char* s = src.data();
  char* d = out.data();
  if (s != d && s < d + out.bytes() && d < s + src.bytes())
    raise(PyExc_ValueError, "argument 'out' overlaps '%s' without being the same memory", src_name);

  std::vector<uint16_t> src_of(shape.area());
  transform_gather_table(t, shape.height, shape.width, src_of.data());
  std::vector<char> tmp(s == d ? shape.area() * isz : 0);
  const size_t rows = src.items() / row_items;
  maybe_without_lock(src.items() >= kMinItemsWithoutLock, [&] {
    switch (isz) {
      case 1:
        permute_rows<1>(s, d, rows, row_items, shape.area(), src_of.data(), tmp.data());
        break;
      case 2:
        permute_rows<2>(s, d, rows, row_items, shape.area(), src_of.data(), tmp.data());
        break;
      case 4:
        permute_rows<4>(s, d, rows, row_items, shape.area(), src_of.data(), tmp.data());
        break;
      default:
        permute_rows<8>(s, d, rows, row_items, shape.area(), src_of.data(), tmp.data());
        break;
    }
  });
  return new_none();
}

}  // namespace

PyObject* game_transform_planes(PyObject*, const CallArgs& call) {
  return transform_rows("transform_planes", "planes", call, 0);
}

PyObject* game_transform_policy(PyObject*, const CallArgs& call) {
  return transform_rows("transform_policy", "policy", call, 1);
}

PyObject* game_transform_action(PyObject* cls, const CallArgs& call) {
  const auto [a, h, w, tr] = bind<4>("transform_action", {"action", "height", "width", "transform"}, call);
  const uint64_t action = to_unsigned(a, "action");
  const Shape shape = shape_args(h, w);
  const unsigned t = transform_number(to_unsigned(tr, "transform"));
  require_valid_for(t, shape);
  if (action > shape.area()) raise(PyExc_ValueError, "invalid action");
  const ModuleState& st = state_of_class(cls);
  if (action == shape.area()) return action_int(st, action);
  return action_int(st, transform_index(t, shape.height, shape.width, unsigned(action)));
}

PyObject* game_inverse_transform(PyObject*, const CallArgs& call) {
  const auto [tr] = bind<1>("inverse_transform", {"transform"}, call);
  return PyLong_FromLong(long(inverse_transform(transform_number(to_unsigned(tr, "transform")))));
}

PyObject* game_valid_transforms(PyObject*, const CallArgs& call) {
  const auto [h, w] = bind<2>("valid_transforms", {"height", "width"}, call);
  const Shape shape = shape_args(h, w);
  Ref out = check(PyTuple_New(shape.height == shape.width ? 8 : 4));
  Py_ssize_t k = 0;
  for (unsigned t = 0; t < kTransformCount; ++t)
    if (transform_valid(t, shape.height, shape.width)) PyTuple_SET_ITEM(out.get(), k++, PyLong_FromLong(long(t)));
  return out.release();
}

}  // namespace vexlor::py
