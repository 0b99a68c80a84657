// Python class Game: construction, play and query, the action space, planes and rewards.
#include <string>

#include "engine/encode.hpp"
#include "methods.hpp"
#include "python_hash.hpp"
#include "records_objects.hpp"
#include "values.hpp"

namespace vexlor::py {
namespace {

template <class F>
decltype(auto) visit_game(PyObject* self, F&& f) {
  return std::visit(std::forward<F>(f), as_game(self)->game);
}

// Every method takes the game's access first, then binds and converts its
// arguments: a conversion that calls back into the same game meets the held access.
constexpr Access::Mode Shared = Access::Shared;
constexpr Access::Mode Exclusive = Access::Exclusive;

GameVariant make_game(uint64_t width, uint64_t height, float komi, uint16_t min_pass, uint16_t max_moves,
                      bool superko) {
  return make_nw_variant<GameVariant>(words_for_size(unsigned(width), unsigned(height)), [&]<int NW>() {
    return Game<NW>::with_options(uint8_t(width), uint8_t(height), komi, min_pass, max_moves, superko);
  });
}

GameVariant make_default_game(uint64_t width, uint64_t height) {
  const uint64_t n = width * height;
  return make_game(width, height, 7.5f, uint16_t(n / 2), uint16_t(3 * n), true);
}

PyObject* text(const std::string& s) { return PyUnicode_FromStringAndSize(s.data(), Py_ssize_t(s.size())); }
const char* flag_text(bool b) { return b ? "true" : "false"; }

// Decoded action on a width x height board; nullopt when out of range.
template <int NW>
std::optional<Move> decode_for(const Game<NW>& g, uint64_t action) {
  const uint64_t area = g.area();
  if (action == area) return Move::pass();
  if (action > area) return std::nullopt;
  const unsigned a = unsigned(action), w = g.width();  // a narrow division is much cheaper
  return Move::place(uint8_t(a % w), uint8_t(a / w));
}

// --- construction ----------------------------------------------------------

PyObject* game_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const auto [w, h] = bind_tuple<2>("Game", {"width", "height"}, args, kwargs);
    const uint64_t width = to_unsigned(w, "width");
    const uint64_t height = to_unsigned(h, "height");
    check_board_size(width, height);
    return new_game_object(state_of_type(type), make_default_game(width, height));
  });
}

PyObject* game_with_options(PyObject* cls, const CallArgs& call) {
  const auto a = bind<6>("with_options",
                         {"width", "height", "komi", "min_moves_before_pass_possible", "max_moves", "superko"}, call);
  const uint64_t width = to_unsigned(a[0], "width");
  const uint64_t height = to_unsigned(a[1], "height");
  const float komi = to_float32(a[2], "komi");
  const uint64_t min_pass = to_unsigned(a[3], "min_moves_before_pass_possible", 65535);
  const uint64_t max_moves = to_unsigned(a[4], "max_moves", 65535);
  const bool superko = to_bool(a[5], "superko");
  check_board_size(width, height);
  return new_game_object(state_of_class(cls),
                         make_game(width, height, komi, uint16_t(min_pass), uint16_t(max_moves), superko));
}

PyObject* game_standard(PyObject* cls, const CallArgs& call) {
  bind_none("standard", call);
  return new_game_object(state_of_class(cls), make_default_game(19, 19));
}

// --- options and simple queries --------------------------------------------

// Zero-argument read-only method: shared access, no arguments, then f(game).
template <class F>
PyObject* read_only(PyObject* self, const CallArgs& call, const char* name, F&& f) {
  const Access access(as_game(self), Shared);
  bind_none(name, call);
  return visit_game(self, std::forward<F>(f));
}

