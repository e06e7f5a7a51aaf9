// The division of a source among read workers and the size text.
#include <gtest/gtest.h>

#include <cstdint>

#include "scan/pipeline.h"
#include "scan/size_text.h"

namespace {

constexpr int64_t kMiB = int64_t{1} << 20;
constexpr int64_t kSeg = 16 * kMiB;

TEST(ReadShare, WholeSegmentsPerWorkerAndTheRestToTheLast) {
  struct Case {
    int64_t devSize;
    unsigned threads;
    int worker;
    int64_t start, end;
  };
  const Case cases[] = {
      // 1 GiB, 10 workers: 6 segments each, the last one takes 160 MiB.
      {1024 * kMiB, 10, 0, 0, 96 * kMiB},
      {1024 * kMiB, 10, 8, 768 * kMiB, 864 * kMiB},
      {1024 * kMiB, 10, 9, 864 * kMiB, 1024 * kMiB},
      // 20 MiB, 10 workers: the span is 0, only the last worker reads.
      {20 * kMiB, 10, 0, 0, 0},
      {20 * kMiB, 10, 8, 0, 0},
      {20 * kMiB, 10, 9, 0, 20 * kMiB},
      // Smaller than a segment with one worker.
      {3 * 8192 + 100, 1, 0, 0, 3 * 8192 + 100},
      // Two segments and a tail, two workers.
      {2 * kSeg + 5 * 8192, 2, 0, 0, kSeg},
      {2 * kSeg + 5 * 8192, 2, 1, kSeg, 2 * kSeg + 5 * 8192},
  };
  for (const Case& c : cases) {
    ReadShare s = readShareOf(c.worker, c.devSize, kSeg, c.threads);
    EXPECT_EQ(s.start, c.start) << c.devSize << " bytes, worker " << c.worker << " of " << c.threads;
    EXPECT_EQ(s.end, c.end) << c.devSize << " bytes, worker " << c.worker << " of " << c.threads;
  }
}

TEST(SizeText, LargestUnitKeepingTheValueAtLeastOne) {
  const std::pair<uint64_t, const char*> cases[] = {
      {1023, "1023.00 Byte"},
      {1024, "1.00 KB"},
      {1536, "1.50 KB"},
      {uint64_t{20} << 20, "20.00 MB"},
      {(uint64_t{3} << 40) + (uint64_t{1} << 39), "3.50 TB"},
      {UINT64_MAX, "16.00 EB"},
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(sizeText(bytes), text) << bytes;
}

}  // namespace
