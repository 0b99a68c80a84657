// A caller's buffer, held for one call: every check raises before anything is
// written, and the export is given back on every path. Methods that read or
// write caller memory (planes, masks, symmetries, and the classes to come)
// take their buffers through this class.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "ref.hpp"

namespace vexlor::py {

class View {
 public:
  View(PyObject* o, const char* name, bool writable) : name_(name) {
    if (!PyObject_CheckBuffer(o))
      raise(PyExc_TypeError,
            "argument '%s' must support the buffer protocol (bytearray, array.array, NumPy array), not %.200s", name,
            Py_TYPE(o)->tp_name);
    if (PyObject_GetBuffer(o, &v_, PyBUF_RECORDS_RO) < 0) {
      // BufferError is neither TypeError nor ValueError: report it as the latter.
      if (!PyErr_ExceptionMatches(PyExc_BufferError)) throw PythonError{};
      PyErr_Clear();
      raise(PyExc_ValueError, "argument '%s' cannot export a buffer of its items", name);
    }
    held_ = true;
    // A throwing constructor runs no destructor: give the export back here.
    try {
      if (writable && v_.readonly)
        raise(PyExc_TypeError, "argument '%s' must be a writable buffer, not a read-only %.200s", name,
              Py_TYPE(o)->tp_name);
      if (!PyBuffer_IsContiguous(&v_, 'C')) raise(PyExc_ValueError, "argument '%s' must be C-contiguous", name);
    } catch (...) {
      PyBuffer_Release(&v_);
      held_ = false;
      throw;
    }
    code_ = simple_code();
  }
  ~View() {
    if (held_) PyBuffer_Release(&v_);
  }
  View(const View&) = delete;
  View& operator=(const View&) = delete;

  char* data() const { return static_cast<char*>(v_.buf); }
  size_t itemsize() const { return size_t(v_.itemsize); }
  size_t bytes() const { return size_t(v_.len); }
  size_t items() const { return v_.itemsize > 0 ? size_t(v_.len) / size_t(v_.itemsize) : 0; }
  int ndim() const { return v_.ndim; }
  // Extent of dimension i < ndim() (a buffer without shape is one-dimensional).
  size_t extent(int i) const { return v_.shape ? size_t(v_.shape[i]) : items(); }
  // The struct code of a single native-order item ('f', 'B', ...), or 0.
  char code() const { return code_; }
  const char* format() const { return v_.format ? v_.format : "B"; }
  bool is_float() const { return code_ == 'f'; }
  // Whether the memory may be written as an array of objects needing `alignment`.
  bool aligned_for(size_t alignment) const { return reinterpret_cast<uintptr_t>(v_.buf) % alignment == 0; }

  // Binary values: float32, or one byte per value (uint8 or bool).
  void require_binary_items(bool allow_float) const {
    const bool ok =
        ((code_ == 'B' || code_ == '?') && v_.itemsize == 1) || (allow_float && code_ == 'f' && v_.itemsize == 4);
    if (!ok)
      raise(PyExc_TypeError, "argument '%s' must hold %s items, not format '%s'", name_,
            allow_float ? "float32 ('f'), uint8 ('B') or bool ('?')" : "uint8 ('B') or bool ('?')", format());
  }

  // Plain numbers only, of 1, 2, 4 or 8 bytes: integers, floats, bools. Object
  // pointers ('O') are refused: copying them would skip their reference counts.
  void require_plain_numbers() const {
    const bool number = code_ != 0 && std::char_traits<char>::find(kNumberCodes, sizeof kNumberCodes - 1, code_);
    const size_t n = itemsize();
    if (!number || (n != 1 && n != 2 && n != 4 && n != 8))
      raise(PyExc_TypeError,
            "argument '%s' must hold plain numbers of 1, 2, 4 or 8 bytes (integers, floats, bools), not format '%s'",
            name_, format());
  }

  // `what` spells out n, e.g. "17 x 19 x 19".
  void require_items(size_t n, const std::string& what) const {
    if (items() != n)
      raise(PyExc_ValueError, "argument '%s' must hold %zu items (%s), not %zu", name_, n, what.c_str(), items());
  }

 private:
  // The struct module's integer, float and bool codes.
  static constexpr char kNumberCodes[] = "bBhHiIlLqQnNefd?";

  char simple_code() const {
    const char* f = format();
    const bool little = PY_LITTLE_ENDIAN;
    if (*f == '@' || *f == '=' || (*f == '<' && little) || ((*f == '>' || *f == '!') && !little)) ++f;
    return f[0] != '\0' && f[1] == '\0' ? f[0] : 0;
  }

  Py_buffer v_{};
  bool held_ = false;
  const char* name_;
  char code_ = 0;
};

}  // namespace vexlor::py
