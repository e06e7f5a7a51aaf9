// Reading sketch entry lines back into a sketch: fresh start for a resumed
// scan, probe-and-insert for a merge, and damaged or unreadable lines
// reported.
#include <gtest/gtest.h>

#include <cstdint>
#include <ios>
#include <istream>
#include <sstream>
#include <streambuf>
#include <string>
#include <utility>
#include <vector>

#include "failing_buf.h"
#include "base/run_globals.h"
#include "sketch/dc_kheap.h"
#include "sketchfile/text_number.h"

namespace {

// 40 hex digits whose sketch key starts with the byte `lead`.
std::string hashText(int lead) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s(40, '7');
  s[0] = kDigits[(lead >> 4) & 15];
  s[1] = kDigits[lead & 15];
  return s;
}

struct Seen {
  int lead;
  double ratio;
  int counter;
};

std::vector<Seen> contents(const DCKHeap& sketch) {
  std::vector<Seen> out;
  for (const DCHashAndRatio* e : sketch.getVector()) out.push_back({e->hash[0], e->ratio, e->refCounter});
  return out;
}

void expectContents(const std::vector<Seen>& want, const DCKHeap& sketch) {
  const std::vector<Seen> got = contents(sketch);
  ASSERT_EQ(want.size(), got.size());
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(want[i].lead, got[i].lead) << i;
    EXPECT_EQ(want[i].ratio, got[i].ratio) << i;
    EXPECT_EQ(want[i].counter, got[i].counter) << i;
  }
}

class SketchEntryLoadTest : public ::testing::Test {
 protected:
  void SetUp() override { myGlobals.hashLength = 20; }
};

TEST_F(SketchEntryLoadTest, DamagedLineStopsTheReadAndIsReported) {
  const std::string h = hashText(0x50);
  const std::string good = hashText(0x10) + " 0.4375 3";
  const std::string after = hashText(0xe0) + " 0.5 1";
  struct Case {
    const char* what;
    std::string line;
  } cases[] = {
      {"empty line", ""},
      {"no spaces at all", "no-spaces-at-all"},
      {"one space: no counter", h + " 0.5"},
      {"39 digits", h.substr(1) + " 0.5 1"},
      {"41 digits", h + "0 0.5 1"},
      {"not hex", "g" + h.substr(1) + " 0.5 1"},
      {"ratio not a number", h + " abc 1"},
      {"ratio not finite", h + " nan 1"},
      {"ratio with trailing text", h + " 0.5x 1"},
      {"empty piece between spaces", h + "  0.5 1"},
      {"counter never written as 0", h + " 0.5 0"},
      {"counter above the saturation point", h + " 0.5 256"},
      {"counter with trailing text", h + " 0.5 3x"},
      {"counter beyond 64 bits", h + " 0.5 99999999999999999999"},
      {"longer than any entry line", h + " 0.5 1" + std::string(200, ' ')},
      {"binary garbage", std::string("\x00\xff\x13\x88 \x7f \xee", 9)},
  };
  for (const Case& c : cases) {
    std::istringstream in(good + "\n" + c.line + "\n" + after + "\n");
    DCKHeap sketch(100);
    EXPECT_EQ(DCKHeap::LoadResult::kDamaged, sketch.load(in, 3, true)) << c.what;
    // Nothing after the damaged line is taken for an entry.
    expectContents({{0x10, 0.4375, 3}}, sketch);
  }

  // The lines a scan writes, a carriage return before the newline included.
  std::istringstream in(good + "\n" + hashText(0xe0) + " -1 255\r\n");
  DCKHeap sketch(100);
  EXPECT_EQ(DCKHeap::LoadResult::kComplete, sketch.load(in, 2, true));
  expectContents({{0x10, 0.4375, 3}, {0xe0, -1.0, 255}}, sketch);
}

