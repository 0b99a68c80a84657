// Game methods that write into caller-owned buffers (planes and legal masks,
// one game or many) and the board symmetries on plane and policy buffers.
// They need no NumPy: any object with the buffer protocol will do.
#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <string>
#include <vector>

#include "engine/encode.hpp"
#include "engine/symmetry.hpp"
#include "objects.hpp"

namespace vexlor::py {
namespace {

PyGame* as_game(PyObject* o) { return reinterpret_cast<PyGame*>(o); }

// Below this many games a batch keeps the interpreter lock: handing it back
// and forth would cost more than the work, and may wait behind other threads.
constexpr size_t kMinGamesWithoutLock = 16;
// Transforms of fewer items than this keep the lock likewise.
constexpr size_t kMinItemsWithoutLock = size_t{1} << 16;

// Runs f with the interpreter lock released when `release`; f must not touch Python objects.
template <class F>
void maybe_without_lock(bool release, F&& f) {
  if (!release) {
    f();
    return;
  }
  PyThreadState* ts = PyEval_SaveThread();
  try {
    f();
  } catch (...) {
    PyEval_RestoreThread(ts);
    throw;
  }
  PyEval_RestoreThread(ts);
}

// --- buffer views ---------------------------------------------------------------

// A contiguous buffer view, held until the end of the call. Checks raise before
// anything is written.
class View {
 public:
  View(PyObject* o, const char* name, bool writable) : name_(name) {
    if (!PyObject_CheckBuffer(o))
      raise_fmt(PyExc_TypeError, "argument '%s' must support the buffer protocol (bytearray, array.array, "
                "NumPy array), not %.200s", name, Py_TYPE(o)->tp_name);
    if (PyObject_GetBuffer(o, &v_, PyBUF_RECORDS_RO) < 0) {
      // BufferError is neither TypeError nor ValueError: report it as the latter.
      if (!PyErr_ExceptionMatches(PyExc_BufferError)) throw PythonError{};
      PyErr_Clear();
      raise_fmt(PyExc_ValueError, "argument '%s' cannot export a buffer of its items", name);
    }
    held_ = true;
    // A throwing constructor runs no destructor: give the export back here.
    try {
      if (writable && v_.readonly)
        raise_fmt(PyExc_TypeError, "argument '%s' must be a writable buffer, not a read-only %.200s", name,
                  Py_TYPE(o)->tp_name);
      if (!PyBuffer_IsContiguous(&v_, 'C')) raise_fmt(PyExc_ValueError, "argument '%s' must be C-contiguous", name);
    } catch (...) {
      PyBuffer_Release(&v_);
      held_ = false;
      throw;
    }
    code_ = simple_code();
  }
  ~View() {
    if (held_) PyBuffer_Release(&v_);
  }
  View(const View&) = delete;
  View& operator=(const View&) = delete;

  char* data() const { return static_cast<char*>(v_.buf); }
  size_t itemsize() const { return size_t(v_.itemsize); }
  size_t bytes() const { return size_t(v_.len); }
  size_t items() const { return v_.itemsize > 0 ? size_t(v_.len) / size_t(v_.itemsize) : 0; }
  // The struct code of a single native-order item ('f', 'B', ...), or 0.
  char code() const { return code_; }

  // Binary values: float32, or one byte per value (uint8 or bool).
  void require_binary_items(bool allow_float) const {
    const bool ok = ((code_ == 'B' || code_ == '?') && v_.itemsize == 1) ||
                    (allow_float && code_ == 'f' && v_.itemsize == 4);
    if (!ok)
      raise_fmt(PyExc_TypeError, "argument '%s' must hold %s items, not format '%s'", name_,
                allow_float ? "float32 ('f'), uint8 ('B') or bool ('?')" : "uint8 ('B') or bool ('?')", format());
  }

  // `what` spells out n, e.g. "17 x 19 x 19".
  void require_items(size_t n, const std::string& what) const {
    if (items() != n)
      raise_fmt(PyExc_ValueError, "argument '%s' must hold %zu items (%s), not %zu", name_, n, what.c_str(), items());
  }

  bool is_float() const { return code_ == 'f'; }
  const char* format() const { return v_.format ? v_.format : "B"; }

  [[noreturn]] static void raise_fmt(PyObject* type, const char* fmt, ...) {
    va_list va;
    va_start(va, fmt);
    PyErr_FormatV(type, fmt, va);
    va_end(va);
    throw PythonError{};
  }

 private:
  char simple_code() const {
    const char* f = format();
    const bool little = PY_LITTLE_ENDIAN;
    if (*f == '@' || *f == '=' || (*f == '<' && little) || ((*f == '>' || *f == '!') && !little)) ++f;
    return f[0] != '\0' && f[1] == '\0' ? f[0] : 0;
  }

