// The fingerprint primitive's byte layouts, its run-setting variants
// (randomBytes, altHash) and the two-level block fingerprint. Expected bytes
// come from an independent SHA-1 and MurmurHash3, not from this code.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/run_globals.h"
#include "sketch/dc_crypt.h"
#include "sketch/sha1.h"

namespace {

// The fingerprint settings of the run these tests configure through myGlobals.
FingerprintSettings runSettings() { return fingerprintSettingsOf(myGlobals); }


using Bytes = std::vector<unsigned char>;

class FingerprintTest : public ::testing::Test {
 protected:
  void SetUp() override { Use(false, 0); }
  void TearDown() override {
    Use(false, 0);
    if (!sha1_select_path(Sha1Path::kShaExtensions)) sha1_select_path(Sha1Path::kPortable);
  }
  // Applies the settings the way the command line does.
  static void Use(bool altHash, int randomBytes) {
    myGlobals.altHash = altHash;
    myGlobals.hashLength = altHash ? 16 : 20;
    myGlobals.randomBytes = randomBytes;
    myGlobals.sha1Words = 5;
  }
  static Bytes T(const std::string& data, uint64_t count, const unsigned char* extra,
                 size_t outSize = 20) {
    Bytes out(outSize, 0);
    DCCrypt::getTrancatedSHA1Hash(reinterpret_cast<const unsigned char*>(data.data()),
                                  data.size(), out, count, extra, runSettings());
    return out;
  }
  static Bytes Block() {
    Bytes block(8192);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<unsigned char>(i * 7 + (i >> 9));
    return block;
  }
  const unsigned char extra_[2] = {0x5a, 0xc3};
  const unsigned char de_[2] = {'d', 'e'};
};

// SHA-1("abc") = a9993e36 4706816a ..., each word least significant byte first.
const Bytes kAbcSha1 = {0x36, 0x3e, 0x99, 0xa9, 0x6a, 0x81, 0x06, 0x47, 0x71, 0x25,
                        0x3e, 0xba, 0x6c, 0xc2, 0x50, 0x78, 0x9d, 0xd8, 0xd0, 0x9c};
// SHA-1("abcde") in the same layout.
const Bytes kAbcdeSha1 = {0x57, 0x6c, 0xde, 0x03, 0xbf, 0x24, 0xfe, 0x0b, 0xd7, 0xcc,
                          0x28, 0xc3, 0x6e, 0xb7, 0x46, 0xca, 0x34, 0x43, 0xaf, 0xad};
// MurmurHash3_x64_128("abc", 0) = b4963f3f3fad7867 3ba2744126ca2d52, most significant first.
const Bytes kAbcMurmur = {0xb4, 0x96, 0x3f, 0x3f, 0x3f, 0xad, 0x78, 0x67,
                          0x3b, 0xa2, 0x74, 0x41, 0x26, 0xca, 0x2d, 0x52};
// MurmurHash3_x64_128("abcde", 0) in the same layout.
const Bytes kAbcdeMurmur = {0x20, 0x36, 0xd0, 0x91, 0xf4, 0x96, 0xbb, 0xb8,
                            0xc5, 0xc7, 0xee, 0xa0, 0x4b, 0xcf, 0xec, 0x8c};

Bytes padded(Bytes b, size_t size) {
  b.resize(size, 0);
  return b;
}

TEST_F(FingerprintTest, PrimitiveLayoutsAndExtraBytes) {
  struct Case {
    const char* name;
    bool altHash;
    int randomBytes;
    Bytes expected;  // from "abc" with extra bytes "de"
  };
  const Case cases[] = {
      {"sha1", false, 0, kAbcSha1},
      {"sha1 + extra bytes", false, 1, kAbcdeSha1},
      {"murmur", true, 0, padded(kAbcMurmur, 20)},
      {"murmur + extra bytes", true, 9, padded(kAbcdeMurmur, 20)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Use(c.altHash, c.randomBytes);
    EXPECT_EQ(T("abc", 20, de_), c.expected);
  }
}

TEST_F(FingerprintTest, ExtraBytesIgnoredWhenRandomBytesIsZero) {
  const unsigned char other[2] = {0x00, 0x01};
  EXPECT_EQ(T("abc", 20, de_), kAbcSha1);
  EXPECT_EQ(T("abc", 20, other), kAbcSha1);
  EXPECT_EQ(T("abc", 20, nullptr), kAbcSha1);
}

TEST_F(FingerprintTest, CountTruncatesAndLeavesTheRestOfTheOutputAlone) {
  Bytes out(24, 0xEE);
  DCCrypt::getTrancatedSHA1Hash(reinterpret_cast<const unsigned char*>("abc"), 3, out, 8, nullptr, runSettings());
  Bytes expected(kAbcSha1.begin(), kAbcSha1.begin() + 8);
  expected.resize(24, 0xEE);
  EXPECT_EQ(out, expected);

  // A count past the digest or past the vector writes only what exists.
  Bytes wide(24, 0xEE);
  DCCrypt::getTrancatedSHA1Hash(reinterpret_cast<const unsigned char*>("abc"), 3, wide, 24, nullptr, runSettings());
  EXPECT_EQ(Bytes(wide.begin(), wide.begin() + 20), kAbcSha1);
  EXPECT_EQ(Bytes(wide.begin() + 20, wide.end()), Bytes(4, 0xEE));
  EXPECT_EQ(T("abc", 20, nullptr, 12), Bytes(kAbcSha1.begin(), kAbcSha1.begin() + 12));
}

TEST_F(FingerprintTest, DirectHashesUseTheBranchLayoutsAndNoExtraBytes) {
  Use(true, 1);  // neither setting may leak into the direct forms
  const auto* abc = reinterpret_cast<const unsigned char*>("abc");
  Bytes sha, mur;
  DCCrypt::getSHA1Hash(abc, 3, sha, runSettings());
  DCCrypt::getMurHash(abc, 3, mur);
  EXPECT_EQ(sha, kAbcSha1);
  EXPECT_EQ(mur, kAbcMurmur);
}

TEST_F(FingerprintTest, BlockFingerprintOfAKnownBlock) {
  // Standard SHA-1 digests of the block's two halves (bytes i*7 + i/512).
  const Bytes firstHalfDigest = {0xad, 0x6c, 0x19, 0x21, 0x0c, 0x1d, 0x94, 0x0c, 0x1b, 0x28,
                                 0x39, 0xcc, 0x06, 0x3f, 0x52, 0x78, 0x9a, 0x1e, 0x26, 0x49};
  const Bytes secondHalfDigest = {0x27, 0xdb, 0xf9, 0x7d, 0x11, 0x28, 0x6e, 0x13, 0xa1, 0xee,
                                  0xfe, 0xde, 0x2a, 0x08, 0xec, 0xec, 0x15, 0xb0, 0xe9, 0x56};
  const Bytes expected = {0x73, 0xcd, 0x68, 0x0f, 0xa6, 0xfa, 0x26, 0xdb, 0x16, 0x77,
                          0x26, 0x97, 0xea, 0x69, 0xc2, 0x90, 0x0c, 0x8e, 0x8a, 0xc6};
  const Bytes block = Block();
  for (Sha1Path path : {Sha1Path::kPortable, Sha1Path::kShaExtensions}) {
    if (!sha1_select_path(path)) continue;
    Bytes out(3, 0x11);  // resized to the fingerprint length
    DCCrypt::blockFingerprint(block.data(), 8192, extra_, out, runSettings());
    EXPECT_EQ(out, expected) << (path == Sha1Path::kPortable ? "portable" : "SHA extensions");
  }

  // The same result, built from the halves' standard digests: the final level
  // hashes them concatenated and keeps the primitive's byte order.
  std::string joined(firstHalfDigest.begin(), firstHalfDigest.end());
  joined.append(secondHalfDigest.begin(), secondHalfDigest.end());
  EXPECT_EQ(T(joined, 20, extra_), expected);
}

TEST_F(FingerprintTest, BlockFingerprintVariants) {
  struct Case {
    const char* name;
    bool altHash;
    int randomBytes;
    Bytes expected;
  };
  const Case cases[] = {
      {"extra bytes", false, 1,
       {0x50, 0xb1, 0xa2, 0xa0, 0x9a, 0x7c, 0x3b, 0x85, 0x11, 0x2d,
        0xfb, 0x3c, 0x55, 0x38, 0xc3, 0x76, 0xa3, 0x96, 0x11, 0x32}},
      // 16 bytes; the intermediate 20-byte halves end in four zero bytes.
      {"altHash", true, 0,
       {0xb9, 0x3e, 0xd4, 0x1c, 0x99, 0xe9, 0xe5, 0x94, 0x77, 0x64, 0x6c, 0x2b, 0x00, 0xeb, 0xa9, 0x92}},
      {"altHash with extra bytes", true, 1,
       {0x47, 0xdc, 0x61, 0xfb, 0x71, 0xa2, 0x09, 0x11, 0x22, 0xdf, 0x00, 0x28, 0x03, 0x24, 0x48, 0x95}},
  };
  const Bytes block = Block();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Use(c.altHash, c.randomBytes);
    Bytes out;
    DCCrypt::blockFingerprint(block.data(), 8192, extra_, out, runSettings());
    EXPECT_EQ(out, c.expected);
  }
}

TEST_F(FingerprintTest, ExtraBytesSeparateEqualBlocksOnlyWhenRandomBytesIsSet) {
  const Bytes block = Block();
  const unsigned char a[2] = {1, 2}, b[2] = {2, 1};
  Bytes fa, fb;
  DCCrypt::blockFingerprint(block.data(), 8192, a, fa, runSettings());
  DCCrypt::blockFingerprint(block.data(), 8192, b, fb, runSettings());
  EXPECT_EQ(fa, fb);

  Use(false, 42);
  DCCrypt::blockFingerprint(block.data(), 8192, a, fa, runSettings());
  DCCrypt::blockFingerprint(block.data(), 8192, b, fb, runSettings());
  EXPECT_NE(fa, fb);
}

// Two blocks fingerprinted together (the hash workers' way) give what each
// gives alone, on both SHA-1 paths and under every setting that changes the
// bytes: extra bytes, fewer SHA-1 words, a shorter fingerprint, altHash.
TEST_F(FingerprintTest, PairOfBlocksMatchesEachBlockAlone) {
  struct Case {
    const char* name;
    bool altHash;
    int randomBytes;
    int sha1Words;
    int hashLength;
  };
  const Case cases[] = {
      {"defaults", false, 0, 5, 20},     {"extra bytes", false, 1, 5, 20}, {"three words", false, 0, 3, 20},
      {"twelve bytes", false, 1, 5, 12}, {"altHash", true, 0, 5, 16},      {"altHash with extra bytes", true, 1, 5, 16},
  };
  const Bytes a = Block();
  Bytes b = Block();
  b[8191] ^= 1;  // differs from a in its second half only
  for (Sha1Path path : {Sha1Path::kPortable, Sha1Path::kShaExtensions}) {
    if (!sha1_select_path(path)) continue;
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (path == Sha1Path::kPortable ? ", portable" : ", SHA extensions"));
      Use(c.altHash, c.randomBytes);
      myGlobals.sha1Words = c.sha1Words;
      myGlobals.hashLength = c.hashLength;
      Bytes aloneA, aloneB, pairA = {9, 9}, pairB;
      DCCrypt::blockFingerprint(a.data(), 8192, extra_, aloneA, runSettings());
      DCCrypt::blockFingerprint(b.data(), 8192, extra_, aloneB, runSettings());
      DCCrypt::blockFingerprintPair(a.data(), b.data(), 8192, extra_, pairA, pairB, runSettings());
      EXPECT_EQ(pairA, aloneA);
      EXPECT_EQ(pairB, aloneB);
      EXPECT_NE(pairA, pairB);
      EXPECT_EQ(pairA.size(), static_cast<size_t>(c.hashLength));
    }
  }
}

TEST_F(FingerprintTest, SwappedHalvesGiveADifferentFingerprint) {
  // The halves are ordered: a block and its half-swapped twin are not duplicates.
  const Bytes block = Block();
  Bytes swapped(block.begin() + 4096, block.end());
  swapped.insert(swapped.end(), block.begin(), block.begin() + 4096);
  Bytes f1, f2;
  DCCrypt::blockFingerprint(block.data(), 8192, nullptr, f1, runSettings());
  DCCrypt::blockFingerprint(swapped.data(), 8192, nullptr, f2, runSettings());
  EXPECT_NE(f1, f2);
}

}  // namespace
