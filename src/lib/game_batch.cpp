// Python class GameBatch: many games of one size and one set of rules, stepped
// in one call with the interpreter lock released. Every buffer and every
// action is checked before any game changes or any byte is written; the batch
// is held exclusively for the whole step, so another thread's call meets a
// RuntimeError instead of a half-stepped batch.
#include "batch/game_batch.hpp"

#include <cctype>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "batch/batch_state.hpp"
#include "batch_object.hpp"
#include "buffer_view.hpp"
#include "engine/encode.hpp"
#include "methods.hpp"
#include "without_lock.hpp"

namespace vexlor::py {
namespace {

template <class F>
decltype(auto) visit_batch(PyObject* self, F&& f) {
  return std::visit(std::forward<F>(f), as_batch(self)->batch);
}

// Below this many games a call keeps the interpreter lock (one thread only).
constexpr size_t kMinGamesWithoutLock = 16;
// Upper bound on games, so a bad count fails cleanly instead of exhausting memory.
constexpr uint64_t kMaxGames = uint64_t(1) << 24;

// Runs engine work, reporting refused actions and arguments as ValueError and
// a game index out of range as IndexError.
template <class F>
decltype(auto) engine(F&& f) {
  try {
    return f();
  } catch (const std::out_of_range& e) {
    raise(PyExc_IndexError, "%s", e.what());
  } catch (const std::invalid_argument& e) {
    raise(PyExc_ValueError, "%s", e.what());
  }
}

struct Shape {
  size_t games;
  unsigned width;
  unsigned height;
  unsigned area() const { return width * height; }
  std::string planes_text() const {
    return std::to_string(games) + " games x " + std::to_string(kTotalInputPlanes) + " x " + std::to_string(height) +
           " x " + std::to_string(width);
  }
};

Shape shape_of(PyObject* self) {
  return visit_batch(self, [](const auto& b) { return Shape{b.size(), b.options().width, b.options().height}; });
}

// --- caller buffers -----------------------------------------------------------

// The output buffers of one call, each checked as it is taken; they stay
// exported (their memory cannot move) until the call returns.
class Outputs {
 public:
  explicit Outputs(const Shape& s) : s_(s) {}

  batch::PlanesOut planes(PyObject* o, const char* name) {
    View* v = take(o, name);
    if (!v) return {};
    v->require_binary_items(true);
    v->require_items(s_.games * kTotalInputPlanes * s_.area(), s_.planes_text());
    if (v->is_float()) require_aligned(*v, name, alignof(float));
    return {v->data(), 0, v->is_float() ? batch::PlaneType::F32 : batch::PlaneType::U8};
  }
  batch::MaskOut mask(PyObject* o, const char* name) {
    View* v = take(o, name);
    if (!v) return {};
    v->require_binary_items(false);
    v->require_items(s_.games * (s_.area() + 1),
                     std::to_string(s_.games) + " games x " + std::to_string(s_.area() + 1) + " actions");
    return {reinterpret_cast<uint8_t*>(v->data()), 0};
  }
  // One flag per game: uint8 or bool.
  batch::Column<uint8_t> flags(PyObject* o, const char* name) {
    View* v = take(o, name);
    if (!v) return {};
    v->require_binary_items(false);
    v->require_items(s_.games, "one per game");
    return {reinterpret_cast<uint8_t*>(v->data()), 0};
  }
  // `per_game` values of type T (struct code `code`) per game; column `k` of them.
  template <class T>
  batch::Column<T> numbers(PyObject* o, const char* name, const char* codes, const char* type_text, size_t per_game = 1,
                           size_t k = 0) {
    View* v = k ? last_ : take(o, name);
    if (!v) return {};
    if (!k) {
      if (!v->code() || !std::strchr(codes, v->code()) || v->itemsize() != sizeof(T))
        raise(PyExc_TypeError, "argument '%s' must hold %s items, not format '%s'", name, type_text, v->format());
      v->require_items(s_.games * per_game, per_game == 1 ? "one per game" : std::to_string(per_game) + " per game");
      require_aligned(*v, name, alignof(T));
    }
    return {reinterpret_cast<T*>(v->data() + k * sizeof(T)), ptrdiff_t(per_game * sizeof(T))};
  }

