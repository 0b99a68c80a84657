// The search's random draws: the same bits as search_reference.Random in
// Python (values printed by it), and the distributions they claim.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "search/random.hpp"

namespace vexlor::search {
namespace {

TEST(SearchRandom, DrawsMatchThePythonReferenceBitForBit) {
  Random plain(0, 0);  // splitmix64 from state 0: its published first outputs
  EXPECT_EQ(plain.next(), 0xe220a8397b1dcdafULL);
  EXPECT_EQ(plain.next(), 0x6e789e6aa1b965f4ULL);
  EXPECT_EQ(plain.next(), 0x06c45d188009454fULL);
  Random r(42, 3);
  EXPECT_EQ(r.uniform(), 0.305360920918868);
  EXPECT_EQ(r.uniform_open(), 0.5602844036358703);
  EXPECT_EQ(r.gumbel(), 1.1328464983507058);
  EXPECT_EQ(r.normal(), 0.8459031195730851);
  Random g(7, 1);
  EXPECT_EQ(g.gamma(0.3), 0.00718196019648614);
  EXPECT_EQ(g.gamma(2.5), 1.1787312103807626);
  EXPECT_EQ(g.gamma(0.03), 1.1548231799918082e-37);
  Random d(9, 0);
  std::vector<double> eta(5);
  d.dirichlet(0.03, eta.data(), eta.size());
  EXPECT_EQ(eta, (std::vector<double>{0.0001621166325721926, 0.990597184849405, 4.4887812615334633e-23,
                                      0.009239018503608792, 1.6800144140867925e-06}));
}

TEST(SearchRandom, DistributionsHaveTheirMoments) {
  constexpr int n = 200000;
  Random r(1234, 0);
  for (double alpha : {0.03, 0.3, 1.0, 2.5}) {
    double sum = 0, sq = 0;
    for (int i = 0; i < n; ++i) {
      const double x = r.gamma(alpha);
      ASSERT_GE(x, 0.0);
      sum += x;
      sq += x * x;
    }
    const double mean = sum / n, var = sq / n - mean * mean;
    EXPECT_NEAR(mean, alpha, 5 * std::sqrt(alpha / n)) << "gamma(" << alpha << ") mean";
    EXPECT_NEAR(var, alpha, 0.1 * alpha + 0.01) << "gamma(" << alpha << ") variance";
  }
  double gumbel = 0, normal = 0, normal_sq = 0, lo = 1, hi = 0;
  for (int i = 0; i < n; ++i) {
    gumbel += r.gumbel();
    const double z = r.normal();
    normal += z;
    normal_sq += z * z;
    const double u = r.uniform_open();
    lo = std::min(lo, u);
    hi = std::max(hi, u);
  }
  EXPECT_NEAR(gumbel / n, 0.5772156649, 0.01);  // the Euler-Mascheroni constant
  EXPECT_NEAR(normal / n, 0.0, 0.01);
  EXPECT_NEAR(normal_sq / n, 1.0, 0.02);
  EXPECT_GT(lo, 0.0);
  EXPECT_LT(hi, 1.0);
  EXPECT_LT(lo, 1e-4);
  EXPECT_GT(hi, 1 - 1e-4);
}

TEST(SearchRandom, StreamsOfOneSeedDiffer) {
  Random a(5, 0), b(5, 1), c(6, 0);
  const uint64_t x = a.next();
  EXPECT_NE(x, b.next());
  EXPECT_NE(x, c.next());
}

}  // namespace
}  // namespace vexlor::search
