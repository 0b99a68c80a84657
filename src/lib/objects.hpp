// The object layouts of the Python classes, their PyType_Spec definitions, and
// the constructors of new objects used across files.
#pragma once

#include "access.hpp"
#include "dispatch.hpp"
#include "engine/board.hpp"
#include "engine/game.hpp"
#include "engine/outcome.hpp"
#include "ref.hpp"
#include "state.hpp"

namespace vexlor::py {

using BoardVariant = NwVariant<Board>;
using GameVariant = NwVariant<Game>;

struct PyBoard {
  PyObject_HEAD AccessFlag access;
  BoardVariant board;
};

struct PyGame {
  PyObject_HEAD AccessFlag access;
  GameVariant game;
  // The list legal_action_indices last returned (null until then): once its
  // caller drops it, the next call refills it instead of building a new one.
  PyObject* action_list;
};

struct PyMove {
  PyObject_HEAD Move move;
};

struct PyGameOutcome {
  PyObject_HEAD GameOutcome outcome;
};

inline PyBoard* as_board(PyObject* o) { return reinterpret_cast<PyBoard*>(o); }
inline PyGame* as_game(PyObject* o) { return reinterpret_cast<PyGame*>(o); }

// One PyType_Spec per class file; the module's execution step makes the
// classes from them (module.cpp).
extern PyType_Spec board_spec;
extern PyType_Spec game_spec;
extern PyType_Spec move_spec;
extern PyType_Spec outcome_spec;
extern PyType_Spec game_batch_spec;
extern PyType_Spec tree_search_spec;

// New Python objects wrapping engine values, of the classes of `st`. The
// overloads taking a const reference copy the value straight into the new
// object (a copy through a temporary would move kilobytes twice).
PyObject* new_board_object(const ModuleState& st, BoardVariant&& b);
PyObject* new_board_object(const ModuleState& st, const BoardVariant& b);
PyObject* new_game_object(const ModuleState& st, GameVariant&& g);
PyObject* new_game_object(const ModuleState& st, const GameVariant& g);
PyObject* new_move_object(const ModuleState& st, Move m);
PyObject* new_outcome_object(const ModuleState& st, GameOutcome o);

}  // namespace vexlor::py
