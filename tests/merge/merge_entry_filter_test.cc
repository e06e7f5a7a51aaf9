// The merge passes over entry lines that cannot enter the full merged sketch;
// whatever the inputs hold, the merged sketch must be the one the sketch's
// own loader would build from every line.
#include <gtest/gtest.h>

#include <algorithm>
#include <ios>
#include <istream>
#include <random>
#include <sstream>
#include <streambuf>
#include <string>
#include <utility>
#include <vector>

#include "failing_buf.h"
#include "merge/entry_filter.h"
#include "merge_fixtures.h"
#include "sketch/dc_kheap.h"

namespace {

using mergetest::fp;

using Input = std::vector<std::string>;  // entry lines

std::string lines(const Input& in) {
  std::string s;
  for (const std::string& l : in) s += l + "\n";
  return s;
}

// n entries with random keys drawn below `range`, sorted as a scan writes them.
Input randomInput(std::mt19937_64& rng, size_t n, uint64_t range, bool sorted = true) {
  std::vector<uint64_t> keys(n);
  for (uint64_t& k : keys) k = rng() % range;
  if (sorted) {
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  }
  Input in;
  for (uint64_t k : keys) {
    in.push_back(fp(k) + " 0." + std::to_string(1 + rng() % 9) + " " + std::to_string(1 + rng() % 5));
  }
  return in;
}

struct Snapshot {
  std::string hash;
  double ratio;
  int count;
  bool operator==(const Snapshot& o) const { return hash == o.hash && ratio == o.ratio && count == o.count; }
};

void PrintTo(const Snapshot& s, std::ostream* os) {
  static const char kHex[] = "0123456789abcdef";
  for (unsigned char c : s.hash) *os << kHex[c >> 4] << kHex[c & 15];
  *os << " " << s.ratio << " " << s.count;
}

std::vector<Snapshot> contents(const DCKHeap& h) {
  std::vector<Snapshot> out;
  for (const DCHashAndRatio* e : h.getVector()) {
    out.push_back({std::string(e->hash.begin(), e->hash.end()), e->ratio, e->refCounter});
  }
  return out;
}

struct Case {
  const char* name;
  uint64_t k;
  std::vector<Input> inputs;
};

std::vector<Case> cases() {
  std::mt19937_64 rng(42);
  std::vector<Case> all;

  all.push_back({"disjoint sorted inputs", 40,
                 {randomInput(rng, 50, 1000000), randomInput(rng, 50, 1000000), randomInput(rng, 50, 1000000)}});

  // A common pool of fingerprints in every input: found again, they count up.
  Input pool = randomInput(rng, 30, 5000);
  std::vector<Input> shared;
  for (int i = 0; i < 4; ++i) {
    Input in = randomInput(rng, 30, 5000);
    in.insert(in.end(), pool.begin(), pool.end());
    std::sort(in.begin(), in.end());
    // One line per fingerprint, as a scan writes them.
    in.erase(std::unique(in.begin(), in.end(),
                         [](const std::string& a, const std::string& b) { return a.substr(0, 40) == b.substr(0, 40); }),
             in.end());
    shared.push_back(in);
  }
  all.push_back({"inputs sharing fingerprints", 25, shared});

  // Same key as the top but different later bytes, on both sides of it.
  all.push_back({"keys equal to the top's",
                 3,
                 {{fp(10) + " 0.5 1", fp(20) + " 0.5 1", fp(30, 0x50505050) + " 0.5 1"},
                  {fp(30, 0x40404040) + " 0.25 1", fp(30, 0x50505050) + " 0.1 7", fp(30, 0x60606060) + " 0.75 1"},
                  {fp(30, 0x30303030) + " 0.3 2", fp(31) + " 0.5 1"}}});

  // Lines ending in a carriage return and a newline.
  all.push_back({"carriage returns",
                 3,
                 {{fp(5) + " 0.5 1", fp(6) + " 0.5 1\r", fp(7) + " 0.5 1"},
                  {fp(1) + " 0.5 1\r", fp(2) + " 0.75 1\r", fp(9) + " 0.25 2"}}});

  // Inputs larger than the filter's read block.
  all.push_back({"inputs larger than a read block",
                 20000,
                 {randomInput(rng, 30000, 1ULL << 40), randomInput(rng, 30000, 1ULL << 40)}});

  // More lines than K: all are checked, only the first K can count.
  all.push_back({"more lines than K", 10, {randomInput(rng, 10, 1000), randomInput(rng, 30, 1000)}});
  return all;
}

TEST(MergeEntryFilter, MergedSketchEqualsLoadingEveryLine) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    DCKHeap expected(c.k);
    DCKHeap got(c.k);
    for (const Input& in : c.inputs) {
      std::istringstream a(lines(in));
      const DCKHeap::LoadResult loaded = expected.load(a, c.k, false);
      std::istringstream b(lines(in));
      EXPECT_EQ(offerEntries(b, in.size(), got), DCKHeap::LoadResult::kComplete);
      EXPECT_NE(loaded, DCKHeap::LoadResult::kDamaged);
    }
    EXPECT_EQ(contents(got), contents(expected));
    EXPECT_EQ(got.getCapacity(), expected.getCapacity());
  }
}

