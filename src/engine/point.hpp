// Board coordinates and their point index (row * width + col).
#pragma once

#include <cstdint>

namespace vexlor {

struct Point {
  uint8_t col = 0;
  uint8_t row = 0;
  constexpr bool operator==(const Point&) const = default;
};

constexpr unsigned point_index(Point pt, unsigned width) { return unsigned(pt.row) * width + pt.col; }
constexpr Point point_at(unsigned index, unsigned width) {
  return Point{uint8_t(index % width), uint8_t(index / width)};
}

}  // namespace vexlor