 private:
  View* take(PyObject* o, const char* name) {
    if (!o || o == Py_None) return last_ = nullptr;
    return last_ = &views_.emplace_back(o, name, true);
  }
  static void require_aligned(const View& v, const char* name, size_t alignment) {
    if (!v.aligned_for(alignment))
      raise(PyExc_ValueError, "argument '%s' must be aligned to %zu bytes", name, alignment);
  }

  Shape s_;
  std::deque<View> views_;  // a deque: taken views never move
  View* last_ = nullptr;
};

constexpr char kIntegerCodes[] = "bBhHiIlLqQnN";

bool is_integer_view(const View& v) { return v.code() && std::strchr(kIntegerCodes, v.code()); }

// Item i of an integer buffer, saturated to int64 (a huge unsigned value stays out of range).
int64_t integer_at(const View& v, size_t i) {
  const char* p = v.data() + i * v.itemsize();
  const bool is_signed = std::islower(static_cast<unsigned char>(v.code()));
  auto load = [p]<class T>(T) {
    T x;
    std::memcpy(&x, p, sizeof x);
    return x;
  };
  switch (v.itemsize()) {
    case 1:
      return is_signed ? int64_t(load(int8_t{})) : int64_t(load(uint8_t{}));
    case 2:
      return is_signed ? int64_t(load(int16_t{})) : int64_t(load(uint16_t{}));
    case 4:
      return is_signed ? int64_t(load(int32_t{})) : int64_t(load(uint32_t{}));
    default: {
      if (is_signed) return load(int64_t{});
      const uint64_t u = load(uint64_t{});
      return u > uint64_t(INT64_MAX) ? INT64_MAX : int64_t(u);
    }
  }
}

// One action per game from an integer buffer or a sequence of ints.
std::vector<int64_t> read_actions(PyObject* o, size_t n) {
  std::vector<int64_t> out(n);
  if (PyObject_CheckBuffer(o)) {
    const View v(o, "actions", false);
    if (!is_integer_view(v))
      raise(PyExc_TypeError, "argument 'actions' must hold integers, not format '%s'", v.format());
    v.require_items(n, "one per game");
    for (size_t i = 0; i < n; ++i) out[i] = integer_at(v, i);
    return out;
  }
  const Ref seq = check(PySequence_Fast(o, "argument 'actions' must be an integer buffer or a sequence of int"));
  // Own references: an item's __index__ may empty the caller's list.
  std::vector<Ref> items;
  const Py_ssize_t len = PySequence_Fast_GET_SIZE(seq.get());
  if (size_t(len) != n)
    raise(PyExc_ValueError, "argument 'actions' must hold %zu items (one per game), not %zd", n, len);
  for (Py_ssize_t i = 0; i < len; ++i) items.push_back(Ref::borrow(PySequence_Fast_GET_ITEM(seq.get(), i)));
  for (size_t i = 0; i < n; ++i) {
    const Ref index = Ref::steal(PyNumber_Index(items[i].get()));
    if (!index) {
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PythonError{};
      PyErr_Clear();
      raise(PyExc_TypeError, "actions[%zu] must be an integer, not %.200s", i, Py_TYPE(items[i].get())->tp_name);
    }
    int overflow = 0;
    const long long a = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (a == -1 && PyErr_Occurred()) throw PythonError{};
    out[i] = overflow > 0 ? INT64_MAX : overflow < 0 ? INT64_MIN : int64_t(a);
  }
  return out;
}

// Writes v into item i of an integer buffer of at least 2 bytes per item (actions fit).
void store_integer(const View& v, size_t i, int64_t x) {
  char* p = v.data() + i * v.itemsize();
  auto put = [p]<class T>(T y) { std::memcpy(p, &y, sizeof y); };
  switch (v.itemsize()) {
    case 2:
      return put(int16_t(x));
    case 4:
      return put(int32_t(x));
    default:
      return put(x);
  }
}

bool release_lock(PyObject* self) {
  return visit_batch(self, [](const auto& b) { return b.size() >= kMinGamesWithoutLock || b.threads() > 1; });
}

// Game index with Python's negative indexing.
size_t game_index(PyObject* o, size_t n) {
  const Ref index = Ref::steal(PyNumber_Index(o));
  if (!index) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PythonError{};
    PyErr_Clear();
    raise(PyExc_TypeError, "argument 'index' must be an integer, not %.200s", Py_TYPE(o)->tp_name);
  }
  const Py_ssize_t i = PyLong_AsSsize_t(index.get());
  if (i == -1 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw PythonError{};
    PyErr_Clear();
    raise(PyExc_IndexError, "game index out of range for a batch of %zu", n);
  }
  const Py_ssize_t j = i < 0 ? i + Py_ssize_t(n) : i;
  if (j < 0 || size_t(j) >= n) raise(PyExc_IndexError, "game index %zd out of range for a batch of %zu", i, n);
  return size_t(j);
}

// --- configuration -------------------------------------------------------------

bool text_is(PyObject* o, const char* s) { return PyUnicode_Check(o) && PyUnicode_CompareWithASCIIString(o, s) == 0; }

batch::Autoreset autoreset_of(PyObject* o) {
  if (!o || text_is(o, "same_step")) return batch::Autoreset::SameStep;
  if (text_is(o, "next_step")) return batch::Autoreset::NextStep;
  if (text_is(o, "disabled")) return batch::Autoreset::Disabled;
  raise(PyExc_ValueError, "argument 'autoreset' must be 'same_step', 'next_step' or 'disabled'");
}

const char* autoreset_text(batch::Autoreset a) {
  switch (a) {
    case batch::Autoreset::SameStep:
      return "same_step";
    case batch::Autoreset::NextStep:
      return "next_step";
    default:
      return "disabled";
  }
}

batch::IllegalAction illegal_of(PyObject* o) {
  if (!o || text_is(o, "raise")) return batch::IllegalAction::Raise;
  if (text_is(o, "lose")) return batch::IllegalAction::Lose;
  raise(PyExc_ValueError, "argument 'illegal_action' must be 'raise' or 'lose'");
}

unsigned threads_of(PyObject* o) {
  const uint64_t t = o ? to_unsigned(o, "threads", batch::WorkerPool::kMaxThreads) : 1;
  if (t == 0) raise(PyExc_ValueError, "argument 'threads' must be at least 1");
  return unsigned(t);
}

// --- construction ----------------------------------------------------------------

PyObject* batch_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    // Flatten (args, kwargs) into a vectorcall so the keyword binder can be shared.
    std::vector<PyObject*> flat;
    const Py_ssize_t npos = PyTuple_GET_SIZE(args);
    for (Py_ssize_t i = 0; i < npos; ++i) flat.push_back(PyTuple_GET_ITEM(args, i));
    Ref kwnames;
    if (kwargs && PyDict_GET_SIZE(kwargs)) {
      kwnames = check(PyTuple_New(PyDict_GET_SIZE(kwargs)));
      Py_ssize_t pos = 0, k = 0;
      PyObject *key, *value;
      while (PyDict_Next(kwargs, &pos, &key, &value)) {
        PyTuple_SET_ITEM(kwnames.get(), k++, Py_NewRef(key));
        flat.push_back(value);
      }
    }
    if (npos > 3) raise(PyExc_TypeError, "GameBatch() takes 3 positional arguments but %zd were given", npos);
    static const char* const names[] = {
        "num_games", "width",          "height",  "komi", "min_moves_before_pass_possible", "max_moves", "superko",
        "autoreset", "illegal_action", "threads", "seed"};
    PyObject* a[11] = {};
    bind_args_optional("GameBatch", names, 11, 3, CallArgs{flat.data(), npos, kwnames.get()}, a);
    const uint64_t n = to_unsigned(a[0], "num_games", kMaxGames);
    const uint64_t width = to_unsigned(a[1], "width");
    const uint64_t height = to_unsigned(a[2], "height");
    check_board_size(width, height);
    if (n == 0) raise(PyExc_ValueError, "argument 'num_games' must be at least 1");
    batch::GameOptions o = batch::GameOptions::defaults(uint8_t(width), uint8_t(height));
    if (a[3]) o.komi = to_float32(a[3], "komi");
    if (a[4] && a[4] != Py_None)
      o.min_moves_before_pass_possible = uint16_t(to_unsigned(a[4], "min_moves_before_pass_possible", 65535));
    if (a[5] && a[5] != Py_None) o.max_moves = uint16_t(to_unsigned(a[5], "max_moves", 65535));
    if (a[6]) o.superko = to_bool(a[6], "superko");
    const batch::BatchConfig config{autoreset_of(a[7]), illegal_of(a[8])};
    const unsigned threads = threads_of(a[9]);
    const uint64_t seed = a[10] ? to_unsigned(a[10], "seed") : 0;
    BatchVariant b = engine([&] {
      return make_nw_variant<BatchVariant>(words_for_size(unsigned(width), unsigned(height)), [&]<int NW>() {
        return batch::GameBatch<NW>(size_t(n), o, config, threads, seed);
      });
    });
    return new_holder(type, &PyGameBatch::batch, std::move(b));
  });
}

