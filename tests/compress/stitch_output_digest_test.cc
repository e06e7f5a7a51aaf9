// The variant's output over a wide spread of inputs, pinned by digests taken
// from a known-good build. Speed work on the match coder, the bit writer and
// the block writer must leave every byte and every counter unchanged; a
// mismatch names the mode and the kind of data whose output moved.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "block_gen.h"
#include "compress/z_lz4_hashes.h"
#include "stitch_stream.h"

namespace dztest {
namespace {

// FNV-1a, 64-bit: independent of the code under test.
class Digest {
 public:
  void add(const unsigned char* p, size_t n) {
    for (size_t i = 0; i < n; i++) h_ = (h_ ^ p[i]) * 0x100000001b3ull;
  }
  void add(uint64_t v) {
    unsigned char b[8];
    for (int i = 0; i < 8; i++) b[i] = static_cast<unsigned char>(v >> (8 * i));
    add(b, 8);
  }
  void add(const StitchOutput& out) {
    add(static_cast<uint64_t>(static_cast<int64_t>(out.result)));
    add(out.bytes.size());
    add(out.bytes.data(), out.bytes.size());
    add(out.avail_in);
    add(out.total_in);
    add(out.reserved);
  }
  std::string hex() const {
    char text[19];
    std::snprintf(text, sizeof(text), "%016llx", static_cast<unsigned long long>(h_));
    return text;
  }

 private:
  uint64_t h_ = 0xcbf29ce484222325ull;
};

enum Kind { kRandom, kText, kRuns, kMixed, kPairs, kSkewed, kConstant, kShortCycles };

Bytes make(Kind kind, size_t n, uint64_t seed) {
  switch (kind) {
    case kRandom: return randomBytes(n, seed);
    case kText: return textLike(n, seed);
    case kRuns: return runs(n, seed);
    case kMixed: return mixed(n, seed);
    case kPairs: return distinctPairs(n);
    case kSkewed: return fibonacciHistogram(n, seed);
    case kConstant: return Bytes(n, static_cast<unsigned char>(seed));
    case kShortCycles: {
      // Periods of 1 to 40 bytes, each repeated a few times: many short
      // matches, pieces ending in 1- or 2-byte rests, chained matches.
      TestRng rng(seed);
      Bytes b;
      while (b.size() < n) {
        const unsigned period = 1 + rng.below(40);
        Bytes unit = randomBytes(period, rng.next());
        for (unsigned r = 1 + rng.below(8); r > 0; r--) b.insert(b.end(), unit.begin(), unit.end());
      }
      b.resize(n);
      return b;
    }
  }
  return {};
}

// Everything one mode writes for one kind of data: fresh blocks of many
// sizes (across the 12-byte minimum and the 32 KiB window wrap) with ample,
// tight and tiny output buffers and both selectors the buffered mode knows,
// then one stream fed several blocks without a reset (the window and the
// hash table carry over).
std::string digestOf(int level, Kind kind) {
  static const size_t kSizes[] = {1,    11,   12,   13,    64,    100,   1000,  4096,
                                  5000, 8192, 8193, 16384, 20000, 32768, 40000, 70000};
  Digest d;
  StitchStream s(level);
  uint64_t seed = 1000 * static_cast<uint64_t>(kind) + 7;
  for (size_t n : kSizes) {
    const Bytes data = make(kind, n, seed++);
    for (size_t capacity : {n + 256, n / 2 + 16, n / 8 + 9, size_t{40}}) {
      for (int selector : {0, 1}) d.add(s.block(data, capacity, selector));
    }
  }
  z_deflateReset(&s.stream());
  for (size_t n : {size_t{3000}, size_t{8192}, size_t{12000}, size_t{15000}}) {
    d.add(s.sync(make(kind, n, seed++)));
  }
  return d.hex();
}

TEST(StitchOutputDigestTest, OutputUnchanged) {
  const struct {
    int level;
    Kind kind;
    const char* name;
    const char* digest;
  } cases[] = {
      {Z_STITCH_BUFFERED_LEVEL, kRandom, "buffered random", "e1eb0b755a8d98d2"},
      {Z_STITCH_BUFFERED_LEVEL, kText, "buffered text", "32247360266ccca4"},
      {Z_STITCH_BUFFERED_LEVEL, kRuns, "buffered runs", "57819dd4c18f022e"},
      {Z_STITCH_BUFFERED_LEVEL, kMixed, "buffered mixed", "267fb08df8fc1fc6"},
      {Z_STITCH_BUFFERED_LEVEL, kPairs, "buffered distinct pairs", "2e469687a3d51390"},
      {Z_STITCH_BUFFERED_LEVEL, kSkewed, "buffered skewed", "577feccba2bd7f37"},
      {Z_STITCH_BUFFERED_LEVEL, kConstant, "buffered constant", "9ead2896aa1d6e7c"},
      {Z_STITCH_BUFFERED_LEVEL, kShortCycles, "buffered short cycles", "ac3d04615c3f633b"},
      {Z_STITCH_DIRECT_LEVEL, kRandom, "direct random", "4ea24011e955a30f"},
      {Z_STITCH_DIRECT_LEVEL, kText, "direct text", "d0597b85558e7508"},
      {Z_STITCH_DIRECT_LEVEL, kRuns, "direct runs", "b1f86d33c09ff64e"},
      {Z_STITCH_DIRECT_LEVEL, kMixed, "direct mixed", "74677f02703b1a14"},
      {Z_STITCH_DIRECT_LEVEL, kPairs, "direct distinct pairs", "2eb6650db29561a8"},
      {Z_STITCH_DIRECT_LEVEL, kSkewed, "direct skewed", "ea4f60880f5a0e8c"},
      {Z_STITCH_DIRECT_LEVEL, kConstant, "direct constant", "e64eb1020ace9659"},
      {Z_STITCH_DIRECT_LEVEL, kShortCycles, "direct short cycles", "3262d0e737f6fc70"},
  };
  // The same bytes whichever way the key slots are worked out.
  const zdeflate::HashPath automatic = zdeflate::lz4_active_hash_path();
  for (zdeflate::HashPath path : {zdeflate::HashPath::kPortable, zdeflate::HashPath::kAvx2}) {
    if (!zdeflate::lz4_select_hash_path(path)) continue;
    const char* pathName = path == zdeflate::HashPath::kPortable ? "portable slots" : "AVX2 slots";
    for (const auto& c : cases) {
      EXPECT_EQ(digestOf(c.level, c.kind), c.digest) << c.name << ", " << pathName;
    }
  }
  zdeflate::lz4_select_hash_path(automatic);
}

}  // namespace
}  // namespace dztest
