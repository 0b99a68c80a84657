// Typed reading of the property values a Go record uses: points and point
// lists, numbers, board sizes and results. Every reader takes the raw value
// and gives a value or nothing (results never fail); point readers throw
// SgfError with the value's byte offset when the text is not a point.
//
// Coordinates: an SGF point is two letters, column then row, 'a'..'z' for
// 0..25 and 'A'..'Z' for 26..51, row 'a' at the top. The engine counts rows
// from the bottom, so SGF row r is engine row height - 1 - r.
#pragma once

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "engine/point.hpp"
#include "record_error.hpp"
#include "sgf_tree.hpp"

namespace vexlor::records {

inline std::string_view trim(std::string_view s) {
  auto space = [](char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\v' || c == '\f'; };
  while (!s.empty() && space(s.front())) s.remove_prefix(1);
  while (!s.empty() && space(s.back())) s.remove_suffix(1);
  return s;
}

// The value a reader works on: unescaped only when it holds a backslash.
class PlainValue {
 public:
  explicit PlainValue(std::string_view raw) {
    if (raw.find('\\') == std::string_view::npos) {
      view_ = raw;
    } else {
      own_ = unescape_value(raw);
      view_ = own_;
    }
  }
  std::string_view get() const { return view_; }

 private:
  std::string own_;
  std::string_view view_;
};

// 'a'..'z' -> 0..25, 'A'..'Z' -> 26..51, otherwise -1.
constexpr int sgf_letter_index(char c) {
  if (c >= 'a' && c <= 'z') return c - 'a';
  if (c >= 'A' && c <= 'Z') return c - 'A' + 26;
  return -1;
}
constexpr char sgf_letter(unsigned i) { return i < 26 ? char('a' + i) : char('A' + (i - 26)); }

// SGF letters of the engine point (col, row) on a board `height` rows high.
inline std::string sgf_point(Point p, unsigned height) {
  return std::string{sgf_letter(p.col), sgf_letter(height - 1 - p.row)};
}

// Two letters as an engine point, if on a width x height board.
inline std::optional<Point> letters_to_point(std::string_view v, unsigned width, unsigned height) {
  if (v.size() != 2) return std::nullopt;
  const int c = sgf_letter_index(v[0]), r = sgf_letter_index(v[1]);
  if (c < 0 || r < 0 || unsigned(c) >= width || unsigned(r) >= height) return std::nullopt;
  return Point{uint8_t(c), uint8_t(height - 1 - unsigned(r))};
}

namespace detail {
[[gnu::noinline]] inline std::optional<Point> read_move_slow(std::string_view raw, unsigned width, unsigned height,
                                                             size_t offset, std::string_view prefix) {
  const PlainValue pv(raw);
  const std::string_view v = trim(pv.get());
  if (v.empty() || (v == "tt" && width <= 19 && height <= 19)) return std::nullopt;
  if (const auto p = letters_to_point(v, width, height)) return p;
  throw SgfError(std::string(prefix) + "move [" + shown_value(v) + "] is not a point of the " + std::to_string(width) +
                     "x" + std::to_string(height) + " board",
                 offset);
}
}  // namespace detail

// A move value: a point, or nothing for a pass ("" always; "tt" on boards up
// to 19 x 19, where t is no column or row).
inline std::optional<Point> read_move(std::string_view raw, unsigned width, unsigned height, size_t offset,
                                      std::string_view prefix = "") {
  if (raw.size() == 2) {  // the usual case: two letters on the board
    const int c = sgf_letter_index(raw[0]), r = sgf_letter_index(raw[1]);
    if (c >= 0 && r >= 0 && unsigned(c) < width && unsigned(r) < height)  // "tt" is off boards up to 19
      return Point{uint8_t(c), uint8_t(height - 1 - unsigned(r))};
  }
  return detail::read_move_slow(raw, width, height, offset, prefix);
}

// The rectangle a point-list value names: one point, or "aa:cc" (any two
// opposite corners). Columns c0..c1 and engine rows r0..r1, inclusive.
struct PointRect {
  unsigned c0, r0, c1, r1;
};

inline PointRect read_point_rect(std::string_view raw, unsigned width, unsigned height, size_t offset,
                                 std::string_view prefix = "") {
  const PlainValue pv(raw);
  const std::string_view v = trim(pv.get());
  auto corner = [&](std::string_view s) {
    const auto p = letters_to_point(trim(s), width, height);
    if (!p)
      throw SgfError(std::string(prefix) + "[" + shown_value(v) + "] is not a point of the " + std::to_string(width) +
                         "x" + std::to_string(height) + " board",
                     offset);
    return *p;
  };
  const size_t colon = v.find(':');
  const Point a = corner(v.substr(0, colon));
  const Point b = colon == std::string_view::npos ? a : corner(v.substr(colon + 1));
  return PointRect{std::min<unsigned>(a.col, b.col), std::min<unsigned>(a.row, b.row), std::max<unsigned>(a.col, b.col),
                   std::max<unsigned>(a.row, b.row)};
}

// A whole number (optional sign), or nothing.
inline std::optional<long long> read_number(std::string_view raw) {
  const PlainValue pv(raw);
  std::string_view v = trim(pv.get());
  if (!v.empty() && v.front() == '+') v.remove_prefix(1);
  long long x = 0;
  const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), x);
  if (v.empty() || ec != std::errc() || end != v.data() + v.size()) return std::nullopt;
  return x;
}

