// Sketch entries: hex text in both directions, the text constructor that the
// file reader uses, the saturating counter, the key and the ordering.
#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "base/run_globals.h"
#include "sketch/dc_hash_and_ratio.h"
#include "sketch/dc_kheap.h"

namespace {

class EntryTest : public ::testing::Test {
 protected:
  void TearDown() override { myGlobals.hashLength = savedLength_; }
  int savedLength_ = myGlobals.hashLength;
};

std::vector<unsigned char> bytes(std::initializer_list<int> v, size_t len = 20) {
  std::vector<unsigned char> out(len, 0);
  size_t i = 0;
  for (int b : v) out[i++] = static_cast<unsigned char>(b);
  return out;
}

std::string hexOf(const std::vector<unsigned char>& b) {
  DCKHeap sketch(1);
  std::ostringstream os;
  sketch.printHash(os, b);
  return os.str();
}

TEST_F(EntryTest, HexTextRoundTripsForBothFingerprintLengths) {
  std::mt19937 rng(7);
  for (int len : {20, 16}) {
    myGlobals.hashLength = len;
    for (int round = 0; round < 50; ++round) {
      std::vector<unsigned char> b(len);
      for (auto& x : b) x = static_cast<unsigned char>(rng());
      std::string text = hexOf(b);
      ASSERT_EQ(text.size(), 2u * len);
      ASSERT_EQ(text.find_first_not_of("0123456789abcdef"), std::string::npos) << text;
      DCHashAndRatio e(std::vector<unsigned char>{}, -1.0, 0);
      ASSERT_TRUE(e.stringToByteArray(text));
      ASSERT_EQ(e.hash, b);
    }
  }
}

TEST_F(EntryTest, HexTextLayout) {
  EXPECT_EQ(hexOf(bytes({0x00, 0x0a, 0xff, 0x10})), "000aff10" + std::string(32, '0'));
  struct Case {
    const char* name;
    std::string text;
    bool ok;
    std::vector<unsigned char> want;
  };
  const std::string zeros(34, '0');
  const Case cases[] = {
      {"upper case", "000AFF" + zeros, true, bytes({0x00, 0x0a, 0xff})},
      {"mixed case", "aBcD" + std::string(36, '0'), true, bytes({0xab, 0xcd})},
      // A bad pair leaves its byte zero; the others are still read.
      {"bad low nibble", "1g22" + std::string(36, '0'), false, bytes({0x00, 0x22})},
      {"bad high nibble", "ff:f" + std::string(36, '0'), false, bytes({0xff, 0x00})},
      {"space inside", "11 12233" + std::string(32, '0'), false, bytes({0x11, 0x00, 0x22, 0x33})},
      // Too short: the missing pairs are bad, nothing is read past the end.
      {"short", "abcd", false, bytes({0xab, 0xcd})},
      {"empty", "", false, bytes({})},
  };
  for (const Case& c : cases) {
    DCHashAndRatio e(std::vector<unsigned char>{}, -1.0, 0);
    EXPECT_EQ(e.stringToByteArray(c.text), c.ok) << c.name;
    EXPECT_EQ(e.hash, c.want) << c.name;
  }
}

TEST_F(EntryTest, OddFingerprintLengthIsRefusedWithoutChangingBytes) {
  myGlobals.hashLength = 3;
  DCHashAndRatio e(bytes({1, 2, 3}, 3), -1.0, 0);
  EXPECT_FALSE(e.stringToByteArray("aabbcc"));
  EXPECT_EQ(e.hash, bytes({1, 2, 3}, 3));
}

TEST_F(EntryTest, ConvertCharToByteAcceptsExactlyHexDigits) {
  for (int ch = -128; ch < 128; ++ch) {
    unsigned char out = 0x55;
    const char c = static_cast<char>(ch);
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    ASSERT_EQ(DCHashAndRatio::convertCharToByte(c, out), hex) << ch;
    if (hex) {
      ASSERT_EQ(out, std::stoi(std::string(1, c), nullptr, 16)) << ch;
    }
  }
}

TEST_F(EntryTest, TextConstructorReadsFileFieldsAndFlagsBadOnes) {
  const std::string hash = "0102030405060708090a0b0c0d0e0f1011121314";
  struct Case {
    const char* name;
    std::string hash, ratio, count;
    bool valid;
    double wantRatio;
    int wantCount;
  };
  const Case cases[] = {
      {"plain", hash, "0.4375", "3", true, 0.4375, 3},
      {"unmeasured", hash, "-1", "1", true, -1.0, 1},
      {"exponent", hash, "1e-3", "255", true, 0.001, 255},
      {"carriage return after count", hash, "0.5", "7\r", true, 0.5, 7},
      // A damaged line must not end the program: the entry is flagged.
      {"ratio not a number", hash, "abc", "2", false, -1.0, 2},
      {"empty ratio", hash, "", "2", false, -1.0, 2},
      {"bad hex", "zz" + hash.substr(2), "0.5", "2", false, 0.5, 2},
      // The counter is read as atoi reads it.
      {"count not a number", hash, "0.5", "x", true, 0.5, 0},
      {"count too large for int", hash, "0.5", "99999999999999999999", true, 0.5, 2147483647},
  };
  for (const Case& c : cases) {
    DCHashAndRatio e(c.hash, c.ratio, c.count);
    EXPECT_EQ(e.valid, c.valid) << c.name;
    EXPECT_DOUBLE_EQ(e.ratio, c.wantRatio) << c.name;
    EXPECT_EQ(e.refCounter, c.wantCount) << c.name;
  }
  DCHashAndRatio e(hash, "0.5", "1");
  EXPECT_EQ(e.hash, bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20}));
}

