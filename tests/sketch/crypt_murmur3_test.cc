// MurmurHash3_x64_128 against SMHasher's verification value, and the
// copy-free suffix form against hashing the concatenation.
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sketch/murmur3.h"

namespace {

void appendLittleEndian(std::vector<unsigned char>& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

TEST(MurmurHash3, SmhasherVerificationValue) {
  // Keys {}, {0}, {0,1}, ... {0..254} hashed with seed 256 - length; the
  // 256 results concatenated (little-endian) are hashed with seed 0.
  std::vector<unsigned char> key, results;
  for (int i = 0; i < 256; ++i) {
    uint64_t h[2];
    MurmurHash3_x64_128(key.data(), key.size(), 256 - i, h);
    appendLittleEndian(results, h[0]);
    appendLittleEndian(results, h[1]);
    key.push_back(static_cast<unsigned char>(i));
  }
  uint64_t h[2];
  MurmurHash3_x64_128(results.data(), results.size(), 0, h);
  EXPECT_EQ(static_cast<uint32_t>(h[0]), 0x6384BA69u);
}

TEST(MurmurHash3, KnownValueOfShortKey) {
  uint64_t h[2];
  MurmurHash3_x64_128("abc", 3, 0, h);
  EXPECT_EQ(h[0], 0xb4963f3f3fad7867ULL);
  EXPECT_EQ(h[1], 0x3ba2744126ca2d52ULL);
}

TEST(MurmurHash3, SuffixFormEqualsHashOfTheConcatenation) {
  // Covers a suffix that stays in the tail, completes a 16-byte block, and
  // spills past one (key tails 0..15, suffixes 0..16).
  std::mt19937 rng(11);
  std::vector<unsigned char> data(80);
  for (auto& b : data) b = static_cast<unsigned char>(rng());
  const unsigned char* suffix = data.data() + 60;
  for (size_t length = 0; length <= 40; ++length) {
    for (size_t suffixLength = 0; suffixLength <= 16; ++suffixLength) {
      std::vector<unsigned char> joined(data.begin(), data.begin() + length);
      joined.insert(joined.end(), suffix, suffix + suffixLength);
      uint64_t expected[2], got[2];
      MurmurHash3_x64_128(joined.data(), joined.size(), 0, expected);
      MurmurHash3_x64_128_with_suffix(data.data(), length, suffix, suffixLength, 0, got);
      ASSERT_EQ(expected[0], got[0]) << length << " + " << suffixLength;
      ASSERT_EQ(expected[1], got[1]) << length << " + " << suffixLength;
    }
  }
}

}  // namespace
