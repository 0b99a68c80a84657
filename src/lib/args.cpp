#include "args.hpp"

#include <cmath>
#include <cstring>

namespace vexlor::py {

namespace {

// Finishes binding once positional arguments are in place: keyword values, then missing ones.
void bind_keywords(const char* func, const char* const* names, size_t n, PyObject* key, PyObject* value,
                   PyObject** out) {
  if (!PyUnicode_Check(key)) raise(PyExc_TypeError, "%s() keywords must be strings", func);
  for (size_t i = 0; i < n; ++i) {
    if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) {
      if (out[i])
        raise(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zu)", func, names[i], i + 1);
      out[i] = value;
      return;
    }
  }
  raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func, key);
}

void check_positional(const char* func, size_t n, Py_ssize_t given) {
  if (size_t(given) <= n) return;
  if (n == 0) raise(PyExc_TypeError, "%s() takes no arguments (%zd given)", func, given);
  raise(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd were given", func, n, n == 1 ? "" : "s", given);
}

void check_missing(const char* func, const char* const* names, size_t n, PyObject** out) {
  for (size_t i = 0; i < n; ++i)
    if (!out[i]) raise(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", func, names[i], i + 1);
}

[[noreturn]] void rename_type_error(const char* name, const char* expected, PyObject* o) {
  if (PyErr_ExceptionMatches(PyExc_TypeError)) {
    PyErr_Clear();
    raise(PyExc_TypeError, "argument '%s' must be %s, not %.200s", name, expected, Py_TYPE(o)->tp_name);
  }
  throw PythonError{};
}

// Replaces the interpreter's unnamed OverflowError with one naming the parameter.
[[noreturn]] void rename_overflow(const char* name, const char* range) {
  if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
    PyErr_Clear();
    raise(PyExc_OverflowError, "argument '%s' is out of range (%s)", name, range);
  }
  throw PythonError{};
}

// o itself when it is an int (no reference taken: the hot path); otherwise
// its __index__ result, kept alive by `holder`.
PyObject* as_index(PyObject* o, const char* name, Ref& holder) {
  if (PyLong_Check(o)) return o;
  holder = Ref::steal(PyNumber_Index(o));
  if (!holder) rename_type_error(name, "an integer", o);
  return holder.get();
}

}  // namespace

void bind_args(const char* func, const char* const* names, size_t n, const CallArgs& call, PyObject** out) {
  bind_args_optional(func, names, n, n, call, out);
}

void bind_args_optional(const char* func, const char* const* names, size_t n, size_t required, const CallArgs& call,
                        PyObject** out) {
  const Py_ssize_t npos = PyVectorcall_NARGS(call.nargs);
  check_positional(func, n, npos);
  for (Py_ssize_t i = 0; i < npos; ++i) out[i] = call.args[i];
  if (call.kwnames) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(call.kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k)
      bind_keywords(func, names, n, PyTuple_GET_ITEM(call.kwnames, k), call.args[npos + k], out);
  }
  check_missing(func, names, required, out);
}

void bind_tuple_args(const char* func, const char* const* names, size_t n, PyObject* args, PyObject* kwargs,
                     PyObject** out) {
  const Py_ssize_t npos = PyTuple_GET_SIZE(args);
  check_positional(func, n, npos);
  for (Py_ssize_t i = 0; i < npos; ++i) out[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) bind_keywords(func, names, n, key, value, out);
  }
  check_missing(func, names, n, out);
}

uint64_t to_unsigned(PyObject* o, const char* name, uint64_t max) {
  Ref holder;
  const unsigned long long v = PyLong_AsUnsignedLongLong(as_index(o, name, holder));
  if (v > max || (v == static_cast<unsigned long long>(-1) && PyErr_Occurred())) [[unlikely]] {
    // The interpreter's own OverflowError (negative, or beyond 64 bits) does not name the parameter.
    if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_OverflowError)) throw PythonError{};
    PyErr_Clear();
    raise(PyExc_OverflowError, "argument '%s' is out of range (0 to %llu)", name, static_cast<unsigned long long>(max));
  }
  return v;
}

int8_t to_i8(PyObject* o, const char* name) {
  Ref holder;
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(as_index(o, name, holder), &overflow);
  if (v == -1 && PyErr_Occurred()) throw PythonError{};
  if (overflow || v < -128 || v > 127) raise(PyExc_OverflowError, "argument '%s' is out of range (-128 to 127)", name);
  return int8_t(v);
}

float to_float32(PyObject* o, const char* name) {
  double v;
  if (PyFloat_CheckExact(o)) {
    v = PyFloat_AS_DOUBLE(o);
  } else {
    v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) {
      if (PyErr_ExceptionMatches(PyExc_OverflowError)) rename_overflow(name, "a 32-bit float");
      rename_type_error(name, "a real number", o);
    }
  }
  // From half an ulp above the largest float on, rounding gives infinity (the
  // tie rounds to even, away from the largest float's odd significand).
  if (std::isfinite(v) && std::fabs(v) >= 0x1.ffffffp127)
    raise(PyExc_OverflowError, "argument '%s' is out of range (a 32-bit float)", name);
  return static_cast<float>(v);
}

bool to_bool(PyObject* o, const char* name) {
  if (o == Py_True) return true;
  if (o == Py_False) return false;
  // NumPy's bool scalar, recognised by name so NumPy need not be loaded.
  const char* tn = Py_TYPE(o)->tp_name;
  if (std::strcmp(tn, "numpy.bool") == 0 || std::strcmp(tn, "numpy.bool_") == 0) {
    const int t = PyObject_IsTrue(o);
    if (t < 0) throw PythonError{};
    return t != 0;
  }
  raise(PyExc_TypeError, "argument '%s' must be bool, not %.200s", name, tn);
}

void require_type(PyObject* o, PyTypeObject* t, const char* name, const char* type_name) {
  if (Py_TYPE(o) != t)
    raise(PyExc_TypeError, "argument '%s' must be %s, not %.200s", name, type_name, Py_TYPE(o)->tp_name);
}

std::optional<Player> piece_from_py(PyObject* o) {
  if (o == Py_None) return std::nullopt;
  const std::optional<Player> p = player_from_int(to_i8(o, "piece"));
  if (!p) raise(PyExc_ValueError, "Invalid player value");
  return p;
}

}  // namespace vexlor::py