// --- stepping ----------------------------------------------------------------------

PyObject* batch_step(PyObject* self, const CallArgs& call) {
  const Access access(as_batch(self), Access::Exclusive);
  static const char* const names[] = {"actions",    "obs",       "mask",      "reward",  "reward_black",
                                      "terminated", "truncated", "final_obs", "outcome", "score"};
  if (PyVectorcall_NARGS(call.nargs) > 1) raise(PyExc_TypeError, "step() takes 1 positional argument");
  PyObject* a[10] = {};
  bind_args_optional("step", names, 10, 1, call, a);
  const Shape s = shape_of(self);
  Outputs outs(s);
  batch::StepOutputs out;
  out.obs = outs.planes(a[1], "obs");
  out.mask = outs.mask(a[2], "mask");
  out.reward_mover = outs.numbers<float>(a[3], "reward", "f", "float32 ('f')");
  out.reward_black = outs.numbers<float>(a[4], "reward_black", "f", "float32 ('f')");
  out.terminated = outs.flags(a[5], "terminated");
  out.truncated = outs.flags(a[6], "truncated");
  out.final_obs = outs.planes(a[7], "final_obs");
  out.outcome = outs.numbers<int8_t>(a[8], "outcome", "b", "int8 ('b')");
  out.score_black = outs.numbers<float>(a[9], "score", "f", "float32 ('f')", 2);
  out.score_white = outs.numbers<float>(a[9], "score", "f", "float32 ('f')", 2, 1);
  const std::vector<int64_t> actions = read_actions(a[0], s.games);
  engine([&] {
    maybe_without_lock(release_lock(self), [&] { visit_batch(self, [&](auto& b) { b.step(actions, out); }); });
  });
  return new_none();
}