  Py_buffer v_{};
  bool held_ = false;
  const char* name_;
  char code_ = 0;
};

// --- engine writes ----------------------------------------------------------------

// Zeroes the game's 17 x A slot and encodes into it.
template <int NW>
void write_planes(const Game<NW>& g, char* dst, bool as_float) {
  const size_t n = size_t(kTotalInputPlanes) * g.area();
  if (as_float) {
    float* p = reinterpret_cast<float*>(dst);
    std::fill(p, p + n, 0.0f);
    encode_planes(g, p);
  } else {
    uint8_t* p = reinterpret_cast<uint8_t*>(dst);
    std::memset(p, 0, n);
    encode_planes(g, p);
  }
}

// 1 for every legal action, 0 elsewhere: the set legal_action_indices lists.
template <int NW>
void write_mask(const Game<NW>& g, uint8_t* dst) {
  const unsigned area = g.area();
  std::memset(dst, 0, size_t(area) + 1);
  const Bitboard<NW> places = g.legal_placements();
  places.for_each([&](unsigned p) { dst[p] = 1; });
  const bool pass = g.pass_listed(places.any());
  dst[area] = pass ? 1 : 0;
}

struct Size {
  unsigned width;
  unsigned height;
  unsigned area() const { return width * height; }
  // "17 x H x W", the shape of one game's planes.
  std::string planes_text() const {
    return std::to_string(kTotalInputPlanes) + " x " + std::to_string(height) + " x " + std::to_string(width);
  }
  bool operator==(const Size&) const = default;
};

Size size_of(const PyGame* g) {
  return std::visit([](const auto& x) { return Size{x.width(), x.height()}; }, g->game);
}

// --- one game ----------------------------------------------------------------------

struct SharedGame : Access {
  explicit SharedGame(PyObject* self) : Access(as_game(self)->access, Access::Shared) {}
};

}  // namespace

PyObject* game_encode_planes_into(PyObject* self, const CallArgs& call) {
  SharedGame access(self);
  const auto [o] = bind<1>("encode_planes_into", {"out"}, call);
  const Size s = size_of(as_game(self));
  View out(o, "out", true);
  out.require_binary_items(true);
  out.require_items(size_t(kTotalInputPlanes) * s.area(), s.planes_text());
  std::visit([&](const auto& g) { write_planes(g, out.data(), out.is_float()); }, as_game(self)->game);
  return new_none();
}

PyObject* game_legal_action_mask_into(PyObject* self, const CallArgs& call) {
  SharedGame access(self);
  const auto [o] = bind<1>("legal_action_mask_into", {"out"}, call);
  const Size s = size_of(as_game(self));
  View out(o, "out", true);
  out.require_binary_items(false);
  out.require_items(size_t(s.area()) + 1, "one per action");
  std::visit([&](const auto& g) { write_mask(g, reinterpret_cast<uint8_t*>(out.data())); }, as_game(self)->game);
  return new_none();
}

namespace {

// --- many games -------------------------------------------------------------------

// Strong references to the games of a batch, each held for shared access until
// the batch is destroyed. Duplicates simply count twice.
class GameBatch {
 public:
  explicit GameBatch(PyObject* seq_arg) {
    const Ref seq = check(PySequence_Fast(seq_arg, "argument 'games' must be a sequence of Game"));
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    PyObject** items = PySequence_Fast_ITEMS(seq.get());
    // Own references: code run later (a buffer exporter) may empty the caller's list.
    refs_.reserve(size_t(n));
    for (Py_ssize_t i = 0; i < n; ++i) refs_.push_back(Ref::borrow(items[i]));
    games_.reserve(size_t(n));
    PyTypeObject* const gt = game_type();
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* o = refs_[size_t(i)].get();
      if (Py_TYPE(o) != gt)
        View::raise_fmt(PyExc_TypeError, "games[%zd] must be Game, not %.200s", i, Py_TYPE(o)->tp_name);
      PyGame* g = as_game(o);
      if (g->access.state < 0)
        View::raise_fmt(PyExc_RuntimeError, "games[%zd] is being changed by another call", i);
      games_.push_back(g);
      ++g->access.state;
      const Size s = size_of(g);
      if (i == 0) {
        size_ = s;
      } else if (!(s == size_)) {
        View::raise_fmt(PyExc_ValueError, "games[%zd] is %ux%u, expected %ux%u", i, s.width, s.height, size_.width,
                        size_.height);
      }
    }
  }
  GameBatch(const GameBatch&) = delete;
  GameBatch& operator=(const GameBatch&) = delete;

  size_t count() const { return refs_.size(); }
  const std::vector<PyGame*>& games() const { return games_.v; }
  // Size of every game; 0 x 0 for an empty batch.
  Size size() const { return size_; }

 private:
  // Gives back the access taken so far, also when the constructor throws.
  struct Held {
    std::vector<PyGame*> v;
    ~Held() {
      for (PyGame* g : v) --g->access.state;
    }
    void push_back(PyGame* g) { v.push_back(g); }
    void reserve(size_t n) { v.reserve(n); }
  };
  std::vector<Ref> refs_;  // declared first: released after the access flags
  Held games_;
  Size size_{0, 0};
};

}  // namespace

