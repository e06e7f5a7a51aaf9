// The deflate variant's stream entry points: parameter checks, allocation
// failures, call errors, and what happens when the caller's output is short.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "block_gen.h"
#include "stitch_stream.h"
#include "zlib_oracle.h"

namespace dztest {
namespace {

constexpr int kBuffered = Z_STITCH_BUFFERED_LEVEL;
constexpr int kDirect = Z_STITCH_DIRECT_LEVEL;

int init(z_stream* strm, int level, int method = Z_DEFLATED, int window_bits = 47,
         int mem_level = 8, int strategy = 0, const char* version = "1.2.3",
         int size = sizeof(z_stream)) {
  return z_deflateInit2_(strm, level, method, window_bits, mem_level, strategy, version, size);
}

TEST(StitchInitTest, ParameterChecks) {
  const struct {
    const char* name;
    int level, method, window_bits, mem_level, strategy;
    const char* version;
    int size;
    int expected;
  } cases[] = {
      {"buffered", 110, 8, 47, 8, 0, "1.2.3", sizeof(z_stream), Z_OK},
      {"direct", 111, 8, 47, 8, 0, "1.2.3", sizeof(z_stream), Z_OK},
      {"smallest memory level", 110, 8, 47, 1, 0, "1.2.3", sizeof(z_stream), Z_OK},
      {"other major version", 110, 8, 47, 8, 0, "2.0", sizeof(z_stream), Z_VERSION_ERROR},
      {"record size", 110, 8, 47, 8, 0, "1.2.3", sizeof(z_stream) - 8, Z_VERSION_ERROR},
      {"memory level 0", 110, 8, 47, 0, 0, "1.2.3", sizeof(z_stream), Z_STREAM_ERROR},
      {"memory level 10", 110, 8, 47, 10, 0, "1.2.3", sizeof(z_stream), Z_STREAM_ERROR},
      {"method", 110, 9, 47, 8, 0, "1.2.3", sizeof(z_stream), Z_STREAM_ERROR},
      {"window bits 7", 110, 8, 39, 8, 0, "1.2.3", sizeof(z_stream), Z_STREAM_ERROR},
      {"window bits 16", 110, 8, 48, 8, 0, "1.2.3", sizeof(z_stream), Z_STREAM_ERROR},
      {"negative level", -1, 8, 47, 8, 0, "1.2.3", sizeof(z_stream), Z_STREAM_ERROR},
      {"level 10", 10, 8, 47, 8, 0, "1.2.3", sizeof(z_stream), Z_STREAM_ERROR},
      {"level 99", 99, 8, 47, 8, 0, "1.2.3", sizeof(z_stream), Z_STREAM_ERROR},
      {"strategy 5", 110, 8, 47, 8, 5, "1.2.3", sizeof(z_stream), Z_STREAM_ERROR},
      {"negative strategy", 110, 8, 47, 8, -1, "1.2.3", sizeof(z_stream), Z_STREAM_ERROR},
      // Only the variant's two modes and its framing are built.
      {"stock level 6", 6, 8, 47, 8, 0, "1.2.3", sizeof(z_stream), Z_STREAM_ERROR},
      {"level 112", 112, 8, 47, 8, 0, "1.2.3", sizeof(z_stream), Z_STREAM_ERROR},
      {"zlib framing with checksum", 110, 8, 15, 8, 0, "1.2.3", sizeof(z_stream),
       Z_STREAM_ERROR},
      {"raw framing", 110, 8, -15, 8, 0, "1.2.3", sizeof(z_stream), Z_STREAM_ERROR},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    z_stream strm{};
    EXPECT_EQ(init(&strm, c.level, c.method, c.window_bits, c.mem_level, c.strategy, c.version,
                   c.size),
              c.expected);
    if (c.expected == Z_OK) {
      EXPECT_EQ(strm.ops, &regular_operations);
      EXPECT_EQ(z_deflateEnd(&strm), Z_OK);
    } else {
      EXPECT_EQ(strm.state, nullptr);
    }
  }
  EXPECT_EQ(init(nullptr, 110), Z_STREAM_ERROR);
}

// A smaller window is accepted, but the match finder still reaches 32 KiB
// back, so the header must announce 32 KiB for inflate to follow it.
TEST(StitchInitTest, SmallerWindowStillAnnouncesWhatIsUsed) {
  z_stream strm{};
  ASSERT_EQ(init(&strm, kBuffered, Z_DEFLATED, 40), Z_OK);
  unsigned char out[16];
  strm.next_in = nullptr;
  strm.avail_in = 0;
  strm.next_out = out;
  strm.avail_out = sizeof(out);
  ASSERT_EQ(z_deflate(&strm, Z_SYNC_FLUSH, 0), Z_OK);
  EXPECT_EQ(out[0], 0x78);
  EXPECT_EQ(out[1], 0x01);
  z_deflateEnd(&strm);
}

// Allocator that fails its n-th call and counts what is still held.
struct FailingAllocator {
  int fail_at = 0;
  int calls = 0;
  int held = 0;

