// An SgfTree back into SGF text, without recursion. Values are written in their
// stored (escaped) form, so parsing the output gives the same tree
// (same_content) and every property survives byte for byte.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sgf_tree.hpp"

namespace vexlor::records {

struct SgfLayout {
  bool main_line_only = false;  // drop every variation (keep first children only)
  size_t line_width = 72;       // start a new line before a node once a line is this long (0: never)
};

inline void write_sgf_node(const SgfTree& t, uint32_t n, std::string& out) {
  out += ';';
  for (uint32_t p = t.property_begin(n), e = t.property_end(n); p < e; ++p) {
    out += t.ident(p);
    for (size_t i = 0, k = t.value_count(p); i < k; ++i) {
      out += '[';
      out += t.raw_value(p, i);
      out += ']';
    }
  }
}

// Appends game `game` of t to out.
inline void write_sgf_game(const SgfTree& t, size_t game, std::string& out, const SgfLayout& layout = {}) {
  struct Item {
    uint32_t node;  // kNoNode: close the current variation
  };
  std::vector<Item> stack{Item{t.root(game)}};
  size_t line_start = out.size();
  auto wrap = [&] {
    if (layout.line_width && out.size() - line_start >= layout.line_width) {
      out += '\n';
      line_start = out.size();
    }
  };
  bool first = true;
  while (!stack.empty()) {
    const Item item = stack.back();
    stack.pop_back();
    if (item.node == kNoNode) {
      out += ')';
      continue;
    }
    wrap();
    out += '(';
    stack.push_back(Item{kNoNode});
    for (uint32_t n = item.node;;) {
      wrap();
      write_sgf_node(t, n, out);
      if (first) {  // the root's game information on a line of its own
        out += '\n';
        line_start = out.size();
        first = false;
      }
      const uint32_t c = t.first_child(n);
      if (c == kNoNode) break;
      if (layout.main_line_only || t.next_sibling(c) == kNoNode) {
        n = c;
        continue;
      }
      const size_t mark = stack.size();
      for (uint32_t k = c; k != kNoNode; k = t.next_sibling(k)) stack.push_back(Item{k});
      std::reverse(stack.begin() + std::ptrdiff_t(mark), stack.end());  // first child written first
      break;
    }
  }
  out += '\n';
}

// The whole collection as SGF text.
inline std::string write_sgf(const SgfTree& t, const SgfLayout& layout = {}) {
  std::string out;
  out.reserve(t.text().size() + 4 * t.node_count() + 16);
  for (size_t g = 0; g < t.game_count(); ++g) write_sgf_game(t, g, out, layout);
  return out;
}

}  // namespace vexlor::records
