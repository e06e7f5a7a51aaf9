// The merge passes over entry lines that cannot enter the full merged sketch;
// whatever the inputs hold, the merged sketch must be the one the sketch's
// own loader would build from every line.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <sstream>
#include <string>
#include <vector>

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
  if (sorted) std::sort(keys.begin(), keys.end());
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
    shared.push_back(in);
  }
  all.push_back({"inputs sharing fingerprints", 25, shared});

  // Written out of order by hand: a small key after large ones must still
  // enter and evict.
  all.push_back({"unsorted input", 20,
                 {randomInput(rng, 20, 100000), randomInput(rng, 40, 100000, false),
                  randomInput(rng, 40, 100000, false)}});

  // Same key as the top but different later bytes, on both sides of it.
  all.push_back({"keys equal to the top's",
                 3,
                 {{fp(10) + " 0.5 1", fp(20) + " 0.5 1", fp(30, 0x50505050) + " 0.5 1"},
                  {fp(30, 0x40404040) + " 0.25 1", fp(30, 0x60606060) + " 0.75 1", fp(30, 0x50505050) + " 0.1 7"},
                  {fp(31) + " 0.5 1", fp(30, 0x30303030) + " 0.3 2"}}});

  // Damaged, over-long and CRLF lines; the over-long one also counts against
  // the limit of K lines, and its remainder is read as a line of its own.
  all.push_back({"damaged and over-long lines",
                 4,
                 {{fp(5) + " 0.5 1", fp(6) + " 0.5 1", fp(7) + " 0.5 1", fp(8) + " 0.5 1"},
                  {"not a line", fp(1) + " 0.5 1\r", std::string(127, 'a') + "b" + fp(2) + " 0.5 1", fp(3) + " nan 1",
                   fp(4) + " 0.5 0"},
                  {fp(9) + " 0.5", "", fp(0) + " 0.5 1"}}});

  // Inputs larger than the filter's read block, one with a line of 2 MiB
  // (a file that is no sketch file) between entries.
  Input big = randomInput(rng, 30000, 1ULL << 40, false);
  big.insert(big.begin() + 15000, std::string(2 << 20, '7'));
  all.push_back({"inputs larger than a read block", 20000, {randomInput(rng, 30000, 1ULL << 40), big}});

  // More lines than K: only the first K of an input are read.
  all.push_back({"more lines than K", 10, {randomInput(rng, 10, 1000), randomInput(rng, 30, 1000, false)}});
  return all;
}

TEST(MergeEntryFilter, MergedSketchEqualsLoadingEveryLine) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    DCKHeap expected(c.k);
    DCKHeap got(c.k);
    for (const Input& in : c.inputs) {
      std::istringstream a(lines(in));
      expected.load(a, c.k, false);
      std::istringstream b(lines(in));
      offerEntries(b, c.k, got);
    }
    EXPECT_EQ(contents(got), contents(expected));
    EXPECT_EQ(got.getCapacity(), expected.getCapacity());
  }
}

}  // namespace
