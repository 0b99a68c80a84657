// Owning references and the C++ -> Python error boundary.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdarg>
#include <exception>
#include <new>
#include <stdexcept>
#include <utility>

namespace vexlor::py {

// Thrown after a Python exception has been set; caught at the entry point.
struct PythonError {};

// The one way the binding reports an error of its own: sets `type` with a
// PyErr_Format message (a fixed text needs no arguments) and unwinds to the entry point.
[[noreturn]] inline void raise(PyObject* type, const char* format, ...) {
  va_list va;
  va_start(va, format);
  PyErr_FormatV(type, format, va);
  va_end(va);
  throw PythonError{};
}

// Owns one strong reference (or none).
class Ref {
 public:
  Ref() = default;
  static Ref steal(PyObject* o) { return Ref(o); }
  static Ref borrow(PyObject* o) {
    Py_XINCREF(o);
    return Ref(o);
  }
  Ref(const Ref& o) : p_(o.p_) { Py_XINCREF(p_); }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* o) : p_(o) {}
  PyObject* p_ = nullptr;
};

// Takes a new reference from a C API call, throwing if it failed.
inline Ref check(PyObject* o) {
  if (!o) throw PythonError{};
  return Ref::steal(o);
}

inline void set_from_cpp_exception() {
  try {
    throw;
  } catch (const PythonError&) {
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_SystemError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
  }
}

// Runs body at an entry point: C++ failures become a Python exception and `failed`.
template <class R, class F>
R guarded_as(R failed, F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    set_from_cpp_exception();
    return failed;
  }
}

template <class F>
PyObject* guarded(F&& body) noexcept {
  return guarded_as<PyObject*>(nullptr, [&]() -> PyObject* { return body(); });
}

inline PyObject* new_bool(bool b) { return Py_NewRef(b ? Py_True : Py_False); }
inline PyObject* new_none() { return Py_NewRef(Py_None); }

}  // namespace vexlor::py
