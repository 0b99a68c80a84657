// Python class TreeSearch: many tree searches at once, one per root game, with
// one call of a Python evaluator per round for the leaves of every tree.
//
// The trees are worked on without the interpreter lock; the evaluator runs
// with it. Every failure of a round (the evaluator raising, a result of the
// wrong type, shape or dtype, NaN, a tree past its memory bound, Ctrl-C) takes
// the round back before the error reaches Python: the trees stay as they were
// after the last complete round, and the next search starts from there.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "batch_object.hpp"
#include "buffer_view.hpp"
#include "engine/encode.hpp"
#include "methods.hpp"
#include "search/batched_search.hpp"
#include "without_lock.hpp"

namespace vexlor::py {
namespace {

namespace vs = vexlor::search;

template <int NW>
using SearchPtr = std::unique_ptr<vs::BatchedSearch<NW>>;
using SearchVariant = NwVariant<SearchPtr>;

struct TreeSearchCore {
  SearchVariant search;
  vs::Options options;
  uint8_t width = 0, height = 0;
  // The evaluator's answer, copied out of its arrays before the lock is released.
  std::vector<float> policy, values;
};

struct PyTreeSearch {
  PyObject_HEAD AccessFlag access;
  TreeSearchCore core;
};

PyTreeSearch* as_search(PyObject* o) { return reinterpret_cast<PyTreeSearch*>(o); }

// The search core's errors as Python ones; f runs with the lock held on return.
template <class F>
decltype(auto) translated(F&& f) {
  try {
    return f();
  } catch (const vs::EvaluatorError& e) {
    raise(PyExc_ValueError, "%s", e.what());
  } catch (const vs::TreeMemoryError& e) {
    raise(PyExc_MemoryError, "%s", e.what());
  } catch (const std::invalid_argument& e) {
    raise(PyExc_ValueError, "%s", e.what());
  } catch (const std::out_of_range& e) {
    raise(PyExc_IndexError, "%s", e.what());
  }
}

// --- options -------------------------------------------------------------------

double to_double(PyObject* o, const char* name) {
  const double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    raise(PyExc_TypeError, "argument '%s' must be a real number, not %.200s", name, Py_TYPE(o)->tp_name);
  }
  return v;
}

// One of `choices` (nullptr-terminated); returns its index.
int to_choice(PyObject* o, const char* name, const char* const* choices) {
  if (!PyUnicode_Check(o)) raise(PyExc_TypeError, "argument '%s' must be str, not %.200s", name, Py_TYPE(o)->tp_name);
  for (int i = 0; choices[i]; ++i)
    if (PyUnicode_CompareWithASCIIString(o, choices[i]) == 0) return i;
  raise(PyExc_ValueError, "argument '%s' must be '%s' or '%s', not %R", name, choices[0], choices[1], o);
}

const char* const kRules[] = {"puct", "gumbel", nullptr};
const char* const kPlanes[] = {"float32", "uint8", nullptr};
const char* const kPolicies[] = {"logits", "probabilities", nullptr};

// Sets the keyword-only option `key` from `value`.
void set_option(vs::Options& o, PyObject* key, PyObject* value) {
  if (!PyUnicode_Check(key)) raise(PyExc_TypeError, "TreeSearch() keywords must be strings");
  const char* k = PyUnicode_AsUTF8(key);
  if (!k) throw PythonError{};
  auto is = [&](const char* name) { return std::strcmp(k, name) == 0; };
  vs::PuctOptions& p = o.puct;
  vs::GumbelOptions& g = o.gumbel;
  if (is("rule")) {
    o.rule = to_choice(value, k, kRules) == 0 ? vs::Rule::Puct : vs::Rule::Gumbel;
  } else if (is("num_simulations")) {
    o.num_simulations = uint32_t(to_unsigned(value, k, UINT32_MAX));
  } else if (is("leaves_per_tree")) {
    o.leaves_per_tree = uint32_t(to_unsigned(value, k, UINT32_MAX));
  } else if (is("virtual_loss")) {
    o.virtual_loss = to_double(value, k);
  } else if (is("reuse_tree")) {
    o.reuse_tree = to_bool(value, k);
  } else if (is("max_tree_bytes")) {
    o.max_tree_bytes = size_t(to_unsigned(value, k, SIZE_MAX));
  } else if (is("threads")) {
    o.threads = uint32_t(to_unsigned(value, k, UINT32_MAX));
  } else if (is("seed")) {
    o.seed = to_unsigned(value, k);
  } else if (is("planes")) {
    o.planes = to_choice(value, k, kPlanes) == 0 ? vs::PlaneFormat::Float32 : vs::PlaneFormat::UInt8;
  } else if (is("policy")) {
    o.policy = to_choice(value, k, kPolicies) == 0 ? vs::PolicyFormat::Logits : vs::PolicyFormat::Probabilities;
  } else if (is("c_init")) {
    p.c_init = to_double(value, k);
  } else if (is("c_base")) {
    p.c_base = to_double(value, k);
  } else if (is("fpu_reduction")) {
    p.fpu_reduction = to_double(value, k);
  } else if (is("fpu_absolute")) {
    p.fpu_absolute = to_bool(value, k);
  } else if (is("fpu_value")) {
    p.fpu_value = to_double(value, k);
  } else if (is("dirichlet_alpha")) {
    p.dirichlet_alpha = to_double(value, k);
  } else if (is("dirichlet_fraction")) {
    p.dirichlet_fraction = to_double(value, k);
  } else if (is("temperature")) {
    p.temperature = to_double(value, k);
  } else if (is("max_considered_actions")) {
    g.max_considered_actions = uint32_t(to_unsigned(value, k, UINT32_MAX));
  } else if (is("gumbel_scale")) {
    g.gumbel_scale = to_double(value, k);
  } else if (is("c_visit")) {
    g.c_visit = to_double(value, k);
  } else if (is("c_scale")) {
    g.c_scale = to_double(value, k);
  } else if (is("rescale_values")) {
    g.rescale_values = to_bool(value, k);
  } else if (is("mixed_value")) {
    g.mixed_value = to_bool(value, k);
  } else if (is("epsilon")) {
    g.epsilon = to_double(value, k);
  } else {
    raise(PyExc_TypeError, "TreeSearch() got an unexpected keyword argument '%s'", k);
  }
}

PyObject* tree_search_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    ModuleState& st = state_of_type(type);
    const auto [w, h] = bind_tuple<2>("TreeSearch", {"width", "height"}, args, nullptr);
    const uint64_t width = to_unsigned(w, "width");
    const uint64_t height = to_unsigned(h, "height");
    check_board_size(width, height);
    TreeSearchCore core;
    core.options.planes = vs::PlaneFormat::Float32;
    if (kwargs) {
      Py_ssize_t pos = 0;
      PyObject *key, *value;
      while (PyDict_Next(kwargs, &pos, &key, &value)) set_option(core.options, key, value);
    }
    core.width = uint8_t(width);
    core.height = uint8_t(height);
    core.search = translated([&] {
      return make_nw_variant<SearchVariant>(words_for_size(unsigned(width), unsigned(height)), [&]<int NW>() {
        return std::make_unique<vs::BatchedSearch<NW>>(core.options, core.width, core.height, 0);
      });
    });
    return new_holder(st.tree_search_type, &PyTreeSearch::core, std::move(core));
  });
}

