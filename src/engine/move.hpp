// A pass or a placement, the value every rule and the Python layer pass around.
#pragma once

#include <cstdint>

namespace vexlor {

// The coordinates of a pass are always 0 and never compared.
struct Move {
  uint8_t tag = 1;  // 0 placement, 1 pass
  uint8_t col = 0;
  uint8_t row = 0;

  static constexpr Move place(uint8_t c, uint8_t r) { return Move{0, c, r}; }
  static constexpr Move pass() { return Move{1, 0, 0}; }
  constexpr bool is_pass() const { return tag == 1; }
  constexpr bool operator==(const Move& o) const {
    return tag == o.tag && (is_pass() || (col == o.col && row == o.row));
  }
};

}  // namespace vexlor
