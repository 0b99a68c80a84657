// SGF text to tree and back: the grammar and its real-world leniencies, exact
// round trips, and hostile input that must end in a result or an SgfError
// with the right offset, never a crash, a hang or a deep recursion.
#include "records/sgf_parser.hpp"

#include <gtest/gtest.h>

#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "records/sgf_writer.hpp"
#include "records_util.hpp"
#include "test_util.hpp"

namespace vexlor::records {
namespace {

std::vector<std::string> idents(const SgfTree& t, uint32_t n) {
  std::vector<std::string> out;
  for (uint32_t p = t.property_begin(n); p < t.property_end(n); ++p) out.emplace_back(t.ident(p));
  return out;
}

// The offset and message of the SgfError text raises, or -1 when it parses.
std::pair<long, std::string> error_of(const std::string& text) {
  try {
    parse_sgf(text);
  } catch (const SgfError& e) {
    return {long(e.offset()), e.what()};
  }
  return {-1, ""};
}

TEST(SgfParser, PropertiesVariationsAndMainLine) {
  const SgfTree t = parse_sgf("(;FF[4]SZ[19]PB[Lee \\] Sedol]AB[aa][bb]\n(;B[cc]C[x];W[dd])(;B[ee]))");
  ASSERT_EQ(t.game_count(), 1u);
  const uint32_t root = t.root(0);
  EXPECT_EQ(idents(t, root), (std::vector<std::string>{"FF", "SZ", "PB", "AB"}));
  const uint32_t pb = *t.find(root, "PB");
  EXPECT_EQ(t.raw_value(pb, 0), "Lee \\] Sedol");
  EXPECT_EQ(t.value(pb, 0), "Lee ] Sedol");
  const uint32_t ab = *t.find(root, "AB");
  ASSERT_EQ(t.value_count(ab), 2u);
  EXPECT_EQ(t.raw_value(ab, 1), "bb");
  EXPECT_EQ(t.value_offset(ab, 1), std::string("(;FF[4]SZ[19]PB[Lee \\] Sedol]AB[aa][").size());
  EXPECT_EQ(t.child_count(root), 2u);
  const std::vector<uint32_t> line = t.main_line(0);
  ASSERT_EQ(line.size(), 3u);
  EXPECT_EQ(idents(t, line[1]), (std::vector<std::string>{"B", "C"}));
  EXPECT_EQ(t.raw_value(*t.find(line[2], "W"), 0), "dd");
  const uint32_t variation = t.next_sibling(line[1]);
  EXPECT_EQ(t.raw_value(*t.find(variation, "B"), 0), "ee");
  EXPECT_EQ(t.parent(variation), root);
}

class Unescape : public ::testing::TestWithParam<std::pair<std::string, std::string>> {};

TEST_P(Unescape, ResolvesEscapesAndSoftLineBreaks) {
  const auto& [raw, plain] = GetParam();
  EXPECT_EQ(unescape_value(raw), plain);
  const SgfTree t = parse_sgf("(;C[" + raw + "])");
  EXPECT_EQ(t.value(t.property_begin(t.root(0)), 0), plain);
  EXPECT_EQ(unescape_value(escape_value(plain)), plain);
}

INSTANTIATE_TEST_SUITE_P(Values, Unescape,
                         ::testing::Values(std::pair<std::string, std::string>{"a\\]b", "a]b"},
                                           std::pair<std::string, std::string>{"a\\\\", "a\\"},
                                           std::pair<std::string, std::string>{"one\\\ntwo", "onetwo"},
                                           std::pair<std::string, std::string>{"one\\\r\ntwo", "onetwo"},
                                           std::pair<std::string, std::string>{"one\\\n\rtwo", "onetwo"},
                                           std::pair<std::string, std::string>{"one\\\n\ntwo", "one\ntwo"},
                                           std::pair<std::string, std::string>{"x\\:y\\a", "x:ya"},
                                           std::pair<std::string, std::string>{"hard\nbreak", "hard\nbreak"}));

TEST(SgfParser, LenientShapes) {
  // Byte-order mark, whitespace anywhere, text before and between games.
  const SgfTree t = parse_sgf("\xEF\xBB\xBFjunk (x) \n( ; FF [4] \n SZ\t[9] ;B [aa]\n) mail (;GM[1])");
  ASSERT_EQ(t.game_count(), 2u);
  EXPECT_EQ(idents(t, t.root(0)), (std::vector<std::string>{"FF", "SZ"}));
  EXPECT_EQ(idents(t, t.root(1)), (std::vector<std::string>{"GM"}));
  // FF[3] identifiers with lower-case letters keep their capitals.
  const SgfTree old = parse_sgf("(;AddBlack[aa]CoPyright[me])");
  EXPECT_EQ(idents(old, old.root(0)), (std::vector<std::string>{"AB", "CP"}));
  // Empty variations are skipped.
  const SgfTree empty = parse_sgf("(;FF[4]()(;B[aa])())");
  EXPECT_EQ(empty.node_count(), 2u);
}

struct Malformed {
  std::string text;
  long offset;
  std::string message;
};

void PrintTo(const Malformed& m, std::ostream* os) { *os << ::testing::PrintToString(m.text); }

class MalformedText : public ::testing::TestWithParam<Malformed> {};

TEST_P(MalformedText, FailsWithItsOffset) {
  const auto [offset, message] = error_of(GetParam().text);
  EXPECT_EQ(offset, GetParam().offset);
  EXPECT_NE(message.find(GetParam().message), std::string::npos) << message;
  EXPECT_NE(message.find("at byte " + std::to_string(GetParam().offset)), std::string::npos) << message;
}

INSTANTIATE_TEST_SUITE_P(
    Grammar, MalformedText,
    ::testing::Values(Malformed{"(;B[aa", 3, "unterminated value of property B"},
                      Malformed{"(;C[a\\]", 3, "unterminated value of property C"},
                      Malformed{"(;B[aa]", 7, "end of input"}, Malformed{"(;B)", 2, "property B without a value"},
                      Malformed{"(;B[aa]((;W[bb])))", 8, "variation before the first node"},
                      Malformed{"(;B[aa](;W[bb]);B[cc])", 15, "node after a variation"},
                      Malformed{"(;B[aa](;W[bb])C[x])", 15, "property outside a node"},
                      Malformed{"(;B[aa]$)", 7, "unexpected '$'"}, Malformed{"(;B[aa]\x01)", 7, "byte 0x01"},
                      Malformed{"(;foo[bar])", 2, "without a capital letter"},
                      Malformed{"no record here", 0, "no game tree"}, Malformed{"", 0, "no game tree"}));

TEST(SgfWriter, RoundTripKeepsEveryPropertyAndVariation) {
  const std::vector<std::string> texts = {
      "(;FF[4]C[multi\nline \\] text\\\\]XX[raw\\:colon](;B[aa];W[]TT[x][y])(;B[bb](;W[cc])(;W[dd])))",
      "(;FF[4])(;GM[1];B[tt])",
      "(;AddBlack[aa:cc]RE[B+3.5]EmptyValue[])",
  };
  for (const std::string& text : texts) {
    const SgfTree t = parse_sgf(text);
    const std::string written = write_sgf(t);
    EXPECT_TRUE(same_content(t, parse_sgf(written))) << written;
    EXPECT_EQ(write_sgf(parse_sgf(written)), written);
  }
  // The main line alone drops the variations.
  const SgfTree t = parse_sgf(texts[0]);
  const SgfTree main = parse_sgf(write_sgf(t, SgfLayout{true, 72}));
  EXPECT_EQ(main.node_count(), 3u);
  EXPECT_FALSE(same_content(t, main));
}

TEST(SgfParser, HostileInputs) {
  // Deep nesting: 100,000 variations inside each other, no recursion anywhere.
  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += "(;B[aa]";
  deep += std::string(100000, ')');
  const SgfTree nested = parse_sgf(deep);
  EXPECT_EQ(nested.node_count(), 100000u);
  EXPECT_EQ(nested.main_line(0).size(), 100000u);
  EXPECT_TRUE(same_content(nested, parse_sgf(write_sgf(nested))));
  // A 10 MB comment, and the same one unterminated.
  const std::string comment(10'000'000, 'c');
  const SgfTree big = parse_sgf("(;C[" + comment + "])");
  EXPECT_EQ(big.raw_value(0, 0).size(), comment.size());
  EXPECT_EQ(error_of("(;C[" + comment).first, 3);
  // A million properties in one node.
  std::string many = "(;";
  for (int i = 0; i < 1000000; ++i) many += "A[]";
  many += ")";
  const SgfTree wide = parse_sgf(many);
  EXPECT_EQ(wide.property_count(), 1000000u);
  EXPECT_EQ(wide.property_end(0), 1000000u);
}

TEST(SgfParser, TruncatedAndRandomBytesParseOrFailCleanly) {
  const auto records = testing::shared_records();
  std::string text = records.empty() ? "(;FF[4]SZ[19]C[a\\]b];B[pd];W[dp](;B[]);W[tt])" : records.front().second;
  for (size_t n = 0; n <= text.size(); ++n) {
    const std::string prefix = text.substr(0, n);
    try {
      const SgfTree t = parse_sgf(prefix);
      EXPECT_TRUE(same_content(t, parse_sgf(write_sgf(t))));
    } catch (const SgfError& e) {
      EXPECT_LE(e.offset(), n);
    }
  }
  std::mt19937_64 rng(7);
  const std::string alphabet = "();[]\\:ABWCaz \n\xEF\xBB\xBF";
  const int rounds = int(20000 * testing::test_scale());
  for (int i = 0; i < rounds; ++i) {
    std::string s(rng() % 64, '\0');
    for (char& c : s) c = rng() % 4 ? alphabet[rng() % alphabet.size()] : char(rng());
    try {
      const SgfTree t = parse_sgf(s);
      EXPECT_TRUE(same_content(t, parse_sgf(write_sgf(t)))) << s;
    } catch (const SgfError& e) {
      EXPECT_LE(e.offset(), s.size());
    }
  }
}

}  // namespace
}  // namespace vexlor::records