// A real number: optional sign, digits with an optional fraction after '.'
// (or ',', which some European editors write); finite. Or nothing.
inline std::optional<double> read_real(std::string_view raw) {
  const PlainValue pv(raw);
  std::string v(trim(pv.get()));
  if (!v.empty() && v.front() == '+') v.erase(0, 1);
  for (char& c : v)
    if (c == ',') c = '.';
  size_t digits = 0;
  for (size_t i = 0; i < v.size(); ++i) {
    const char c = v[i];
    if (c >= '0' && c <= '9')
      ++digits;
    else if (!(c == '.' || (c == '-' && i == 0)))
      return std::nullopt;
  }
  if (digits == 0) return std::nullopt;
  double x = 0;
  const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), x, std::chars_format::fixed);
  if (ec != std::errc() || end != v.data() + v.size() || !std::isfinite(x)) return std::nullopt;
  return x;
}

// SZ: "19" (square) or "19:13" (columns:rows), each 2 to 32.
inline std::pair<uint8_t, uint8_t> read_board_size(std::string_view raw, size_t offset, std::string_view prefix = "") {
  const PlainValue pv(raw);
  const std::string_view v = trim(pv.get());
  const size_t colon = v.find(':');
  const auto w = read_number(v.substr(0, colon));
  const auto h = colon == std::string_view::npos ? w : read_number(v.substr(colon + 1));
  if (!w || !h) throw SgfError(std::string(prefix) + "board size SZ[" + shown_value(v) + "] is not a number", offset);
  if (*w < 2 || *w > 32 || *h < 2 || *h > 32)
    throw SgfError(std::string(prefix) + "board size SZ[" + shown_value(v) + "] out of range (2 to 32 per side)",
                   offset);
  return {uint8_t(*w), uint8_t(*h)};
}

enum class ResultKind : uint8_t { Unknown, BlackWin, WhiteWin, Draw, Void };

struct GameResult {
  ResultKind kind = ResultKind::Unknown;
  std::optional<double> margin;  // points, when the value gives them
  char reason = 0;               // 'R' resignation, 'T' time, 'F' forfeit, 0 score or unspecified

  // +1 when Black won, -1 when White won, 0 for a draw; nothing when unknown or void.
  std::optional<int> value_for_black() const {
    switch (kind) {
      case ResultKind::BlackWin:
        return 1;
      case ResultKind::WhiteWin:
        return -1;
      case ResultKind::Draw:
        return 0;
      default:
        return std::nullopt;
    }
  }
};

// RE: "B+3.5", "W+R", "W+Resign", "B+T", "B+F", "B+" (win, no detail),
// "0" / "Draw" / "Jigo" (draw), "Void" (no result), "?" and anything else: unknown.
inline GameResult read_result(std::string_view raw) {
  const PlainValue pv(raw);
  const std::string_view v = trim(pv.get());
  auto iequals = [](std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
      if ((a[i] | 0x20) != (b[i] | 0x20)) return false;
    return true;
  };
  GameResult r;
  if (v == "0" || iequals(v, "draw") || iequals(v, "jigo")) {
    r.kind = ResultKind::Draw;
    return r;
  }
  if (iequals(v, "void")) {
    r.kind = ResultKind::Void;
    return r;
  }
  if (v.size() < 2 || v[1] != '+') return r;
  if (v[0] == 'B' || v[0] == 'b')
    r.kind = ResultKind::BlackWin;
  else if (v[0] == 'W' || v[0] == 'w')
    r.kind = ResultKind::WhiteWin;
  else
    return r;
  const std::string_view rest = trim(v.substr(2));
  if (rest.empty()) return r;
  const char c = char(rest[0] & ~0x20);
  if (c == 'R' || c == 'T' || c == 'F') {
    r.reason = c;
  } else if (const auto m = read_real(rest)) {
    r.margin = *m;
  }
  return r;
}

}  // namespace vexlor::records
