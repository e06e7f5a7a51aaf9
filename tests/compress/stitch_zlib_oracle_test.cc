// The deflate variant against the system zlib: its output inflates back to
// the input, and its Huffman trees are bit for bit zlib's.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "block_gen.h"
#include "stitch_stream.h"
#include "zlib_oracle.h"

namespace dztest {
namespace {

struct Generator {
  const char* name;
  std::function<Bytes(size_t)> make;
};

const Generator kGenerators[] = {
    {"random", [](size_t n) { return randomBytes(n, 101); }},
    {"text", [](size_t n) { return textLike(n, 102); }},
    {"runs", [](size_t n) { return runs(n, 103); }},
    {"mixed", [](size_t n) { return mixed(n, 104); }},
    {"skewed", [](size_t n) { return fibonacciHistogram(n, 105); }},
    {"zeros", [](size_t n) { return Bytes(n, 0); }},
};

const size_t kSizes[] = {8192, 1, 12, 100, 4096, 12345, 32768, 32769, 40000};

// Every block, in both modes, after a reset and with the block compressor's
// output size: header 78 01, blocks that stock raw inflate turns back into
// the input, and the sync marker at the end.
TEST(StitchDecodabilityTest, OutputInflatesToInput) {
  for (int level : {Z_STITCH_BUFFERED_LEVEL, Z_STITCH_DIRECT_LEVEL}) {
    StitchStream s(level);
    for (const Generator& g : kGenerators) {
      for (size_t n : kSizes) {
        SCOPED_TRACE(std::string(g.name) + " n=" + std::to_string(n) + " level " +
                     std::to_string(level));
        const Bytes data = g.make(n);
        const StitchOutput out = s.block(data);
        ASSERT_EQ(out.result, Z_OK);
        ASSERT_GE(out.bytes.size(), 7u);
        EXPECT_EQ(out.bytes[0], 0x78);
        EXPECT_EQ(out.bytes[1], 0x01);
        const Bytes tail(out.bytes.end() - 4, out.bytes.end());
        EXPECT_EQ(tail, (Bytes{0x00, 0x00, 0xFF, 0xFF}));
        EXPECT_EQ(out.avail_in, 0u);
        EXPECT_EQ(out.total_in, n);

        Bytes inflated;
        ASSERT_TRUE(zoracle::rawInflate(out.bytes.data() + 2, out.bytes.size() - 2, &inflated));
        EXPECT_TRUE(inflated == data) << "inflated " << inflated.size() << " bytes";
      }
    }
  }
}

Bytes twoValues(size_t n, uint64_t seed) {
  Bytes b = randomBytes(n, seed);
  for (auto& c : b) c = (c & 1) ? 'x' : 'y';
  return b;
}

Bytes randomOver(size_t n, unsigned values, uint64_t seed) {
  TestRng rng(seed);
  Bytes b(n);
  for (auto& c : b) c = static_cast<unsigned char>(rng.below(values));
  return b;
}

// With selector 1 the buffered mode sends every byte as a literal, exactly as
// zlib level 1 with Z_HUFFMAN_ONLY does; a sync flush then ends both streams
// in the same block. Same trees, same block choice, same bits.
TEST(StitchTreesTest, HuffmanOnlyMatchesZlib) {
  const struct {
    const char* name;
    Bytes data;
  } cases[] = {
      {"text 4096", textLike(4096, 201)},
      {"text 8192", textLike(8192, 202)},
      // A chain of exactly 15 levels, and one of 18 that must be cut to 15.
      {"skewed 4096", fibonacciHistogram(4096, 203)},
      {"skewed 8192", fibonacciHistogram(8192, 204)},
      // Literals only and no distances: the forced extra codes.
      {"one value", Bytes(8192, 'q')},
      {"two values", twoValues(8192, 205)},
      {"runs", runs(8192, 208)},
      {"mixed 8192", mixed(8192, 206)},
      // Incompressible: zlib picks a stored block.
      {"random 8192", randomBytes(8192, 207)},
      // Around the point where a dynamic block stops beating a stored one.
      {"random over 220 values", randomOver(8192, 220, 209)},
      {"random over 235 values", randomOver(8192, 235, 210)},
      {"random over 245 values", randomOver(8192, 245, 211)},
      {"random over 250 values", randomOver(8192, 250, 212)},
      {"short", Bytes{'a', 'b', 'c'}},
  };
  StitchStream s(Z_STITCH_BUFFERED_LEVEL);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const StitchOutput ours = s.block(c.data, 0, 1);
    ASSERT_EQ(ours.result, Z_OK);
    const Bytes theirs = zoracle::huffmanOnlySync(c.data.data(), c.data.size());
    EXPECT_EQ(ours.bytes.size(), theirs.size());
    EXPECT_TRUE(ours.bytes == theirs);
  }
}

}  // namespace
}  // namespace dztest
