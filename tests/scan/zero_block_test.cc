#include "scan/zero_block.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// A single non-zero byte anywhere makes a block a data block: every length
// up to a few groups of words, every position (so the word loop, the group
// loop and the byte tail are each tested at their edges), unaligned starts,
// and values with only the high or only the low bit set.
TEST(ZeroBlockTest, OneNonZeroByteAnywhereMakesADataBlock) {
  for (size_t offset : {0, 1, 3}) {
    for (size_t len = 1; len <= 200; ++len) {
      std::vector<unsigned char> buf(offset + len, 0);
      const unsigned char* block = buf.data() + offset;
      EXPECT_TRUE(isZeroBlock(block, len)) << "len " << len << " offset " << offset;
      for (size_t at = 0; at < len; ++at) {
        for (unsigned char v : {0x01, 0x80}) {
          buf[offset + at] = v;
          EXPECT_FALSE(isZeroBlock(block, len)) << "len " << len << " at " << at << " offset " << offset;
          buf[offset + at] = 0;
        }
      }
    }
  }
}

TEST(ZeroBlockTest, FullBlocks) {
  std::vector<unsigned char> block(8192, 0);
  EXPECT_TRUE(isZeroBlock(block.data(), block.size()));
  // Bytes around the ends and the middle; a byte beyond the length does
  // not count.
  for (size_t at : {size_t{0}, size_t{4095}, size_t{4096}, size_t{8191}}) {
    block[at] = 0xff;
    EXPECT_FALSE(isZeroBlock(block.data(), block.size())) << at;
    block[at] = 0;
  }
  block[8191] = 7;
  EXPECT_TRUE(isZeroBlock(block.data(), 8191));
  // A run of one repeated non-zero value (every byte equal to the next).
  std::vector<unsigned char> run(8192, 0x41);
  EXPECT_FALSE(isZeroBlock(run.data(), run.size()));
}

TEST(ZeroBlockTest, EmptyBlockIsNoZeroBlock) {
  unsigned char b = 0;
  EXPECT_FALSE(isZeroBlock(&b, 0));
}

}  // namespace
