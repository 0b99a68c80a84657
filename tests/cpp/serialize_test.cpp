// Saved game and board states: a loaded game equals its source in every field
// (superko bookkeeping and the Zobrist pre-filter included) and keeps playing
// the same; corrupt states are refused or load into sound games.
#include "engine/serialize.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "engine/encode.hpp"
#include "engine/game.hpp"
#include "test_util.hpp"

namespace vexlor {
namespace {

using testing::open_game;
using testing::P;
using testing::pass_move;
using testing::play;
using testing::with_words;

template <int NW>
Game<NW> reload(const Game<NW>& g) {
  const std::vector<uint8_t> s = GameSerializer<NW>::save(g);
  return GameSerializer<NW>::load(s.data(), s.size());
}

template <int NW>
void expect_same(const Game<NW>& a, const Game<NW>& b) {
  ASSERT_EQ(a.board(), b.board());
  EXPECT_EQ(a.turn(), b.turn());
  EXPECT_EQ(std::bit_cast<uint32_t>(a.komi()), std::bit_cast<uint32_t>(b.komi()));
  EXPECT_EQ(a.min_moves_before_pass_possible(), b.min_moves_before_pass_possible());
  EXPECT_EQ(a.max_moves(), b.max_moves());
  EXPECT_EQ(a.superko(), b.superko());
  ASSERT_EQ(a.move_count(), b.move_count());
  for (size_t i = 0; i < a.move_count(); ++i) {
    const UndoRecord<NW>& x = a.history()[i];
    const UndoRecord<NW>& y = b.history()[i];
    EXPECT_EQ(x.captured, y.captured) << "record " << i;
    EXPECT_EQ(x.move, y.move) << "record " << i;
    EXPECT_EQ(x.previous_ko_point, y.previous_ko_point) << "record " << i;
  }
  EXPECT_EQ(a.ko_point(), b.ko_point());
  EXPECT_EQ(a.consecutive_passes(), b.consecutive_passes());
  EXPECT_EQ(a.is_over(), b.is_over());
  EXPECT_EQ(a.outcome(), b.outcome());
  EXPECT_EQ(a.position_hashes().entries(), b.position_hashes().entries());
  EXPECT_EQ(a.zobrist(), b.zobrist());
  EXPECT_EQ(a.repetition().zobrist_counts().entries(), b.repetition().zobrist_counts().entries());
  EXPECT_EQ(a.legal_moves(), b.legal_moves());
  EXPECT_EQ(a.game_hash(), b.game_hash());
}

template <int NW>
bool on_board(const Game<NW>& g, std::optional<Point> p) {
  return !p || (p->col < g.width() && p->row < g.height());
}

// The invariants every engine operation relies on.
template <int NW>
void expect_sound(Game<NW>& g) {
  const Bitboard<NW>& mask = g.geometry().board_mask;
  ASSERT_EQ(g.board().black.minus(mask), Bitboard<NW>{});
  ASSERT_EQ(g.board().white.minus(mask), Bitboard<NW>{});
  ASSERT_FALSE(g.board().black.intersects(g.board().white));
  for (const UndoRecord<NW>& rec : g.history()) {
    ASSERT_EQ(rec.captured.minus(mask), Bitboard<NW>{});
    ASSERT_TRUE(rec.move.is_pass() || (rec.move.col < g.width() && rec.move.row < g.height()));
    ASSERT_TRUE(on_board(g, rec.previous_ko_point));
  }
  ASSERT_TRUE(on_board(g, g.ko_point()));
  ASSERT_EQ(g.is_over(), g.outcome().has_value());
  ASSERT_EQ(g.turn(), g.move_count() % 2 ? Player::White : Player::Black);
  // The listing and the single-move test agree on every move.
  const std::vector<Move> legal = g.legal_moves();
  for (unsigned p = 0; p <= g.area(); ++p) {
    const Move m = p == g.area() ? Move::pass() : Move::place(uint8_t(p % g.width()), uint8_t(p / g.width()));
    ASSERT_EQ(g.is_legal_move(m), std::find(legal.begin(), legal.end(), m) != legal.end()) << "point " << p;
  }
  // Keeps working: every legal move makes and unmakes cleanly, planes encode.
  const Board<NW> board = g.board();
  const auto hashes = g.position_hashes().entries();
  const uint64_t hash = g.game_hash();
  for (Move m : g.legal_moves()) {
    ASSERT_TRUE(g.make_move(m));
    ASSERT_TRUE(g.unmake_move());
    ASSERT_EQ(g.board(), board);
    ASSERT_EQ(g.position_hashes().entries(), hashes);
    ASSERT_EQ(g.game_hash(), hash);
  }
  (void)encode_game_planes(g);
  Game<NW> copy = g;
  while (copy.unmake_move()) {
  }
  EXPECT_EQ(copy.move_count(), 0u);
}

// One random step applied to both games alike: mostly moves, some take-backs
// and, when edits is set, a few hand edits.
template <int NW>
void random_step(std::mt19937_64& rng, Game<NW>& a, Game<NW>& b, bool edits) {
  const unsigned roll = unsigned(rng() % 100);
  if (roll < 20 || a.is_over()) {
    EXPECT_EQ(a.unmake_move(), b.unmake_move());
  } else if (edits && roll < 26) {
    const uint64_t col = rng() % a.width(), row = rng() % a.height();
    const unsigned k = unsigned(rng() % 3);
    // Two calls rather than one optional: GCC 12 misreads a runtime-chosen nullopt as uninitialised.
    if (k == 0) {
      a.set_piece(col, row, std::nullopt);
      b.set_piece(col, row, std::nullopt);
    } else {
      a.set_piece(col, row, k == 1 ? Player::Black : Player::White);
      b.set_piece(col, row, k == 1 ? Player::Black : Player::White);
    }
  } else {
    const std::vector<Move> moves = a.legal_moves();
    const Move m = moves[rng() % moves.size()];
    EXPECT_TRUE(a.make_move(m));
    EXPECT_TRUE(b.make_move(m));
  }
}

struct Shape {
  unsigned width, height, steps;
  bool superko;
};

class RoundTrip : public ::testing::TestWithParam<Shape> {};

TEST_P(RoundTrip, ReloadedGamesMatchAndContinueAlike) {
  const Shape s = GetParam();
  with_words(s.width, s.height, [&]<int NW>() {
    std::mt19937_64 rng(s.width * 131 + s.height);
    const int games = std::max(1, int(6 * testing::test_scale()));
    for (int n = 0; n < games; ++n) {
      const bool edits = n % 2 == 1;
      const uint16_t max_moves = uint16_t(s.width * s.height * 3);
      Game<NW> src = Game<NW>::with_options(uint8_t(s.width), uint8_t(s.height), 7.5f,
                                            uint16_t(rng() % (s.width * s.height)), max_moves, s.superko);
      Game<NW> copy = reload(src);
      for (unsigned step = 0; step < s.steps; ++step) {
        if (rng() % 8 == 0) {
          copy = reload(src);
          const std::vector<uint8_t> state = GameSerializer<NW>::save(src);
          EXPECT_EQ(GameSerializer<NW>::save(copy), state) << "saving is not canonical";
        }
        random_step(rng, src, copy, edits);
        expect_same(src, copy);
        if (::testing::Test::HasFailure()) return;
      }
    }
  });
}

INSTANTIATE_TEST_SUITE_P(Sizes, RoundTrip,
                         ::testing::Values(Shape{2, 2, 200, true}, Shape{3, 3, 300, true}, Shape{4, 4, 300, true},
                                           Shape{5, 4, 200, false}, Shape{9, 9, 250, true}, Shape{13, 13, 120, true},
                                           Shape{19, 19, 120, true}, Shape{32, 32, 60, true}),
                         [](const auto& info) {
                           return std::to_string(info.param.width) + "x" + std::to_string(info.param.height) +
                                  (info.param.superko ? "" : "_nosuperko");
                         });

TEST(SavedGame, EndStatesKoAndSpecialKomi) {
  // Ko on a 4x4 board, then both end routes, with komi values that must survive bit for bit.
  for (float komi : {7.5f, -0.0f, std::numeric_limits<float>::infinity(), std::bit_cast<float>(0x7fc12345u)}) {
    auto g = open_game<1>(4, 4, true, komi);
    ASSERT_TRUE(play(g, {P(1, 0), P(2, 0), P(0, 1), P(1, 1), P(1, 2), P(2, 2), P(3, 3), P(3, 1), P(2, 1)}));
    ASSERT_TRUE(g.ko_point().has_value());
    expect_same(g, reload(g));
    ASSERT_TRUE(play(g, {pass_move(), pass_move()}));
    ASSERT_TRUE(g.is_over());
    auto loaded = reload(g);
    expect_same(g, loaded);
    ASSERT_TRUE(loaded.unmake_move());
    EXPECT_EQ(loaded.consecutive_passes(), 1);
  }
  auto limited = open_game<1>(3, 3, true, 0.5f, 0, 0);  // max_moves 0: over after one move
  ASSERT_TRUE(limited.make_move(P(1, 1)));
  ASSERT_TRUE(limited.is_over());
  expect_same(limited, reload(limited));
}

TEST(SavedGame, HandEditedGamesKeepTheirSuperkoHistory) {
  // Edits before the first move (a set-up position) and mid-game leave hashes
  // the undo records cannot lead back to; they must survive a reload.
  auto g = open_game<1>(3, 3);
  g.set_piece(0, 0, Player::Black);
  ASSERT_TRUE(play(g, {P(1, 1), P(2, 2)}));
  g.set_piece(2, 0, Player::White);
  ASSERT_TRUE(play(g, {P(0, 2)}));
  auto loaded = reload(g);
  expect_same(g, loaded);
  while (g.unmake_move()) {
    ASSERT_TRUE(loaded.unmake_move());
    expect_same(g, loaded);
  }
}

// --- corrupt states ------------------------------------------------------------

// A 3x3 game state assembled field by field, so each case can break one field.
struct Raw {
  uint8_t kind = 'G', version = 1, width = 3, height = 3;
  uint32_t komi_bits = 0x40f00000;  // 7.5
  uint16_t min_pass = 0, max_moves = 100;
  uint8_t flags = serial::kSuperko, passes = 0;
  std::vector<uint8_t> black{0, 0}, white{0, 0};
  std::vector<uint8_t> rest{0, 0};  // no moves; no extra Zobrist keys

