// Game.to_sgf: a game as an FF[4] record with the caller's properties.
#include <string>
#include <utility>
#include <vector>

#include "records/game_record.hpp"
#include "records_objects.hpp"

namespace vexlor::py {
namespace {

// Adds (id, value) for a str value or each str of a sequence.
void add_values(records::GameRecordOptions& opt, const std::string& id, PyObject* value) {
  if (PyUnicode_Check(value)) {
    opt.properties.emplace_back(id, std::string(utf8_of(value, "properties")));
    return;
  }
  const Ref seq = check(PySequence_Fast(value, "property values must be str or a sequence of str"));
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  if (n == 0) raise(PyExc_ValueError, "property %s has no value", id.c_str());
  for (Py_ssize_t i = 0; i < n; ++i)
    opt.properties.emplace_back(id, std::string(utf8_of(PySequence_Fast_GET_ITEM(seq.get(), i), "properties")));
}

}  // namespace

PyObject* game_to_sgf(PyObject* self, const CallArgs& call) {
  const Access access(as_game(self), Access::Shared);
  const auto [black, white, props, rules] = bind_some<4>("to_sgf", {"black", "white", "properties", "rules"}, 0, call);
  records::GameRecordOptions opt;
  if (given(black)) opt.properties.emplace_back("PB", std::string(utf8_of(black, "black")));
  if (given(white)) opt.properties.emplace_back("PW", std::string(utf8_of(white, "white")));
  if (given(rules)) opt.rules = std::string(utf8_of(rules, "rules"));
  if (given(props)) {
    if (!PyDict_Check(props))
      raise(PyExc_TypeError, "argument 'properties' must be a dict, not %.200s", Py_TYPE(props)->tp_name);
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(props, &pos, &key, &value)) {
      const Ref k = Ref::borrow(key), v = Ref::borrow(value);  // the dict may change under a str subclass
      add_values(opt, std::string(utf8_of(k.get(), "properties")), v.get());
    }
  }
  const std::string out = record_errors(
      [&] { return std::visit([&](auto& g) { return records::game_to_sgf(g, opt); }, as_game(self)->game); });
  return PyUnicode_DecodeUTF8(out.data(), Py_ssize_t(out.size()), "replace");
}

}  // namespace vexlor::py