  static void* alloc(void* opaque, unsigned items, unsigned size) {
    auto* a = static_cast<FailingAllocator*>(opaque);
    if (++a->calls == a->fail_at) return nullptr;
    a->held++;
    return ::operator new(static_cast<size_t>(items) * size);
  }
  static void release(void* opaque, void* p) {
    static_cast<FailingAllocator*>(opaque)->held--;
    ::operator delete(p);
  }
};

TEST(StitchInitTest, AllocationFailureFreesEverything) {
  // State, match-finder context, pending buffer.
  for (int fail_at = 1; fail_at <= 3; fail_at++) {
    SCOPED_TRACE("allocation " + std::to_string(fail_at) + " fails");
    FailingAllocator a;
    a.fail_at = fail_at;
    z_stream strm{};
    strm.zalloc = FailingAllocator::alloc;
    strm.zfree = FailingAllocator::release;
    strm.opaque = &a;
    EXPECT_EQ(init(&strm, kBuffered), Z_MEM_ERROR);
    EXPECT_EQ(strm.state, nullptr);
    EXPECT_EQ(a.held, 0);
    if (fail_at > 1) {
      EXPECT_STREQ(strm.msg, "insufficient memory");
    }
  }
  FailingAllocator none;
  z_stream strm{};
  strm.zalloc = FailingAllocator::alloc;
  strm.zfree = FailingAllocator::release;
  strm.opaque = &none;
  ASSERT_EQ(init(&strm, kDirect), Z_OK);
  EXPECT_EQ(none.calls, 3);
  EXPECT_EQ(z_deflateEnd(&strm), Z_OK);
  EXPECT_EQ(none.held, 0);
}

TEST(StitchCallTest, RefusedCalls) {
  unsigned char in[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  unsigned char out[64];
  const struct {
    const char* name;
    int flush;
    bool null_out, null_in;
    unsigned avail_out;
    int expected;
    const char* msg;
  } cases[] = {
      {"flush 5", 5, false, false, 64, Z_STREAM_ERROR, nullptr},
      {"flush -1", -1, false, false, 64, Z_STREAM_ERROR, nullptr},
      {"no output buffer", Z_SYNC_FLUSH, true, false, 64, Z_STREAM_ERROR, "stream error"},
      {"no input buffer", Z_SYNC_FLUSH, false, true, 64, Z_STREAM_ERROR, "stream error"},
      {"no output space", Z_SYNC_FLUSH, false, false, 0, Z_BUF_ERROR, "buffer error"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StitchStream s(kBuffered);
    z_stream& strm = s.stream();
    strm.next_in = c.null_in ? nullptr : in;
    strm.avail_in = sizeof(in);
    strm.next_out = c.null_out ? nullptr : out;
    strm.avail_out = c.avail_out;
    EXPECT_EQ(z_deflate(&strm, c.flush, 0), c.expected);
    if (c.msg) {
      EXPECT_STREQ(strm.msg, c.msg);
    }
    EXPECT_EQ(strm.total_out, 0u);
  }
}

// A second sync flush with nothing new to code is refused, as in zlib.
TEST(StitchCallTest, RepeatedFlushWithoutInputIsBufferError) {
  StitchStream s(kDirect);
  ASSERT_EQ(s.block(randomBytes(100, 1)).result, Z_OK);
  const StitchOutput again = s.sync({});
  EXPECT_EQ(again.result, Z_BUF_ERROR);
  EXPECT_TRUE(again.bytes.empty());
  EXPECT_STREQ(s.stream().msg, "buffer error");
}

TEST(StitchCallTest, EndReportsBusyStreams) {
  {
    StitchStream s(kBuffered);
    z_stream& strm = s.stream();
    EXPECT_EQ(z_deflateEnd(&strm), Z_OK);  // never used
    EXPECT_EQ(z_deflateEnd(&strm), Z_STREAM_ERROR);
    EXPECT_EQ(z_deflateReset(&strm), Z_STREAM_ERROR);
    EXPECT_EQ(z_deflate(&strm, Z_SYNC_FLUSH, 0), Z_STREAM_ERROR);
  }
  {
    StitchStream s(kBuffered);
    s.block(textLike(100, 1));
    EXPECT_EQ(z_deflateEnd(&s.stream()), Z_DATA_ERROR);  // sync-flushed, not finished
  }
  EXPECT_EQ(z_deflateEnd(nullptr), Z_STREAM_ERROR);
}

// When the caller's output cannot hold the block, the whole output is used
// (padded with empty fixed blocks if coding stopped early), what was
// written still inflates to a prefix of the input, and the input counters
// say how long that prefix is.
TEST(StitchCallTest, ShortOutputIsFilledAndCounted) {
  const Bytes random = randomBytes(4096, 31);
  const Bytes text = textLike(4096, 32);
  const struct {
    int level;
    const char* name;
    const Bytes* data;
    size_t capacity;
  } cases[] = {
      {kBuffered, "random", &random, 64},  {kBuffered, "random", &random, 1000},
      {kBuffered, "text", &text, 64},      {kBuffered, "text", &text, 1000},
      {kDirect, "random", &random, 64},    {kDirect, "random", &random, 1000},
      {kDirect, "text", &text, 64},        {kDirect, "text", &text, 1000},
      {kDirect, "text", &text, 101},       {kBuffered, "text", &text, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.level == kBuffered ? "buffered " : "direct ") + c.name + " into " +
                 std::to_string(c.capacity));
    StitchStream s(c.level);
    const StitchOutput out = s.block(*c.data, c.capacity);
    EXPECT_EQ(out.result, Z_OK);
    EXPECT_EQ(out.bytes.size(), c.capacity);
    EXPECT_EQ(out.total_in + out.avail_in, c.data->size());
    EXPECT_LT(out.total_in, c.data->size());
    if (c.capacity <= 2) continue;

    Bytes inflated;
    ASSERT_TRUE(zoracle::rawInflate(out.bytes.data() + 2, out.bytes.size() - 2, &inflated));
    ASSERT_LE(inflated.size(), c.data->size());
    EXPECT_TRUE(std::equal(inflated.begin(), inflated.end(), c.data->begin()));
    EXPECT_EQ(inflated.size(), out.total_in);
  }
}

// Deflate's bit order: fields least significant bit first, Huffman codes
// most significant bit first.
class BitSink {
 public:
  void bits(unsigned value, int count) {
    for (int i = 0; i < count; i++) {
      acc_ |= ((value >> i) & 1u) << n_;
      if (++n_ == 8) {
        bytes.push_back(static_cast<unsigned char>(acc_));
        acc_ = 0;
        n_ = 0;
      }
    }
  }
  void code(unsigned code, int length) {
    for (int i = length - 1; i >= 0; i--) bits(code >> i, 1);
  }
  size_t bitCount() const { return 8 * bytes.size() + static_cast<size_t>(n_); }

  Bytes bytes;

 private:
  unsigned acc_ = 0;
  int n_ = 0;
};

// Direct mode with too little output for the block: coding stops after the
// last match piece that fits, the fixed block is closed, and empty fixed
// blocks fill every byte left, so that the input left over shows as a full
// output. No sync marker follows.
TEST(StitchCallTest, ShortOutputIsPaddedWithEmptyFixedBlocks) {
  // Two literals, then pieces of 258 at distance 1.
  const Bytes data(4096, 'a');
  const struct {
    size_t capacity;
    unsigned pieces;  // that fit
  } cases[] = {{13, 4}, {14, 5}, {15, 5}, {23, 10}, {31, 15}};
  for (const auto& c : cases) {
    SCOPED_TRACE("into " + std::to_string(c.capacity));
    StitchStream s(kDirect);
    const StitchOutput out = s.block(data, c.capacity);
    EXPECT_EQ(out.result, Z_OK);
    EXPECT_EQ(out.total_in, 2 + 258 * c.pieces);

    BitSink expected;
    expected.bits(0x78, 8);
    expected.bits(0x01, 8);
    expected.bits(2, 3);  // not final, fixed codes
    for (int i = 0; i < 2; i++) expected.code(0x30 + 'a', 8);
    for (unsigned i = 0; i < c.pieces; i++) {
      expected.code(0xC5, 8);  // length 258: symbol 285
      expected.code(0, 5);     // distance 1
    }
    expected.code(0, 7);  // end of block
    ASSERT_LT(expected.bitCount(), 8 * c.capacity) << "no room left to pad";
    while (expected.bytes.size() < c.capacity) {
      expected.bits(2, 3);
      expected.code(0, 7);
    }
    expected.bytes.resize(c.capacity);
    EXPECT_EQ(out.bytes, expected.bytes);
  }
}

TEST(StitchChecksumTest, KnownValues) {
  const std::string wiki = "Wikipedia";
  const std::string digits = "123456789";
  const auto* w = reinterpret_cast<const unsigned char*>(wiki.data());
  const auto* d = reinterpret_cast<const unsigned char*>(digits.data());
  EXPECT_EQ(z_adler32(0, nullptr, 0), 1u);
  EXPECT_EQ(z_adler32(1, w, 9), 0x11E60398u);
  EXPECT_EQ(z_crc32(0, nullptr, 0), 0u);
  EXPECT_EQ(z_crc32(0, d, 9), 0xCBF43926u);
  // Longer than the interval between reductions, and split across calls.
  const Bytes big = randomBytes(100000, 41);
  const Bytes ones(70000, 0xFF);  // the largest sums
  EXPECT_EQ(z_adler32(z_adler32(1, big.data(), 60000), big.data() + 60000, 40000),
            zoracle::adler32(big.data(), big.size()));
  EXPECT_EQ(z_adler32(1, ones.data(), 70000), zoracle::adler32(ones.data(), ones.size()));
  EXPECT_EQ(z_crc32(z_crc32(0, big.data(), 7), big.data() + 7, 99993),
            zoracle::crc32(big.data(), big.size()));
}

}  // namespace
}  // namespace dztest