// --- buffers -------------------------------------------------------------------------

// A NumPy array the search writes into, its memory held for as long as this lives.
// Its size is checked, not assumed: numpy's functions may have been replaced.
class OwnedArray {
 public:
  OwnedArray(PyObject* numpy, const char* make, PyObject* shape, const char* dtype, size_t bytes) {
    array_ = check(PyObject_CallMethod(numpy, make, "Os", shape, dtype));
    if (PyObject_GetBuffer(array_.get(), &view_, PyBUF_CONTIG) < 0) throw PythonError{};
    if (size_t(view_.len) < bytes || reinterpret_cast<uintptr_t>(view_.buf) % alignof(float) != 0) {
      PyBuffer_Release(&view_);
      raise(PyExc_RuntimeError, "numpy.%s made an array of %zd bytes (or unaligned), not %zu", make, view_.len, bytes);
    }
  }
  ~OwnedArray() { PyBuffer_Release(&view_); }
  OwnedArray(const OwnedArray&) = delete;
  OwnedArray& operator=(const OwnedArray&) = delete;

  template <class T>
  T* data() const {
    return static_cast<T*>(view_.buf);
  }
  PyObject* get() const { return array_.get(); }
  // Rows [0, n) as a view the evaluator gets.
  Ref head(size_t n) const { return check(PySequence_GetSlice(array_.get(), 0, Py_ssize_t(n))); }