TEST_F(SketchEntryLoadTest, ReadErrorAndEarlyEndAreToldApart) {
  const std::string two = hashText(0x10) + " 0.5 1\n" + hashText(0x20) + " 0.5 1\n";
  for (const std::string& before : {std::string(), two, two + hashText(0x30).substr(0, 7)}) {
    dztest::FailingBuf buf(before);
    std::istream in(&buf);
    DCKHeap sketch(10);
    EXPECT_EQ(DCKHeap::LoadResult::kUnreadable, sketch.load(in, 3, true)) << before;
    EXPECT_TRUE(in.bad());
  }

  std::istringstream shorter(two);
  DCKHeap sketch(10);
  EXPECT_EQ(DCKHeap::LoadResult::kEnded, sketch.load(shorter, 3, true));
  EXPECT_EQ(2u, sketch.numEntries());
  std::istringstream exact(two);
  EXPECT_EQ(DCKHeap::LoadResult::kComplete, sketch.load(exact, 2, true));
}

TEST_F(SketchEntryLoadTest, FreshStartReadsAtMostCountLinesIntoAnEmptiedSketch) {
  std::istringstream in(hashText(0x10) + " 0.75 1\n" + hashText(0x20) + " 0.5 2\n" + hashText(0x30) +
                        " 0.25 1\n");
  DCKHeap sketch(50);
  sketch.insert(new DCHashAndRatio(std::vector<unsigned char>(20, 0x01), 0.9, 0));

  sketch.load(in, 2, true);
  EXPECT_EQ(2u, sketch.getCapacity());
  expectContents({{0x10, 0.75, 1}, {0x20, 0.5, 2}}, sketch);
  std::string rest;
  std::getline(in, rest);
  EXPECT_EQ(hashText(0x30) + " 0.25 1", rest) << "the third line was not consumed";

  // The writer prints ascending fingerprints: a line out of that order, or
  // a line after the declared ones, was not written by it.
  std::istringstream unordered(hashText(0x20) + " 0.5 1\n" + hashText(0x10) + " 0.5 1\n");
  EXPECT_EQ(DCKHeap::LoadResult::kUnordered, sketch.load(unordered, 2, true));
  std::istringstream extra(hashText(0x10) + " 0.5 1\n" + hashText(0x20) + " 0.5 1\n");
  EXPECT_EQ(DCKHeap::LoadResult::kExtra, sketch.load(extra, 1, true, true));

  // Count 0: emptied and nothing read.
  std::istringstream more(hashText(0x40) + " 0.5 1\n");
  sketch.load(more, 0, true);
  EXPECT_EQ(0u, sketch.numEntries());
  EXPECT_EQ(0u, sketch.getCapacity());
}

TEST_F(SketchEntryLoadTest, MergeKeepsTheSmallestAndCountsFingerprintsAlreadyHeld) {
  DCKHeap merged(3);
  std::istringstream first(hashText(0x20) + " 0.1 5\n" + hashText(0x60) + " 0.2 1\n");
  // Fewer lines than asked for: a merge input ends at its end.
  EXPECT_EQ(DCKHeap::LoadResult::kEnded, merged.load(first, 3, false));
  expectContents({{0x20, 0.1, 5}, {0x60, 0.2, 1}}, merged);

  // 0x20 again: the held entry keeps its ratio and gains one, whatever the
  // line's counter; 0x10 and 0x40 push out the largest, 0x60.
  std::istringstream second(hashText(0x10) + " 0.3 2\n" + hashText(0x20) + " 0.9 9\n" + hashText(0x40) +
                            " 0.4 1\n" + hashText(0x70) + " 0.5 1\n");
  merged.load(second, 3, false);
  EXPECT_EQ(3u, merged.getCapacity());
  expectContents({{0x10, 0.3, 2}, {0x20, 0.1, 6}, {0x40, 0.4, 1}}, merged);
}

}  // namespace

// The quick test of a ratio's text accepts exactly what the full parse does.
TEST(RatioText, QuickCheckAgreesWithTheFullParse) {
  const std::string cases[] = {"0.4375", "-1", "1", "0.", "-.5", ".5", "1e-05", "1.5e+10",
                                std::string(64, '9'), std::string(400, '9'), "", "-", ".", "..5", "1.2.3",
                                "abc", "nan", "inf", "1e400", "1e-400", " 1", "1 ", "+1", "0x1p3", "--1"};
  for (const std::string& text : cases) {
    double ignored;
    EXPECT_EQ(isFiniteNumber(text), parseFiniteDouble(text, ignored)) << '"' << text << '"';
  }
}
