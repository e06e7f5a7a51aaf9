// Reading sketch entry lines back into a sketch: fresh start for a resumed
// scan, probe-and-insert for a merge, and damaged lines skipped.
#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "runcontrol/run_globals.h"
#include "sketch/dc_kheap.h"

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

TEST_F(SketchEntryLoadTest, DamagedLinesAreSkippedAndGoodOnesKept) {
  const std::string h = hashText(0x50);
  const std::vector<std::string> lines = {
      hashText(0x10) + " 0.4375 3",
      "",
      "no-spaces-at-all",
      h + " 0.5",                              // one space: no counter
      h.substr(1) + " 0.5 1",                  // 39 digits
      h + "0 0.5 1",                           // 41 digits
      "g" + h.substr(1) + " 0.5 1",            // not hex
      h + " abc 1",                            // ratio not a number
      h + " nan 1",                            // ratio not finite
      h + " 0.5x 1",                           // ratio with trailing text
      h + "  0.5 1",                           // empty piece between spaces
      h + " 0.5 0",                            // counter never written as 0
      h + " 0.5 256",                          // above the saturation point
      h + " 0.5 3x",                           // counter with trailing text
      h + " 0.5 99999999999999999999",         // counter beyond 64 bits
      h + " 0.5 1" + std::string(200, ' '),    // longer than any entry line
      hashText(0xe0) + " -1 255\r",            // carriage return dropped
  };
  std::string text;
  for (const std::string& l : lines) text += l + "\n";
  std::istringstream in(text);

  DCKHeap sketch(100);
  sketch.load(in, lines.size(), true);
  expectContents({{0x10, 0.4375, 3}, {0xe0, -1.0, 255}}, sketch);
}

TEST_F(SketchEntryLoadTest, FreshStartReadsAtMostCountLinesIntoAnEmptiedSketch) {
  std::istringstream in(hashText(0x30) + " 0.25 1\n" + hashText(0x20) + " 0.5 2\n" + hashText(0x10) +
                        " 0.75 1\n");
  DCKHeap sketch(50);
  sketch.insert(new DCHashAndRatio(std::vector<unsigned char>(20, 0x01), 0.9, 0));

  sketch.load(in, 2, true);
  EXPECT_EQ(2u, sketch.getCapacity());
  expectContents({{0x20, 0.5, 2}, {0x30, 0.25, 1}}, sketch);
  std::string rest;
  std::getline(in, rest);
  EXPECT_EQ(hashText(0x10) + " 0.75 1", rest) << "the third line was not consumed";

  // Count 0: emptied and nothing read.
  std::istringstream more(hashText(0x40) + " 0.5 1\n");
  sketch.load(more, 0, true);
  EXPECT_EQ(0u, sketch.numEntries());
  EXPECT_EQ(0u, sketch.getCapacity());
}

TEST_F(SketchEntryLoadTest, MergeKeepsTheSmallestAndCountsFingerprintsAlreadyHeld) {
  DCKHeap merged(3);
  std::istringstream first(hashText(0x20) + " 0.1 5\n" + hashText(0x60) + " 0.2 1\n");
  merged.load(first, 3, false);  // fewer lines than asked for: ends at the end
  expectContents({{0x20, 0.1, 5}, {0x60, 0.2, 1}}, merged);

  // 0x20 again: the held entry keeps its ratio and gains one, whatever the
  // line's counter; 0x10 and 0x40 push out the largest, 0x60.
  std::istringstream second(hashText(0x20) + " 0.9 9\n" + hashText(0x10) + " 0.3 2\n" + hashText(0x40) +
                            " 0.4 1\n" + hashText(0x70) + " 0.5 1\n");
  merged.load(second, 3, false);
  EXPECT_EQ(3u, merged.getCapacity());
  expectContents({{0x10, 0.3, 2}, {0x20, 0.1, 6}, {0x40, 0.4, 1}}, merged);
}

}  // namespace
