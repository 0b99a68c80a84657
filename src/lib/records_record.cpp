// Python class GameRecord: one game of an SGF collection, immutable. Parsing
// happens with the interpreter lock released; values are decoded by the
// record's CA[] on access.
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "records/replay.hpp"
#include "records/sgf_parser.hpp"
#include "records/sgf_writer.hpp"
#include "records/word_dispatch.hpp"
#include "records_objects.hpp"
#include "without_lock.hpp"

namespace vexlor::py {
namespace {

using records::SgfTree;

// Inputs this large are parsed with the interpreter lock released.
constexpr size_t kParseWithoutLock = 1 << 16;

SgfTree parse_source(const Source& s) {
  SgfTree tree;
  std::optional<records::SgfError> error;
  maybe_without_lock(s.bytes.size() >= kParseWithoutLock, [&] {
    try {
      tree = records::parse_sgf(s.bytes);
    } catch (const records::SgfError& e) {
      error = e;
    }
  });
  if (error) {
    const bool looks_like_path = s.text && s.bytes.find('(') == std::string::npos;
    raise(PyExc_ValueError, "%s: %s%s", s.name.c_str(), error->what(),
          looks_like_path ? " (a str is read as SGF text; pass a pathlib.Path to read a file)" : "");
  }
  return tree;
}

PyObject* new_record(const ModuleState& st, RecordData&& d) {
  return new_holder(st.record_type, &PyGameRecord::data, std::move(d));
}

PyObject* record_parse(PyObject* cls, const CallArgs& call) {
  const auto [src, nm] = bind_some<2>("parse", {"source", "name"}, 1, call);
  Source s = read_source(src);
  if (given(nm)) s.name = std::string(utf8_of(nm, "name"));
  auto tree = std::make_shared<const SgfTree>(parse_source(s));
  const ModuleState& st = state_of_class(cls);
  Ref list = check(PyList_New(0));
  for (size_t g = 0; g < tree->game_count(); ++g) {
    RecordData d;
    d.tree = tree;
    d.game = g;
    d.name = tree->game_count() > 1 ? s.name + " game " + std::to_string(g + 1) : s.name;
    d.info = record_errors([&] { return records::read_game_info(*tree, g, false, d.name); });
    d.codec = s.text ? "utf-8" : codec_for_charset(d.info.charset);
    const Ref r = check(new_record(st, std::move(d)));
    if (PyList_Append(list.get(), r.get()) < 0) throw PythonError{};
  }
  return list.release();
}

const RecordData& data_of(PyObject* self) { return as_record(self)->data; }

// Values of property p, decoded.
PyObject* property_values(const RecordData& d, uint32_t p) {
  const SgfTree& t = *d.tree;
  Ref list = check(PyList_New(Py_ssize_t(t.value_count(p))));
  for (size_t i = 0; i < t.value_count(p); ++i)
    PyList_SET_ITEM(list.get(), Py_ssize_t(i), decode_text(t.value(p, i), d.codec));
  return list.release();
}

// Node n's properties as {identifier: [values]}; a repeated identifier adds its values.
PyObject* node_dict(const RecordData& d, uint32_t n) {
  const SgfTree& t = *d.tree;
  Ref dict = check(PyDict_New());
  for (uint32_t p = t.property_begin(n), e = t.property_end(n); p < e; ++p) {
    const std::string_view id = t.ident(p);
    const Ref key = check(PyUnicode_FromStringAndSize(id.data(), Py_ssize_t(id.size())));
    const Ref values = check(property_values(d, p));
    PyObject* old = PyDict_GetItemWithError(dict.get(), key.get());
    if (!old && PyErr_Occurred()) throw PythonError{};
    if (old) {
      const Ref joined = check(PySequence_Concat(old, values.get()));
      if (PyDict_SetItem(dict.get(), key.get(), joined.get()) < 0) throw PythonError{};
    } else if (PyDict_SetItem(dict.get(), key.get(), values.get()) < 0) {
      throw PythonError{};
    }
  }
  return dict.release();
}

PyObject* record_root_properties(PyObject* self, const CallArgs& call) {
  bind_none("root_properties", call);
  const RecordData& d = data_of(self);
  return node_dict(d, d.tree->root(d.game));
}

PyObject* record_main_line(PyObject* self, const CallArgs& call) {
  bind_none("main_line", call);
  const RecordData& d = data_of(self);
  Ref list = check(PyList_New(0));
  for (uint32_t n = d.tree->root(d.game); n != records::kNoNode; n = d.tree->first_child(n)) {
    const Ref node = check(node_dict(d, n));
    if (PyList_Append(list.get(), node.get()) < 0) throw PythonError{};
  }
  return list.release();
}

PyObject* record_moves(PyObject* self, const CallArgs& call) {
  bind_none("moves", call);
  const RecordData& d = data_of(self);
  const SgfTree& t = *d.tree;
  const ModuleState& st = state_of(self);
  Ref list = check(PyList_New(0));
  const std::string prefix = d.name + ": ";
  for (uint32_t n = t.root(d.game); n != records::kNoNode; n = t.first_child(n))
    for (uint32_t p = t.property_begin(n), e = t.property_end(n); p < e; ++p) {
      const records::PropertyKind k = records::property_kind(t.ident(p));
      if (k != records::PropertyKind::Black && k != records::PropertyKind::White) continue;
      const std::optional<Point> pt = record_errors([&] {
        if (t.value_count(p) == 0) throw records::SgfError(prefix + "move without a value", t.ident_offset(p));
        return records::read_move(t.raw_value(p, 0), d.info.width, d.info.height, t.value_offset(p, 0), prefix);
      });
      const Ref move = check(new_move_object(st, pt ? Move::place(pt->col, pt->row) : Move::pass()));
      const Ref item = check(Py_BuildValue("(iO)", k == records::PropertyKind::Black ? 1 : -1, move.get()));
      if (PyList_Append(list.get(), item.get()) < 0) throw PythonError{};
    }
  return list.release();
}

PyObject* record_setup(PyObject* self, const CallArgs& call) {
  bind_none("setup", call);
  const RecordData& d = data_of(self);
  const SgfTree& t = *d.tree;
  const uint32_t root = t.root(d.game);
  const unsigned w = d.info.width, h = d.info.height;
  std::vector<int8_t> board(size_t(w) * h, 0);
  for (uint32_t p = t.property_begin(root), e = t.property_end(root); p < e; ++p) {
    const records::PropertyKind k = records::property_kind(t.ident(p));
    int8_t v;
    if (k == records::PropertyKind::AddBlack)
      v = 1;
    else if (k == records::PropertyKind::AddWhite)
      v = -1;
    else if (k == records::PropertyKind::AddEmpty)
      v = 0;
    else
      continue;
    for (size_t i = 0; i < t.value_count(p); ++i) {
      const records::PointRect r = record_errors(
          [&] { return records::read_point_rect(t.raw_value(p, i), w, h, t.value_offset(p, i), d.name + ": setup "); });
      for (unsigned row = r.r0; row <= r.r1; ++row)
        for (unsigned col = r.c0; col <= r.c1; ++col) board[size_t(row) * w + col] = v;
    }
  }
  const Ref black = check(PyList_New(0)), white = check(PyList_New(0));
  for (unsigned q = 0; q < w * h; ++q) {
    if (!board[q]) continue;
    const Ref pt = check(Py_BuildValue("(II)", q % w, q / w));
    if (PyList_Append(board[q] > 0 ? black.get() : white.get(), pt.get()) < 0) throw PythonError{};
  }
  return Py_BuildValue("(OO)", black.get(), white.get());
}

struct ReplayArgs {
  records::ReplayOptions opt;
};

ReplayArgs replay_args(const char* func, const RecordData& d, const CallArgs& call) {
  const auto [mn, strict, superko, komi, max_moves] =
      bind_some<5>(func, {"move_number", "strict", "superko", "komi", "max_moves"}, 0, call);
  ReplayArgs a;
  a.opt.name = d.name;
  if (given(mn)) a.opt.move_number = size_t(to_unsigned(mn, "move_number"));
  if (given(strict)) a.opt.strict = to_bool(strict, "strict");
  if (given(superko)) a.opt.superko = to_bool(superko, "superko");
  if (given(komi)) a.opt.komi = to_float32(komi, "komi");
  if (given(max_moves)) a.opt.max_moves = uint16_t(to_unsigned(max_moves, "max_moves", 65535));
  return a;
}

PyObject* summary_dict(const records::ReplaySummary& r) {
  const Ref passes = check(PyList_New(0));
  for (size_t k : r.inserted_passes) {
    const Ref v = check(PyLong_FromSize_t(k));
    if (PyList_Append(passes.get(), v.get()) < 0) throw PythonError{};
  }
  const Ref notes = check(PyList_New(0));
  for (const std::string& n : r.notes) {
    const Ref v = check(PyUnicode_DecodeUTF8(n.data(), Py_ssize_t(n.size()), "replace"));
    if (PyList_Append(notes.get(), v.get()) < 0) throw PythonError{};
  }
  Ref stopped = Ref::borrow(Py_None);
  if (r.stopped)
    stopped = check(Py_BuildValue("{s:n,s:n,s:s}", "move_number", Py_ssize_t(r.stopped->move_number), "offset",
                                  Py_ssize_t(r.stopped->offset), "reason", r.stopped->reason.c_str()));
  return Py_BuildValue("{s:n,s:n,s:O,s:O,s:O}", "moves_played", Py_ssize_t(r.moves_played), "record_moves",
                       Py_ssize_t(r.record_moves), "inserted_passes", passes.get(), "stopped", stopped.get(), "notes",
                       notes.get());
}

// The replay as (Game, report dict).
std::pair<Ref, Ref> run_replay(PyObject* self, const char* func, const CallArgs& call) {
  const RecordData& d = data_of(self);
  const ReplayArgs a = replay_args(func, d, call);
  const ModuleState& st = state_of(self);
  std::pair<Ref, Ref> out;
  record_errors([&] {
    const records::GameInfo info = a.opt.strict ? records::read_game_info(*d.tree, d.game, true, d.name) : d.info;
    records::with_word_count(info.width, info.height, [&]<int NW>() {
      records::Replay<NW> r = records::replay_record<NW>(*d.tree, d.game, info, a.opt);
      for (const std::string& n : info.notes) r.notes.insert(r.notes.begin(), n);
      out.second = check(summary_dict(r));
      out.first = check(new_game_object(st, GameVariant(std::in_place_index<NW - 1>, std::move(r.game))));
    });
  });
  return out;
}

// The board alone after the replay: no undo records, simple ko only; the
// fast way to final positions.
PyObject* record_final_board(PyObject* self, const CallArgs& call) {
  const RecordData& d = data_of(self);
  const auto [mn, strict] = bind_some<2>("final_board", {"move_number", "strict"}, 0, call);
  records::ReplayOptions opt;
  opt.name = d.name;
  if (given(mn)) opt.move_number = size_t(to_unsigned(mn, "move_number"));
  if (given(strict)) opt.strict = to_bool(strict, "strict");
  const ModuleState& st = state_of(self);
  return record_errors([&] {
    const records::GameInfo info = opt.strict ? records::read_game_info(*d.tree, d.game, true, d.name) : d.info;
    return records::with_word_count(info.width, info.height, [&]<int NW>() {
      const records::BoardReplay<NW> r = records::replay_board<NW>(*d.tree, d.game, info, opt);
      return new_board_object(st, BoardVariant(std::in_place_index<NW - 1>, r.board.board()));
    });
  });
}

PyObject* record_to_game(PyObject* self, const CallArgs& call) {
  return run_replay(self, "to_game", call).first.release();
}

PyObject* record_replay(PyObject* self, const CallArgs& call) {
  auto [game, report] = run_replay(self, "replay", call);
  return Py_BuildValue("(OO)", game.get(), report.get());
}

PyObject* record_to_sgf(PyObject* self, const CallArgs& call) {
  const auto [mlo] = bind_some<1>("to_sgf", {"main_line_only"}, 0, call);
  records::SgfLayout layout;
  if (given(mlo)) layout.main_line_only = to_bool(mlo, "main_line_only");
  const RecordData& d = data_of(self);
  std::string out;
  records::write_sgf_game(*d.tree, d.game, out, layout);
  return PyBytes_FromStringAndSize(out.data(), Py_ssize_t(out.size()));
}

PyObject* record_reduce(PyObject*, const CallArgs& call) {
  bind_none("__reduce__", call);
  raise(PyExc_TypeError, "cannot pickle 'GameRecord' object; pickle to_sgf() instead");
}

PyObject* get_width(PyObject* self, void*) {
  return guarded([&] { return PyLong_FromLong(data_of(self).info.width); });
}
PyObject* get_height(PyObject* self, void*) {
  return guarded([&] { return PyLong_FromLong(data_of(self).info.height); });
}
PyObject* get_komi(PyObject* self, void*) {
  return guarded([&] { return PyFloat_FromDouble(data_of(self).info.komi); });
}
PyObject* get_handicap(PyObject* self, void*) {
  return guarded([&] { return PyLong_FromLongLong(data_of(self).info.handicap); });
}
PyObject* get_name(PyObject* self, void*) {
  return guarded([&] {
    const std::string& n = data_of(self).name;
    return PyUnicode_DecodeUTF8(n.data(), Py_ssize_t(n.size()), "replace");
  });
}
PyObject* get_game_index(PyObject* self, void*) {
  return guarded([&] { return PyLong_FromSize_t(data_of(self).game); });
}
PyObject* get_result(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const RecordData& d = data_of(self);
    const auto p = d.tree->find(d.tree->root(d.game), "RE");
    if (!p || d.tree->value_count(*p) == 0) return new_none();
    return decode_text(records::trim(d.tree->value(*p, 0)), d.codec);
  });
}
PyObject* get_winner(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const auto v = data_of(self).info.result.value_for_black();
    return v ? PyLong_FromLong(*v) : new_none();
  });
}
PyObject* get_charset(PyObject* self, void*) {
  return guarded([&] { return PyUnicode_FromString(data_of(self).codec.c_str()); });
}
PyObject* get_move_count(PyObject* self, void*) {
  return guarded(
      [&] { return PyLong_FromSize_t(records::count_record_moves(*data_of(self).tree, data_of(self).game)); });
}
PyObject* get_notes(PyObject* self, void*) {
  return guarded([&] {
    const auto& notes = data_of(self).info.notes;
    Ref t = check(PyTuple_New(Py_ssize_t(notes.size())));
    for (size_t i = 0; i < notes.size(); ++i)
      PyTuple_SET_ITEM(t.get(), Py_ssize_t(i),
                       check(PyUnicode_DecodeUTF8(notes[i].data(), Py_ssize_t(notes[i].size()), "replace")).release());
    return t.release();
  });
}