PyObject* batch_observe(PyObject* self, const CallArgs& call) {
  const Access access(as_batch(self), Access::Exclusive);
  static const char* const names[] = {"obs", "mask"};
  PyObject* a[2] = {};
  bind_args_optional("observe", names, 2, 0, call, a);
  Outputs outs(shape_of(self));
  const batch::PlanesOut obs = outs.planes(a[0], "obs");
  const batch::MaskOut mask = outs.mask(a[1], "mask");
  maybe_without_lock(release_lock(self), [&] { visit_batch(self, [&](auto& b) { b.observe(obs, mask); }); });
  return new_none();
}

PyObject* batch_sample_actions(PyObject* self, const CallArgs& call) {
  const Access access(as_batch(self), Access::Exclusive);
  static const char* const names[] = {"out"};
  PyObject* a[1] = {};
  bind_args_optional("sample_actions", names, 1, 0, call, a);
  const Shape s = shape_of(self);
  std::optional<View> out;
  if (a[0] && a[0] != Py_None) {
    out.emplace(a[0], "out", true);
    if (!is_integer_view(*out) || out->itemsize() < 2)
      raise(PyExc_TypeError, "argument 'out' must hold integers of 2, 4 or 8 bytes, not format '%s'", out->format());
    out->require_items(s.games, "one per game");
  }
  std::vector<int64_t> actions(s.games);
  maybe_without_lock(release_lock(self), [&] { visit_batch(self, [&](auto& b) { b.sample(actions); }); });
  if (out) {
    for (size_t i = 0; i < s.games; ++i) store_integer(*out, i, actions[i]);
    return new_none();
  }
  const ModuleState& st = state_of(self);
  Ref list = check(PyList_New(Py_ssize_t(s.games)));
  for (size_t i = 0; i < s.games; ++i) PyList_SET_ITEM(list.get(), Py_ssize_t(i), action_int(st, size_t(actions[i])));
  return list.release();
}