PyObject* game_encode_planes_batch(PyObject*, const CallArgs& call) {
  const auto [gs, o] = bind<2>("encode_planes_batch", {"games", "out"}, call);
  const GameBatch batch(gs);
  View out(o, "out", true);
  out.require_binary_items(true);
  const size_t per_game = size_t(kTotalInputPlanes) * batch.size().area();
  out.require_items(batch.count() * per_game,
                    std::to_string(batch.count()) + " games x " + batch.size().planes_text());
  const size_t stride = per_game * out.itemsize();
  const bool as_float = out.is_float();
  char* const base = out.data();
  maybe_without_lock(batch.count() >= kMinGamesWithoutLock, [&] {
    size_t i = 0;
    for (const PyGame* g : batch.games())
      std::visit([&](const auto& x) { write_planes(x, base + stride * i++, as_float); }, g->game);
  });
  return new_none();
}

PyObject* game_legal_action_mask_batch(PyObject*, const CallArgs& call) {
  const auto [gs, o] = bind<2>("legal_action_mask_batch", {"games", "out"}, call);
  const GameBatch batch(gs);
  View out(o, "out", true);
  out.require_binary_items(false);
  const size_t per_game = batch.count() ? size_t(batch.size().area()) + 1 : 0;
  out.require_items(batch.count() * per_game,
                    std::to_string(batch.count()) + " games x " + std::to_string(per_game) + " actions");
  uint8_t* const base = reinterpret_cast<uint8_t*>(out.data());
  // Legality tests may settle a game's pending hashes, a write: done here, under the lock.
  for (const PyGame* g : batch.games()) std::visit([](const auto& x) { x.settle_position_hashes(); }, g->game);
  maybe_without_lock(batch.count() >= kMinGamesWithoutLock, [&] {
    size_t i = 0;
    for (const PyGame* g : batch.games())
      std::visit([&](const auto& x) { write_mask(x, base + per_game * i++); }, g->game);
  });
  return new_none();
}

namespace {

// --- symmetries ---------------------------------------------------------------------

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
    View::raise_fmt(PyExc_ValueError,
                    "transform %u needs a square board; a board of height %u and width %u allows 0, 2, 4 and 5", t,
                    s.height, s.width);
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
  const size_t isz = src.itemsize();
  if (src.code() == 0 || (isz != 1 && isz != 2 && isz != 4 && isz != 8))
    View::raise_fmt(PyExc_TypeError, "argument '%s' must hold simple numbers of 1, 2, 4 or 8 bytes, not format '%s'",
                    src_name, src.format());
  if (out.code() != src.code() || out.itemsize() != isz)
    View::raise_fmt(PyExc_TypeError, "argument 'out' has format '%s', but '%s' has '%s'", out.format(), src_name,
                    src.format());
  const size_t row_items = shape.area() + extra;
  if (src.items() % row_items != 0)
    View::raise_fmt(PyExc_ValueError, "argument '%s' must hold a multiple of %zu items (%s), not %zu", src_name,
                    row_items, extra ? "height x width + 1" : "height x width", src.items());
  out.require_items(src.items(), "as many as the input");
  const char* s = src.data();
  char* d = out.data();
  if (s != d && s < d + out.bytes() && d < s + src.bytes())
    View::raise_fmt(PyExc_ValueError, "argument 'out' overlaps '%s' without being the same memory", src_name);

  std::vector<uint16_t> src_of(shape.area());
  transform_gather_table(t, shape.height, shape.width, src_of.data());
  std::vector<char> tmp(s == d ? shape.area() * isz : 0);
  const size_t rows = src.items() / row_items;
  maybe_without_lock(src.items() >= kMinItemsWithoutLock, [&] {
    switch (isz) {
      case 1: permute_rows<1>(s, d, rows, row_items, shape.area(), src_of.data(), tmp.data()); break;
      case 2: permute_rows<2>(s, d, rows, row_items, shape.area(), src_of.data(), tmp.data()); break;
      case 4: permute_rows<4>(s, d, rows, row_items, shape.area(), src_of.data(), tmp.data()); break;
      default: permute_rows<8>(s, d, rows, row_items, shape.area(), src_of.data(), tmp.data()); break;
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

PyObject* game_transform_action(PyObject*, const CallArgs& call) {
  const auto [a, h, w, tr] = bind<4>("transform_action", {"action", "height", "width", "transform"}, call);
  const uint64_t action = to_unsigned(a, "action");
  const Shape shape = shape_args(h, w);
  const unsigned t = transform_number(to_unsigned(tr, "transform"));
  require_valid_for(t, shape);
  if (action > shape.area()) raise(PyExc_ValueError, "invalid action");
  if (action == shape.area()) return action_int(action);
  return action_int(transform_index(t, shape.height, shape.width, unsigned(action)));
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
