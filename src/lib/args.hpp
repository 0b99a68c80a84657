// Argument binding (positional or keyword) and the conversion rules shared by every method.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "engine/player.hpp"
#include "ref.hpp"

namespace vexlor::py {

// The raw vectorcall arguments of one call.
struct CallArgs {
  PyObject* const* args;
  Py_ssize_t nargs;
  PyObject* kwnames;
};

// Binds call arguments to `n` required parameters; raises TypeError for
// missing, surplus, duplicated or unexpected arguments. Results are borrowed.
void bind_args(const char* func, const char* const* names, size_t n, const CallArgs& call, PyObject** out);

template <size_t N>
std::array<PyObject*, N> bind(const char* func, const std::array<const char*, N>& names, const CallArgs& call) {
  std::array<PyObject*, N> out{};
  if (!call.kwnames && PyVectorcall_NARGS(call.nargs) == Py_ssize_t(N)) {  // the common call, inline
    for (size_t i = 0; i < N; ++i) out[i] = call.args[i];
    return out;
  }
  bind_args(func, names.data(), N, call, out.data());
  return out;
}

// Like bind_args, but only the first `required` parameters must be given;
// the others stay null when absent.
void bind_args_optional(const char* func, const char* const* names, size_t n, size_t required, const CallArgs& call,
                        PyObject** out);

inline void bind_none(const char* func, const CallArgs& call) {
  if (call.kwnames || PyVectorcall_NARGS(call.nargs) != 0) bind_args(func, nullptr, 0, call, nullptr);
}

// tp_new style (tuple, dict) binding.
template <size_t N>
std::array<PyObject*, N> bind_tuple(const char* func, const std::array<const char*, N>& names, PyObject* args,
                                    PyObject* kwargs);

void bind_tuple_args(const char* func, const char* const* names, size_t n, PyObject* args, PyObject* kwargs,
                     PyObject** out);

template <size_t N>
std::array<PyObject*, N> bind_tuple(const char* func, const std::array<const char*, N>& names, PyObject* args,
                                    PyObject* kwargs) {
  std::array<PyObject*, N> out{};
  bind_tuple_args(func, names.data(), N, args, kwargs, out.data());
  return out;
}

// Every conversion raises TypeError naming the parameter for an object of the
// wrong kind, and OverflowError naming it for a value out of range.

// Unsigned integer through the index protocol; negatives and values above max raise OverflowError.
uint64_t to_unsigned(PyObject* o, const char* name, uint64_t max = UINT64_MAX);
// Signed 8-bit integer; outside -128..127 raises OverflowError.
int8_t to_i8(PyObject* o, const char* name);
// Real number rounded to single precision; a finite value that rounds to an
// infinity raises OverflowError (infinities and NaN pass as they are).
float to_float32(PyObject* o, const char* name);
// Only bool and NumPy's bool scalar.
bool to_bool(PyObject* o, const char* name);
// Raises TypeError naming the parameter unless o is of type t.
void require_type(PyObject* o, PyTypeObject* t, const char* name, const char* type_name);

// Piece argument: None, or a signed 8-bit 1 / -1 (ValueError "Invalid player value" otherwise).
std::optional<Player> piece_from_py(PyObject* o);

// 1, -1 or None.
inline PyObject* piece_to_py(std::optional<Player> p) {
  if (!p) return new_none();
  return PyLong_FromLong(long(static_cast<int8_t>(*p)));
}

// The size rule shared by Board and Game: width first, then height.
inline void check_board_size(uint64_t width, uint64_t height) {
  if (width < 2 || width > 32) raise(PyExc_ValueError, "Board width must be between 2 and 32");
  if (height < 2 || height > 32) raise(PyExc_ValueError, "Board height must be between 2 and 32");
}

}  // namespace vexlor::py