PyObject* game_komi(PyObject* self, const CallArgs& call) {
  return read_only(self, call, "komi", [](auto& g) { return PyFloat_FromDouble(double(g.komi())); });
}
PyObject* game_min_moves(PyObject* self, const CallArgs& call) {
  return read_only(self, call, "min_moves_before_pass_possible",
                   [](auto& g) { return PyLong_FromLong(g.min_moves_before_pass_possible()); });
}
PyObject* game_max_moves(PyObject* self, const CallArgs& call) {
  return read_only(self, call, "max_moves", [](auto& g) { return PyLong_FromLong(g.max_moves()); });
}
PyObject* game_move_count(PyObject* self, const CallArgs& call) {
  return read_only(self, call, "move_count", [](auto& g) { return PyLong_FromSize_t(g.move_count()); });
}
PyObject* game_score(PyObject* self, const CallArgs& call) {
  return read_only(self, call, "score", [](auto& g) {
    const auto [b, w] = g.score();
    return Py_BuildValue("(dd)", double(b), double(w));
  });
}
PyObject* game_width(PyObject* self, const CallArgs& call) {
  return read_only(self, call, "width", [](auto& g) { return PyLong_FromLong(g.width()); });
}
PyObject* game_height(PyObject* self, const CallArgs& call) {
  return read_only(self, call, "height", [](auto& g) { return PyLong_FromLong(g.height()); });
}
PyObject* game_turn(PyObject* self, const CallArgs& call) {
  return read_only(self, call, "turn", [](auto& g) { return piece_to_py(g.turn()); });
}
PyObject* game_is_over(PyObject* self, const CallArgs& call) {
  return read_only(self, call, "is_over", [](auto& g) { return new_bool(g.is_over()); });
}
PyObject* game_superko(PyObject* self, const CallArgs& call) {
  return read_only(self, call, "superko", [](auto& g) { return new_bool(g.superko()); });
}
PyObject* game_name(PyObject* self, const CallArgs& call) {
  return read_only(self, call, "name",
                   [](auto& g) { return PyUnicode_FromFormat("go_%dx%d", int(g.width()), int(g.height())); });
}
PyObject* game_outcome(PyObject* self, const CallArgs& call) {
  return read_only(self, call, "outcome", [&](auto& g) {
    return g.outcome() ? new_outcome_object(state_of(self), *g.outcome()) : new_none();
  });
}
PyObject* game_ko_point(PyObject* self, const CallArgs& call) {
  return read_only(self, call, "ko_point", [](auto& g) -> PyObject* {
    if (!g.ko_point()) return new_none();
    return Py_BuildValue("(ii)", int(g.ko_point()->col), int(g.ko_point()->row));
  });
}
PyObject* game_board(PyObject* self, const CallArgs& call) {
  return read_only(self, call, "board", [&]<int NW>(const Game<NW>& g) {
    return new_board_object(state_of(self), BoardVariant(std::in_place_index<NW - 1>, g.board()));
  });
}
PyObject* game_clone(PyObject* self, const CallArgs& call) {
  const Access access(as_game(self), Shared);
  bind_none("clone", call);
  return new_game_object(state_of(self), as_game(self)->game);
}
// Raises AssertionError with the engine's report when a derived table disagrees with the board and history.
PyObject* game_check_consistency(PyObject* self, const CallArgs& call) {
  return read_only(self, call, "_check_consistency", [](auto& g) {
    const std::string report = g.check_consistency();
    if (!report.empty()) raise(PyExc_AssertionError, "%s", report.c_str());
    return new_none();
  });
}

// --- points ------------------------------------------------------------------

PyObject* game_get_piece(PyObject* self, const CallArgs& call) {
  const Access access(as_game(self), Shared);
  const auto [c, r] = bind<2>("get_piece", {"col", "row"}, call);
  const uint64_t col = to_unsigned(c, "col");
  const uint64_t row = to_unsigned(r, "row");
  return visit_game(self, [&](auto& g) { return piece_to_py(g.board().get_piece(col, row)); });
}

PyObject* game_set_piece(PyObject* self, const CallArgs& call) {
  const Access access(as_game(self), Exclusive);
  const auto [c, r, pc] = bind<3>("set_piece", {"col", "row", "piece"}, call);
  const uint64_t col = to_unsigned(c, "col");
  const uint64_t row = to_unsigned(r, "row");
  const std::optional<Player> piece = piece_from_py(pc);
  visit_game(self, [&](auto& g) { g.set_piece(col, row, piece); });
  return new_none();
}

