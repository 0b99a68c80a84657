// Records into games: typed values, the root's game information, the side to
// move (inserted passes), strict and lenient rule breaks, and the fast board
// replay agreeing with the Game on every shared record and on random play.
#include <gtest/gtest.h>

#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "records/game_info.hpp"
#include "records/replay.hpp"
#include "records/sgf_parser.hpp"
#include "records_util.hpp"
#include "test_util.hpp"

namespace vexlor::records {
namespace {

using testing::rows_of;

ReplayOptions lenient(std::optional<size_t> move_number = std::nullopt) {
  ReplayOptions o;
  o.strict = false;
  o.move_number = move_number;
  return o;
}

TEST(RecordValues, BoardSizes) {
  EXPECT_EQ(read_board_size("19", 0), std::make_pair(uint8_t(19), uint8_t(19)));
  EXPECT_EQ(read_board_size("19:13", 0), std::make_pair(uint8_t(19), uint8_t(13)));
  EXPECT_EQ(read_board_size(" 2 : 32 ", 0), std::make_pair(uint8_t(2), uint8_t(32)));
  for (const char* bad : {"0", "40", "19:0", "1", "1:9", "abc", "", "19:", "-19"}) {
    try {
      read_board_size(bad, 57);
      ADD_FAILURE() << bad;
    } catch (const SgfError& e) {
      EXPECT_EQ(e.offset(), 57u) << bad;
    }
  }
  // Absent SZ is 19 x 19; the record names itself in the message.
  EXPECT_EQ(read_game_info(parse_sgf("(;FF[4])"), 0, true).width, 19);
  try {
    read_game_info(parse_sgf("(;SZ[19:0])"), 0, false, "x.sgf");
    ADD_FAILURE();
  } catch (const SgfError& e) {
    EXPECT_EQ(e.offset(), 5u);
    EXPECT_NE(std::string(e.what()).find("x.sgf: board size SZ[19:0] out of range"), std::string::npos) << e.what();
  }
}

struct ResultCase {
  const char* text;
  ResultKind kind;
  std::optional<double> margin;
  char reason;
};

void PrintTo(const ResultCase& c, std::ostream* os) { *os << c.text; }

class Results : public ::testing::TestWithParam<ResultCase> {};

TEST_P(Results, Read) {
  const GameResult r = read_result(GetParam().text);
  EXPECT_EQ(r.kind, GetParam().kind);
  EXPECT_EQ(r.margin, GetParam().margin);
  EXPECT_EQ(r.reason, GetParam().reason);
}

INSTANTIATE_TEST_SUITE_P(
    RE, Results,
    ::testing::Values(
        ResultCase{"B+3.5", ResultKind::BlackWin, 3.5, 0}, ResultCase{"W+0.5", ResultKind::WhiteWin, 0.5, 0},
        ResultCase{"W+R", ResultKind::WhiteWin, {}, 'R'}, ResultCase{"B+Resign", ResultKind::BlackWin, {}, 'R'},
        ResultCase{"w+time", ResultKind::WhiteWin, {}, 'T'}, ResultCase{"B+F", ResultKind::BlackWin, {}, 'F'},
        ResultCase{" B+ ", ResultKind::BlackWin, {}, 0}, ResultCase{"0", ResultKind::Draw, {}, 0},
        ResultCase{"Draw", ResultKind::Draw, {}, 0}, ResultCase{"jigo", ResultKind::Draw, {}, 0},
        ResultCase{"Void", ResultKind::Void, {}, 0}, ResultCase{"?", ResultKind::Unknown, {}, 0},
        ResultCase{"", ResultKind::Unknown, {}, 0}, ResultCase{"X+1", ResultKind::Unknown, {}, 0}));

TEST(RecordValues, KomiHandicapAndPlayer) {
  auto info = [](const std::string& root, bool strict) {
    return read_game_info(parse_sgf("(;" + root + ")"), 0, strict);
  };
  EXPECT_EQ(info("KM[7.5]", true).komi, 7.5f);
  EXPECT_EQ(info("KM[ 6,5 ]", true).komi, 6.5f);
  EXPECT_EQ(info("KM[-3]", true).komi, -3.0f);
  const GameInfo fox = info("KM[650]", true);  // hundredths
  EXPECT_EQ(fox.komi, 6.5f);
  EXPECT_EQ(fox.notes.size(), 1u);
  EXPECT_EQ(info("SZ[5]KM[30]", true).komi, 30.0f);      // below 100: points, though above the point count
  EXPECT_EQ(info("SZ[9]KM[150.0]", true).komi, 150.0f);  // not a whole number as written
  EXPECT_EQ(info("KO[7.5]", true).komi, 7.5f);
  EXPECT_EQ(info("KM[0.5]KO[7.5]", true).komi, 0.5f);
  EXPECT_EQ(info("PL[w]HA[2]", true).to_play, Player::White);
  for (const char* bad : {"KM[abc]", "KM[1e9]", "HA[-1]", "HA[two]", "PL[x]"}) {
    EXPECT_THROW(info(bad, true), SgfError) << bad;
    const GameInfo loose = info(bad, false);
    EXPECT_EQ(loose.notes.size(), 1u) << bad;
    EXPECT_FALSE(loose.komi_given) << bad;
  }
  EXPECT_THROW(info("GM[2]", false), SgfError);
}

TEST(RecordValues, MovesAndPoints) {
  EXPECT_EQ(read_move("aa", 19, 19, 0), (Point{0, 18}));
  EXPECT_EQ(read_move("sa", 19, 19, 0), (Point{18, 18}));
  EXPECT_EQ(read_move("as", 19, 19, 0), (Point{0, 0}));
  EXPECT_EQ(read_move("Aa", 32, 32, 0), (Point{26, 31}));
  EXPECT_EQ(read_move("", 19, 19, 0), std::nullopt);
  EXPECT_EQ(read_move("tt", 19, 19, 0), std::nullopt);
  EXPECT_EQ(read_move("tt", 20, 20, 0), (Point{19, 0}));
  EXPECT_EQ(read_move("ca", 5, 3, 0), (Point{2, 2}));
  for (const char* bad : {"ta", "at", "zz", "a", "abc", "a1"}) EXPECT_THROW(read_move(bad, 19, 19, 0), SgfError) << bad;
  const PointRect r = read_point_rect("cc:aa", 19, 19, 0);
  EXPECT_EQ(std::vector<unsigned>({r.c0, r.r0, r.c1, r.r1}), std::vector<unsigned>({0, 16, 2, 18}));
  EXPECT_THROW(read_point_rect("aa:zz", 19, 19, 0), SgfError);
}

TEST(RecordReplay, SetupAndSideToMove) {
  // Point lists, and setup at later nodes (the board replay follows them too).
  const SgfTree later = parse_sgf("(;SZ[9]AB[aa:cc]AW[ee];B[ii];AE[bb]AW[hh];W[gg];AE[ii];B[];W[ii])");
  EXPECT_EQ(replay_board<2>(later, 0, ReplayOptions{}).board.board(),
            replay_record<2>(later, 0, ReplayOptions{}).game.board());
  auto r = replay_record<2>(parse_sgf("(;SZ[9]AB[aa:cc]AW[ee];B[ii];AE[bb]AW[hh];W[gg])"), 0, ReplayOptions{});
  EXPECT_EQ(rows_of(r.game.board()),
            (std::vector<std::string>{"BBB......", "B.B......", "BBB......", ".........", "....W....", ".........",
                                      "......W..", ".......W.", "........B"}));
  // A handicap game whose first move is White's opens with a Black pass.
  const SgfTree handicap = parse_sgf("(;SZ[9]HA[2]AB[cc][gg];W[ee];B[ec])");
  auto h = replay_record<2>(handicap, 0, ReplayOptions{});
  ASSERT_EQ(h.game.move_count(), 3u);
  EXPECT_TRUE(h.game.history()[0].move.is_pass());
  EXPECT_EQ(h.inserted_passes, std::vector<size_t>{0});
  EXPECT_EQ(h.game.turn(), Player::White);
  EXPECT_EQ(replay_record<2>(handicap, 0, lenient(0)).game.turn(), Player::White);
  EXPECT_EQ(replay_board<2>(handicap, 0, lenient(0)).board.turn(), Player::White);
  // PL acts where the replay stops.
  EXPECT_EQ(replay_record<2>(parse_sgf("(;SZ[9]AB[cc]PL[W])"), 0, ReplayOptions{}).game.turn(), Player::White);
  EXPECT_EQ(replay_record<2>(parse_sgf("(;SZ[9]PL[W];B[cc])"), 0, ReplayOptions{}).game.move_count(), 1u);
  // Two moves in a row by one colour: the other side's pass goes between.
  auto twice = replay_record<2>(parse_sgf("(;SZ[9];B[aa];W[bb];W[cc];B[dd])"), 0, ReplayOptions{});
  EXPECT_EQ(twice.inserted_passes, (std::vector<size_t>{2}));
  EXPECT_EQ(twice.game.move_count(), 5u);
  EXPECT_EQ(twice.record_moves, 4u);
  // Rectangular boards, B[] and B[tt] as passes ending the game.
  auto rect = replay_record<1>(parse_sgf("(;SZ[5:3];B[ca];W[];B[tt])"), 0, ReplayOptions{});
  EXPECT_TRUE(rect.game.is_over());
  EXPECT_EQ(rect.game.board().get_piece(2, 2), Player::Black);
}

struct Break {
  std::string moves;  // the root's size, then the nodes
  size_t move_number;
  std::string text;  // in the message
  bool superko;
};

void PrintTo(const Break& b, std::ostream* os) { *os << b.moves; }

class RuleBreaks : public ::testing::TestWithParam<Break> {};

TEST_P(RuleBreaks, StrictThrowsLenientStops) {
  const Break& b = GetParam();
  const SgfTree t = parse_sgf("(;" + b.moves + ")");
  ReplayOptions strict;
  strict.name = "game.sgf";
  strict.superko = b.superko;
  try {
    replay_record<1>(t, 0, strict);
    ADD_FAILURE() << "no error";
  } catch (const RecordError& e) {
    const std::string what = e.what();
    EXPECT_EQ(what.rfind("game.sgf: ", 0), 0u) << what;
    EXPECT_NE(what.find("move " + std::to_string(b.move_number)), std::string::npos) << what;
    EXPECT_NE(what.find(b.text), std::string::npos) << what;
  }
  ReplayOptions loose = strict;
  loose.strict = false;
  const Replay<1> g = replay_record<1>(t, 0, loose);
  ASSERT_TRUE(g.stopped);
  EXPECT_EQ(g.stopped->move_number, b.move_number);
  EXPECT_EQ(g.moves_played, b.move_number - 1);
  // The game is the one before the refused move.
  ReplayOptions before = loose;  // lenient: a bad setup value before the move stops this one too
  before.move_number = b.move_number - 1;
  const Replay<1> ok = replay_record<1>(t, 0, before);
  EXPECT_EQ(g.game.board(), ok.game.board());
  EXPECT_EQ(g.game.move_count() + (ok.inserted_passes.size() - g.inserted_passes.size()), ok.game.move_count());
  if (!b.superko) {
    const BoardReplay<1> fast = replay_board<1>(t, 0, loose);
    ASSERT_TRUE(fast.stopped);
    EXPECT_EQ(fast.stopped->reason, g.stopped->reason);
    EXPECT_EQ(fast.board.board(), g.game.board());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, RuleBreaks,
    ::testing::Values(Break{"SZ[5];B[cc];W[cc]", 2, "W[cc] (col 2, row 2) is illegal: the point is occupied", false},
                      // Black's cb takes the ko at bb; White's retake is refused.
                      Break{"SZ[5];B[ba];W[ca];B[ab];W[bb];B[bc];W[db];B[ee];W[cc];B[cb];W[bb]", 10,
                            "W[bb] (col 1, row 3) is illegal: it retakes a ko", false},
                      Break{"SZ[5];B[ab];W[ee];B[ba];W[aa]", 4, "it is suicide", false},
                      Break{"SZ[5];B[];W[];B[aa]", 3, "the game is over", false},
                      Break{"SZ[5];B[];W[];W[aa]", 3, "the game is over", false},
                      Break{"SZ[5];B[aa];W[zz]", 2, "move [zz] is not a point of the 5x5 board", false},
                      Break{"SZ[5];B[aa];W[]AB[zz]", 2, "setup before move 2: AB [zz] is not a point", false},
                      // A repetition that is no simple ko, refused only under superko.
                      Break{"SZ[3];B[ca];W[ab];B[bb];W[cb];B[aa];W[bc];B[ac];W[ba];B[cc];W[ab];B[ca];W[bc];B[aa];W[cb]",
                            14, "it repeats an earlier position (superko)", true}));

TEST(RecordReplay, SetupChangesAreBounded) {
  std::string text = "(;SZ[9]";
  for (int i = 0; i < 40; ++i) text += ";AB[aa:ii];AE[aa:ii]";
  text += ")";
  EXPECT_THROW(replay_record<2>(parse_sgf(text), 0, ReplayOptions{}), SgfError);
  EXPECT_TRUE(replay_board<2>(parse_sgf(text), 0, lenient()).stopped);
}

TEST(RecordReplay, SharedRecordsReplayAlikeOnGameAndBoard) {
  const auto records = testing::shared_records();
  if (records.empty()) GTEST_SKIP() << "shared records not found (set VEXLOR_SGF_DIR)";
  size_t inserted = 0;
  for (const auto& [name, text] : records) {
    SCOPED_TRACE(name);
    const SgfTree t = parse_sgf(text);
    ReplayOptions o;
    o.name = name;
    const Replay<6> g = replay_record<6>(t, 0, o);
    EXPECT_EQ(g.moves_played, g.record_moves);
    EXPECT_GT(g.moves_played, 100u);
    EXPECT_FALSE(g.game.is_over());  // no passes in these records
    inserted += g.inserted_passes.size();
    const BoardReplay<6> b = replay_board<6>(t, 0, o);
    EXPECT_EQ(b.board.board(), g.game.board());
    EXPECT_EQ(b.board.turn(), g.game.turn());
    EXPECT_EQ(b.board.ko_point(), g.game.ko_point());
    for (size_t k = 0; k <= g.record_moves; k += 37) {
      o.move_number = k;
      const Replay<6> at = replay_record<6>(t, 0, o);
      EXPECT_EQ(at.game.board(), replay_board<6>(t, 0, o).board.board()) << k;
      EXPECT_EQ(at.moves_played, k);
    }
  }
  EXPECT_EQ(inserted, 1u);  // Tencent R 6-1-4 has two Black moves in a row
}

// The fast board and the Game accept and refuse the same moves and reach the same boards.
TEST(RecordReplay, BoardAgreesWithGameOnRandomPlay) {
  std::mt19937_64 rng(11);
  const int games = int(300 * testing::test_scale());
  for (int i = 0; i < games; ++i) {
    const unsigned w = 2 + rng() % 6, h = 2 + rng() % 6;
    testing::with_words(w, h, [&]<int NW>() {
      Game<NW> g = Game<NW>::with_options(uint8_t(w), uint8_t(h), 0.5f, 0, uint16_t(4 * w * h), false);
      ReplayBoard<NW> b(uint8_t(w), uint8_t(h), uint16_t(4 * w * h));
      while (!g.is_over()) {
        // Any point or a pass: illegal attempts included.
        const unsigned p = unsigned(rng() % (w * h + 1));
        const Move m = p == w * h ? Move::pass() : Move::place(uint8_t(p % w), uint8_t(p / w));
        if (m.is_pass() && rng() % 4) continue;
        ASSERT_EQ(g.make_move(m), b.make_move(m));
        ASSERT_EQ(g.board(), b.board());
        ASSERT_EQ(g.ko_point(), b.ko_point());
        ASSERT_EQ(g.turn(), b.turn());
        ASSERT_EQ(g.is_over(), b.is_over());
      }
    });
  }
}

}  // namespace
}  // namespace vexlor::records
