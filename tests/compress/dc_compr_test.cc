// The block compressor: level chosen by storage version, the measured ratio,
// independence of blocks after reset, and the guard for a failed stream.
#include "compress/dc_compr.h"

#include <gtest/gtest.h>

#include "block_gen.h"
#include "runcontrol/run_globals.h"

namespace dztest {
namespace {

class DCComprTest : public ::testing::Test {
 protected:
  void TearDown() override { myGlobals.storagever = saved_; }
  const unsigned saved_ = myGlobals.storagever;
};

// Random bytes are stored: header, stored block (5 bytes of framing), sync
// marker (5 bytes); the direct mode adds the empty fixed block it had opened.
TEST_F(DCComprTest, StorageVersionSelectsMode) {
  Bytes block = randomBytes(8192, 51);
  const struct {
    unsigned storagever;
    double bytes;
  } cases[] = {{1200, 8205}, {1201, 8205}, {1202, 8204}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.storagever);
    myGlobals.storagever = c.storagever;
    DCCompr compr;
    EXPECT_EQ(compr.ratio, 1.0);
    compr.processBlock(block.data(), block.size());
    EXPECT_DOUBLE_EQ(compr.ratio, c.bytes / 8192.0);
  }
}

TEST_F(DCComprTest, OneRepeatedValueCompressesToAlmostNothing) {
  Bytes block(8192, 0xA7);
  for (unsigned storagever : {1201u, 1202u}) {
    SCOPED_TRACE(storagever);
    myGlobals.storagever = storagever;
    DCCompr compr;
    compr.processBlock(block.data(), block.size());
    EXPECT_GT(compr.ratio, 0.0);
    EXPECT_LT(compr.ratio, 0.01);
  }
}

// Without reset the second block would continue the stream: no header, and
// matches against the first block. With reset both measure the same.
TEST_F(DCComprTest, ResetMakesBlocksIndependent) {
  Bytes block = textLike(8192, 52);
  for (unsigned storagever : {1201u, 1202u}) {
    SCOPED_TRACE(storagever);
    myGlobals.storagever = storagever;
    DCCompr compr;
    compr.processBlock(block.data(), block.size());
    const double first = compr.ratio;
    EXPECT_GT(first, 0.3);
    EXPECT_LT(first, 0.9);
    EXPECT_EQ(compr.reset(), Z_OK);
    EXPECT_EQ(compr.ratio, first);  // reset leaves the last ratio alone

    compr.processBlock(block.data(), block.size());
    EXPECT_EQ(compr.ratio, first);

    compr.processBlock(block.data(), block.size());  // no reset before it
    EXPECT_LT(compr.ratio, first);
  }
}

// A stream whose initialisation failed has no state; measuring must not
// touch it and the ratio stays -1.0.
TEST_F(DCComprTest, FailedStreamKeepsRatioUnmeasured) {
  DCCompr compr;
  z_deflateEnd(&compr.stream);  // the state a failed initialisation leaves
  compr.ratio = -1.0;
  Bytes block = textLike(8192, 53);
  compr.processBlock(block.data(), block.size());
  EXPECT_EQ(compr.ratio, -1.0);
  EXPECT_EQ(compr.reset(), Z_STREAM_ERROR);
}

}  // namespace
}  // namespace dztest