 private:
  Ref array_;
  Py_buffer view_{};
};

Ref shape_of(std::initializer_list<size_t> dims) {
  Ref t = check(PyTuple_New(Py_ssize_t(dims.size())));
  Py_ssize_t i = 0;
  for (size_t d : dims) PyTuple_SET_ITEM(t.get(), i++, check(PyLong_FromSize_t(d)).release());
  return t;
}

std::string shape_text(const View& v) {
  std::string s = "(";
  for (int i = 0; i < v.ndim(); ++i) s += (i ? ", " : "") + std::to_string(v.extent(i));
  return s + (v.ndim() == 1 ? ",)" : ")");
}

// Copies one of the evaluator's results (float32, `rows` x `cols`; cols 0 for a
// vector, which may also come as rows x 1) into `out`.
void take_result(PyObject* o, const char* name, size_t rows, size_t cols, std::vector<float>& out) {
  View v(o, name, false);
  if (v.code() != 'f' || v.itemsize() != 4)
    raise(PyExc_TypeError, "evaluate must return float32 %s, not format '%s'", name, v.format());
  const bool ok =
      cols ? v.ndim() == 2 && v.extent(0) == rows && v.extent(1) == cols
           : (v.ndim() == 1 && v.extent(0) == rows) || (v.ndim() == 2 && v.extent(0) == rows && v.extent(1) == 1);
  if (!ok) {
    const std::string want =
        cols ? "(" + std::to_string(rows) + ", " + std::to_string(cols) + ")" : "(" + std::to_string(rows) + ",)";
    raise(PyExc_ValueError, "evaluate must return %s of shape %s, not %s", name, want.c_str(), shape_text(v).c_str());
  }
  out.resize(v.items());
  std::memcpy(out.data(), v.data(), v.bytes());
}

// --- the search -------------------------------------------------------------------------

// Tree i's root becomes game i (kept, advanced by one move, or replaced).
template <int NW>
void sync_one(const TreeSearchCore& core, vs::BatchedSearch<NW>& s, size_t i, const Game<NW>& g) {
  if (core.options.reuse_tree)
    s.sync_root(i, g);
  else
    s.set_root(i, g);  // without reuse every search starts afresh, also for a game searched before
}

// The roots from a GameBatch, read under its shared access: a step running
// meanwhile on another thread is refused, never read half-done.
template <int NW>
size_t sync_batch(const TreeSearchCore& core, vs::BatchedSearch<NW>& s, PyObject* games) {
  const Access read(as_batch(games), Access::Shared);
  const batch::GameBatch<NW>* b = std::get_if<batch::GameBatch<NW>>(&as_batch(games)->batch);
  if (!b || b->options().width != core.width || b->options().height != core.height) {
    const auto [w, h] =
        std::visit([](const auto& x) { return std::pair{unsigned(x.options().width), unsigned(x.options().height)}; },
                   as_batch(games)->batch);
    raise(PyExc_ValueError, "the batch's games are %ux%u; this search is for %ux%u", w, h, unsigned(core.width),
          unsigned(core.height));
  }
  const size_t n = b->size();
  translated([&] {
    if (s.num_trees() != n) s.resize(n);
    for (size_t i = 0; i < n; ++i) {
      if (b->ended(i)) raise(PyExc_ValueError, "game %zu is over", i);
      sync_one(core, s, i, b->game(i));
    }
  });
  return n;
}

template <int NW>
size_t sync_list(const ModuleState& st, const TreeSearchCore& core, vs::BatchedSearch<NW>& s, PyObject* games) {
  const Ref seq = check(PySequence_Fast(games, "argument 'games' must be a sequence of Game or a GameBatch"));
  const size_t n = size_t(PySequence_Fast_GET_SIZE(seq.get()));
  if (n == 0) raise(PyExc_ValueError, "argument 'games' is empty");
  PyObject* const* items = PySequence_Fast_ITEMS(seq.get());
  for (size_t i = 0; i < n; ++i) require_type(items[i], st.game_type, "games", "a sequence of Game");
  translated([&] {
    if (s.num_trees() != n) s.resize(n);
    for (size_t i = 0; i < n; ++i) {
      const Access read(as_game(items[i]), Access::Shared);
      const Game<NW>* g = std::get_if<Game<NW>>(&as_game(items[i])->game);
      if (!g || g->width() != core.width || g->height() != core.height) {
        const auto [w, h] =
            std::visit([](const auto& x) { return std::pair{x.width(), x.height()}; }, as_game(items[i])->game);
        raise(PyExc_ValueError, "game %zu is %ux%u; this search is for %ux%u", i, unsigned(w), unsigned(h),
              unsigned(core.width), unsigned(core.height));
      }
      sync_one(core, s, i, *g);
    }
  });
  return n;
}