// The input must hold exactly its declared lines, in ascending order, as a
// load requires.
TEST(MergeEntryFilter, InputIsRefusedAsALoadRefusesIt) {
  const Input sorted = {fp(1) + " 0.5 1", fp(2) + " 0.5 1", fp(3) + " 0.5 1"};
  struct Case {
    const char* what;
    Input input;
    uint64_t declared;
    DCKHeap::LoadResult want;
  } cases[] = {
      {"whole", sorted, 3, DCKHeap::LoadResult::kComplete},
      {"fewer lines than declared", sorted, 4, DCKHeap::LoadResult::kEnded},
      {"cut to a tenth", sorted, 30, DCKHeap::LoadResult::kEnded},
      {"more lines than declared", sorted, 2, DCKHeap::LoadResult::kExtra},
      {"a line duplicated", {sorted[0], sorted[1], sorted[1]}, 3, DCKHeap::LoadResult::kUnordered},
      {"lines swapped", {sorted[0], sorted[2], sorted[1]}, 3, DCKHeap::LoadResult::kUnordered},
      {"a small key after large ones", {fp(500) + " 0.5 1", fp(900) + " 0.5 1", fp(3) + " 0.5 1"}, 3,
       DCKHeap::LoadResult::kUnordered},
      {"ratio in hex", {sorted[0], fp(2) + " 0x3f 1", sorted[2]}, 3, DCKHeap::LoadResult::kDamaged},
      {"ratio above a block's", {sorted[0], fp(2) + " 1e30 1", sorted[2]}, 3, DCKHeap::LoadResult::kDamaged},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DCKHeap sketch(2);
    std::istringstream in(lines(c.input));
    EXPECT_EQ(offerEntries(in, c.declared, sketch), c.want);
  }
}

// An input with any line that the loader refuses is unusable, also when the
// line is one the filter passes over (its key is above a full sketch's top).
TEST(MergeEntryFilter, DamagedOrUnreadableInputIsReported) {
  const Input first = {fp(1) + " 0.5 1", fp(2) + " 0.5 1", fp(3) + " 0.5 1"};
  const std::string high = fp(1000);
  struct Case {
    const char* what;
    std::string line;
  } cases[] = {
      {"empty line", ""},
      {"no counter", high + " 0.5"},
      {"ratio not a number", high + " abc 1"},
      {"ratio not finite", high + " inf 1"},
      {"counter 0", high + " 0.5 0"},
      {"counter beyond 64 bits", high + " 0.5 99999999999999999999"},
      {"fingerprint one digit short", high.substr(1) + " 0.5 1"},
      {"fingerprint not hex after its key", high.substr(0, 20) + "zz" + high.substr(22) + " 0.5 1"},
      {"binary garbage", high.substr(0, 16) + std::string("\xee\x00 \x13 \x88", 6)},
      {"over-long line", high + " 0.5 1" + std::string(200, ' ')},
      {"a line of 2 MiB", std::string(2 << 20, '7')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DCKHeap sketch(3);
    std::istringstream a(lines(first));
    ASSERT_EQ(offerEntries(a, 3, sketch), DCKHeap::LoadResult::kComplete);
    std::istringstream b(lines({fp(4) + " 0.5 1", c.line, fp(5) + " 0.5 1"}));
    EXPECT_EQ(offerEntries(b, 3, sketch), DCKHeap::LoadResult::kDamaged);
  }

  // Inputs whose reading fails: at once, after whole lines, inside a line.
  const std::string two = lines({first[0], first[1]});
  for (const std::string& before : {std::string(), two, two + fp(9).substr(0, 10)}) {
    SCOPED_TRACE(before.size());
    dztest::FailingBuf buf(before);
    std::istream in(&buf);
    DCKHeap sketch(3);
    EXPECT_EQ(offerEntries(in, 3, sketch), DCKHeap::LoadResult::kUnreadable);
  }
}

}  // namespace

namespace {

// What a merge keeps of an input to compare it with the others: every
// line's key (also of lines passed over, and of lines that could not enter
// the sketch), one per key, and the counters' sum.
TEST(MergeEntryFilter, KeepsEveryKeyOnceAndTheCountersSum) {
  const Input in = {fp(5) + " 0.5 2", fp(5, 0x6b6b6b6b) + " 0.5 1", fp(9) + " 0.25 255", fp(40) + " -1 3"};
  DCKHeap sketch(2);
  KeptEntries kept;
  std::istringstream is(lines(in));
  EXPECT_EQ(offerEntries(is, in.size(), sketch, nullptr, &kept), DCKHeap::LoadResult::kComplete);
  // Two fingerprints with the same first eight bytes are one key.
  EXPECT_EQ(kept.keys, (std::vector<uint64_t>{5, 9, 40}));
  EXPECT_EQ(kept.counterSum, 2u + 1 + 255 + 3);
  EXPECT_TRUE(kept.saturated);
  EXPECT_EQ(sketch.numEntries(), 2u);
}

}  // namespace