PyObject* record_repr(PyObject* self) {
  return guarded([&] {
    const RecordData& d = data_of(self);
    const std::string s = "GameRecord(" + records::shown_value(d.name, 60) + ", " + std::to_string(d.info.width) + "x" +
                          std::to_string(d.info.height) + ", " +
                          std::to_string(records::count_record_moves(*d.tree, d.game)) + " moves)";
    return PyUnicode_FromStringAndSize(s.data(), Py_ssize_t(s.size()));
  });
}

PyGetSetDef record_getset[] = {
    {"width", get_width, nullptr, "Board columns (SZ; 19 when absent).", nullptr},
    {"height", get_height, nullptr, "Board rows.", nullptr},
    {"komi", get_komi, nullptr, "KM (0.0 when absent or unreadable).", nullptr},
    {"handicap", get_handicap, nullptr, "HA (0 when absent).", nullptr},
    {"result", get_result, nullptr, "RE as written, or None.", nullptr},
    {"winner", get_winner, nullptr, "1 Black won, -1 White won, 0 draw, None unknown.", nullptr},
    {"charset", get_charset, nullptr, "The codec text values are decoded with.", nullptr},
    {"name", get_name, nullptr, "Names the record in messages.", nullptr},
    {"game_index", get_game_index, nullptr, "Index of this game in its collection.", nullptr},
    {"move_count", get_move_count, nullptr, "B and W moves on the main line.", nullptr},
    {"notes", get_notes, nullptr, "Root values that could not be read and were ignored.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef record_methods[] = {
    VX_METHOD("parse", record_parse, METH_STATIC, "parse(source, name=None)"),
    VX_METHOD("root_properties", record_root_properties, 0, "root_properties($self)"),
    VX_METHOD("main_line", record_main_line, 0, "main_line($self)"),
    VX_METHOD("moves", record_moves, 0, "moves($self)"),
    VX_METHOD("setup", record_setup, 0, "setup($self)"),
    VX_METHOD("to_game", record_to_game, 0,
              "to_game($self, move_number=None, strict=True, superko=False, komi=None, max_moves=None)"),
    VX_METHOD("replay", record_replay, 0,
              "replay($self, move_number=None, strict=True, superko=False, komi=None, max_moves=None)"),
    VX_METHOD("final_board", record_final_board, 0, "final_board($self, move_number=None, strict=True)"),
    VX_METHOD("to_sgf", record_to_sgf, 0, "to_sgf($self, main_line_only=False)"),
    VX_METHOD("__reduce__", record_reduce, 0, "__reduce__($self)"),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot record_slots[] = {
    {Py_tp_doc, const_cast<char*>("One game of an SGF collection; made by GameRecord.parse(source).")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_holder<PyGameRecord, RecordData, &PyGameRecord::data>)},
    {Py_tp_repr, reinterpret_cast<void*>(record_repr)},
    {Py_tp_methods, record_methods},
    {Py_tp_getset, record_getset},
    {0, nullptr},
};

}  // namespace

PyType_Spec record_spec = {
    "vexlor_go.GameRecord",
    sizeof(PyGameRecord),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    record_slots,
};

}  // namespace vexlor::py
