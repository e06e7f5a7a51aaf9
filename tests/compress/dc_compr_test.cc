// The block compressor: level chosen by storage version, the measured ratio,
// independence of blocks after reset, and the guard for a failed stream.
#include "compress/dc_compr.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>

#include "block_gen.h"
#include "deflate_tokens.h"
#include "base/run_globals.h"
#include "stitch_stream.h"

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
    DCCompr compr(DCCompr::levelFor(myGlobals.storagever));
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
    DCCompr compr(DCCompr::levelFor(myGlobals.storagever));
    compr.processBlock(block.data(), block.size());
    EXPECT_GT(compr.ratio, 0.0);
    EXPECT_LT(compr.ratio, 0.01);
  }
}

// Triples of consecutive bytes that occur more than once.
size_t repeatedTriples(const Bytes& b) {
  std::set<uint32_t> seen;
  size_t repeats = 0;
  for (size_t i = 0; i + 3 <= b.size(); i++) {
    repeats += seen.insert(static_cast<uint32_t>(b[i] << 16 | b[i + 1] << 8 | b[i + 2])).second ? 0 : 1;
  }
  return repeats;
}

// The buffered mode builds Huffman codes for a block only when the match
// coder saved symbols: fewer symbols than bytes. Literals from 21 values
// would shrink to little over half under such codes, yet a block without
// any match is stored; a single 3-byte match (8190 symbols for 8192 bytes)
// is enough for the codes.
TEST_F(DCComprTest, HuffmanCodesOnlyWhenAMatchSavedSymbols) {
  const Bytes matchless = distinctTriples(8192, 21);
  ASSERT_EQ(repeatedTriples(matchless), 0u);
  // Three values found nowhere else, written twice 8 bytes apart.
  Bytes oneMatch = matchless;
  for (size_t at : {4096, 4104}) {
    for (size_t i = 0; i < 3; i++) oneMatch[at + i] = static_cast<unsigned char>('X' + i);
  }
  ASSERT_EQ(repeatedTriples(oneMatch), 1u);
  const struct {
    const char* name;
    const Bytes* data;
    const char* blocks;
    double bytes;  // 0: a dynamic block, well below the stored size
  } cases[] = {
      // Header, stored block (5 bytes of framing), sync marker (5 bytes).
      {"no match", &matchless, "S8192 S0", 8204},
      {"one 3-byte match", &oneMatch, "D{L4104 M3@8 L4085} S0", 0},
  };
  myGlobals.storagever = 1202;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StitchStream s(Z_STITCH_BUFFERED_LEVEL);
    const StitchOutput out = s.block(*c.data);
    const DecodedDeflate d = decodeDeflate(out.bytes.data() + 2, out.bytes.size() - 2);
    EXPECT_EQ(describeBlocks(d), c.blocks);
    EXPECT_EQ(d.bytes, *c.data);

    DCCompr compr(DCCompr::levelFor(myGlobals.storagever));
    Bytes block = *c.data;
    compr.processBlock(block.data(), block.size());
    if (c.bytes != 0) {
      EXPECT_DOUBLE_EQ(compr.ratio, c.bytes / 8192.0);
    } else {
      // log2(21) = 4.39 bits a literal, plus the code tree.
      EXPECT_LT(compr.ratio, 0.6);
      EXPECT_EQ(compr.ratio, static_cast<double>(out.bytes.size()) / 8192.0);
    }
  }
}

// Without reset the second block would continue the stream: no header, and
// matches against the first block. With reset both measure the same.
TEST_F(DCComprTest, ResetMakesBlocksIndependent) {
  Bytes block = textLike(8192, 52);
  for (unsigned storagever : {1201u, 1202u}) {
    SCOPED_TRACE(storagever);
    myGlobals.storagever = storagever;
    DCCompr compr(DCCompr::levelFor(myGlobals.storagever));
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
  DCCompr compr(DCCompr::levelFor(myGlobals.storagever));
  z_deflateEnd(&compr.stream);  // the state a failed initialisation leaves
  compr.ratio = -1.0;
  Bytes block = textLike(8192, 53);
  compr.processBlock(block.data(), block.size());
  EXPECT_EQ(compr.ratio, -1.0);
  EXPECT_EQ(compr.reset(), Z_STREAM_ERROR);
}

}  // namespace
}  // namespace dztest