// --- moves -------------------------------------------------------------------

const Move& move_arg(PyObject* self, PyObject* o) {
  require_type(o, state_of(self).move_type, "move_", "Move");
  return reinterpret_cast<PyMove*>(o)->move;
}

PyObject* game_make_move(PyObject* self, const CallArgs& call) {
  const Access access(as_game(self), Exclusive);
  const auto [m] = bind<1>("make_move", {"move_"}, call);
  const Move move = move_arg(self, m);
  return new_bool(visit_game(self, [&](auto& g) { return g.make_move(move); }));
}

PyObject* game_unmake_move(PyObject* self, const CallArgs& call) {
  const Access access(as_game(self), Exclusive);
  bind_none("unmake_move", call);
  return new_bool(visit_game(self, [](auto& g) { return g.unmake_move(); }));
}

PyObject* game_is_legal_move(PyObject* self, const CallArgs& call) {
  const Access access(as_game(self), Shared);
  const auto [m] = bind<1>("is_legal_move", {"move_"}, call);
  const Move move = move_arg(self, m);
  return new_bool(visit_game(self, [&](auto& g) { return g.is_legal_move(move); }));
}

// item(point) per legal placement, then item(area) for a listed pass, into out[0..].
template <int NW, class Item>
void write_legal(const Bitboard<NW>& places, bool pass, unsigned area, PyObject** out, Item item) {
  Py_ssize_t i = 0;
  places.for_each([&](unsigned p) { out[i++] = item(p); });
  if (pass) out[i] = item(area);
}

// The legal moves in their order as a new list.
template <int NW, class Item>
PyObject* legal_list(const Game<NW>& g, Item item) {
  const auto places = g.legal_placements_remembered();
  const bool pass = g.pass_listed(places.any());
  Ref list = check(PyList_New(places.count() + (pass ? 1 : 0)));
  write_legal(places, pass, g.area(), reinterpret_cast<PyListObject*>(list.get())->ob_item, item);
  return list.release();
}

PyObject* game_legal_moves(PyObject* self, const CallArgs& call) {
  return read_only(self, call, "legal_moves", [&](auto& g) {
    const ModuleState& st = state_of(self);
    const unsigned w = g.width();
    const unsigned area = g.area();
    return legal_list(g, [&](unsigned p) {
      return new_move_object(st, p == area ? Move::pass() : Move::place(uint8_t(p % w), uint8_t(p / w)));
    });
  });
}

// --- action space --------------------------------------------------------------

// Refills pg's action list in place when nobody else holds it and it has the
// room. Only a list of ints qualifies: releasing an int runs no Python code,
// and ints are all this call ever puts there.
template <int NW>
bool refill_action_list(const ModuleState& st, PyGame* pg, const Bitboard<NW>& places, bool pass, unsigned area) {
#ifdef Py_GIL_DISABLED
  return false;  // a reference count of 1 proves nothing without the lock
#else
  PyObject* const list = pg->action_list;
  if (!list || Py_REFCNT(list) != 1) return false;
  auto* l = reinterpret_cast<PyListObject*>(list);
  const Py_ssize_t n = places.count() + (pass ? 1 : 0);
  if (l->allocated < n) return false;
  PyObject** items = l->ob_item;
  for (Py_ssize_t i = 0, size = Py_SIZE(l); i < size; ++i) {
    if (!PyLong_CheckExact(items[i])) {
      // Edited by its user: the released slots get None so that the list can
      // be dropped whole later.
      for (Py_ssize_t j = 0; j < i; ++j) items[j] = Py_NewRef(Py_None);
      return false;
    }
    Py_DECREF(items[i]);
  }
  write_legal(places, pass, area, items, [&](unsigned p) { return action_int(st, p); });
  Py_SET_SIZE(l, n);
  return true;
#endif
}