PyObject* batch_rollout(PyObject* self, const CallArgs& call) {
  const Access access(as_batch(self), Access::Exclusive);
  static const char* const names[] = {"seed", "outcome", "score", "length"};
  PyObject* a[4] = {};
  bind_args_optional("rollout", names, 4, 0, call, a);
  const uint64_t seed = a[0] && a[0] != Py_None ? to_unsigned(a[0], "seed") : 0;
  const Shape s = shape_of(self);
  Outputs outs(s);
  batch::RolloutOutputs out;
  out.outcome = outs.numbers<int8_t>(a[1], "outcome", "b", "int8 ('b')");
  out.score_black = outs.numbers<float>(a[2], "score", "f", "float32 ('f')", 2);
  out.score_white = outs.numbers<float>(a[2], "score", "f", "float32 ('f')", 2, 1);
  out.length = outs.numbers<uint32_t>(a[3], "length", "IL", "uint32 ('I')");
  const bool to_list = !out.outcome && !out.score_black && !out.length;
  std::vector<int8_t> codes(to_list ? s.games : 0);
  if (to_list) out.outcome = {codes.data(), 0};
  maybe_without_lock(release_lock(self), [&] { visit_batch(self, [&](auto& b) { b.rollout(seed, out); }); });
  if (!to_list) return new_none();
  const ModuleState& st = state_of(self);
  Ref list = check(PyList_New(Py_ssize_t(s.games)));
  for (size_t i = 0; i < s.games; ++i)
    PyList_SET_ITEM(list.get(), Py_ssize_t(i), new_outcome_object(st, GameOutcome(uint8_t(codes[i]))));
  return list.release();
}

// --- games in and out --------------------------------------------------------------

PyObject* batch_game(PyObject* self, const CallArgs& call) {
  const Access access(as_batch(self), Access::Shared);
  const auto [o] = bind<1>("game", {"index"}, call);
  const size_t i = game_index(o, shape_of(self).games);
  return visit_batch(self, [&]<int NW>(const batch::GameBatch<NW>& b) {
    return new_game_object(state_of(self), GameVariant(std::in_place_index<NW - 1>, b.game(i)));
  });
}

PyObject* batch_finished_game(PyObject* self, const CallArgs& call) {
  const Access access(as_batch(self), Access::Shared);
  const auto [o] = bind<1>("finished_game", {"index"}, call);
  const size_t i = game_index(o, shape_of(self).games);
  return visit_batch(self, [&]<int NW>(const batch::GameBatch<NW>& b) -> PyObject* {
    const Game<NW>* g = b.finished_game(i);
    if (!g) return new_none();
    return new_game_object(state_of(self), GameVariant(std::in_place_index<NW - 1>, *g));
  });
}