TEST_F(EntryTest, ReferenceCounterSaturatesAt255) {
  DCHashAndRatio e(bytes({1}), -1.0, 0);
  EXPECT_EQ(e.refCounter, 1);
  for (int i = 0; i < 253; ++i) e.incrementRefCounter();
  EXPECT_EQ(e.refCounter, 254);
  e.incrementRefCounter();
  EXPECT_EQ(e.refCounter, 255);
  for (int i = 0; i < 100; ++i) e.incrementRefCounter();
  EXPECT_EQ(e.refCounter, 255);
}

TEST_F(EntryTest, ConstructorCopiesOnlyTheFingerprintLength) {
  myGlobals.hashLength = 16;
  std::vector<unsigned char> twenty(20, 0xee);
  DCHashAndRatio e(twenty, 0.25, 12345);
  EXPECT_EQ(e.hash, std::vector<unsigned char>(16, 0xee));
  EXPECT_EQ(e.position, 12345u);
  EXPECT_EQ(e.ratio, 0.25);
  // A shorter source leaves the rest zero.
  DCHashAndRatio s(bytes({9, 9}, 2), -1.0, 0);
  EXPECT_EQ(s.hash, bytes({9, 9}, 16));
}

TEST_F(EntryTest, KeyIsFirstEightBytesMostSignificantFirst) {
  EXPECT_EQ(DCHashAndRatio(bytes({1, 2, 3, 4, 5, 6, 7, 8, 9}), -1, 0).extractHashAsULong(),
            0x0102030405060708ULL);
  // High bytes must not sign-extend into the other positions.
  EXPECT_EQ(DCHashAndRatio(bytes({0xff, 0, 0, 0, 0, 0, 0, 0x80}), -1, 0).extractHashAsULong(),
            0xff00000000000080ULL);
}

TEST_F(EntryTest, ComparatorIsUnsignedLexicographicOverWholeFingerprint) {
  DCHashAndRatioComparator less;
  struct Case {
    const char* name;
    std::vector<unsigned char> a, b;
    bool aLess, bLess;
  };
  std::vector<unsigned char> tailLow = bytes({5, 5, 5, 5, 5, 5, 5, 5});
  std::vector<unsigned char> tailHigh = tailLow;
  tailHigh[19] = 1;
  const Case cases[] = {
      {"high bit is large", bytes({0x7f}), bytes({0x80}), true, false},
      {"first byte decides", bytes({1, 0xff}), bytes({2, 0x00}), true, false},
      {"equal", bytes({3, 4}), bytes({3, 4}), false, false},
      // Same key, still distinct and ordered by the remaining bytes.
      {"past the key", tailLow, tailHigh, true, false},
  };
  for (const Case& c : cases) {
    DCHashAndRatio a(c.a, -1, 0), b(c.b, -1, 0);
    EXPECT_EQ(less(&a, &b), c.aLess) << c.name;
    EXPECT_EQ(less(&b, &a), c.bLess) << c.name;
  }
}

// The comparator reads the key an entry keeps: every way of setting the
// fingerprint keeps it, so entries order by their current bytes.
TEST_F(EntryTest, OrderFollowsTheFingerprintHoweverItWasSet) {
  DCHashAndRatioComparator less;
  const std::vector<unsigned char> low = bytes({0x10, 1}), high = bytes({0x20, 1});
  DCHashAndRatio made(high, -1, 0);
  DCHashAndRatio fromText(hexOf(low), "0.5", "1");
  EXPECT_TRUE(less(&fromText, &made));

  DCHashAndRatio reused(low, -1, 0);
  reused.reuse(high, -1, 0);  // now equal to made
  EXPECT_FALSE(less(&reused, &made));
  EXPECT_FALSE(less(&made, &reused));
  EXPECT_EQ(reused.key(), reused.extractHashAsULong());

  ASSERT_TRUE(made.stringToByteArray(hexOf(bytes({0x01}))));  // now the lowest
  EXPECT_TRUE(less(&made, &fromText));
  EXPECT_TRUE(less(&made, &reused));
  EXPECT_EQ(made.key(), made.extractHashAsULong());
}

}  // namespace
