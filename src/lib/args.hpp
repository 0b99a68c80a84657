// Argument binding (positional or keyword) and the conversion rules shared by every method.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

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

// Unsigned integer through the index protocol; negatives and values above max raise OverflowError.
uint64_t to_unsigned(PyObject* o, const char* name, uint64_t max = UINT64_MAX);
// Signed 8-bit integer; outside -128..127 raises OverflowError.
int8_t to_i8(PyObject* o, const char* name);
double to_double(PyObject* o, const char* name);
// Only bool and NumPy's bool scalar.
bool to_bool(PyObject* o, const char* name);
// Raises TypeError naming the parameter unless o is of type t.
void require_type(PyObject* o, PyTypeObject* t, const char* name, const char* type_name);

}  // namespace vexlor::py
