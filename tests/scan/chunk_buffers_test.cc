// Chunk buffers as the readers take and give them: full chunks from the
// arena and, once its slots are out, from mappings of their own; never two
// buffers overlapping, whatever the chunk size of the scan before.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "base/run_globals.h"
#include "scan/pipeline.h"

namespace {

class ChunkBuffers : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = myGlobals.readChunkBlocks; }
  void TearDown() override {
    myGlobals.readChunkBlocks = saved_;
    releaseChunkBuffers();
  }

  static size_t full() { return static_cast<size_t>(myGlobals.blockSize) * myGlobals.readChunkBlocks; }

  // Takes n buffers of `size`, each filled end to end.
  static std::vector<unsigned char*> takeFilled(size_t n, size_t size) {
    std::vector<unsigned char*> bufs;
    for (size_t i = 0; i < n; ++i) {
      unsigned char* b = takeChunkBuffer(size);
      if (b == nullptr) break;
      std::memset(b, 0x5A, size);
      bufs.push_back(b);
    }
    return bufs;
  }

  // Buffers with their sizes.
  using Spans = std::vector<std::pair<unsigned char*, size_t>>;

  static Spans spansOf(const std::vector<unsigned char*>& bufs, size_t size) {
    Spans spans;
    for (unsigned char* b : bufs) spans.emplace_back(b, size);
    return spans;
  }

  static void expectDisjoint(Spans spans) {
    std::sort(spans.begin(), spans.end());
    for (size_t i = 1; i < spans.size(); ++i) {
      EXPECT_GE(spans[i].first, spans[i - 1].first + spans[i - 1].second)
          << "buffers " << i - 1 << " and " << i << " overlap";
    }
  }

  int saved_ = 0;
};

TEST_F(ChunkBuffers, MoreChunksThanTheArenaHoldsAreAllDistinct) {
  // Far more than the read queue, the readers and the hash requests hold.
  const size_t n = 400;
  std::vector<unsigned char*> bufs = takeFilled(n, full());
  ASSERT_EQ(bufs.size(), n);
  // A share's last, shorter chunk comes from elsewhere.
  const size_t tailSize = full() / 2 + 8192;
  unsigned char* tail = takeChunkBuffer(tailSize);
  ASSERT_NE(tail, nullptr);
  Spans spans = spansOf(bufs, full());
  spans.emplace_back(tail, tailSize);
  expectDisjoint(spans);
  for (unsigned char* b : bufs) returnChunkBuffer(b, full());
  returnChunkBuffer(tail, tailSize);
  releaseChunkBuffers();

  // And again after the end of a scan.
  bufs = takeFilled(8, full());
  ASSERT_EQ(bufs.size(), 8u);
  expectDisjoint(spansOf(bufs, full()));
  for (unsigned char* b : bufs) returnChunkBuffer(b, full());
}

TEST_F(ChunkBuffers, ABufferKeptPastTheEndOfAScanLeavesTheNextChunkSizeAlone) {
  myGlobals.readChunkBlocks = 64;
  const size_t small = full();
  unsigned char* kept = takeChunkBuffer(small);
  ASSERT_NE(kept, nullptr);
  releaseChunkBuffers();  // a buffer is still out: its slots stay

  myGlobals.readChunkBlocks = 128;
  std::vector<unsigned char*> bufs = takeFilled(16, full());
  ASSERT_EQ(bufs.size(), 16u);
  Spans spans = spansOf(bufs, full());
  spans.emplace_back(kept, small);
  expectDisjoint(spans);
  for (unsigned char* b : bufs) returnChunkBuffer(b, full());
  myGlobals.readChunkBlocks = 64;
  returnChunkBuffer(kept, small);
}

}  // namespace
