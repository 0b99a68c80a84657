// Python class TrainingPositions: supervised-learning positions from game
// records, parsed, replayed and written into caller buffers across threads
// with the interpreter lock released.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "buffer_view.hpp"
#include "records/training_positions.hpp"
#include "records_objects.hpp"

namespace vexlor::py {
namespace {

template <int NW>
using Positions = records::TrainingPositions<NW>;
using PositionsVariant = NwVariant<Positions>;

struct PyTraining {
  PyObject_HEAD AccessFlag access;
  PositionsVariant set;
};

PyTraining* as_training(PyObject* o) { return reinterpret_cast<PyTraining*>(o); }

template <class F>
decltype(auto) visit_set(PyObject* self, F&& f) {
  return std::visit(std::forward<F>(f), as_training(self)->set);
}

// Runs work with the interpreter lock released; `progress` (None, True for a
// bar on stderr, or a callable(done, total) whose False cancels) is called
// with the lock held. Returns false when cancelled; an exception raised by
// the callback (or a signal such as Ctrl-C) cancels and propagates.
template <class Work>
bool run_with_progress(PyObject* progress, const char* label, Work&& work) {
  const bool bar = progress == Py_True;
  const bool call = given(progress) && !bar && progress != Py_False;
  if (call && !PyCallable_Check(progress))
    raise(PyExc_TypeError, "argument 'progress' must be None, a bool or a callable, not %.200s",
          Py_TYPE(progress)->tp_name);
  PyThreadState* ts = nullptr;
  bool python_error = false;
  records::Progress report;
  if (bar || call)
    report = [&](size_t done, size_t total) -> bool {
      PyEval_RestoreThread(ts);
      bool go_on = true;
      if (PyErr_CheckSignals() < 0) {
        python_error = true;
        go_on = false;
      } else if (bar) {
        const size_t width = 40, filled = total ? done * width / total : width;
        const std::string line = std::string(filled, '#') + std::string(width - filled, '.');
        PySys_FormatStderr("\r%s [%s] %zu/%zu%s", label, line.c_str(), done, total, done == total ? "\n" : "");
      } else {
        PyObject* r = PyObject_CallFunction(progress, "nn", Py_ssize_t(done), Py_ssize_t(total));
        if (!r) {
          python_error = true;
          go_on = false;
        } else {
          go_on = r != Py_False;
          Py_DECREF(r);
        }
      }
      ts = PyEval_SaveThread();
      return go_on;
    };
  bool finished = false;
  ts = PyEval_SaveThread();
  try {
    finished = work(report);
  } catch (...) {
    PyEval_RestoreThread(ts);
    if (python_error) PyErr_Clear();  // the C++ failure is reported instead
    throw;
  }
  PyEval_RestoreThread(ts);
  if (python_error) throw PythonError{};
  return finished;
}

unsigned threads_of(PyObject* o) { return given(o) ? unsigned(to_unsigned(o, "threads", 1024)) : 1u; }

PyObject* training_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* kw[] = {"width", "height", "superko", "keep_unknown_results", "threads", nullptr};
    PyObject *w = nullptr, *h = nullptr, *sk = nullptr, *keep = nullptr, *th = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO$OOO:TrainingPositions", const_cast<char**>(kw), &w, &h, &sk,
                                     &keep, &th))
      throw PythonError{};
    const uint64_t width = given(w) ? to_unsigned(w, "width") : 19;
    const uint64_t height = given(h) ? to_unsigned(h, "height") : width;
    check_board_size(width, height);
    records::TrainingOptions opt;
    if (given(sk)) opt.superko = to_bool(sk, "superko");
    if (given(keep)) opt.keep_unknown_results = to_bool(keep, "keep_unknown_results");
    opt.parallel.threads = threads_of(th);
    opt.parallel.grain = 4;
    PositionsVariant set = make_nw_variant<PositionsVariant>(
        words_for_size(unsigned(width), unsigned(height)),
        [&]<int NW>() { return Positions<NW>(uint8_t(width), uint8_t(height), opt); });
    return new_holder(state_of_type(type).training_type, &PyTraining::set, std::move(set));
  });
}

