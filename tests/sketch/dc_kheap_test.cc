// The sketch of the K smallest fingerprints: offers, sightings, eviction,
// ratios, text output and concurrent offers.
#include <gtest/gtest.h>

#include <boost/thread/lock_guard.hpp>

#include <algorithm>
#include <cstdint>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "base/run_globals.h"
#include "sketch/dc_hash_and_ratio.h"
#include "sketch/dc_kheap.h"

namespace {

// Fingerprint whose key is n; `tail` goes into the last byte, past the key.
std::vector<unsigned char> fp(uint64_t n, unsigned char tail = 0) {
  std::vector<unsigned char> b(20, 0);
  for (int i = 0; i < 8; ++i) b[i] = static_cast<unsigned char>(n >> (56 - 8 * i));
  b[19] = tail;
  return b;
}

DCHashAndRatio* entry(uint64_t n, unsigned char tail = 0, double ratio = -1.0) {
  return new DCHashAndRatio(fp(n, tail), ratio, n * 8192);
}

enum class Mode { kProbeThenInsert, kInsertOnly, kFilteredInsert, kBatchedReuse };

// Probe then insert or free; or insert alone; or, as the scan's hash
// workers do, insert only what surelyAbove does not rule out. All three
// must reach the same state.
void offer(DCKHeap& s, uint64_t n, Mode mode, unsigned char tail = 0) {
  if (mode == Mode::kFilteredInsert && s.surelyAbove(fp(n, tail))) return;
  DCHashAndRatio* e = entry(n, tail);
  if (mode == Mode::kInsertOnly || s.probe(e)) {
    s.insert(e);
  } else {
    delete e;
  }
}

struct Kept {
  uint64_t key;
  int count;
  bool operator==(const Kept& o) const { return key == o.key && count == o.count; }
};
std::ostream& operator<<(std::ostream& os, const Kept& k) { return os << k.key << "x" << k.count; }

std::vector<Kept> contents(const DCKHeap& s) {
  std::vector<Kept> out;
  for (const DCHashAndRatio* e : s.getVector()) out.push_back({e->extractHashAsULong(), e->refCounter});
  return out;
}

class KHeapTest : public ::testing::TestWithParam<Mode> {};

TEST_P(KHeapTest, KeepsTheThreeSmallestAndCountsSightings) {
  DCKHeap s(3);
  for (uint64_t n : {50, 10, 40}) offer(s, n, GetParam());
  EXPECT_EQ(s.numEntries(), 3u);
  EXPECT_EQ(s.top()->extractHashAsULong(), 50u);

  offer(s, 45, GetParam());  // goes just below the top, which it evicts
  EXPECT_EQ(contents(s), (std::vector<Kept>{{10, 1}, {40, 1}, {45, 1}}));
  EXPECT_EQ(s.top()->extractHashAsULong(), 45u);

  offer(s, 30, GetParam());  // evicts 45
  EXPECT_EQ(contents(s), (std::vector<Kept>{{10, 1}, {30, 1}, {40, 1}}));
  EXPECT_EQ(s.top()->extractHashAsULong(), 40u);

  offer(s, 60, GetParam());  // refused
  offer(s, 10, GetParam());  // a further sighting
  EXPECT_EQ(contents(s), (std::vector<Kept>{{10, 2}, {30, 1}, {40, 1}}));

  // Equal to the top: it is stored, so this is a sighting, not a refusal.
  offer(s, 40, GetParam());
  EXPECT_EQ(contents(s), (std::vector<Kept>{{10, 2}, {30, 1}, {40, 2}}));
  EXPECT_EQ(s.numEntries(), 3u);
}

TEST_P(KHeapTest, TopComparisonLooksBeyondTheKey) {
  DCKHeap s(2);
  offer(s, 10, GetParam());
  offer(s, 20, GetParam(), 5);
  // Same key as the top, larger tail: refused.
  offer(s, 20, GetParam(), 6);
  EXPECT_EQ(contents(s), (std::vector<Kept>{{10, 1}, {20, 1}}));
  EXPECT_EQ(s.top()->hash[19], 5);
  // Same key, smaller tail: smaller than the top, so it replaces it.
  offer(s, 20, GetParam(), 4);
  EXPECT_EQ(contents(s), (std::vector<Kept>{{10, 1}, {20, 1}}));
  EXPECT_EQ(s.top()->hash[19], 4);
}

TEST_P(KHeapTest, SightingsSaturateAt255) {
  DCKHeap s(4);
  for (int i = 0; i < 300; ++i) offer(s, 7, GetParam());
  offer(s, 9, GetParam());
  EXPECT_EQ(contents(s), (std::vector<Kept>{{7, 255}, {9, 1}}));
}

TEST_P(KHeapTest, CapacityZeroKeepsNothing) {
  DCKHeap s(0);
  for (uint64_t n : {5, 5, 1}) offer(s, n, GetParam());
  EXPECT_EQ(s.numEntries(), 0u);
  EXPECT_TRUE(s.getVector().empty());
}

std::string modeName(Mode m) {
  return m == Mode::kInsertOnly       ? "InsertOnly"
         : m == Mode::kFilteredInsert ? "FilteredInsert"
         : m == Mode::kBatchedReuse   ? "BatchedReuse"
                                      : "ProbeThenInsert";
}

INSTANTIATE_TEST_SUITE_P(Offers, KHeapTest,
                         ::testing::Values(Mode::kProbeThenInsert, Mode::kInsertOnly, Mode::kFilteredInsert),
                         [](const ::testing::TestParamInfo<Mode>& i) { return modeName(i.param); });

// The lock-free filter answers only for a full sketch, only on the first
// eight bytes, and only when they are strictly above the top's.
TEST(KHeap, SurelyAboveRulesOutOnlyWhatAFullSketchWouldDrop) {
  DCKHeap s(2);
  EXPECT_FALSE(s.surelyAbove(fp(99)));  // empty
  s.insert(entry(10));
  EXPECT_FALSE(s.surelyAbove(fp(99)));  // not full
  s.insert(entry(20, 5));
  EXPECT_TRUE(s.surelyAbove(fp(21)));
  EXPECT_FALSE(s.surelyAbove(fp(20, 6)));  // same key as the top: unsure
  EXPECT_FALSE(s.surelyAbove(fp(15)));
  s.insert(entry(15));  // the top goes down to 15
  EXPECT_TRUE(s.surelyAbove(fp(16)));
  EXPECT_FALSE(s.surelyAbove(std::vector<unsigned char>(4, 0xff)));  // too short to tell

  s.setSize(3);  // room again
  EXPECT_FALSE(s.surelyAbove(fp(99)));
  s.insert(entry(30));
  EXPECT_TRUE(s.surelyAbove(fp(31)));
  s.clear();
  EXPECT_FALSE(s.surelyAbove(fp(99)));

  const int saved = myGlobals.hashLength;
  myGlobals.hashLength = 6;  // the comparator then looks at fewer bytes
  DCKHeap shortKeys(1);
  shortKeys.insert(entry(1));
  EXPECT_FALSE(shortKeys.surelyAbove(fp(99)));
  myGlobals.hashLength = saved;
}

TEST(KHeap, ProbeAsksWithoutStoring) {
  DCKHeap s(2);
  DCHashAndRatio big(fp(~0ULL, 0xff), -1, 0);
  DCHashAndRatio zero(fp(0), -1, 0);
  EXPECT_TRUE(s.probe(&big));
  EXPECT_TRUE(s.probe(&zero));
  EXPECT_EQ(s.numEntries(), 0u);
  s.insert(entry(3));
  s.insert(entry(8));
  DCHashAndRatio four(fp(4), -1, 0), nine(fp(9), -1, 0), three(fp(3), -1, 0);
  EXPECT_TRUE(s.probe(&four));
  EXPECT_FALSE(s.probe(&nine));
  EXPECT_FALSE(s.probe(&three));
  EXPECT_EQ(contents(s), (std::vector<Kept>{{3, 2}, {8, 1}}));
}

TEST(KHeap, RatiosGoToTheStoredEntryOnly) {
  DCKHeap s(2);
  s.insert(entry(1));
  s.insert(entry(2));
  DCHashAndRatio m(fp(2), 0.375, 0);
  s.setRatio(&m);
  // Evict 2, then a late ratio for it must change nothing.
  s.insert(entry(0));
  DCHashAndRatio late(fp(2), 0.5, 0);
  s.setRatio(&late);
  DCHashAndRatio one(fp(1), 0.25, 0);
  s.setRatio(&one);
  std::vector<double> ratios;
  for (const DCHashAndRatio* e : s.getVector()) ratios.push_back(e->ratio);
  EXPECT_EQ(ratios, (std::vector<double>{-1.0, 0.25}));
  EXPECT_EQ(m.ratio, 0.375);  // still the caller's
}

TEST(KHeap, PrintWritesOneLinePerEntryAscending) {
  DCKHeap s(5);
  std::ostringstream empty;
  s.print(empty, true);
  EXPECT_EQ(empty.str(), "");

  DCHashAndRatio* third = new DCHashAndRatio(fp(0x0a00000000000000ULL, 0xff), 4.0 / 3.0, 0);
  s.insert(third);
  s.insert(new DCHashAndRatio(fp(0xff00000000000001ULL), -1.0, 0));
  s.insert(new DCHashAndRatio(fp(1), 2.5, 0));
  for (int i = 0; i < 2; ++i) s.insert(new DCHashAndRatio(fp(0x0a00000000000000ULL, 0xff), 9.0, 0));

  const std::string h1 = "0000000000000001" + std::string(24, '0');
  const std::string h2 = "0a00000000000000" + std::string(22, '0') + "ff";
  const std::string h3 = "ff00000000000001" + std::string(24, '0');
  std::ostringstream with, without;
  s.print(with, true);
  s.print(without, false);
  EXPECT_EQ(with.str(), h1 + " 2.5 1\n" + h2 + " 1.33333 3\n" + h3 + " -1 1\n");
  EXPECT_EQ(without.str(), h1 + " 1\n" + h2 + " 3\n" + h3 + " 1\n");

  const int savedLength = myGlobals.hashLength;
  myGlobals.hashLength = 16;
  std::ostringstream shortHash;
  s.printHash(shortHash, third->hash);
  myGlobals.hashLength = savedLength;
  EXPECT_EQ(shortHash.str(), "0a000000000000000000000000000000");
}

TEST(KHeap, SetSizeShrinksToTheSmallestAndClearKeepsCapacity) {
  DCKHeap s(10);
  for (uint64_t n : {9, 3, 7, 1, 5}) s.insert(entry(n));
  s.setSize(static_cast<int>(s.numEntries()));
  EXPECT_EQ(s.getCapacity(), 5u);
  s.insert(entry(2));  // now full: 9 goes
  EXPECT_EQ(contents(s), (std::vector<Kept>{{1, 1}, {2, 1}, {3, 1}, {5, 1}, {7, 1}}));
  s.setSize(2);
  EXPECT_EQ(contents(s), (std::vector<Kept>{{1, 1}, {2, 1}}));
  EXPECT_EQ(s.top()->extractHashAsULong(), 2u);
  s.setSize(-4);
  EXPECT_EQ(s.getCapacity(), 0u);
  EXPECT_EQ(s.numEntries(), 0u);

  s.setSize(3);
  for (uint64_t n : {4, 6}) s.insert(entry(n));
  s.clear();
  EXPECT_EQ(s.numEntries(), 0u);
  EXPECT_TRUE(s.empty());
  EXPECT_EQ(s.getCapacity(), 3u);
  for (uint64_t n : {8, 6, 4, 2}) s.insert(entry(n));
  EXPECT_EQ(contents(s), (std::vector<Kept>{{2, 1}, {4, 1}, {6, 1}}));
}

// tryInsertAll offers a whole batch only when the mutex is free at once; a
// batch it could not offer stays with the caller, unchanged.
TEST(KHeap, TryInsertAllOffersTheBatchOnlyWhenTheMutexIsFree) {
  DCKHeap s(3);
  s.insert(entry(40));
  std::vector<DCHashAndRatio*> batch = {entry(10), entry(40), entry(50), entry(20)};
  const std::vector<DCHashAndRatio*> before = batch;
  {
    boost::lock_guard<boost::mutex> held(s.getMutex());
    bool offered = true;
    std::thread other([&] { offered = s.tryInsertAll(batch); });
    other.join();
    EXPECT_FALSE(offered);
  }
  EXPECT_EQ(batch, before);
  EXPECT_EQ(contents(s), (std::vector<Kept>{{40, 1}}));

  EXPECT_TRUE(s.tryInsertAll(batch));
  EXPECT_TRUE(batch.empty());
  // As insert one by one: 40 seen twice, 50 pushed out by 20.
  EXPECT_EQ(contents(s), (std::vector<Kept>{{10, 1}, {20, 1}, {40, 2}}));
  EXPECT_TRUE(s.surelyAbove(fp(41)));
}

// With a list for them, the entries insert would free come back instead:
// a refused one, a second sighting of a kept one and an evicted top. Filled
// anew (reuse), they are offered again like fresh entries.
TEST(KHeap, TryInsertAllHandsBackWhatItWouldFreeForReuse) {
  DCKHeap s(2);
  s.insert(entry(30));
  s.insert(entry(40));
  DCHashAndRatio* refused = entry(50);
  DCHashAndRatio* again = entry(30);
  DCHashAndRatio* below = entry(10);
  std::vector<DCHashAndRatio*> batch = {refused, again, below};
  std::vector<DCHashAndRatio*> dropped;
  ASSERT_TRUE(s.tryInsertAll(batch, &dropped));
  EXPECT_EQ(contents(s), (std::vector<Kept>{{10, 1}, {30, 2}}));
  ASSERT_EQ(dropped.size(), 3u);
  EXPECT_EQ(dropped[0], refused);
  EXPECT_EQ(dropped[1], again);
  EXPECT_EQ(dropped[2]->extractHashAsULong(), 40u);  // the evicted top

  // A reused entry is what a fresh one would be, whatever it held.
  DCHashAndRatio* e = dropped[1];
  e->ratio = 0.5;
  e->refCounter = 7;
  e->valid = false;
  e->reuse(fp(20, 9), -1.0, 1234);
  EXPECT_EQ(e->hash, fp(20, 9));
  EXPECT_EQ(e->ratio, -1.0);
  EXPECT_EQ(e->refCounter, 1);
  EXPECT_EQ(e->position, 1234u);
  EXPECT_TRUE(e->valid);
  std::vector<DCHashAndRatio*> next = {e};
  dropped.erase(dropped.begin() + 1);
  ASSERT_TRUE(s.tryInsertAll(next, &dropped));
  EXPECT_EQ(contents(s), (std::vector<Kept>{{10, 1}, {20, 1}}));
  for (DCHashAndRatio* d : dropped) delete d;
}

// Several hash workers offering at once must end with exactly the K
// smallest distinct fingerprints, each with all its sightings counted.
class ConcurrentOffers : public ::testing::TestWithParam<std::tuple<int, Mode>> {};

TEST_P(ConcurrentOffers, EndInTheKSmallestWithTheirCounts) {
  const int threads = std::get<0>(GetParam());
  const Mode mode = std::get<1>(GetParam());
  const uint64_t kDistinct = 20000, kK = 2000;
  // Keys ascend with i; the shuffled offer order is what is under test.
  auto keyOf = [](uint64_t i) { return (i + 1) * 0x0000123456789abcULL; };
  std::vector<int> sightings(kDistinct);
  std::vector<std::vector<uint64_t>> work(threads);
  std::mt19937_64 rng(42);
  for (uint64_t i = 0; i < kDistinct; ++i) {
    sightings[i] = (i == 17 || i == 200) ? 300 : static_cast<int>(i % 5) + 1;
    for (int k = 0; k < sightings[i]; ++k) work[rng() % threads].push_back(keyOf(i));
  }
  for (auto& w : work) std::shuffle(w.begin(), w.end(), rng);

  DCKHeap s(kK);
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&s, mode, &w = work[t]] {
      if (mode != Mode::kBatchedReuse) {
        for (uint64_t key : w) offer(s, key, mode);
        return;
      }
      // As the hash workers do: entries held back while another thread has
      // the sketch, offered in batches, and what comes back filled anew.
      std::vector<DCHashAndRatio*> held, spare;
      for (uint64_t key : w) {
        if (s.surelyAbove(fp(key))) continue;
        if (spare.empty()) {
          held.push_back(entry(key));
        } else {
          spare.back()->reuse(fp(key), -1.0, key * 8192);
          held.push_back(spare.back());
          spare.pop_back();
        }
        if (!s.tryInsertAll(held, &spare) && held.size() >= 64) {
          for (DCHashAndRatio* e : held) s.insert(e);
          held.clear();
        }
      }
      if (!s.tryInsertAll(held, &spare)) {
        for (DCHashAndRatio* e : held) s.insert(e);
      }
      for (DCHashAndRatio* e : spare) delete e;
    });
  }
  for (auto& th : pool) th.join();

  std::vector<Kept> want;
  for (uint64_t i = 0; i < kK; ++i) want.push_back({keyOf(i), std::min(sightings[i], 255)});
  EXPECT_EQ(contents(s), want);
  EXPECT_EQ(s.top()->extractHashAsULong(), keyOf(kK - 1));
}

INSTANTIATE_TEST_SUITE_P(Threads, ConcurrentOffers,
                         ::testing::Combine(::testing::Values(1, 4),
                                            ::testing::Values(Mode::kProbeThenInsert, Mode::kFilteredInsert,
                                                              Mode::kBatchedReuse)),
                         [](const ::testing::TestParamInfo<std::tuple<int, Mode>>& i) {
                           return std::to_string(std::get<0>(i.param)) + "_" + modeName(std::get<1>(i.param));
                         });

}  // namespace
