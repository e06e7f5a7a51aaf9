// Estimates from the sketch: distinct count, mean ratio, the split-adjusted
// count of older storage versions, and the overheads in blocks.
#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "base/run_globals.h"
#include "sketch/dc_hash_and_ratio.h"
#include "sketch/dc_kheap.h"

namespace {

constexpr uint64_t kTwo62 = 1ULL << 62;
constexpr uint64_t kTwo63 = 1ULL << 63;

std::vector<unsigned char> fp(uint64_t key, unsigned char tail = 0) {
  std::vector<unsigned char> b(20, 0);
  for (int i = 0; i < 8; ++i) b[i] = static_cast<unsigned char>(key >> (56 - 8 * i));
  b[19] = tail;
  return b;
}

void add(DCKHeap& s, uint64_t key, double ratio = -1.0, int count = 1, unsigned char tail = 0) {
  auto* e = new DCHashAndRatio(fp(key, tail), ratio, 0);
  e->refCounter = count;
  s.insert(e);
}

class EstimatorTest : public ::testing::Test {
 protected:
  void TearDown() override {
    myGlobals.hashSize = savedHashSize_;
    myGlobals.storagever = savedStoragever_;
  }
  // A full sketch of capacity k whose keys run from `first` to first + span.
  static void fillSpan(DCKHeap& s, uint64_t k, uint64_t first, uint64_t span, double ratio = -1.0,
                       int count = 1) {
    myGlobals.hashSize = static_cast<int>(k);
    add(s, first, ratio, count);
    for (uint64_t i = 1; i + 1 < k; ++i) add(s, first + i, ratio, count);
    add(s, first + span, ratio, count);
    ASSERT_EQ(s.numEntries(), k);
  }
  int savedHashSize_ = myGlobals.hashSize;
  unsigned savedStoragever_ = myGlobals.storagever;
};

TEST_F(EstimatorTest, TooFewEntriesCannotBeEstimated) {
  DCKHeap s(50000);
  EXPECT_EQ(s.getUniqueEstimation(), -1.0);
  EXPECT_EQ(s.getCompressionRatio(false), -1.0);
  add(s, 5, 0.5);
  EXPECT_EQ(s.getUniqueEstimation(), -1.0);
  EXPECT_EQ(s.getCompressionRatio(false), -1.0);
  EXPECT_EQ(s.getUniqueEstimationAfterSplit(100), -1.0);
}

TEST_F(EstimatorTest, UnfilledSketchCountsItsEntries) {
  DCKHeap s(50000);
  for (uint64_t k : {9ULL, 1ULL, 1ULL << 60, ~0ULL, 77ULL}) add(s, k);
  EXPECT_EQ(s.getUniqueEstimation(), 5.0);
}

TEST_F(EstimatorTest, FullSketchScalesTheKeySpan) {
  struct Case {
    uint64_t k, first, span;
    double want;
  };
  const Case cases[] = {
      {50000, 1000, kTwo62, 49999.0 * 4},
      // Spans of 2^63 and more must convert as unsigned numbers.
      {3, 0, kTwo63, 4.0},
      {2, 0, kTwo63 + kTwo62, 4.0 / 3.0},
      {2, 5, 1ULL << 44, 1048576.0},
  };
  for (const Case& c : cases) {
    DCKHeap s(c.k);
    fillSpan(s, c.k, c.first, c.span);
    EXPECT_DOUBLE_EQ(s.getUniqueEstimation(), c.want) << c.k << " " << c.span;
  }
}

TEST_F(EstimatorTest, EqualSmallestAndLargestKeysCannotBeEstimated) {
  myGlobals.hashSize = 2;
  DCKHeap s(2);
  add(s, 42, 0.5, 1, 1);
  add(s, 42, 0.5, 1, 2);  // same key, other tail
  ASSERT_EQ(s.numEntries(), 2u);
  EXPECT_EQ(s.getUniqueEstimation(), -1.0);
  myGlobals.storagever = 1201;
  EXPECT_EQ(s.getUniqueEstimationAfterSplit(10), -1.0);
}

TEST_F(EstimatorTest, CompressionRatioIsTheMeanUnlessCached) {
  DCKHeap s(10);
  add(s, 1, 0.25);
  add(s, 2, 0.5);
  add(s, 3, -1.0);  // a block that could not be read back: no ratio, not in the mean
  add(s, 4, 0.75);
  EXPECT_DOUBLE_EQ(s.getCompressionRatio(true), 0.5);
  s.setRatioAll(0.4);
  EXPECT_EQ(s.getCompressionRatio(true), 0.4);
  EXPECT_DOUBLE_EQ(s.getCompressionRatio(false), 0.5);
  s.setRatioAll(-1.0);
  EXPECT_DOUBLE_EQ(s.getCompressionRatio(true), 0.5);
  // No entry measured at all: no mean.
  DCKHeap unmeasured(10);
  add(unmeasured, 1, -1.0);
  add(unmeasured, 2, -1.0);
  EXPECT_EQ(unmeasured.getCompressionRatio(false), -1.0);
  // A cached ratio stands in even for a sketch too small to measure.
  DCKHeap empty(10);
  empty.setRatioAll(0.3);
  EXPECT_EQ(empty.getCompressionRatio(true), 0.3);
}

TEST_F(EstimatorTest, SplitAdjustmentByStorageVersion) {
  // Ten entries, never filled, so U = 10; mean ratio 0.4 gives p = 0.1.
  DCKHeap s(50000);
  const int counts[] = {1, 1, 1, 1, 2, 2, 2, 3, 3, 4};
  uint64_t key = 100;
  for (int c : counts) add(s, key++, 0.4, c);
  EXPECT_EQ(s.getUniqueEstimationAfterSplit(12345), s.getUniqueEstimation());

  myGlobals.storagever = 1201;
  EXPECT_DOUBLE_EQ(s.getUniqueEstimationAfterSplit(12345), 4 + 3 * 1.1 + 2 * 1.11 + 1 / 0.9);
  // The dedup ratios divide by x + y.
  EXPECT_DOUBLE_EQ(s.getDedupRatioAfterSplit(20, 5), (4 + 3 * 1.1 + 2 * 1.11 + 1 / 0.9) / 25);
  EXPECT_DOUBLE_EQ(s.getDedupRatio(20, 5), 10.0 / 25);

  // Counters of 4 and above, and damaged counters below 1, still fall into
  // a class: below 1 weighs as seen once.
  DCKHeap odd(50000);
  const int oddCounts[] = {0, -3, 1, 1, 2, 2, 3, 4, 9, 255};
  key = 100;
  for (int c : oddCounts) add(odd, key++, 0.4, c);
  EXPECT_DOUBLE_EQ(odd.getUniqueEstimationAfterSplit(0), 4 + 2 * 1.1 + 1 * 1.11 + 3 / 0.9);

  // All entries unmeasured: the mean is -1.0 and nothing is estimated.
  DCKHeap unmeasured(50000);
  add(unmeasured, 1);
  add(unmeasured, 2);
  EXPECT_EQ(unmeasured.getUniqueEstimationAfterSplit(0), -1.0);
}

TEST_F(EstimatorTest, DedupRatioConvertsCountersAsUnsigned) {
  DCKHeap s(50000);
  for (uint64_t k : {1, 2, 3, 4}) add(s, k);
  EXPECT_DOUBLE_EQ(s.getDedupRatio(2, 6), 0.5);
  EXPECT_DOUBLE_EQ(s.getDedupRatio(kTwo63, kTwo63), 4.0 / 18446744073709551616.0);
}

TEST_F(EstimatorTest, SizeOverheads) {
  DCKHeap s(10);
  struct Case {
    uint64_t a, b, c, dr, padding;
  };
  const Case cases[] = {
      {0, 0, 250, 2, 0},
      {0, 0, 31, 0, 0},
      {0, 0, 32768, 327, 32},
      {100, 200, 32768 - 300 + 31, 327, 32},  // all three counters add up
      {0, 0, 99, 0, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(s.getMetadataDROverhead(c.a, c.b, c.c), c.dr) << c.c;
    EXPECT_EQ(s.getPaddingOverhead(c.a, c.b, c.c), c.padding) << c.c;
  }
}

TEST_F(EstimatorTest, OverheadsFromAnUnfilledSketch) {
  DCKHeap s(50000);
  for (uint64_t k : {1, 2, 3, 4}) add(s, k, 0.5);  // U' = 4
  // T = 100000: ((12 + 1) * 50 + 100000 - 4) * 28 + 1192576 = 4010664; / 8192
  EXPECT_EQ(s.getReservedVolOverhead(0, 0, 100000), 489u);
  // (80 * 4 + 25 * 1000 + 90 * 99996) / 8192 - 101000 / 100 = 1101 - 1010
  EXPECT_EQ(s.getMetadataCROverhead(1000, 0, 100000), 91);
}

TEST_F(EstimatorTest, OverheadsStaySignedWhereTheEstimateOvershoots) {
  DCKHeap s(2);
  fillSpan(s, 2, 5, 1ULL << 44, 0.4, 4);  // U' = 2^20
  const uint64_t u = 1048576;
  // Mostly unique data: 80 * 2^20 / 8192 = 10240 is below T / 100 = 10485.
  EXPECT_EQ(s.getMetadataCROverhead(0, 0, u), -245);
  // U' far above c: 80 * U' + 90 * (1000 - U') < 0, truncated toward zero.
  EXPECT_EQ(s.getMetadataCROverhead(0, 0, 1000), -1279);
  // c - U' slightly negative: (128 * 50 - 1000) * 28 + 1192576 = 1343776
  EXPECT_EQ(s.getReservedVolOverhead(0, 0, u - 1000), 164u);
  // So negative that the whole sum is: floored at 0, not wrapped.
  EXPECT_EQ(s.getReservedVolOverhead(0, 0, 1000), 0u);

  // Older storage: both use the split-adjusted count, 2^20 / 0.9 -> 1165084.
  myGlobals.storagever = 1201;
  // ((256 + 1) * 50 + 2^21 - 1165084) * 28 + 1192576 = 27650280
  EXPECT_EQ(s.getReservedVolOverhead(0, 0, 2 * u), 3375u);
  // (80 * 1165084 + 90 * (2^21 - 1165084)) / 8192 - 2^21 / 100 = 21617 - 20971
  EXPECT_EQ(s.getMetadataCROverhead(0, 0, 2 * u), 646);
}

TEST_F(EstimatorTest, OverheadsTakeAllBlocksAsUniqueWithoutAnEstimate) {
  DCKHeap s(50000);
  add(s, 1, 0.5);  // one entry: no estimate, U' = c
  // ((12 + 1) * 50 + 0) * 28 + 1192576 = 1210776
  EXPECT_EQ(s.getReservedVolOverhead(0, 0, 100000), 147u);
  // 80 * 100000 / 8192 - 1000
  EXPECT_EQ(s.getMetadataCROverhead(0, 0, 100000), -24);

  // Two full-sketch keys one apart estimate 2^64 blocks, more than any
  // counter holds (a damaged or crafted file): the same as no estimate.
  DCKHeap beyond(2);
  fillSpan(beyond, 2, 5, 1, 0.5);
  ASSERT_GE(beyond.getUniqueEstimation(), 18446744073709551616.0);
  EXPECT_EQ(beyond.getReservedVolOverhead(0, 0, 100000), 147u);
  EXPECT_EQ(beyond.getMetadataCROverhead(0, 0, 100000), -24);
}

}  // namespace
