// Pickling and copying of the four classes. Games and boards reduce to a
// private static constructor and their compact byte state; moves and outcomes
// to their own static constructors. Moves and outcomes are immutable, so their
// copies are the objects themselves.
#include <string>
#include <vector>

#include "engine/serialize.hpp"
#include "methods.hpp"

namespace vexlor::py {
namespace {

// Read-only view of a bytes-like state argument for the duration of a call.
class StateView {
 public:
  explicit StateView(PyObject* o) {
    if (PyObject_GetBuffer(o, &view_, PyBUF_SIMPLE) < 0) {
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PythonError{};
      PyErr_Clear();
      raise(PyExc_TypeError, "argument 'state' must be a bytes-like object, not %.200s", Py_TYPE(o)->tp_name);
    }
  }
  ~StateView() { PyBuffer_Release(&view_); }
  StateView(const StateView&) = delete;
  StateView& operator=(const StateView&) = delete;

  const uint8_t* data() const { return static_cast<const uint8_t*>(view_.buf); }
  size_t size() const { return size_t(view_.len); }

 private:
  Py_buffer view_;
};

PyObject* bytes_of(const std::vector<uint8_t>& v) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(v.data()), Py_ssize_t(v.size()));
}

// (type.<constructor>, (state,)) for __reduce__.
PyObject* reduce_to(PyTypeObject* type, const char* constructor, PyObject* args_tuple) {
  Ref args = check(args_tuple);
  Ref fn = check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), constructor));
  return check(PyTuple_Pack(2, fn.get(), args.get())).release();
}

// Runs f, reporting a refused state as ValueError with the given prefix.
template <class F>
auto refusing(const char* prefix, F&& f) {
  try {
    return f();
  } catch (const StateError& e) {
    raise(PyExc_ValueError, "%s%s", prefix, e.what());
  }
}

}  // namespace

// --- Game ----------------------------------------------------------------------

PyObject* game_reduce(PyObject* self, const CallArgs& call) {
  PyGame* g = as_game(self);
  const Access access(g, Access::Shared);
  bind_none("__reduce__", call);
  const std::vector<uint8_t> state = refusing("cannot pickle Game: ", [&] {
    return std::visit([]<int NW>(const Game<NW>& game) { return GameSerializer<NW>::save(game); }, g->game);
  });
  return reduce_to(Py_TYPE(self), "_from_state", Py_BuildValue("(N)", bytes_of(state)));
}

PyObject* game_from_state(PyObject* cls, const CallArgs& call) {
  const auto [s] = bind<1>("_from_state", {"state"}, call);
  const StateView view(s);
  return new_game_object(state_of_class(cls), refusing("invalid Game state: ", [&] {
                           const auto dims = peek_state_size(view.data(), view.size(), serial::kGameKind);
                           return make_nw_variant<GameVariant>(words_for_size(dims.width, dims.height), [&]<int NW>() {
                             return GameSerializer<NW>::load(view.data(), view.size());
                           });
                         }));
}

PyObject* game_copy(PyObject* self, const CallArgs& call) {
  PyGame* g = as_game(self);
  const Access access(g, Access::Shared);
  bind_none("__copy__", call);
  return new_game_object(state_of(self), g->game);
}

PyObject* game_deepcopy(PyObject* self, const CallArgs& call) {
  PyGame* g = as_game(self);
  const Access access(g, Access::Shared);
  bind<1>("__deepcopy__", {"memo"}, call);
  return new_game_object(state_of(self), g->game);
}

// --- Board ---------------------------------------------------------------------

PyObject* board_reduce(PyObject* self, const CallArgs& call) {
  PyBoard* b = as_board(self);
  const Access access(b, Access::Shared);
  bind_none("__reduce__", call);
  const std::vector<uint8_t> state = std::visit([](const auto& board) { return save_board(board); }, b->board);
  return reduce_to(Py_TYPE(self), "_from_state", Py_BuildValue("(N)", bytes_of(state)));
}

PyObject* board_from_state(PyObject* cls, const CallArgs& call) {
  const auto [s] = bind<1>("_from_state", {"state"}, call);
  const StateView view(s);
  return new_board_object(state_of_class(cls), refusing("invalid Board state: ", [&] {
                            const auto dims = peek_state_size(view.data(), view.size(), serial::kBoardKind);
                            return make_nw_variant<BoardVariant>(
                                words_for_size(dims.width, dims.height),
                                [&]<int NW>() { return load_board<NW>(view.data(), view.size()); });
                          }));
}

PyObject* board_copy(PyObject* self, const CallArgs& call) {
  PyBoard* b = as_board(self);
  const Access access(b, Access::Shared);
  bind_none("__copy__", call);
  return new_board_object(state_of(self), b->board);
}

PyObject* board_deepcopy(PyObject* self, const CallArgs& call) {
  PyBoard* b = as_board(self);
  const Access access(b, Access::Shared);
  bind<1>("__deepcopy__", {"memo"}, call);
  return new_board_object(state_of(self), b->board);
}

// --- Move and GameOutcome ------------------------------------------------------

PyObject* move_reduce(PyObject* self, const CallArgs& call) {
  bind_none("__reduce__", call);
  const Move& m = reinterpret_cast<PyMove*>(self)->move;
  if (m.is_pass()) return reduce_to(Py_TYPE(self), "pass_move", PyTuple_New(0));
  return reduce_to(Py_TYPE(self), "place", Py_BuildValue("(ii)", int(m.col), int(m.row)));
}

PyObject* outcome_reduce(PyObject* self, const CallArgs& call) {
  bind_none("__reduce__", call);
  const GameOutcome o = reinterpret_cast<PyGameOutcome*>(self)->outcome;
  return reduce_to(Py_TYPE(self), "_from_code", Py_BuildValue("(i)", outcome_code(o)));
}

PyObject* outcome_from_code(PyObject* cls, const CallArgs& call) {
  const auto [c] = bind<1>("_from_code", {"code"}, call);
  const uint64_t code = to_unsigned(c, "code");
  if (code > 2) raise(PyExc_ValueError, "invalid GameOutcome code");
  return new_outcome_object(state_of_class(cls), GameOutcome(uint8_t(code)));
}

PyObject* value_copy(PyObject* self, const CallArgs& call) {
  bind_none("__copy__", call);
  return Py_NewRef(self);
}

PyObject* value_deepcopy(PyObject* self, const CallArgs& call) {
  bind<1>("__deepcopy__", {"memo"}, call);
  return Py_NewRef(self);
}

}  // namespace vexlor::py
