// Samples of sketch keys side by side: the union sample up to the lower
// limit, the keys both hold, and the count interval.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "sketch/key_sample.h"

namespace {

KeySample sample(std::vector<uint64_t> keys, bool exact) { return KeySample{std::move(keys), exact}; }

TEST(KeySample, PairCountsOnlyUpToTheLowerLimit) {
  // a holds every key of its source up to 50, b up to 70: above 50, b's 60
  // and 70 say nothing of what a's source holds there.
  const KeySample a = sample({10, 20, 30, 50}, false);
  const KeySample b = sample({20, 40, 50, 60, 70}, false);
  const PairCount p = countPair(a, b);
  EXPECT_EQ(p.all.entries, 5u);  // 10 20 30 40 50
  EXPECT_EQ(p.both, 2u);         // 20 50
  EXPECT_EQ(p.all.first, 10u);
  EXPECT_EQ(p.all.last, 50u);
  EXPECT_FALSE(p.all.exact);
  EXPECT_EQ(countPair(b, a).both, 2u);
}

TEST(KeySample, ExactSampleSetsNoLimit) {
  // An exact a holds all of its source: b's full sample sets the limit.
  const KeySample a = sample({10, 65, 90}, true);
  const KeySample b = sample({10, 40, 70}, false);
  const PairCount p = countPair(a, b);
  EXPECT_EQ(p.all.entries, 4u);  // 10 40 65 70
  EXPECT_EQ(p.both, 1u);
  EXPECT_FALSE(p.all.exact);

  const PairCount both = countPair(a, sample({10, 90, 100}, true));
  EXPECT_TRUE(both.all.exact);
  EXPECT_EQ(both.all.entries, 4u);
  EXPECT_EQ(both.both, 2u);
  EXPECT_DOUBLE_EQ(both.all.distinct(), 4.0);
}

TEST(KeySample, UnionEstimateIsTheSketchsOwn) {
  // Keys spanning a quarter of the key space: (n - 1) * 4.
  UnionCount u;
  u.entries = 50000;
  u.first = 0;
  u.last = uint64_t{1} << 62;
  EXPECT_DOUBLE_EQ(u.distinct(), 49999.0 * 4);
  u.last = u.first;
  EXPECT_EQ(u.distinct(), -1.0);
  u.entries = 1;
  EXPECT_EQ(u.distinct(), -1.0);
}

TEST(KeySample, UniteCutsAnInexactUnionToTheCapButKeepsAnExactOneWhole) {
  const KeySample a = sample({1, 3, 5, 7}, false);
  const KeySample b = sample({2, 3, 4, 9}, false);
  const KeySample u = uniteSamples(a, b, 3);
  EXPECT_EQ(u.keys, (std::vector<uint64_t>{1, 2, 3}));
  EXPECT_FALSE(u.exact);
  EXPECT_EQ(uniteSamples(a, b, 100).keys, (std::vector<uint64_t>{1, 2, 3, 4, 5, 7}));

  const KeySample e = uniteSamples(sample({1, 3}, true), sample({2, 3, 8}, true), 2);
  EXPECT_EQ(e.keys, (std::vector<uint64_t>{1, 2, 3, 8}));
  EXPECT_TRUE(e.exact);
  EXPECT_EQ(e.limit(), UINT64_MAX);
}

TEST(KeySample, EmptySampleIsExactAndCountsNothing) {
  const KeySample empty;
  const KeySample b = sample({5, 6}, false);
  const PairCount p = countPair(empty, b);
  EXPECT_EQ(p.all.entries, 2u);
  EXPECT_EQ(p.both, 0u);
  EXPECT_EQ(countOf(empty).entries, 0u);
  EXPECT_TRUE(countOf(empty).exact);
}

TEST(KeySample, CountIntervalIsThePoissonScoreInterval) {
  struct Case {
    uint64_t c;
    double low, high;
  } cases[] = {
      {0, 0.0, 3.8415},  // nothing seen: up to z^2
      {1, 0.1765, 5.6649},
      {100, 82.2272, 121.6143},
      {10000, 9805.915, 10197.927},
  };
  for (const Case& k : cases) {
    double low = -1, high = -1;
    countInterval95(k.c, low, high);
    EXPECT_NEAR(low, k.low, 1e-3 * (1 + k.low)) << k.c;
    EXPECT_NEAR(high, k.high, 1e-3 * (1 + k.high)) << k.c;
    EXPECT_LE(low, static_cast<double>(k.c));
    EXPECT_GE(high, static_cast<double>(k.c));
  }
}

}  // namespace