// The hottest call of a playout loop: the list the previous call returned is
// refilled when its caller has dropped it, sparing its allocation and release.
PyObject* game_legal_action_indices(PyObject* self, const CallArgs& call) {
  PyGame* const pg = as_game(self);
  Ref dropped;  // released after the access below: a list edited by its user may hold anything
  return read_only(self, call, "legal_action_indices", [&](auto& g) {
    const ModuleState& st = state_of(self);
    const auto places = g.legal_placements_remembered();
    const bool pass = g.pass_listed(places.any());
    if (!refill_action_list(st, pg, places, pass, g.area())) {
      dropped = Ref::steal(std::exchange(pg->action_list, nullptr));
      pg->action_list = legal_list(g, [&](unsigned p) { return action_int(st, p); });
    }
    return Py_NewRef(pg->action_list);
  });
}

PyObject* game_apply_action(PyObject* self, const CallArgs& call) {
  const Access access(as_game(self), Exclusive);
  const auto [a] = bind<1>("apply_action", {"action"}, call);
  const uint64_t action = to_unsigned(a, "action");
  return new_bool(visit_game(self, [&](auto& g) {
    const std::optional<Move> m = decode_for(g, action);
    return m && g.make_move(*m);
  }));
}

PyObject* game_action_size(PyObject* self, const CallArgs& call) {
  return read_only(self, call, "action_size", [](auto& g) { return PyLong_FromLong(long(g.area()) + 1); });
}
PyObject* game_total_actions(PyObject* self, const CallArgs& call) {
  return read_only(self, call, "total_actions", [](auto& g) { return PyLong_FromLong(long(g.area()) + 1); });
}
PyObject* game_board_shape(PyObject* self, const CallArgs& call) {
  return read_only(self, call, "board_shape",
                   [](auto& g) { return Py_BuildValue("(ii)", int(g.height()), int(g.width())); });
}

PyObject* game_decode_action(PyObject* self, const CallArgs& call) {
  const Access access(as_game(self), Shared);
  const auto [a] = bind<1>("decode_action", {"action"}, call);
  const uint64_t action = to_unsigned(a, "action");
  return visit_game(self, [&](auto& g) {
    const std::optional<Move> m = decode_for(g, action);
    return m ? new_move_object(state_of(self), *m) : new_none();
  });
}

// --- planes and rewards ----------------------------------------------------------

PyObject* game_input_plane_count(PyObject* self, const CallArgs& call) {
  return read_only(self, call, "input_plane_count", [](auto&) { return PyLong_FromLong(kTotalInputPlanes); });
}

// Only reads the game: earlier boards are rebuilt on a copy.
PyObject* game_encode_game_planes(PyObject* self, const CallArgs& call) {
  return read_only(self, call, "encode_game_planes", [&](auto& g) {
    const std::vector<float> planes = encode_game_planes(g);
    const ModuleState& st = state_of(self);
    Ref list = check(PyList_New(Py_ssize_t(planes.size())));
    for (size_t i = 0; i < planes.size(); ++i)
      PyList_SET_ITEM(list.get(), Py_ssize_t(i), Py_NewRef(planes[i] != 0.0f ? st.float_one : st.float_zero));
    return Py_BuildValue("(Niii)", list.release(), int(kTotalInputPlanes), int(g.height()), int(g.width()));
  });
}

PyObject* game_reward_absolute(PyObject* self, const CallArgs& call) {
  return read_only(self, call, "reward_absolute",
                   [](auto& g) { return PyFloat_FromDouble(black_reward(g.outcome())); });
}

PyObject* game_reward_from_perspective(PyObject* self, const CallArgs& call) {
  const Access access(as_game(self), Shared);
  const auto [p] = bind<1>("reward_from_perspective", {"perspective"}, call);
  const int8_t perspective = to_i8(p, "perspective");
  const std::optional<GameOutcome> o = visit_game(self, [](auto& g) { return g.outcome(); });
  if (!o) return PyFloat_FromDouble(0.0);  // the perspective is not examined before the end
  return reward_seen_from(perspective, black_reward(o), "Invalid perspective");
}

