// SHA-1 on both compression paths: the FIPS 180 vectors, and agreement of the
// two paths (and of the copy-free suffix form) on many random inputs.
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sketch/sha1.h"

namespace {

// Restores the automatic choice after a test forced a path.
class Sha1PathTest : public ::testing::TestWithParam<Sha1Path> {
 protected:
  void SetUp() override {
    if (!sha1_path_available(GetParam())) GTEST_SKIP() << "this CPU lacks the path";
    ASSERT_TRUE(sha1_select_path(GetParam()));
  }
  void TearDown() override {
    sha1_select_path(sha1_path_available(Sha1Path::kShaExtensions) ? Sha1Path::kShaExtensions
                                                                   : Sha1Path::kPortable);
  }
};

struct Vector {
  std::string message;
  uint32_t words[5];
};

const unsigned char* bytes(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

TEST_P(Sha1PathTest, FipsVectors) {
  const Vector vectors[] = {
      {"abc", {0xa9993e36, 0x4706816a, 0xba3e2571, 0x7850c26c, 0x9cd0d89d}},
      {"", {0xda39a3ee, 0x5e6b4b0d, 0x3255bfef, 0x95601890, 0xafd80709}},
      // 448 bits: the length no longer fits after the 0x80, so padding takes a second block.
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       {0x84983e44, 0x1c3bd26e, 0xbaae4aa1, 0xf95129e5, 0xe54670f1}},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopq"
       "rsmnopqrstnopqrstu",
       {0xa49b2446, 0xa02c645b, 0xf419f995, 0xb6709125, 0x3a04a259}},
      {std::string(1000000, 'a'), {0x34aa973c, 0xd4c4daa4, 0xf61eeb2b, 0xdbad2731, 0x6534016f}},
  };
  for (const Vector& v : vectors) {
    SCOPED_TRACE("message length " + std::to_string(v.message.size()));
    uint32_t h[5];
    sha1_hash(bytes(v.message), v.message.size(), h);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(h[i], v.words[i]) << "word " << i;
  }
}

TEST_P(Sha1PathTest, CompressOneBlockIsTheCoreOfTheHash) {
  // "abc" padded by hand: the single block whose compression is the digest.
  unsigned char block[64] = {'a', 'b', 'c', 0x80};
  block[63] = 24;  // bit length
  uint32_t state[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
  sha1_compress(state, block);
  const uint32_t expected[5] = {0xa9993e36, 0x4706816a, 0xba3e2571, 0x7850c26c, 0x9cd0d89d};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(state[i], expected[i]);
}

TEST_P(Sha1PathTest, SuffixPairAndQuadFormsEqualHashesOfTheConcatenation) {
  // Message tails of 50..64 bytes put the suffix, the 0x80 and the length on
  // either side of a block boundary; suffixes reach the 64-byte limit.
  std::mt19937 rng(7);
  std::vector<unsigned char> data(64 * 3 + 64);
  for (auto& b : data) b = static_cast<unsigned char>(rng());
  for (size_t length : {0, 1, 50, 53, 54, 55, 56, 63, 64, 65, 119, 128, 183}) {
    for (size_t suffixLength : {0, 1, 2, 8, 9, 63, 64}) {
      SCOPED_TRACE(std::to_string(length) + " + " + std::to_string(suffixLength));
      const unsigned char* suffix = data.data() + 190;
      std::vector<unsigned char> joined(data.begin(), data.begin() + length);
      joined.insert(joined.end(), suffix, suffix + suffixLength);
      uint32_t expected[5], got[5];
      sha1_hash(joined.data(), joined.size(), expected);
      sha1_hash_with_suffix(data.data(), length, suffix, suffixLength, got);
      EXPECT_EQ(0, std::memcmp(expected, got, sizeof got));

      // The paired form, with the other message shifted by one byte.
      std::vector<unsigned char> joinedB(data.begin() + 1, data.begin() + 1 + length);
      joinedB.insert(joinedB.end(), suffix, suffix + suffixLength);
      uint32_t expectedB[5], pairA[5], pairB[5];
      sha1_hash(joinedB.data(), joinedB.size(), expectedB);
      sha1_hash_pair_with_suffix(data.data(), data.data() + 1, length, suffix, suffixLength, pairA,
                                 pairB);
      EXPECT_EQ(0, std::memcmp(expected, pairA, sizeof pairA));
      EXPECT_EQ(0, std::memcmp(expectedB, pairB, sizeof pairB));

      // The form of four, with the messages shifted by 0 to 3 bytes: each
      // lane is its own message.
      const unsigned char* const messages[4] = {data.data(), data.data() + 1, data.data() + 2,
                                                data.data() + 3};
      uint32_t quad[4][5];
      sha1_hash_quad_with_suffix(messages, length, suffix, suffixLength, quad);
      for (int lane = 0; lane < 4; ++lane) {
        uint32_t single[5];
        sha1_hash_with_suffix(messages[lane], length, suffix, suffixLength, single);
        EXPECT_EQ(0, std::memcmp(single, quad[lane], sizeof single)) << "lane " << lane;
      }
      EXPECT_EQ(0, std::memcmp(expected, quad[0], sizeof expected));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(BothPaths, Sha1PathTest,
                         ::testing::Values(Sha1Path::kPortable, Sha1Path::kShaExtensions),
                         [](const ::testing::TestParamInfo<Sha1Path>& info) {
                           return info.param == Sha1Path::kPortable ? "Portable" : "ShaExtensions";
                         });

TEST(Sha1Paths, AgreeOnRandomInputsOfManyLengthsAndAlignments) {
  if (!sha1_path_available(Sha1Path::kShaExtensions)) GTEST_SKIP() << "only one path on this CPU";
  std::mt19937 rng(2024);
  std::vector<unsigned char> data(100003 + 3);
  for (auto& b : data) b = static_cast<unsigned char>(rng());

  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 300; ++n) lengths.push_back(n);
  for (size_t n : {4095, 4096, 4097, 8192, 65536, 100003}) lengths.push_back(n);

  for (size_t length : lengths) {
    // Odd start offsets make every block load unaligned.
    const unsigned char* p = data.data() + length % 4;
    uint32_t portable[5], extensions[5];
    ASSERT_TRUE(sha1_select_path(Sha1Path::kPortable));
    sha1_hash(p, length, portable);
    ASSERT_TRUE(sha1_select_path(Sha1Path::kShaExtensions));
    sha1_hash(p, length, extensions);
    ASSERT_EQ(0, std::memcmp(portable, extensions, sizeof portable)) << "length " << length;
  }
  EXPECT_EQ(sha1_active_path(), Sha1Path::kShaExtensions);
}

TEST(Sha1Paths, AutomaticChoiceIsTheFastestAvailable) {
  const Sha1Path expected = sha1_path_available(Sha1Path::kShaExtensions) ? Sha1Path::kShaExtensions
                                                                         : Sha1Path::kPortable;
  EXPECT_EQ(sha1_active_path(), expected);
}

}  // namespace
