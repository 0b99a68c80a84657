// Helpers the record classes share: optional arguments and text decoding.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>

#include "records_objects.hpp"
#include "without_lock.hpp"

namespace vexlor::py {

void bind_optional(const char* func, const char* const* names, size_t n, size_t required, const CallArgs& call,
                   PyObject** out) {
  const Py_ssize_t npos = PyVectorcall_NARGS(call.nargs);
  if (size_t(npos) > n)
    raise(PyExc_TypeError, "%s() takes at most %zu positional arguments (%zd given)", func, n, npos);
  for (Py_ssize_t i = 0; i < npos; ++i) out[i] = call.args[i];
  if (call.kwnames) {
    for (Py_ssize_t k = 0, nkw = PyTuple_GET_SIZE(call.kwnames); k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(call.kwnames, k);
      size_t i = 0;
      while (i < n && PyUnicode_CompareWithASCIIString(key, names[i]) != 0) ++i;
      if (i == n) raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func, key);
      if (out[i]) raise(PyExc_TypeError, "argument for %s() given by name ('%s') and position", func, names[i]);
      out[i] = call.args[npos + k];
    }
  }
  for (size_t i = 0; i < required; ++i)
    if (!out[i]) raise(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", func, names[i], i + 1);
}

std::string codec_for_charset(std::string_view charset) {
  std::string key;
  for (char c : charset)
    if (std::isalnum(static_cast<unsigned char>(c))) key += char(std::tolower(static_cast<unsigned char>(c)));
  struct Alias {
    const char* key;
    const char* codec;
  };
  static constexpr Alias kAliases[] = {
      {"", "utf-8"},           {"utf8", "utf-8"},       {"gb2312", "gb18030"},
      {"gbk", "gb18030"},      {"gb18030", "gb18030"},  {"cp936", "gb18030"},
      {"euccn", "gb18030"},    {"big5", "cp950"},       {"big5hkscs", "big5hkscs"},
      {"cp950", "cp950"},      {"shiftjis", "cp932"},   {"sjis", "cp932"},
      {"cp932", "cp932"},      {"windows31j", "cp932"}, {"eucjp", "euc_jp"},
      {"euckr", "cp949"},      {"cp949", "cp949"},      {"ksc56011987", "cp949"},
      {"iso88591", "latin-1"}, {"latin1", "latin-1"},   {"windows1252", "cp1252"},
      {"cp1252", "cp1252"},    {"ascii", "utf-8"},      {"usascii", "utf-8"},
  };
  for (const Alias& a : kAliases)
    if (key == a.key) return a.codec;
  // Any other name the interpreter knows; else UTF-8.
  const std::string name(charset);
  PyObject* info = PyCodec_Encoder(name.c_str());
  if (!info) {
    PyErr_Clear();
    return "utf-8";
  }
  Py_DECREF(info);
  return name;
}

PyObject* decode_text(std::string_view bytes, const std::string& codec) {
  return check(PyUnicode_Decode(bytes.data(), Py_ssize_t(bytes.size()), codec.c_str(), "replace")).release();
}

std::string_view utf8_of(PyObject* o, const char* name) {
  if (!PyUnicode_Check(o)) raise(PyExc_TypeError, "argument '%s' must be str, not %.200s", name, Py_TYPE(o)->tp_name);
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(o, &n);
  if (!s) throw PythonError{};
  return std::string_view(s, size_t(n));
}

namespace {

// The whole file at `path` (str, bytes or os.PathLike), read without the lock.
std::string read_file(PyObject* path) {
  const Ref fs = check(PyOS_FSPath(path));
  PyObject* encoded = nullptr;
  if (!PyUnicode_FSConverter(fs.get(), &encoded)) throw PythonError{};
  const Ref holder = Ref::steal(encoded);
  const char* name = PyBytes_AS_STRING(encoded);
  std::string out;
  int err = 0;
  maybe_without_lock(true, [&] {
    std::FILE* f = std::fopen(name, "rb");
    if (!f) {
      err = errno ? errno : ENOENT;
      return;
    }
    char buf[1 << 16];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    if (std::ferror(f)) err = errno ? errno : EIO;
    std::fclose(f);
  });
  if (err) {
    errno = err;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, fs.get());
    throw PythonError{};
  }
  return out;
}

}  // namespace

// A source as SGF bytes: str is text (UTF-8), a bytes-like object is raw
// bytes, an os.PathLike names a file.
Source read_source(PyObject* o) {
  Source s;
  if (PyUnicode_Check(o)) {
    s.bytes = std::string(utf8_of(o, "source"));
    s.text = true;
    s.name = "record";
  } else if (PyObject_CheckBuffer(o)) {
    Py_buffer v;
    if (PyObject_GetBuffer(o, &v, PyBUF_SIMPLE) < 0) throw PythonError{};
    try {
      s.bytes.assign(static_cast<const char*>(v.buf), size_t(v.len));
    } catch (...) {
      PyBuffer_Release(&v);
      throw;
    }
    PyBuffer_Release(&v);
    s.name = "record";
  } else if (PyObject_HasAttrString(o, "__fspath__")) {
    s.bytes = read_file(o);
    const Ref fs = check(PyOS_FSPath(o));
    const Ref str = check(PyObject_Str(fs.get()));
    s.name = std::string(utf8_of(str.get(), "source"));
  } else {
    raise(PyExc_TypeError, "argument 'source' must be str (SGF text), bytes or os.PathLike (a file), not %.200s",
          Py_TYPE(o)->tp_name);
  }
  return s;
}

}  // namespace vexlor::py