template <int NW>
PyObject* run_search(const ModuleState& st, TreeSearchCore& core, vs::BatchedSearch<NW>& s, PyObject* games,
                     PyObject* evaluate) {
  if (!PyCallable_Check(evaluate))
    raise(PyExc_TypeError, "argument 'evaluate' must be callable, not %.200s", Py_TYPE(evaluate)->tp_name);
  // The roots are copied into the trees here: nothing below reads the games.
  const size_t n = Py_IS_TYPE(games, st.game_batch_type) ? sync_batch(core, s, games) : sync_list(st, core, s, games);

  const Ref numpy = check(PyImport_ImportModule("numpy"));
  const size_t rows = s.max_leaves(), actions = s.num_actions();
  const bool float_planes = core.options.planes == vs::PlaneFormat::Float32;
  const size_t plane_values = rows * s.plane_values();
  const OwnedArray planes(numpy.get(), "zeros",
                          shape_of({rows, size_t(kTotalInputPlanes), core.height, core.width}).get(),
                          float_planes ? "float32" : "uint8", plane_values * (float_planes ? 4 : 1));
  const OwnedArray masks(numpy.get(), "zeros", shape_of({rows, actions}).get(), "bool", rows * actions);
  const vs::LeafBuffers buffers{planes.data<void>(), masks.data<uint8_t>(), nullptr};

  translated([&] { maybe_without_lock(true, [&] { s.begin(); }); });
  while (!s.done()) {
    // Between rounds the trees are whole: the place to stop for Ctrl-C.
    if (PyErr_CheckSignals() < 0) throw PythonError{};
    size_t selected = 0;
    translated([&] { maybe_without_lock(true, [&] { selected = s.select(buffers); }); });
    vs::Evaluation eval;
    if (selected) {
      try {
        const Ref p = planes.head(selected), m = masks.head(selected);
        const Ref out = check(PyObject_CallFunctionObjArgs(evaluate, p.get(), m.get(), nullptr));
        if (!PyTuple_Check(out.get()) || PyTuple_GET_SIZE(out.get()) != 2)
          raise(PyExc_TypeError, "evaluate must return a tuple (policy, values), not %.200s",
                Py_TYPE(out.get())->tp_name);
        take_result(PyTuple_GET_ITEM(out.get(), 0), "policy", selected, actions, core.policy);
        take_result(PyTuple_GET_ITEM(out.get(), 1), "values", selected, 0, core.values);
      } catch (...) {
        s.abort();
        throw;
      }
      eval = {core.policy.data(), core.values.data()};
    }
    translated([&] { maybe_without_lock(true, [&] { s.commit(eval); }); });
  }

  const OwnedArray actions_out(numpy.get(), "empty", shape_of({n}).get(), "int32", 4 * n);
  const OwnedArray visits_out(numpy.get(), "empty", shape_of({n, actions}).get(), "int32", 4 * n * actions);
  const OwnedArray policy_out(numpy.get(), "empty", shape_of({n, actions}).get(), "float32", 4 * n * actions);
  const OwnedArray values_out(numpy.get(), "empty", shape_of({n}).get(), "float32", 4 * n);
  const OwnedArray sims_out(numpy.get(), "empty", shape_of({n}).get(), "int32", 4 * n);
  for (size_t i = 0; i < n; ++i) {
    const vs::RootResult r =
        s.result(i, visits_out.data<uint32_t>() + i * actions, policy_out.data<float>() + i * actions);
    actions_out.data<int32_t>()[i] = r.action;
    values_out.data<float>()[i] = float(r.value);
    sims_out.data<int32_t>()[i] = int32_t(r.simulations);
  }
  Ref result = check(PyDict_New());
  const std::pair<const char*, const OwnedArray*> fields[] = {
      {"actions", &actions_out}, {"visit_counts", &visits_out}, {"policy", &policy_out},
      {"values", &values_out},   {"simulations", &sims_out},
  };
  for (const auto& [key, array] : fields)
    if (PyDict_SetItemString(result.get(), key, array->get()) < 0) throw PythonError{};
  return result.release();
}

