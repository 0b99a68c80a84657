// The game trees of one SGF collection, stored flat: nodes, properties and
// values are arrays indexed by 32-bit numbers, so a tree of any depth is built,
// walked, compared and destroyed without recursion, and costs a fixed number
// of bytes per node, property and value on top of the text.
//
// Values are kept in their escaped form, byte for byte as they stand between
// the brackets of the file ("raw"): writing them back verbatim reproduces every
// property exactly, and the typed readers (sgf_values.hpp) and the binding
// unescape on access. Text is never decoded here; CA[] says how to.
//
// Layout invariant: nodes are appended in document order and properties only
// to the newest node, values only to the newest property, so node n owns the
// properties [first_property(n), first_property(n + 1)) and property p the
// values [first_value(p), first_value(p + 1)).
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vexlor::records {

inline constexpr uint32_t kNoNode = UINT32_MAX;

// A byte range of SgfTree::text().
struct Span {
  uint32_t offset = 0;
  uint32_t length = 0;
};

// Raw value form of plain bytes: backslash and closing bracket escaped.
inline std::string escape_value(std::string_view plain) {
  std::string out;
  out.reserve(plain.size());
  for (char c : plain) {
    if (c == '\\' || c == ']') out += '\\';
    out += c;
  }
  return out;
}

// Plain bytes of a raw value: a backslash before a line break removes both
// (a soft line break; "\r\n" and "\n\r" count as one break), before any other
// byte keeps that byte. Nothing else changes.
inline std::string unescape_value(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    const char c = raw[i];
    if (c != '\\') {
      out += c;
      continue;
    }
    if (++i == raw.size()) break;  // a lone trailing backslash (never in a parsed value)
    const char e = raw[i];
    if (e == '\n' || e == '\r') {
      if (i + 1 < raw.size() && (raw[i + 1] == '\n' || raw[i + 1] == '\r') && raw[i + 1] != e) ++i;
      continue;
    }
    out += e;
  }
  return out;
}

// Whether raw can stand between brackets: every ']' escaped, no dangling backslash.
inline bool is_valid_raw_value(std::string_view raw) {
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\\') {
      if (++i == raw.size()) return false;
    } else if (raw[i] == ']') {
      return false;
    }
  }
  return true;
}

// Identifiers of this tree are non-empty runs of capital letters.
inline bool is_valid_ident(std::string_view id) {
  if (id.empty()) return false;
  for (char c : id)
    if (c < 'A' || c > 'Z') return false;
  return true;
}

class SgfParser;

class SgfTree {
 public:
  struct Node {
    uint32_t parent = kNoNode;
    uint32_t first_child = kNoNode;  // the main line continues here
    uint32_t last_child = kNoNode;
    uint32_t next_sibling = kNoNode;
    uint32_t first_property = 0;
  };
  struct Property {
    Span ident;
    uint32_t first_value = 0;
  };

  SgfTree() = default;

  // --- reading -----------------------------------------------------------
  std::string_view text() const { return text_; }
  size_t game_count() const { return roots_.size(); }
  // Root node of game i (< game_count()).
  uint32_t root(size_t game) const { return roots_.at(game); }
  size_t node_count() const { return nodes_.size(); }
  const Node& node(uint32_t n) const { return nodes_.at(n); }
  uint32_t parent(uint32_t n) const { return node(n).parent; }
  uint32_t first_child(uint32_t n) const { return node(n).first_child; }
  uint32_t next_sibling(uint32_t n) const { return node(n).next_sibling; }
  size_t child_count(uint32_t n) const {
    size_t k = 0;
    for (uint32_t c = first_child(n); c != kNoNode; c = next_sibling(c)) ++k;
    return k;
  }

  // Properties of node n, as indices [begin, end).
  uint32_t property_begin(uint32_t n) const { return node(n).first_property; }
  uint32_t property_end(uint32_t n) const {
    return n + 1 < nodes_.size() ? nodes_[n + 1].first_property : uint32_t(props_.size());
  }
  size_t property_count() const { return props_.size(); }
  std::string_view ident(uint32_t p) const { return view(property(p).ident); }
  size_t value_count(uint32_t p) const { return value_end(p) - property(p).first_value; }
  // Value i of property p in its escaped form.
  std::string_view raw_value(uint32_t p, size_t i) const { return view(value_span(p, i)); }
  // Value i of property p with its escapes resolved.
  std::string value(uint32_t p, size_t i) const { return unescape_value(raw_value(p, i)); }
  // Where value i of property p starts in text() (the input's byte offset when parsed).
  size_t value_offset(uint32_t p, size_t i) const { return value_span(p, i).offset; }
  // Where the identifier of property p starts (for parsed trees; identifiers
  // respelled without lower-case letters point at their stored copy).
  size_t ident_offset(uint32_t p) const { return property(p).ident.offset; }

  // Identifier and values of property p with one bounds check, for hot loops:
  // value i is text_of(values[i]).
  struct PropertyRef {
    std::string_view ident;
    const Span* values;
    uint32_t value_count;
  };
  PropertyRef property_ref(uint32_t p) const {
    const Property& prop = property(p);
    return PropertyRef{view(prop.ident), values_.data() + prop.first_value, value_end(p) - prop.first_value};
  }
  std::string_view text_of(Span s) const { return view(s); }

  // The first property of node n named id.
  std::optional<uint32_t> find(uint32_t n, std::string_view id) const {
    for (uint32_t p = property_begin(n), e = property_end(n); p < e; ++p)
      if (ident(p) == id) return p;
    return std::nullopt;
  }