PyObject* batch_set_game(PyObject* self, const CallArgs& call) {
  const Access access(as_batch(self), Access::Exclusive);
  const auto [o, g] = bind<2>("set_game", {"index", "game"}, call);
  const size_t i = game_index(o, shape_of(self).games);
  const ModuleState& st = state_of(self);
  require_type(g, st.game_type, "game", "Game");
  const Access game_access(as_game(g), Access::Shared);
  visit_batch(self, [&]<int NW>(batch::GameBatch<NW>& b) {
    std::visit(
        [&]<int GW>(const Game<GW>& game) {
          if constexpr (GW == NW)
            engine([&] { b.put(i, game); });
          else
            raise(PyExc_ValueError, "%s", b.options().mismatch(batch::GameOptions::of(game)).c_str());
        },
        as_game(g)->game);
  });
  return new_none();
}

PyObject* batch_reset(PyObject* self, const CallArgs& call) {
  const Access access(as_batch(self), Access::Exclusive);
  static const char* const names[] = {"seed"};
  PyObject* a[1] = {};
  bind_args_optional("reset", names, 1, 0, call, a);
  const std::optional<uint64_t> seed =
      a[0] && a[0] != Py_None ? std::optional(to_unsigned(a[0], "seed")) : std::nullopt;
  visit_batch(self, [&](auto& b) {
    b.reset_all();
    if (seed) b.reseed(*seed);
  });
  return new_none();
}

// --- queries --------------------------------------------------------------------

template <class F>
PyObject* read_only(PyObject* self, const CallArgs& call, const char* name, F&& f) {
  const Access access(as_batch(self), Access::Shared);
  bind_none(name, call);
  return visit_batch(self, std::forward<F>(f));
}

PyObject* batch_width(PyObject* self, const CallArgs& call) {
  return read_only(self, call, "width", [](const auto& b) { return PyLong_FromLong(b.options().width); });
}
PyObject* batch_height(PyObject* self, const CallArgs& call) {
  return read_only(self, call, "height", [](const auto& b) { return PyLong_FromLong(b.options().height); });
}
PyObject* batch_action_size(PyObject* self, const CallArgs& call) {
  return read_only(self, call, "action_size", [](const auto& b) { return PyLong_FromLong(long(b.action_count())); });
}
PyObject* batch_threads(PyObject* self, const CallArgs& call) {
  return read_only(self, call, "threads", [](const auto& b) { return PyLong_FromLong(long(b.threads())); });
}
PyObject* batch_autoreset(PyObject* self, const CallArgs& call) {
  return read_only(self, call, "autoreset",
                   [](const auto& b) { return PyUnicode_FromString(autoreset_text(b.config().autoreset)); });
}

Py_ssize_t batch_len(PyObject* self) {
  return guarded_as<Py_ssize_t>(-1, [&] {
    const Access access(as_batch(self), Access::Shared);
    return Py_ssize_t(shape_of(self).games);
  });
}

PyObject* batch_repr(PyObject* self) {
  return guarded([&] {
    const Access access(as_batch(self), Access::Shared);
    return visit_batch(self, [](const auto& b) {
      const auto& o = b.options();
      return PyUnicode_FromFormat("<vexlor_go.GameBatch of %zu %dx%d games, autoreset=%s, threads=%u>", b.size(),
                                  int(o.width), int(o.height), autoreset_text(b.config().autoreset), b.threads());
    });
  });
}

// --- pickling ------------------------------------------------------------------

PyObject* batch_reduce(PyObject* self, const CallArgs& call) {
  const Access access(as_batch(self), Access::Shared);
  bind_none("__reduce__", call);
  const std::vector<uint8_t> state =
      visit_batch(self, []<int NW>(const batch::GameBatch<NW>& b) { return batch::BatchSerializer<NW>::save(b); });
  Ref bytes = check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(state.data()), Py_ssize_t(state.size())));
  Ref fn = check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "_from_state"));
  return check(Py_BuildValue("(O(O))", fn.get(), bytes.get())).release();
}

