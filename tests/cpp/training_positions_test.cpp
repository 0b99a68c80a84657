// Training positions from records: planes equal the game encoder's at every
// position, targets follow the record, skipped records say why, and the
// output is the same for any thread count, chunking and (seeded) symmetry.
#include "records/training_positions.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/encode.hpp"
#include "engine/symmetry.hpp"
#include "records/replay.hpp"
#include "records/sgf_parser.hpp"
#include "records_util.hpp"
#include "test_util.hpp"

namespace vexlor::records {
namespace {

constexpr size_t kPlanes = 17 * 9 * 9;

const std::vector<std::string> kRecords = {
    // A capture, a Black pass and White's answer, a handicap opening, a result each.
    "(;SZ[9]RE[B+R];B[ba];W[aa];B[ab];W[ee];B[aa];W[];B[ef];W[ff];B[fe];W[gg];B[dd];W[cf])",
    "(;SZ[9]HA[2]AB[cc][gg]RE[W+3.5];W[ee];B[ce];W[];B[ec];W[ge])",
    "(;SZ[9]RE[0];B[aa];W[ii];B[ia];W[ai])",
    "(;SZ[9]RE[?];B[aa])",          // unknown result
    "(;SZ[13]RE[B+1];B[aa])",       // another size
    "(;SZ[9]RE[B+1];B[aa];W[aa])",  // occupied point
    "(;SZ[9]RE[B+1];B[aa",          // unreadable
};

struct Written {
  std::vector<uint8_t> planes;
  std::vector<int32_t> action;
  std::vector<float> value;
  std::vector<uint8_t> has_value;
  std::vector<uint32_t> record;
  std::vector<uint8_t> transform;
};

template <class T>
std::vector<T> write_all(const TrainingPositions<2>& set, WriteOptions wo, size_t chunk, Written* targets = nullptr) {
  const size_t n = set.size();
  std::vector<T> planes(n * kPlanes);
  Written w;
  w.action.resize(n);
  w.value.resize(n);
  w.has_value.resize(n);
  w.record.resize(n);
  w.transform.resize(n);
  for (size_t first = 0; first < n; first += chunk) {
    const size_t count = std::min(chunk, n - first);
    TrainingBuffers<T> out{planes.data() + first * kPlanes, w.action.data() + first, w.value.data() + first,
                           w.has_value.data() + first,      w.record.data() + first, w.transform.data() + first};
    EXPECT_TRUE(set.write<T>(first, count, out, wo));
  }
  if (targets) *targets = std::move(w);
  return planes;
}

std::vector<std::string_view> views(const std::vector<std::string>& texts) {
  return std::vector<std::string_view>(texts.begin(), texts.end());
}

TEST(TrainingPositions, TargetsPlanesAndSkippedRecords) {
  TrainingPositions<2> set(9, 9);
  ASSERT_TRUE(set.add(views(kRecords)));
  ASSERT_EQ(set.records().size(), kRecords.size());
  const std::vector<SkipReason> why = {SkipReason::None,          SkipReason::None,      SkipReason::None,
                                       SkipReason::UnknownResult, SkipReason::WrongSize, SkipReason::IllegalMove,
                                       SkipReason::Unreadable};
  for (size_t i = 0; i < why.size(); ++i) {
    EXPECT_EQ(set.records()[i].skipped, why[i]) << i << " " << set.records()[i].message;
    EXPECT_EQ(set.records()[i].source, i);
  }
  EXPECT_NE(set.records()[5].message.find("record 5: move 2 W[aa]"), std::string::npos) << set.records()[5].message;
  EXPECT_EQ(set.size(), 12u + 5u + 4u);  // record moves; the inserted opening pass is no target

  Written w;
  const std::vector<float> planes = write_all<float>(set, WriteOptions{}, 7, &w);
  // Every position's planes equal the encoder's on the game replayed to it.
  size_t i = 0;
  for (size_t r = 0; r < 3; ++r) {
    const SgfTree t = parse_sgf(kRecords[r]);
    const GameInfo info = read_game_info(t, 0, true);
    for (size_t k = 0; k < set.records()[r].positions; ++k, ++i) {
      ReplayOptions o;
      o.move_number = k;
      const Replay<2> at = replay_record<2>(t, 0, o);
      std::vector<float> expected(kPlanes, 0.0f);
      encode_planes(at.game, expected.data());
      ASSERT_TRUE(std::equal(expected.begin(), expected.end(), planes.begin() + long(i * kPlanes))) << r << " " << k;
      o.move_number = k + 1;
      const Replay<2> after = replay_record<2>(t, 0, o);
      const Move played = after.game.history().back().move;
      EXPECT_EQ(w.action[i], played.is_pass() ? 81 : int(played.row) * 9 + played.col);
      const int black = *info.result.value_for_black();
      EXPECT_EQ(w.value[i], float(at.game.turn() == Player::Black ? black : -black));
      EXPECT_EQ(w.record[i], r);
      EXPECT_EQ(w.has_value[i], 1);
    }
  }
  // The record kept without a result: value 0, flagged.
  TrainingOptions keep;
  keep.keep_unknown_results = true;
  TrainingPositions<2> kept(9, 9, keep);
  kept.add(views({kRecords[3]}));
  Written k;
  write_all<uint8_t>(kept, WriteOptions{}, 1, &k);
  EXPECT_EQ(k.has_value, std::vector<uint8_t>{0});
  EXPECT_EQ(k.value, std::vector<float>{0.0f});
}

TEST(TrainingPositions, SameOutputForAnyThreadsChunksAndSeed) {
  std::vector<std::string> texts;
  for (int copy = 0; copy < 20; ++copy) texts.insert(texts.end(), kRecords.begin(), kRecords.end());
  Written base_targets;
  std::vector<uint8_t> base;
  for (unsigned threads : {1u, 2u, 3u}) {
    TrainingOptions to;
    to.parallel.threads = threads;
    TrainingPositions<2> set(9, 9, to);
    set.add(views(texts));
    WriteOptions wo;
    wo.random_symmetry = true;
    wo.seed = 42;
    wo.parallel.threads = threads;
    Written w;
    const std::vector<uint8_t> planes = write_all<uint8_t>(set, wo, threads == 2 ? 5 : 1000, &w);
    if (threads == 1) {
      base = planes;
      base_targets = w;
      continue;
    }
    EXPECT_EQ(planes, base) << threads;
    EXPECT_EQ(w.action, base_targets.action);
    EXPECT_EQ(w.transform, base_targets.transform);
  }
  // Each position is its unrotated self under the recorded transform.
  TrainingPositions<2> set(9, 9);
  set.add(views(texts));
  Written plain;
  const std::vector<uint8_t> unrotated = write_all<uint8_t>(set, WriteOptions{}, 64, &plain);
  std::vector<unsigned> used(kTransformCount, 0);
  for (size_t i = 0; i < set.size(); ++i) {
    const unsigned t = base_targets.transform[i];
    ++used[t];
    for (size_t p = 0; p < 17; ++p)
      for (unsigned q = 0; q < 81; ++q)
        ASSERT_EQ(base[i * kPlanes + p * 81 + transform_index(t, 9, 9, q)], unrotated[i * kPlanes + p * 81 + q]);
    const int32_t a = plain.action[i];
    EXPECT_EQ(base_targets.action[i], a == 81 ? 81 : int32_t(transform_index(t, 9, 9, unsigned(a))));
  }
  for (unsigned t = 0; t < kTransformCount; ++t) EXPECT_GT(used[t], 0u) << t;
}

TEST(TrainingPositions, SharedRecordsAndCancellation) {
  const auto records = testing::shared_records();
  if (records.empty()) GTEST_SKIP() << "shared records not found (set VEXLOR_SGF_DIR)";
  std::vector<std::string_view> texts;
  std::vector<std::string> names;
  for (const auto& [name, text] : records) {
    texts.push_back(text);
    names.push_back(name);
  }
  TrainingPositions<6> set(19, 19);
  ASSERT_TRUE(set.add(texts, names));
  size_t moves = 0;
  for (const RecordReport& r : set.records()) {
    EXPECT_EQ(r.skipped, SkipReason::None) << r.message;
    moves += r.positions;
  }
  EXPECT_EQ(set.size(), moves);
  EXPECT_EQ(moves, 12774u);
  // A progress callback that says stop leaves nothing behind.
  TrainingOptions to;
  to.parallel.threads = 2;
  to.parallel.progress_seconds = 0;
  TrainingPositions<6> cancelled(19, 19, to);
  size_t calls = 0;
  EXPECT_FALSE(cancelled.add(texts, names, [&](size_t, size_t) { return ++calls > 1000; }));
  EXPECT_GE(calls, 1u);
  EXPECT_EQ(cancelled.size(), 0u);
  EXPECT_TRUE(cancelled.records().empty());
}

}  // namespace
}  // namespace vexlor::records
