// What the deflate variant writes, pinned to the byte or to the symbol: the
// framing, the block layouts of both modes, and the match coder's choices.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "block_gen.h"
#include "deflate_tokens.h"
#include "stitch_stream.h"

namespace dztest {
namespace {

constexpr int kBuffered = Z_STITCH_BUFFERED_LEVEL;
constexpr int kDirect = Z_STITCH_DIRECT_LEVEL;

std::string hex(const std::vector<unsigned char>& b) {
  static const char* digits = "0123456789ABCDEF";
  std::string s;
  for (unsigned char c : b) {
    if (!s.empty()) s += ' ';
    s += digits[c >> 4];
    s += digits[c & 15];
  }
  return s;
}

// The deflate data after the two header bytes, decoded by the test reader.
DecodedDeflate decodeBody(const StitchOutput& out) {
  EXPECT_GE(out.bytes.size(), 2u);
  return decodeDeflate(out.bytes.data() + 2, out.bytes.size() - 2);
}

std::string modeName(int level) { return level == kBuffered ? "buffered" : "direct"; }

TEST(StitchFramingTest, EmptySyncFlushIsHeaderAndMarker) {
  const struct {
    int level;
    const char* bytes;
  } cases[] = {
      {kBuffered, "78 01 00 00 00 FF FF"},
      // Direct mode opens a fixed-code block before it knows there is no input.
      {kDirect, "78 01 02 00 00 00 FF FF"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(modeName(c.level));
    StitchStream s(c.level);
    const StitchOutput out = s.block({});
    EXPECT_EQ(out.result, Z_OK);
    EXPECT_EQ(hex(out.bytes), c.bytes);
  }
}

TEST(StitchFramingTest, DirectRandomChunkBecomesOneStoredBlock) {
  const Bytes data = randomBytes(4096, 7);
  StitchStream s(kDirect);
  const StitchOutput out = s.block(data);
  ASSERT_EQ(out.bytes.size(), 4109u);
  // Header; stored block header (the fixed header written first is undone),
  // LEN 0x1000 and NLEN; the data; an empty fixed block and the marker.
  EXPECT_EQ(hex({out.bytes.begin(), out.bytes.begin() + 7}), "78 01 00 00 10 FF EF");
  EXPECT_TRUE(std::equal(data.begin(), data.end(), out.bytes.begin() + 7));
  EXPECT_EQ(hex({out.bytes.end() - 6, out.bytes.end()}), "02 00 00 00 FF FF");
  EXPECT_EQ(out.total_in, 4096u);
  EXPECT_EQ(out.avail_in, 0u);
}

// The block sequence each mode chooses.
TEST(StitchFramingTest, BlockLayouts) {
  const struct {
    const char* name;
    int level;
    Bytes data;
    const char* blocks;
  } cases[] = {
      {"random 4096", kBuffered, randomBytes(4096, 1), "S4096 S0"},
      {"random 4096", kDirect, randomBytes(4096, 1), "S4096 F{} S0"},
      // 16,384 symbol slots: the rest of the window is left for the next call.
      {"matchless 32768", kBuffered, distinctPairs(32768), "S16384 S16384 S0"},
      {"random 32768", kDirect, randomBytes(32768, 2), "S32768 F{} S0"},
      // The next window starts a new chunk.
      {"matchless 32769", kBuffered, distinctPairs(32769), "S16384 S16384 S1 S0"},
      {"random 32769", kDirect, randomBytes(32769, 3), "S32768 F{L1} S0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + modeName(c.level));
    StitchStream s(c.level);
    const StitchOutput out = s.block(c.data);
    const DecodedDeflate d = decodeBody(out);
    EXPECT_EQ(describeBlocks(d), c.blocks);
    EXPECT_EQ(d.bytes, c.data);
  }
}

// One byte value: two literals (the first byte is never a candidate, so the
// second finds nothing), then one run at distance 1 in pieces of 258.
TEST(StitchMatchCoderTest, SingleValueChunk) {
  const Bytes data(4096, 0x5A);
  const struct {
    int level;
    const char* symbols;
  } cases[] = {
      // The last five bytes stay literals, and a match needs 8 + 3 bytes of
      // lookahead to start, so the run ends 8 bytes early.
      {kBuffered, "L2 M258@1x15 M216@1 L8"},
      {kDirect, "L2 M258@1x15 M221@1 L3"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(modeName(c.level));
    StitchStream s(c.level);
    const DecodedDeflate d = decodeBody(s.block(data));
    ASSERT_TRUE(d.ok) << d.error;
    EXPECT_EQ(describeSymbols(d), c.symbols);
    EXPECT_EQ(d.bytes, data);
  }
}

// Inputs too short to search, the first length that finds a match, and match
// remainders of 1 or 2 bytes that become literals.
TEST(StitchMatchCoderTest, ShortInputsAndRemainders) {
  const struct {
    int level;
    size_t n;
    const char* blocks;
  } cases[] = {
      {kBuffered, 1, "S1 S0"},
      {kDirect, 1, "F{L1} S0"},
      {kBuffered, 11, "S11 S0"},
      {kDirect, 11, "F{L11} S0"},
      {kBuffered, 13, "S13 S0"},
      {kDirect, 13, "F{L13} S0"},
      {kBuffered, 14, "F{L2 M4@1 L8} S0"},
      {kDirect, 14, "F{L2 M9@1 L3} S0"},
      // Run of 259: one piece of 258, the last byte joins the tail literals.
      {kBuffered, 269, "F{L2 M258@1 L9} S0"},
      {kBuffered, 270, "F{L2 M258@1 L10} S0"},
      {kBuffered, 271, "F{L2 M258@1 M3@1 L8} S0"},
      {kDirect, 264, "F{L2 M258@1 L4} S0"},
      {kDirect, 265, "F{L2 M258@1 L5} S0"},
      {kDirect, 266, "F{L2 M258@1 M3@1 L3} S0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(modeName(c.level) + " n=" + std::to_string(c.n));
    const Bytes data(c.n, 'a');
    StitchStream s(c.level);
    const DecodedDeflate d = decodeBody(s.block(data));
    EXPECT_EQ(describeBlocks(d), c.blocks);
    EXPECT_EQ(d.bytes, data);
  }
}

// A 100-byte sequence between runs of another byte, repeated d bytes later:
// matched at distance d up to 32,506 and never farther.
TEST(StitchMatchCoderTest, MatchDistanceLimit) {
  const Bytes pattern = randomBytes(100, 11);
  const struct {
    int level;
    size_t distance;
    bool matched;
  } cases[] = {
      {kBuffered, 200, true},   {kDirect, 200, true},    {kBuffered, 32506, true},
      {kDirect, 32506, true},   {kBuffered, 32507, false}, {kDirect, 32507, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(modeName(c.level) + " d=" + std::to_string(c.distance));
    Bytes data(100, 0);
    data.insert(data.end(), pattern.begin(), pattern.end());
    data.resize(100 + c.distance, 0);
    data.insert(data.end(), pattern.begin(), pattern.end());
    data.resize(data.size() + 50, 0);
    ASSERT_LE(data.size(), 32768u);  // one window

    StitchStream s(c.level);
    const DecodedDeflate d = decodeBody(s.block(data));
    ASSERT_TRUE(d.ok) << d.error;
    EXPECT_EQ(d.bytes, data);
    bool found = false;
    for (const DeflateBlock& b : d.blocks) {
      for (const DeflateToken& t : b.tokens) {
        EXPECT_LE(t.distance, 32506);
        if (t.literal < 0 && static_cast<size_t>(t.distance) == c.distance) found = true;
      }
    }
    EXPECT_EQ(found, c.matched) << describeBlocks(d);
  }
}

// Past 32,768 bytes the window starts over: the second window is coded as if
// the stream had just begun, even when its bytes repeat the first window.
TEST(StitchMatchCoderTest, WindowWrapForgetsEarlierBytes) {
  const Bytes half = textLike(32768, 5);
  Bytes data = half;
  data.insert(data.end(), half.begin(), half.end());
  for (int level : {kBuffered, kDirect}) {
    SCOPED_TRACE(modeName(level));
    StitchStream s(level);
    const DecodedDeflate d = decodeBody(s.block(data));
    ASSERT_TRUE(d.ok) << d.error;
    ASSERT_EQ(d.bytes, data);

    std::vector<DeflateToken> first, second;
    size_t pos = 0;
    for (const DeflateBlock& b : d.blocks) {
      // Apart from the sync marker, text never needs a stored block.
      ASSERT_TRUE(b.type != 0 || b.stored_len == 0) << describeBlocks(d);
      for (const DeflateToken& t : b.tokens) {
        (pos < half.size() ? first : second).push_back(t);
        pos += t.literal >= 0 ? 1 : static_cast<size_t>(t.length);
      }
    }
    ASSERT_EQ(first.size(), second.size());
    for (size_t i = 0; i < first.size(); i++) {
      ASSERT_EQ(first[i].literal, second[i].literal) << "symbol " << i;
      ASSERT_EQ(first[i].length, second[i].length) << "symbol " << i;
      ASSERT_EQ(first[i].distance, second[i].distance) << "symbol " << i;
    }
  }
}

// The hash table carries over between calls within one window: a second
// block without reset has no header and matches the first one's bytes.
TEST(StitchMatchCoderTest, HistoryCarriesOverWithoutReset) {
  const Bytes data = randomBytes(2000, 21);
  StitchStream s(kBuffered);
  const StitchOutput first = s.block(data);
  const StitchOutput again = s.sync(data);
  Bytes stream(first.bytes.begin() + 2, first.bytes.end());
  stream.insert(stream.end(), again.bytes.begin(), again.bytes.end());
  const DecodedDeflate d = decodeDeflate(stream.data(), stream.size());
  ASSERT_TRUE(d.ok) << d.error;
  ASSERT_EQ(d.bytes.size(), 2 * data.size());
  EXPECT_TRUE(std::equal(data.begin(), data.end(), d.bytes.begin() + 2000));
  EXPECT_EQ(describeBlocks(d).substr(0, 9), "S2000 S0 ");
  EXPECT_NE(describeSymbols(d).find("@2000"), std::string::npos) << describeBlocks(d);
  EXPECT_LT(again.bytes.size(), data.size() / 2);
}

}  // namespace
}  // namespace dztest