  std::vector<uint8_t> bytes() const {
    serial::Writer w;
    for (uint8_t b : {kind, version, width, height}) w.u8(b);
    w.u32(komi_bits);
    w.u16(min_pass);
    w.u16(max_moves);
    w.u8(flags);
    w.u8(passes);
    std::vector<uint8_t> out = w.take();
    for (const auto* part : {&black, &white, &rest}) out.insert(out.end(), part->begin(), part->end());
    return out;
  }
};

Raw with(void (*edit)(Raw&)) {
  Raw r;
  edit(r);
  return r;
}

std::vector<uint8_t> load_and_resave(const std::vector<uint8_t>& s) {
  return GameSerializer<1>::save(GameSerializer<1>::load(s.data(), s.size()));
}

TEST(CorruptState, ValidRawStatesLoad) {
  EXPECT_EQ(load_and_resave(Raw{}.bytes()), Raw{}.bytes());
  // Black at 0, White passes, Black at 2 captures a white stone at 1.
  const Raw r = with([](Raw& x) {
    x.black = {0b101, 0};
    x.rest = {3, 0, 0, 9, 2, 2, 1, 0};
  });
  EXPECT_EQ(load_and_resave(r.bytes()), r.bytes());
}

struct Bad {
  const char* what;
  void (*edit)(Raw&);
};

class CorruptStates : public ::testing::TestWithParam<Bad> {};

TEST_P(CorruptStates, AreRefused) {
  const std::vector<uint8_t> s = with(GetParam().edit).bytes();
  EXPECT_THROW(GameSerializer<1>::load(s.data(), s.size()), StateError);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, CorruptStates,
    ::testing::Values(
        Bad{"kind", [](Raw& r) { r.kind = 'B'; }}, Bad{"version", [](Raw& r) { r.version = 2; }},
        Bad{"width", [](Raw& r) { r.width = 1; }}, Bad{"height", [](Raw& r) { r.height = 33; }},
        Bad{"word_count", [](Raw& r) { r.width = r.height = 9; }}, Bad{"flags", [](Raw& r) { r.flags = 4; }},
        Bad{"hashes_without_superko", [](Raw& r) { r.flags = serial::kExplicitHashes; }},
        Bad{"passes_above_two", [](Raw& r) { r.passes = 3; }},
        Bad{"passes_without_history", [](Raw& r) { r.passes = 1; }},
        Bad{"stone_on_padding", [](Raw& r) { r.black = {0, 2}; }},
        Bad{"both_colours", [](Raw& r) { r.black = r.white = {1, 0}; }}, Bad{"truncated", [](Raw& r) { r.rest = {0}; }},
        Bad{"trailing", [](Raw& r) { r.rest = {0, 0, 0}; }}, Bad{"long_varint", [](Raw& r) { r.rest = {0x80, 0, 0}; }},
        Bad{"move_off_board", [](Raw& r) { r.rest = {1, 10, 0}; }},
        Bad{"too_many_moves", [](Raw& r) { r.max_moves = 1, r.rest = {2, 9, 9}; }},
        Bad{"unknown_outcome", [](Raw& r) { r.max_moves = 1, r.rest = {1, 9, 3, 0}; }},
        Bad{"captured_off_board", [](Raw& r) { r.rest = {1, 0, 2, 9, 0}; }},
        Bad{"captured_own_point", [](Raw& r) { r.rest = {1, 0, 2, 0, 0}; }},
        Bad{"captured_far_away", [](Raw& r) { r.rest = {1, 0, 2, 8, 0}; }},
        Bad{"captured_unsorted", [](Raw& r) { r.rest = {1, 0, 4, 3, 1, 0}; }},
        Bad{"ko_after_two_stones", [](Raw& r) { r.rest = {1, 0, 5, 1, 3, 0}; }},
        Bad{"zero_count", [](Raw& r) { r.rest = {0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0}; }},
        Bad{"keys_unsorted", [](Raw& r) { r.rest = {0, 2, 2, 0, 0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 1}; }},
        Bad{"count_beyond_the_tables",
            [](Raw& r) { r.rest = {0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0x80, 0x80, 0x80, 0x80, 0x10}; }}),
    [](const auto& info) { return std::string(info.param.what); });

TEST(CorruptState, ByteFlipsAndTruncationsAreRefusedOrSound) {
  std::mt19937_64 rng(7);
  auto g = open_game<1>(4, 4, true, 0.5f, 0, 40);
  g.set_piece(3, 3, Player::White);  // forces explicit hashes
  for (int i = 0; i < 14 && !g.is_over(); ++i) {
    const auto moves = g.legal_moves();
    ASSERT_TRUE(g.make_move(moves[rng() % moves.size()]));
  }
  const std::vector<uint8_t> state = GameSerializer<1>::save(g);
  int accepted = 0;
  for (size_t len = 0; len < state.size(); ++len)
    EXPECT_THROW(GameSerializer<1>::load(state.data(), len), StateError) << "length " << len;
  for (size_t i = 0; i < state.size(); ++i) {
    for (int bit = 0; bit < 8; ++bit) {
      std::vector<uint8_t> s = state;
      s[i] ^= uint8_t(1 << bit);
      try {
        Game<1> loaded = GameSerializer<1>::load(s.data(), s.size());
        ++accepted;
        EXPECT_EQ(GameSerializer<1>::save(loaded), s) << "byte " << i << " bit " << bit;
        expect_sound(loaded);
      } catch (const StateError&) {
      }
      if (::testing::Test::HasFailure()) return;
    }
  }
  EXPECT_GT(accepted, 0);  // stone and komi bits are free to change
}

// --- hostile states -------------------------------------------------------------

// A 3x3 superko state without moves whose stored lists are given: position
// hashes no move explains, and as many Zobrist keys for them.
std::vector<uint8_t> state_with_lists(const std::vector<uint64_t>& hashes, const std::vector<uint64_t>& keys,
                                      uint32_t count = 1) {
  Raw r;
  r.flags = serial::kSuperko | serial::kExplicitHashes;
  serial::Writer w;
  w.varint(0);  // no moves
  for (const auto* list : {&hashes, &keys}) {
    std::vector<std::pair<uint64_t, uint32_t>> entries;
    for (uint64_t k : *list) entries.emplace_back(k, count);
    std::sort(entries.begin(), entries.end());
    w.counts(entries);
  }
  r.rest = w.take();
  return r.bytes();
}

double seconds_to_load(const std::vector<uint8_t>& s) {
  double best = 1e9;
  for (int i = 0; i < 3; ++i) {
    const auto start = std::chrono::steady_clock::now();
    const Game<1> g = GameSerializer<1>::load(s.data(), s.size());
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    EXPECT_EQ(g.position_hashes().size(), 160000u);
  }
  return best;
}

// Keys k * K^-1 (K odd, the multiplier of multiplicative hashing) all land in
// slot 0 of a table hashed by K: loading them must not take quadratic time.
TEST(HostileState, KeysSharingOneSlotLoadInLinearTime) {
  uint64_t inverse = 1;  // of the golden-ratio multiplier, by Newton's iteration
  for (int i = 0; i < 6; ++i) inverse *= 2 - 0x9E3779B97F4A7C15ULL * inverse;
  std::mt19937_64 rng(42);
  std::vector<uint64_t> colliding, random, colliding_keys, random_keys;
  for (uint64_t i = 1; i <= 160000; ++i) {
    colliding.push_back(i * inverse);
    colliding_keys.push_back((i + 200000) * inverse);
    random.push_back(rng());
    random_keys.push_back(rng());
  }
  const double slow = seconds_to_load(state_with_lists(colliding, colliding_keys));
  const double fast = seconds_to_load(state_with_lists(random, random_keys));
  EXPECT_LT(slow, 10 * fast + 0.05) << "colliding " << slow << " s, random " << fast << " s";
}

// White's stone at (1,1) is taken off by hand after B (0,0), W (1,1): the
// position after White's move is recorded, and no undo record leads back to it.
// After Black passes, White at (1,1) would repeat it.
std::vector<uint8_t> edited_state() {
  auto g = open_game<1>(4, 4);
  EXPECT_TRUE(play(g, {P(0, 0), P(1, 1)}));
  g.set_piece(1, 1, std::nullopt);
  return GameSerializer<1>::save(g);
}

void expect_repeat_refused(Game<1>& g) {
  ASSERT_TRUE(g.make_move(pass_move()));
  const std::vector<Move> legal = g.legal_moves();
  EXPECT_FALSE(g.is_legal_move(P(1, 1)));
  EXPECT_EQ(std::find(legal.begin(), legal.end(), P(1, 1)), legal.end());
  EXPECT_FALSE(g.make_move(P(1, 1)));
  expect_sound(g);
}

TEST(HostileState, StoredListsCannotSwitchSuperkoOff) {
  const std::vector<uint8_t> good = edited_state();
  // The list of Zobrist keys ends the state: one entry, the key of the position
  // the edit left behind (8 key bytes, then its count).
  ASSERT_EQ(good[good.size() - 11], 1);
  Game<1> loaded = GameSerializer<1>::load(good.data(), good.size());
  expect_repeat_refused(loaded);

  std::vector<uint8_t> other_key = good;
  other_key[good.size() - 5] ^= 0x40;  // a key nothing can confirm
  Game<1> misled = GameSerializer<1>::load(other_key.data(), other_key.size());
  expect_repeat_refused(misled);

  std::vector<uint8_t> no_key(good.begin(), good.end() - 10);
  no_key.back() = 0;  // the list emptied
  EXPECT_THROW(GameSerializer<1>::load(no_key.data(), no_key.size()), StateError);

  std::vector<uint8_t> moved_stone = good;
  moved_stone[14] ^= 0b11;  // Black's stone moves from (0,0) to (1,0): the stored positions no longer follow
  try {
    Game<1> g = GameSerializer<1>::load(moved_stone.data(), moved_stone.size());
    expect_sound(g);
  } catch (const StateError&) {
  }
}

// Counts are whatever the tables hold, up to their limit, when loaded and when
// saved: a game at the limit keeps saving and loading as it is played.
TEST(HostileState, CountsAtTheLimitStaySaveable) {
  const uint64_t h = 0x1234, z = 0x5678;
  const std::vector<uint8_t> s = state_with_lists({h}, {z}, PositionCounts::kMaxCount);
  Game<1> g = GameSerializer<1>::load(s.data(), s.size());
  EXPECT_EQ(g.position_hashes().count(h), PositionCounts::kMaxCount);
  std::mt19937_64 rng(3);
  for (int step = 0; step < 40; ++step) {
    if (g.is_over() || rng() % 4 == 0) {
      ASSERT_TRUE(g.unmake_move());
    } else {
      const auto moves = g.legal_moves();
      ASSERT_TRUE(g.make_move(moves[rng() % moves.size()]));
    }
    const std::vector<uint8_t> saved = GameSerializer<1>::save(g);
    expect_same(g, GameSerializer<1>::load(saved.data(), saved.size()));
  }
}

TEST(PositionCountsTable, CountsStopAtTheLimit) {
  PositionCounts t;
  t.add(7, PositionCounts::kMaxCount - 1);
  t.increment(7);
  t.increment(7);
  t.add(7, 5);
  EXPECT_EQ(t.count(7), PositionCounts::kMaxCount);
  t.decrement(7);
  EXPECT_EQ(t.count(7), PositionCounts::kMaxCount - 1);
}

TEST(SavedBoard, RoundTripsAndRefusesCorruption) {
  Board<2> b(9, 9);
  b.set_piece(8, 8, Player::White);
  b.set_piece(0, 0, Player::Black);
  const std::vector<uint8_t> s = save_board(b);
  EXPECT_EQ(s.size(), 4u + 2 * 11);
  EXPECT_EQ(load_board<2>(s.data(), s.size()), b);
  EXPECT_THROW(load_board<1>(s.data(), s.size()), StateError);  // word count
  for (size_t len = 0; len < s.size(); ++len) EXPECT_THROW(load_board<2>(s.data(), len), StateError);
  std::vector<uint8_t> padded = s;
  padded[4 + 10] |= 0x80;  // point 87 of an 81-point board
  EXPECT_THROW(load_board<2>(padded.data(), padded.size()), StateError);
  std::vector<uint8_t> both = s;
  both[4 + 11] |= 1;  // White on Black's (0, 0)
  EXPECT_THROW(load_board<2>(both.data(), both.size()), StateError);
  const std::vector<uint8_t> game_state = GameSerializer<2>::save(open_game<2>(9, 9));
  EXPECT_THROW(load_board<2>(game_state.data(), game_state.size()), StateError);
}

}  // namespace
}  // namespace vexlor