PyObject* training_add(PyObject* self, const CallArgs& call) {
  const Access access(as_training(self), Access::Exclusive);
  const auto [srcs, nms, prog] = bind_some<3>("add", {"sources", "names", "progress"}, 1, call);
  std::vector<std::string> bytes, names;
  {
    const Ref seq = check(PySequence_Fast(srcs, "argument 'sources' must be an iterable of records"));
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    bytes.reserve(size_t(n));
    names.reserve(size_t(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      Source s = read_source(PySequence_Fast_GET_ITEM(seq.get(), i));
      bytes.push_back(std::move(s.bytes));
      names.push_back(s.name == "record" ? std::string() : std::move(s.name));
    }
  }
  if (given(nms)) {
    const Ref seq = check(PySequence_Fast(nms, "argument 'names' must be a sequence of str"));
    if (size_t(PySequence_Fast_GET_SIZE(seq.get())) != bytes.size())
      raise(PyExc_ValueError, "argument 'names' must name every source (%zu), not %zd", bytes.size(),
            PySequence_Fast_GET_SIZE(seq.get()));
    for (size_t i = 0; i < bytes.size(); ++i)
      names[i] = std::string(utf8_of(PySequence_Fast_GET_ITEM(seq.get(), Py_ssize_t(i)), "names"));
  }
  const size_t before = visit_set(self, [](auto& s) { return s.size(); });
  const size_t base = visit_set(self, [](auto& s) { return s.sources(); });
  for (size_t i = 0; i < names.size(); ++i)
    if (names[i].empty()) names[i] = "record " + std::to_string(base + i);
  std::vector<std::string_view> texts(bytes.begin(), bytes.end());
  const bool finished = run_with_progress(prog, "records", [&](const records::Progress& p) {
    return visit_set(self, [&](auto& s) { return s.add(texts, names, p); });
  });
  if (!finished) return new_none();
  return PyLong_FromSize_t(visit_set(self, [](auto& s) { return s.size(); }) - before);
}

// One optional output buffer of `per` items per position.
struct Out {
  std::optional<View> view;
  size_t per = 1;
};

void open_out(Out& o, PyObject* obj, const char* name, size_t per, bool (*ok)(const View&), const char* kind) {
  if (!given(obj)) return;
  o.view.emplace(obj, name, true);
  o.per = per;
  if (!ok(*o.view))
    raise(PyExc_TypeError, "argument '%s' must hold %s items, not format '%s'", name, kind, o.view->format());
  if (!o.view->aligned_for(o.view->itemsize())) raise(PyExc_ValueError, "argument '%s' must be aligned", name);
}

PyObject* training_write(PyObject* self, const CallArgs& call) {
  const Access access(as_training(self), Access::Shared);
  const auto [pl, ac, va, fi, hv, rc, tr, sym, seed, th, prog] =
      bind_some<11>("write",
                    {"planes", "action", "value", "first", "has_value", "record", "transform", "random_symmetry",
                     "seed", "threads", "progress"},
                    0, call);
  const auto [width, height, total] =
      visit_set(self, [](auto& s) { return std::tuple<unsigned, unsigned, size_t>(s.width(), s.height(), s.size()); });
  const size_t plane_items = size_t(kTotalInputPlanes) * width * height;
  Out planes, action, value, has_value, record, transform;
  open_out(
      planes, pl, "planes", plane_items,
      [](const View& v) {
        return ((v.code() == 'B' || v.code() == '?') && v.itemsize() == 1) || (v.code() == 'f' && v.itemsize() == 4);
      },
      "uint8 ('B'), bool ('?') or float32 ('f')");
  auto int32 = [](const View& v) { return (v.code() == 'i' || v.code() == 'l') && v.itemsize() == 4; };
  auto uint32 = [](const View& v) { return (v.code() == 'I' || v.code() == 'L') && v.itemsize() == 4; };
  auto byte = [](const View& v) { return (v.code() == 'B' || v.code() == '?') && v.itemsize() == 1; };
  open_out(action, ac, "action", 1, int32, "int32 ('i')");
  open_out(value, va, "value", 1, [](const View& v) { return v.code() == 'f' && v.itemsize() == 4; }, "float32 ('f')");
  open_out(has_value, hv, "has_value", 1, byte, "uint8 ('B') or bool ('?')");
  open_out(record, rc, "record", 1, uint32, "uint32 ('I')");
  open_out(transform, tr, "transform", 1, byte, "uint8 ('B')");
  const size_t first = given(fi) ? size_t(to_unsigned(fi, "first")) : 0;
  if (first > total) raise(PyExc_ValueError, "first (%zu) is past the %zu positions", first, total);
  std::optional<size_t> count;
  const char* count_from = nullptr;
  for (auto [o, name] : {std::pair<Out*, const char*>{&planes, "planes"},
                         {&action, "action"},
                         {&value, "value"},
                         {&has_value, "has_value"},
                         {&record, "record"},
                         {&transform, "transform"}}) {
    if (!o->view) continue;
    const size_t items = o->view->items();
    if (items % o->per)
      raise(PyExc_ValueError, "argument '%s' must hold a multiple of %zu items, not %zu", name, o->per, items);
    if (!count) {
      count = items / o->per;
      count_from = name;
    } else if (*count != items / o->per) {
      raise(PyExc_ValueError, "argument '%s' holds %zu positions but '%s' holds %zu", name, items / o->per, count_from,
            *count);
    }
  }
  if (!count) raise(PyExc_TypeError, "write() needs at least one output buffer");
  if (*count > total - first)
    raise(PyExc_ValueError, "buffers hold %zu positions but only %zu remain from position %zu", *count, total - first,
          first);
  records::WriteOptions wo;
  if (given(sym)) wo.random_symmetry = to_bool(sym, "random_symmetry");
  if (given(seed)) wo.seed = to_unsigned(seed, "seed");
  wo.parallel.threads = threads_of(th);
  auto data = [](Out& o) { return o.view ? o.view->data() : nullptr; };
  const bool finished = run_with_progress(prog, "positions", [&](const records::Progress& p) {
    return visit_set(self, [&](auto& s) {
      auto go = [&]<class T>(T*) {
        records::TrainingBuffers<T> b;
        b.planes = reinterpret_cast<T*>(data(planes));
        b.action = reinterpret_cast<int32_t*>(data(action));
        b.value = reinterpret_cast<float*>(data(value));
        b.has_value = reinterpret_cast<uint8_t*>(data(has_value));
        b.record = reinterpret_cast<uint32_t*>(data(record));
        b.transform = reinterpret_cast<uint8_t*>(data(transform));
        return s.write(first, *count, b, wo, p);
      };
      return planes.view && planes.view->is_float() ? go(static_cast<float*>(nullptr))
                                                    : go(static_cast<uint8_t*>(nullptr));
    });
  });
  if (!finished) return new_none();
  return PyLong_FromSize_t(*count);
}

PyObject* training_records(PyObject* self, const CallArgs& call) {
  const Access access(as_training(self), Access::Shared);
  const auto [so] = bind_some<1>("records", {"skipped_only"}, 0, call);
  const bool skipped_only = given(so) && to_bool(so, "skipped_only");
  Ref list = check(PyList_New(0));
  visit_set(self, [&](auto& s) {
    for (const records::RecordReport& r : s.records()) {
      if (skipped_only && r.skipped == records::SkipReason::None) continue;
      const std::string_view why = records::skip_reason_name(r.skipped);
      const Ref reason = r.skipped == records::SkipReason::None
                             ? Ref::borrow(Py_None)
                             : check(PyUnicode_FromStringAndSize(why.data(), Py_ssize_t(why.size())));
      const Ref msg = check(PyUnicode_DecodeUTF8(r.message.data(), Py_ssize_t(r.message.size()), "replace"));
      const Ref item =
          check(Py_BuildValue("{s:n,s:n,s:n,s:n,s:O,s:O}", "source", Py_ssize_t(r.source), "game", Py_ssize_t(r.game),
                              "first_position", Py_ssize_t(r.first_position), "positions", Py_ssize_t(r.positions),
                              "skipped", reason.get(), "message", msg.get()));
      if (PyList_Append(list.get(), item.get()) < 0) throw PythonError{};
    }
  });
  return list.release();
}

PyObject* training_clear(PyObject* self, const CallArgs& call) {
  const Access access(as_training(self), Access::Exclusive);
  bind_none("clear", call);
  visit_set(self, [](auto& s) { s.clear(); });
  return new_none();
}

Py_ssize_t training_len(PyObject* self) {
  return guarded_as<Py_ssize_t>(-1, [&] {
    const Access access(as_training(self), Access::Shared);
    return Py_ssize_t(visit_set(self, [](auto& s) { return s.size(); }));
  });
}

PyObject* get_width(PyObject* self, void*) {
  return guarded([&] { return PyLong_FromLong(visit_set(self, [](auto& s) { return long(s.width()); })); });
}
PyObject* get_height(PyObject* self, void*) {
  return guarded([&] { return PyLong_FromLong(visit_set(self, [](auto& s) { return long(s.height()); })); });
}

PyObject* training_repr(PyObject* self) {
  return guarded([&] {
    const Access access(as_training(self), Access::Shared);
    return visit_set(self, [](auto& s) {
      return PyUnicode_FromFormat("TrainingPositions(%d x %d, %zu positions from %zu records)", int(s.width()),
                                  int(s.height()), s.size(), s.records().size());
    });
  });
}

PyGetSetDef training_getset[] = {
    {"width", get_width, nullptr, "Board columns of the kept records.", nullptr},
    {"height", get_height, nullptr, "Board rows of the kept records.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef training_methods[] = {
    VX_METHOD("add", training_add, 0, "add($self, sources, names=None, progress=None)"),
    VX_METHOD("write", training_write, 0,
              "write($self, planes=None, action=None, value=None, first=0, has_value=None, record=None, "
              "transform=None, random_symmetry=False, seed=0, threads=1, progress=None)"),
    VX_METHOD("records", training_records, 0, "records($self, skipped_only=False)"),
    VX_METHOD("clear", training_clear, 0, "clear($self)"),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot training_slots[] = {
    {Py_tp_doc, const_cast<char*>(VX_SIG("TrainingPositions(width=19, height=None, *, superko=False, "
                                         "keep_unknown_results=False, threads=1)"))},
    {Py_tp_new, reinterpret_cast<void*>(training_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_holder<PyTraining, PositionsVariant, &PyTraining::set>)},
    {Py_tp_repr, reinterpret_cast<void*>(training_repr)},
    {Py_sq_length, reinterpret_cast<void*>(training_len)},
    {Py_tp_methods, training_methods},
    {Py_tp_getset, training_getset},
    {0, nullptr},
};

}  // namespace

PyType_Spec training_spec = {
    "vexlor_go.TrainingPositions", sizeof(PyTraining), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, training_slots,
};

}  // namespace vexlor::py
