// The 95 % interval of the distinct-block estimate: exact for a sketch that
// never filled, else the estimate times 1 +- 1.96 / sqrt(K - 2) for K kept
// fingerprints. Small full sketches tell the formula apart from its near
// relatives (sqrt(K), sqrt(K - 1)), which large ones hardly do.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "runcontrol/json_report.h"
#include "sketch/dc_hash_and_ratio.h"
#include "sketch/dc_kheap.h"

namespace {

constexpr double kZ95 = 1.959963984540054;

// Puts `entries` distinct fingerprints into the sketch.
void fill(DCKHeap& sketch, int entries) {
  for (int i = 0; i < entries; ++i) {
    std::vector<unsigned char> fp(20, 0);
    fp[0] = static_cast<unsigned char>(i * 7 + 1);
    sketch.insert(new DCHashAndRatio(fp, 0.5, static_cast<uint64_t>(i) * 8192));
  }
}

TEST(UniqueInterval, SmallFullSketchUsesTheRelativeErrorOfKMinusTwo) {
  struct Case {
    int k;
    double unique;
    double low;
    double high;
  } cases[] = {
      {10, 1000.0, 1000.0 * (1 - kZ95 / std::sqrt(8.0)), 1000.0 * (1 + kZ95 / std::sqrt(8.0))},
      {6, 500.0, 500.0 * (1 - kZ95 / 2.0), 500.0 * (1 + kZ95 / 2.0)},
      // The low end is never below 0.
      {3, 300.0, 0.0, 300.0 * (1 + kZ95)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.k);
    DCKHeap sketch(static_cast<uint64_t>(c.k));
    fill(sketch, c.k);
    ASSERT_EQ(sketch.numEntries(), static_cast<size_t>(c.k));
    const std::vector<double> ci = uniqueInterval(c.unique, sketch);
    ASSERT_EQ(ci.size(), 2u);
    EXPECT_NEAR(ci[0], c.low, 1e-9 * c.unique);
    EXPECT_NEAR(ci[1], c.high, 1e-9 * c.unique);
  }
}

TEST(UniqueInterval, SketchThatNeverFilledIsExactAndTwoEntriesTellNothing) {
  DCKHeap roomy(50);
  fill(roomy, 10);
  EXPECT_EQ(uniqueInterval(10.0, roomy), (std::vector<double>{10.0, 10.0}));
  DCKHeap two(2);
  fill(two, 2);
  EXPECT_TRUE(uniqueInterval(2.0, two).empty());
}

}  // namespace