// --- special methods -------------------------------------------------------------

PyObject* game_str(PyObject* self) {
  return guarded([&] {
    const Access access(as_game(self), Shared);
    return visit_game(self, [](auto& g) {
      std::string s = "Game(turn: ";
      s += player_name(g.turn());
      s += ", is_over: ";
      s += flag_text(g.is_over());
      s += ", outcome: ";
      if (g.outcome()) {
        s += "Some(";
        s += outcome_debug_name(*g.outcome());
        s += ')';
      } else {
        s += "None";
      }
      s += ")\n";
      s += g.board().to_string();
      return text(s);
    });
  });
}

PyObject* game_repr(PyObject* self) {
  return guarded([&] {
    const Access access(as_game(self), Shared);
    return visit_game(self, [](auto& g) {
      std::string s = "Game(width=" + std::to_string(g.width()) + ", height=" + std::to_string(g.height()) +
                      ", turn=" + std::string(player_name(g.turn())) + ", over=" + flag_text(g.is_over()) +
                      ", superko=" + flag_text(g.superko()) + ")";
      return text(s);
    });
  });
}

Py_hash_t game_hash(PyObject* self) {
  return guarded_as<Py_hash_t>(-1, [&] {
    const Access access(as_game(self), Shared);
    return Py_hash_t(python_hash(visit_game(self, [](auto& g) { return g.game_hash(); })));
  });
}

