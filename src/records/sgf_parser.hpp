// SGF text (FF[1] to FF[4]) into an SgfTree, in one pass without recursion:
// time linear in the input, memory a fixed number of bytes per node, property
// and value on top of one copy of the input.
//
// Accepted beyond the FF[4] grammar, as real files need:
// - any bytes before the first "(" that opens a game tree ("(" then optional
//   whitespace then ";") or between game trees: a byte-order mark, mail headers;
// - lower-case letters inside property identifiers (FF[1]-FF[3] wrote
//   "AddBlack" for AB): they are dropped, so AddBlack[..] is stored as AB[..];
// - empty variations "()", which are skipped.
// Everything else that breaks the grammar throws SgfError with the byte offset.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "record_error.hpp"
#include "sgf_tree.hpp"

namespace vexlor::records {

namespace detail {
enum SgfClass : uint8_t { kOther, kSpace, kUpper, kLower, kNode, kOpen, kClose };
constexpr std::array<uint8_t, 256> make_sgf_classes() {
  std::array<uint8_t, 256> t{};
  for (unsigned char c : {' ', '\n', '\r', '\t', '\v', '\f'}) t[c] = kSpace;
  for (int c = 'A'; c <= 'Z'; ++c) t[c] = kUpper;
  for (int c = 'a'; c <= 'z'; ++c) t[c] = kLower;
  t[';'] = kNode;
  t['('] = kOpen;
  t[')'] = kClose;
  return t;
}
inline constexpr std::array<uint8_t, 256> kSgfClasses = make_sgf_classes();
}  // namespace detail

class SgfParser {
 public:
  // Throws SgfError for malformed text or text without a game tree.
  static SgfTree parse(std::string_view in) {
    if (in.size() > UINT32_MAX / 2) throw SgfError("input too large (2 GiB at most)", 0);
    SgfParser p(in);
    p.run();
    return std::move(p.tree_);
  }

 private:
  // An open game tree: the newest node of its sequence, where variations hang.
  struct Frame {
    uint32_t attach;
    bool had_variation;
  };

  explicit SgfParser(std::string_view in) : s_(in.data()), n_(in.size()) {
    // Room for the usual shape of a record (a node of six bytes or so per
    // move), capped so that text with few nodes reserves little.
    const size_t guess = std::min<size_t>(in.size() / 6 + 8, size_t{1} << 16);
    tree_.reserve(guess, guess, guess, in.size());
    tree_.text_.assign(in);
  }

  static uint8_t class_of(char c) { return detail::kSgfClasses[static_cast<unsigned char>(c)]; }
  static bool is_space(char c) { return class_of(c) == detail::kSpace; }
  static bool is_upper(char c) { return class_of(c) == detail::kUpper; }
  static bool is_lower(char c) { return class_of(c) == detail::kLower; }

  static std::string describe(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u >= 0x21 && u < 0x7F) return std::string("'") + c + "'";
    static const char* hex = "0123456789ABCDEF";
    return std::string("byte 0x") + hex[u >> 4] + hex[u & 15];
  }

  void skip_space() {
    while (i_ < n_ && is_space(s_[i_])) ++i_;
  }

  // Position of the next "(" that opens a game tree at or after i_, or n_.
  size_t next_game_tree() const {
    for (size_t k = i_; k < n_;) {
      const void* hit = std::memchr(s_ + k, '(', n_ - k);
      if (!hit) return n_;
      const size_t open = size_t(static_cast<const char*>(hit) - s_);
      size_t j = open + 1;
      while (j < n_ && is_space(s_[j])) ++j;
      if (j < n_ && s_[j] == ';') return open;
      k = open + 1;
    }
    return n_;
  }

  void run() {
    while (true) {
      if (stack_.empty()) {
        i_ = next_game_tree();
        if (i_ >= n_) break;
        stack_.push_back(Frame{kNoNode, false});
        ++i_;
        continue;
      }
      if (i_ >= n_) throw SgfError("unexpected end of input inside a game tree", n_);
      switch (class_of(s_[i_])) {
        case detail::kSpace:
          ++i_;
          break;
        case detail::kNode:
          open_node();
          break;
        case detail::kUpper:
        case detail::kLower:
          property();
          break;
        case detail::kOpen: {
          Frame& f = stack_.back();
          if (f.attach == kNoNode) throw SgfError("variation before the first node of its game tree", i_);
          f.had_variation = true;
          stack_.push_back(Frame{kNoNode, false});
          ++i_;
          break;
        }
        case detail::kClose:
          stack_.pop_back();
          ++i_;
          break;
        default:
          throw SgfError("unexpected " + describe(s_[i_]), i_);
      }
    }
    if (tree_.roots_.empty()) throw SgfError("no game tree found", 0);
  }

  void open_node() {
    Frame& f = stack_.back();
    if (f.had_variation) throw SgfError("node after a variation", i_);
    uint32_t parent = f.attach;
    if (parent == kNoNode && stack_.size() >= 2) parent = stack_[stack_.size() - 2].attach;
    f.attach = parent == kNoNode ? tree_.add_game() : tree_.add_child(parent);
    ++i_;
  }

  void property() {
    const Frame& f = stack_.back();
    const size_t start = i_;
    if (f.attach == kNoNode || f.had_variation) throw SgfError("property outside a node", start);
    bool respell = false;
    for (uint8_t k; i_ < n_ && ((k = class_of(s_[i_])) == detail::kUpper || k == detail::kLower); ++i_)
      respell |= k == detail::kLower;
    Span ident{uint32_t(start), uint32_t(i_ - start)};
    if (respell) {
      std::string caps;
      for (size_t k = start; k < i_; ++k)
        if (is_upper(s_[k])) caps += s_[k];
      if (caps.empty()) throw SgfError("property identifier without a capital letter", start);
      ident = tree_.store(caps);
    }
    skip_space();
    if (i_ >= n_ || s_[i_] != '[')
      throw SgfError("property " + std::string(tree_.view(ident)) + " without a value", start);
    tree_.props_.push_back(SgfTree::Property{ident, uint32_t(tree_.values_.size())});
    while (i_ < n_ && s_[i_] == '[') {
      const size_t open = i_;
      const size_t first = open + 1;
      size_t close = first;
      while (close < n_ && s_[close] != ']') close += s_[close] == '\\' ? 2 : 1;
      if (close >= n_) throw SgfError("unterminated value of property " + std::string(tree_.view(ident)), open);
      tree_.values_.push_back(Span{uint32_t(first), uint32_t(close - first)});
      i_ = close + 1;
      skip_space();
    }
  }

  const char* s_;
  size_t n_;
  size_t i_ = 0;
  SgfTree tree_;
  std::vector<Frame> stack_;
};

// Parses a whole SGF collection; throws SgfError (with the byte offset).
inline SgfTree parse_sgf(std::string_view text) { return SgfParser::parse(text); }

}  // namespace vexlor::records