PyObject* batch_from_state(PyObject* cls, const CallArgs& call) {
  const auto [s] = bind<1>("_from_state", {"state"}, call);
  Py_buffer view;
  if (PyObject_GetBuffer(s, &view, PyBUF_SIMPLE) < 0) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PythonError{};
    PyErr_Clear();
    raise(PyExc_TypeError, "argument 'state' must be a bytes-like object, not %.200s", Py_TYPE(s)->tp_name);
  }
  struct Release {
    Py_buffer* v;
    ~Release() { PyBuffer_Release(v); }
  } release{&view};
  const uint8_t* data = static_cast<const uint8_t*>(view.buf);
  const size_t size = size_t(view.len);
  BatchVariant b = [&] {
    try {
      if (size < 4 || data[0] != batch::state::kBatchKind) throw StateError("not a saved batch");
      const unsigned width = data[2], height = data[3];
      if (width < 2 || width > 32 || height < 2 || height > 32) throw StateError("board size out of range");
      return make_nw_variant<BatchVariant>(words_for_size(width, height),
                                           [&]<int NW>() { return batch::BatchSerializer<NW>::load(data, size); });
    } catch (const StateError& e) {
      raise(PyExc_ValueError, "invalid GameBatch state: %s", e.what());
    }
  }();
  const ModuleState& st = state_of_class(cls);
  return new_holder(st.game_batch_type, &PyGameBatch::batch, std::move(b));
}

PyMethodDef batch_methods[] = {
    VX_METHOD("step", batch_step, 0,
              "step($self, actions, *, obs=None, mask=None, reward=None, reward_black=None, terminated=None, "
              "truncated=None, final_obs=None, outcome=None, score=None)"),
    VX_METHOD("observe", batch_observe, 0, "observe($self, obs=None, mask=None)"),
    VX_METHOD("sample_actions", batch_sample_actions, 0, "sample_actions($self, out=None)"),
    VX_METHOD("rollout", batch_rollout, 0, "rollout($self, seed=0, outcome=None, score=None, length=None)"),
    VX_METHOD("game", batch_game, 0, "game($self, index)"),
    VX_METHOD("finished_game", batch_finished_game, 0, "finished_game($self, index)"),
    VX_METHOD("set_game", batch_set_game, 0, "set_game($self, index, game)"),
    VX_METHOD("reset", batch_reset, 0, "reset($self, seed=None)"),
    VX_METHOD("width", batch_width, 0, "width($self)"),
    VX_METHOD("height", batch_height, 0, "height($self)"),
    VX_METHOD("action_size", batch_action_size, 0, "action_size($self)"),
    VX_METHOD("threads", batch_threads, 0, "threads($self)"),
    VX_METHOD("autoreset", batch_autoreset, 0, "autoreset($self)"),
    VX_METHOD("__reduce__", batch_reduce, 0, "__reduce__($self)"),
    VX_METHOD("_from_state", batch_from_state, METH_STATIC, "_from_state(state)"),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot batch_slots[] = {
    {Py_tp_doc,
     const_cast<char*>(VX_SIG("GameBatch(num_games, width, height, *, komi=7.5, min_moves_before_pass_possible=None, "
                              "max_moves=None, superko=True, autoreset='same_step', illegal_action='raise', threads=1, "
                              "seed=0)"))},
    {Py_tp_new, reinterpret_cast<void*>(batch_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_holder<PyGameBatch, BatchVariant, &PyGameBatch::batch>)},
    {Py_tp_repr, reinterpret_cast<void*>(batch_repr)},
    {Py_sq_length, reinterpret_cast<void*>(batch_len)},
    {Py_tp_methods, batch_methods},
    {0, nullptr},
};

}  // namespace

PyType_Spec game_batch_spec = {
    "vexlor_go.GameBatch", sizeof(PyGameBatch), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, batch_slots,
};

}  // namespace vexlor::py
