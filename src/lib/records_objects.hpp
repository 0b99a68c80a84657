// The record classes: layouts, specs, and the helpers their files share
// (optional arguments, text decoding by the record's character set).
#pragma once

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "methods.hpp"
#include "records/game_info.hpp"
#include "records/record_error.hpp"
#include "records/sgf_tree.hpp"

namespace vexlor::py {

// One game of a parsed collection; the tree is shared by every game of it.
struct RecordData {
  std::shared_ptr<const records::SgfTree> tree;
  size_t game = 0;
  std::string name;        // names the record in messages
  std::string codec;       // Python codec decoding its text values
  records::GameInfo info;  // read leniently; to_game re-reads strictly when asked
};

struct PyGameRecord {
  PyObject_HEAD RecordData data;
};

// An immutable record, so no access flag.
inline PyGameRecord* as_record(PyObject* o) { return reinterpret_cast<PyGameRecord*>(o); }

extern PyType_Spec record_spec;
extern PyType_Spec training_spec;

// Binds `n` parameters of which the first `required` must be given; the rest
// are null when absent. Raises TypeError like bind().
void bind_optional(const char* func, const char* const* names, size_t n, size_t required, const CallArgs& call,
                   PyObject** out);

template <size_t N>
std::array<PyObject*, N> bind_some(const char* func, const std::array<const char*, N>& names, size_t required,
                                   const CallArgs& call) {
  std::array<PyObject*, N> out{};
  bind_optional(func, names.data(), N, required, call, out.data());
  return out;
}

inline bool given(PyObject* o) { return o && o != Py_None; }

// Runs f; record failures become ValueError with their complete message.
template <class F>
decltype(auto) record_errors(F&& f) {
  try {
    return f();
  } catch (const records::RecordError& e) {
    raise(PyExc_ValueError, "%s", e.what());
  } catch (const std::invalid_argument& e) {
    raise(PyExc_ValueError, "%s", e.what());
  } catch (const std::length_error& e) {
    raise(PyExc_ValueError, "%s", e.what());
  }
}

// The Python codec for a CA[] value: UTF-8 when empty or unknown; the common
// legacy sets mapped to the codec that reads what their writers really wrote
// (GB2312 files hold GBK, Shift_JIS files hold Windows-932, ...).
std::string codec_for_charset(std::string_view charset);

// Bytes of a record value as str, undecodable bytes replaced.
PyObject* decode_text(std::string_view bytes, const std::string& codec);

// A record source as SGF bytes: str is text (UTF-8), a bytes-like object
// raw bytes, an os.PathLike a file (read with the interpreter lock released).
struct Source {
  std::string bytes;
  bool text = false;  // came as str: values are UTF-8 whatever CA says
  std::string name;   // the path, or "record"
};
Source read_source(PyObject* o);

// The UTF-8 bytes of a str argument, raising TypeError naming the parameter otherwise.
std::string_view utf8_of(PyObject* o, const char* name);

// Board.to_svg / Game.to_svg and their _repr_svg_, defined in records_svg.cpp.
PyObject* board_to_svg(PyObject* self, const CallArgs& call);
PyObject* board_repr_svg(PyObject* self, const CallArgs& call);
PyObject* game_to_svg(PyObject* self, const CallArgs& call);
PyObject* game_repr_svg(PyObject* self, const CallArgs& call);
// Game.to_sgf, defined in records_write.cpp.
PyObject* game_to_sgf(PyObject* self, const CallArgs& call);

}  // namespace vexlor::py
