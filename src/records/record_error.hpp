// Failures of reading, replaying and writing game records. The Python binding
// turns every RecordError into ValueError; the message is complete on its own.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vexlor::records {

// Up to `max` bytes of a value for a message: printable ASCII kept, anything
// else shown as '?', so messages are valid UTF-8 whatever the record holds.
inline std::string shown_value(std::string_view v, size_t max = 24) {
  std::string out;
  for (size_t i = 0; i < v.size() && i < max; ++i) {
    const unsigned char c = static_cast<unsigned char>(v[i]);
    out += c >= 0x20 && c < 0x7F ? char(c) : '?';
  }
  if (v.size() > max) out += "...";
  return out;
}

class RecordError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Malformed SGF text, or a property value that cannot be used. `offset` is the
// byte offset in the input (a byte-order mark counts) where the fault starts.
class SgfError : public RecordError {
 public:
  SgfError(const std::string& what, size_t offset)
      : RecordError(what + " at byte " + std::to_string(offset)), offset_(offset), description_(what) {}
  size_t offset() const { return offset_; }
  // The message without its offset.
  const std::string& description() const { return description_; }

 private:
  size_t offset_;
  std::string description_;
};

// A record move the rules refuse during a strict replay. `move_number` counts
// the record's own moves from 1 (passes inserted by the replay do not count).
class ReplayError : public RecordError {
 public:
  ReplayError(const std::string& what, size_t move_number, size_t offset)
      : RecordError(what), move_number_(move_number), offset_(offset) {}
  size_t move_number() const { return move_number_; }
  size_t offset() const { return offset_; }

 private:
  size_t move_number_;
  size_t offset_;
};

}  // namespace vexlor::records