PyMethodDef game_methods[] = {
    VX_METHOD("with_options", game_with_options, METH_STATIC,
              "with_options(width, height, komi, min_moves_before_pass_possible, max_moves, superko)"),
    VX_METHOD("standard", game_standard, METH_STATIC, "standard()"),
    VX_METHOD("komi", game_komi, 0, "komi($self)"),
    VX_METHOD("min_moves_before_pass_possible", game_min_moves, 0, "min_moves_before_pass_possible($self)"),
    VX_METHOD("max_moves", game_max_moves, 0, "max_moves($self)"),
    VX_METHOD("move_count", game_move_count, 0, "move_count($self)"),
    VX_METHOD("score", game_score, 0, "score($self)"),
    VX_METHOD("width", game_width, 0, "width($self)"),
    VX_METHOD("height", game_height, 0, "height($self)"),
    VX_METHOD("get_piece", game_get_piece, 0, "get_piece($self, col, row)"),
    VX_METHOD("set_piece", game_set_piece, 0, "set_piece($self, col, row, piece)"),
    VX_METHOD("turn", game_turn, 0, "turn($self)"),
    VX_METHOD("is_over", game_is_over, 0, "is_over($self)"),
    VX_METHOD("legal_action_indices", game_legal_action_indices, 0, "legal_action_indices($self)"),
    VX_METHOD("apply_action", game_apply_action, 0, "apply_action($self, action)"),
    VX_METHOD("action_size", game_action_size, 0, "action_size($self)"),
    VX_METHOD("board_shape", game_board_shape, 0, "board_shape($self)"),
    VX_METHOD("input_plane_count", game_input_plane_count, 0, "input_plane_count($self)"),
    VX_METHOD("reward_absolute", game_reward_absolute, 0, "reward_absolute($self)"),
    VX_METHOD("reward_from_perspective", game_reward_from_perspective, 0,
              "reward_from_perspective($self, perspective)"),
    VX_METHOD("name", game_name, 0, "name($self)"),
    VX_METHOD("outcome", game_outcome, 0, "outcome($self)"),
    VX_METHOD("legal_moves", game_legal_moves, 0, "legal_moves($self)"),
    VX_METHOD("is_legal_move", game_is_legal_move, 0, "is_legal_move($self, move_)"),
    VX_METHOD("make_move", game_make_move, 0, "make_move($self, move_)"),
    VX_METHOD("unmake_move", game_unmake_move, 0, "unmake_move($self)"),
    VX_METHOD("board", game_board, 0, "board($self)"),
    VX_METHOD("superko", game_superko, 0, "superko($self)"),
    VX_METHOD("ko_point", game_ko_point, 0, "ko_point($self)"),
    VX_METHOD("clone", game_clone, 0, "clone($self)"),
    VX_METHOD("encode_game_planes", game_encode_game_planes, 0, "encode_game_planes($self)"),
    VX_METHOD("decode_action", game_decode_action, 0, "decode_action($self, action)"),
    VX_METHOD("total_actions", game_total_actions, 0, "total_actions($self)"),
    VX_METHOD("encode_planes_into", game_encode_planes_into, 0, "encode_planes_into($self, out)"),
    VX_METHOD("legal_action_mask_into", game_legal_action_mask_into, 0, "legal_action_mask_into($self, out)"),
    VX_METHOD("encode_planes_batch", game_encode_planes_batch, METH_STATIC, "encode_planes_batch(games, out)"),
    VX_METHOD("legal_action_mask_batch", game_legal_action_mask_batch, METH_STATIC,
              "legal_action_mask_batch(games, out)"),
    VX_METHOD("transform_planes", game_transform_planes, METH_STATIC,
              "transform_planes(planes, out, height, width, transform)"),
    VX_METHOD("transform_policy", game_transform_policy, METH_STATIC,
              "transform_policy(policy, out, height, width, transform)"),
    VX_METHOD("transform_action", game_transform_action, METH_STATIC,
              "transform_action(action, height, width, transform)"),
    VX_METHOD("inverse_transform", game_inverse_transform, METH_STATIC, "inverse_transform(transform)"),
    VX_METHOD("valid_transforms", game_valid_transforms, METH_STATIC, "valid_transforms(height, width)"),
    VX_METHOD("__reduce__", game_reduce, 0, "__reduce__($self)"),
    VX_METHOD("_from_state", game_from_state, METH_STATIC, "_from_state(state)"),
    VX_METHOD("__copy__", game_copy, 0, "__copy__($self)"),
    VX_METHOD("__deepcopy__", game_deepcopy, 0, "__deepcopy__($self, memo)"),
    VX_METHOD("_check_consistency", game_check_consistency, 0, "_check_consistency($self)"),
    VX_METHOD("to_sgf", game_to_sgf, 0, "to_sgf($self, black=None, white=None, properties=None, rules='Chinese')"),
    VX_METHOD("to_svg", game_to_svg, 0, "to_svg($self, cell=24, coordinates=True)"),
    VX_METHOD("_repr_svg_", game_repr_svg, 0, "_repr_svg_($self)"),
    {nullptr, nullptr, 0, nullptr},
};

// The cached action list is a reference the game holds, and its user may put
// the game itself into that list: the collector has to see it.
int game_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_game(self)->action_list);
  return 0;
}

int game_clear(PyObject* self) {
  Py_CLEAR(as_game(self)->action_list);
  return 0;
}

void game_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  game_clear(self);
  dealloc_holder<PyGame, GameVariant, &PyGame::game>(self);
}

PyType_Slot game_slots[] = {
    {Py_tp_doc, const_cast<char*>(VX_SIG("Game(width, height)"))},
    {Py_tp_new, reinterpret_cast<void*>(game_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(game_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(game_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(game_clear)},
    {Py_tp_str, reinterpret_cast<void*>(game_str)},
    {Py_tp_repr, reinterpret_cast<void*>(game_repr)},
    {Py_tp_hash, reinterpret_cast<void*>(game_hash)},
    {Py_tp_methods, game_methods},
    {0, nullptr},
};

}  // namespace

PyType_Spec game_spec = {
    "vexlor_go.Game", sizeof(PyGame), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC, game_slots,
};

PyObject* new_game_object(const ModuleState& st, GameVariant&& g) {
  return new_holder(st.game_type, &PyGame::game, std::move(g));
}

PyObject* new_game_object(const ModuleState& st, const GameVariant& g) {
  return new_holder(st.game_type, &PyGame::game, g);
}

}  // namespace vexlor::py