template <class F>
decltype(auto) visit_search(PyObject* self, F&& f) {
  return std::visit([&](auto& p) -> decltype(auto) { return f(*p); }, as_search(self)->core.search);
}

PyObject* tree_search_search(PyObject* self, const CallArgs& call) {
  const Access access(as_search(self), Access::Exclusive);
  const auto [games, evaluate] = bind<2>("search", {"games", "evaluate"}, call);
  const ModuleState& st = state_of(self);
  TreeSearchCore& core = as_search(self)->core;
  return visit_search(self, [&](auto& s) { return run_search(st, core, s, games, evaluate); });
}

PyObject* tree_search_reset(PyObject* self, const CallArgs& call) {
  const Access access(as_search(self), Access::Exclusive);
  bind_none("reset", call);
  visit_search(self, [](auto& s) { s.resize(0); });
  return new_none();
}

// Bytes per tree: `capacity` false for the nodes and edges in use, true for what its pools hold.
PyObject* bytes_list(PyObject* self, bool capacity) {
  const Access access(as_search(self), Access::Shared);
  return visit_search(self, [&](auto& s) {
    Ref list = check(PyList_New(Py_ssize_t(s.num_trees())));
    for (size_t t = 0; t < s.num_trees(); ++t)
      PyList_SET_ITEM(list.get(), Py_ssize_t(t),
                      check(PyLong_FromSize_t(capacity ? s.tree_capacity_bytes(t) : s.tree_bytes(t))).release());
    return list.release();
  });
}

PyObject* tree_search_tree_bytes(PyObject* self, const CallArgs& call) {
  bind_none("tree_bytes", call);
  return bytes_list(self, false);
}

PyObject* tree_search_pool_bytes(PyObject* self, const CallArgs& call) {
  bind_none("pool_bytes", call);
  return bytes_list(self, true);
}

PyObject* tree_search_check_consistency(PyObject* self, const CallArgs& call) {
  const Access access(as_search(self), Access::Shared);
  bind_none("_check_consistency", call);
  return new_bool(visit_search(self, [](auto& s) { return s.is_ok(); }));
}

PyObject* tree_search_reduce(PyObject*, const CallArgs& call) {
  bind_none("__reduce__", call);
  raise(PyExc_TypeError,
        "cannot pickle 'vexlor_go.TreeSearch' object: its trees are a cache; make a new TreeSearch with the same "
        "options");
}

PyObject* tree_search_repr(PyObject* self) {
  return guarded([&] {
    const TreeSearchCore& c = as_search(self)->core;
    const size_t trees = visit_search(self, [](auto& s) { return s.num_trees(); });
    return PyUnicode_FromFormat("TreeSearch(%u, %u, rule='%s', num_simulations=%u, trees=%zu)", unsigned(c.width),
                                unsigned(c.height), c.options.rule == vs::Rule::Puct ? "puct" : "gumbel",
                                unsigned(c.options.num_simulations), trees);
  });
}

PyMethodDef tree_search_methods[] = {
    VX_METHOD("search", tree_search_search, 0, "search($self, games, evaluate)"),
    VX_METHOD("reset", tree_search_reset, 0, "reset($self)"),
    VX_METHOD("tree_bytes", tree_search_tree_bytes, 0, "tree_bytes($self)"),
    VX_METHOD("pool_bytes", tree_search_pool_bytes, 0, "pool_bytes($self)"),
    VX_METHOD("_check_consistency", tree_search_check_consistency, 0, "_check_consistency($self)"),
    VX_METHOD("__reduce__", tree_search_reduce, 0, "__reduce__($self)"),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot tree_search_slots[] = {
    {Py_tp_doc, const_cast<char*>(VX_SIG("TreeSearch(width, height, **options)"))},
    {Py_tp_new, reinterpret_cast<void*>(tree_search_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_holder<PyTreeSearch, TreeSearchCore, &PyTreeSearch::core>)},
    {Py_tp_repr, reinterpret_cast<void*>(tree_search_repr)},
    {Py_tp_methods, tree_search_methods},
    {0, nullptr},
};

}  // namespace

PyType_Spec tree_search_spec = {
    "vexlor_go.TreeSearch", sizeof(PyTreeSearch), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, tree_search_slots,
};

}  // namespace vexlor::py