  // Nodes of game i from the root along first children.
  std::vector<uint32_t> main_line(size_t game) const {
    std::vector<uint32_t> out;
    for (uint32_t n = root(game); n != kNoNode; n = first_child(n)) out.push_back(n);
    return out;
  }

  // --- building (appends only; see the layout invariant) -------------------
  // A new game: its root node.
  uint32_t add_game() {
    const uint32_t n = new_node(kNoNode);
    roots_.push_back(n);
    return n;
  }
  // A new last child of parent.
  uint32_t add_child(uint32_t parent) {
    if (parent >= nodes_.size()) throw std::out_of_range("no such node");
    return new_node(parent);
  }
  // A property of the newest node; id must be capital letters.
  void add_property(std::string_view id) {
    if (!is_valid_ident(id)) throw std::invalid_argument("property identifier must be capital letters A-Z");
    if (nodes_.empty()) throw std::logic_error("a property needs a node");
    props_.push_back(Property{store(id), uint32_t(values_.size())});
  }
  // A value of the newest property, given in escaped form.
  void add_raw_value(std::string_view raw) {
    if (!is_valid_raw_value(raw)) throw std::invalid_argument("value has an unescaped ']' or a dangling '\\'");
    if (props_.empty() || property_end(uint32_t(nodes_.size() - 1)) == property_begin(uint32_t(nodes_.size() - 1)))
      throw std::logic_error("a value needs a property of the newest node");
    values_.push_back(store(raw));
  }
  // A value of the newest property, given as plain bytes (escaped here).
  void add_value(std::string_view plain) { add_raw_value(escape_value(plain)); }
  // Property id with the given plain values, on the newest node.
  void add(std::string_view id, std::initializer_list<std::string_view> plain_values) {
    add_property(id);
    for (std::string_view v : plain_values) add_value(v);
  }

  void reserve(size_t nodes, size_t properties, size_t values, size_t text_bytes) {
    nodes_.reserve(nodes);
    props_.reserve(properties);
    values_.reserve(values);
    text_.reserve(text_bytes);
  }

 private:
  friend class SgfParser;

  std::string_view view(Span s) const { return std::string_view(text_.data() + s.offset, s.length); }
  const Property& property(uint32_t p) const {
    if (p >= props_.size()) throw std::out_of_range("no such property");
    return props_[p];
  }
  uint32_t value_end(uint32_t p) const {
    return p + 1 < props_.size() ? props_[p + 1].first_value : uint32_t(values_.size());
  }
  Span value_span(uint32_t p, size_t i) const {
    const uint32_t first = property(p).first_value;
    if (i >= value_end(p) - first) throw std::out_of_range("no such value");
    return values_[first + i];
  }

  uint32_t new_node(uint32_t parent) {
    if (nodes_.size() >= kNoNode - 1) throw std::length_error("too many nodes");
    const uint32_t n = uint32_t(nodes_.size());
    Node node;
    node.parent = parent;
    node.first_property = uint32_t(props_.size());
    nodes_.push_back(node);
    if (parent != kNoNode) {
      Node& p = nodes_[parent];
      if (p.last_child == kNoNode)
        p.first_child = n;
      else
        nodes_[p.last_child].next_sibling = n;
      p.last_child = n;
    }
    return n;
  }

  Span store(std::string_view bytes) {
    if (text_.size() + bytes.size() > UINT32_MAX) throw std::length_error("record text too large");
    const Span s{uint32_t(text_.size()), uint32_t(bytes.size())};
    text_.append(bytes);
    return s;
  }

  std::string text_;
  std::vector<Node> nodes_;
  std::vector<Property> props_;
  std::vector<Span> values_;
  std::vector<uint32_t> roots_;
};

// Whether two trees hold the same games: the same shape, and at every node the
// same identifiers with the same raw values, in order. Iterative.
inline bool same_content(const SgfTree& a, const SgfTree& b) {
  if (a.game_count() != b.game_count()) return false;
  auto same_node = [&](uint32_t x, uint32_t y) {
    const uint32_t xb = a.property_begin(x), xe = a.property_end(x);
    const uint32_t yb = b.property_begin(y), ye = b.property_end(y);
    if (xe - xb != ye - yb) return false;
    for (uint32_t i = 0; i < xe - xb; ++i) {
      if (a.ident(xb + i) != b.ident(yb + i) || a.value_count(xb + i) != b.value_count(yb + i)) return false;
      for (size_t k = 0; k < a.value_count(xb + i); ++k)
        if (a.raw_value(xb + i, k) != b.raw_value(yb + i, k)) return false;
    }
    return true;
  };
  std::vector<std::pair<uint32_t, uint32_t>> stack;
  for (size_t g = 0; g < a.game_count(); ++g) {
    stack.emplace_back(a.root(g), b.root(g));
    while (!stack.empty()) {
      const auto [x, y] = stack.back();
      stack.pop_back();
      if (!same_node(x, y)) return false;
      uint32_t cx = a.first_child(x), cy = b.first_child(y);
      for (; cx != kNoNode && cy != kNoNode; cx = a.next_sibling(cx), cy = b.next_sibling(cy))
        stack.emplace_back(cx, cy);
      if (cx != cy) return false;  // one has more children (both kNoNode when equal)
    }
  }
  return true;
}

}  // namespace vexlor::records
