// Comparing sources from their sketches: sources made of block pools of
// known sizes (a pool is a set of random fingerprint keys), sketched as a
// full scan would sketch them, and the estimates held against the truth.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "merge/source_groups.h"
#include "merge/source_overlap.h"
#include "sketch/key_sample.h"

namespace {

uint64_t splitmix64(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

using Pool = std::vector<uint64_t>;

Pool pool(std::size_t size, uint64_t seed) {
  Pool p(size);
  for (uint64_t& k : p) k = splitmix64(seed);
  return p;
}

// The sketch of K smallest keys of a source made of these pools; exact when
// the source has fewer distinct blocks than K.
KeySample sketchOf(const std::vector<const Pool*>& pools, std::size_t k) {
  std::vector<uint64_t> all;
  for (const Pool* p : pools) all.insert(all.end(), p->begin(), p->end());
  std::sort(all.begin(), all.end());
  all.erase(std::unique(all.begin(), all.end()), all.end());
  KeySample s;
  s.exact = all.size() < k;
  if (!s.exact) all.resize(k);
  s.keys = std::move(all);
  return s;
}

MergeOverlap compare(const std::vector<KeySample>& samples) {
  MergeOverlap o;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    o.sources.push_back("src" + std::to_string(i));
    o.files.push_back("f" + std::to_string(i));
  }
  compareSources(samples, o);
  return o;
}

bool inside(const BlockEstimate& e, double truth) {
  return e.known && static_cast<double>(e.low) <= truth && truth <= static_cast<double>(e.high);
}

double relativeError(const BlockEstimate& e, double truth) {
  return std::fabs(static_cast<double>(e.blocks) - truth) / truth;
}

// Two pools of 140000 own blocks and one of 60000 in common: sources of
// 200000 distinct blocks that share exactly 30 % of them.
class SharedPools : public ::testing::Test {
 protected:
  static constexpr std::size_t kK = 50000;
  Pool common = pool(60000, 1);
  Pool ownA = pool(140000, 2);
  Pool ownB = pool(140000, 3);
  Pool ownD = pool(340000, 4);
  Pool other = pool(200000, 5);
};

TEST_F(SharedPools, SharedBlocksLieInTheirIntervalAndWithinTwoPercentAtK50000) {
  struct Case {
    const char* what;
    KeySample a, b;
    double shared;
    double unionBlocks;
  } cases[] = {
      {"30 % of each", sketchOf({&common, &ownA}, kK), sketchOf({&common, &ownB}, kK), 60000, 340000},
      {"30 % of one, 15 % of the other", sketchOf({&common, &ownA}, kK), sketchOf({&common, &ownD}, kK), 60000,
       540000},
  };
  for (const Case& c : cases) {
    const MergeOverlap o = compare({c.a, c.b});
    ASSERT_EQ(o.pairs.size(), 1u);
    const PairOverlap& p = o.pairs[0];
    EXPECT_TRUE(inside(p.shared, c.shared)) << c.what << ": " << p.shared.low << " .. " << p.shared.high;
    EXPECT_LT(relativeError(p.shared, c.shared), 0.02) << c.what << ": " << p.shared.blocks;
    EXPECT_NEAR(p.jaccard, c.shared / c.unionBlocks, 0.02 * c.shared / c.unionBlocks) << c.what;
    // Merging the pair stores the shared blocks once.
    const double sizes = c.unionBlocks + c.shared;
    EXPECT_NEAR(p.savingPercent, 100 * c.shared / sizes, 2 * c.shared / sizes) << c.what;
    // The interval is about +-2 % wide, no more: it rests on some 15000 entries.
    EXPECT_LT(static_cast<double>(p.shared.high - p.shared.low), 0.05 * c.shared) << c.what;
  }
}

TEST_F(SharedPools, SmallerSketchSetsTheLimit) {
  // A sketch of 20000 entries against one of 50000: the estimate rests on
  // fewer entries, and its interval widens accordingly.
  const MergeOverlap o = compare({sketchOf({&common, &ownA}, kK), sketchOf({&common, &ownB}, 20000)});
  const PairOverlap& p = o.pairs[0];
  EXPECT_TRUE(inside(p.shared, 60000)) << p.shared.blocks << " " << p.shared.low << " .. " << p.shared.high;
  EXPECT_LT(relativeError(p.shared, 60000), 0.04);
}

TEST_F(SharedPools, SourceWithItselfSharesEverything) {
  const KeySample a = sketchOf({&common, &ownA}, kK);
  const MergeOverlap o = compare({a, a});
  const PairOverlap& p = o.pairs[0];
  EXPECT_DOUBLE_EQ(p.jaccard, 1.0);
  EXPECT_DOUBLE_EQ(p.savingPercent, 50.0);
  EXPECT_EQ(p.shared.blocks, static_cast<uint64_t>(std::round(countOf(a).distinct())));
  EXPECT_TRUE(inside(p.shared, 200000));
  // Neither holds a block the other does not.
  EXPECT_EQ(o.onlyIn[0].blocks.blocks, 0u);
  EXPECT_EQ(o.onlyIn[1].blocks.blocks, 0u);
}

TEST_F(SharedPools, DisjointSourcesShareNothingWithinTheInterval) {
  const MergeOverlap o = compare({sketchOf({&common, &ownA}, kK), sketchOf({&other}, kK)});
  const PairOverlap& p = o.pairs[0];
  EXPECT_TRUE(p.shared.known);
  EXPECT_EQ(p.shared.blocks, 0u);
  EXPECT_EQ(p.shared.low, 0u);
  // Nothing seen is no proof of nothing shared: a few entries' worth of
  // blocks may still be.
  EXPECT_GT(p.shared.high, 0u);
  EXPECT_LT(p.shared.high, 40u);
  EXPECT_EQ(p.jaccard, 0.0);
  EXPECT_EQ(p.savingPercent, 0.0);
}

TEST_F(SharedPools, BlocksOnlyInOneSource) {
  // a and b share the common pool; half of b's own pool is in d as well; c
  // shares nothing.
  const Pool half1 = Pool(ownB.begin(), ownB.begin() + 70000);
  const Pool half2 = Pool(ownB.begin() + 70000, ownB.end());
  const std::vector<KeySample> samples = {sketchOf({&common, &ownA}, kK), sketchOf({&common, &half1, &half2}, kK),
                                          sketchOf({&other}, kK), sketchOf({&half2, &ownD}, kK)};
  const double truth[] = {140000, 70000, 200000, 340000};
  const MergeOverlap o = compare(samples);
  ASSERT_EQ(o.onlyIn.size(), 4u);
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(o.onlyIn[i].source, i);
    EXPECT_TRUE(inside(o.onlyIn[i].blocks, truth[i])) << i << ": " << o.onlyIn[i].blocks.blocks;
    EXPECT_LT(relativeError(o.onlyIn[i].blocks, truth[i]), 0.03) << i << ": " << o.onlyIn[i].blocks.blocks;
  }
  EXPECT_EQ(o.pairs.size(), 6u);
}

TEST(SourceOverlap, SmallSourcesAreCountedExactly) {
  // Fewer distinct blocks than K: the sketches hold them all.
  const Pool common = pool(300, 7), a = pool(700, 8), b = pool(700, 9);
  const MergeOverlap o = compare({sketchOf({&common, &a}, 50000), sketchOf({&common, &b}, 50000)});
  const PairOverlap& p = o.pairs[0];
  EXPECT_EQ(p.shared.blocks, 300u);
  EXPECT_EQ(p.shared.low, 300u);
  EXPECT_EQ(p.shared.high, 300u);
  EXPECT_DOUBLE_EQ(p.jaccard, 300.0 / 1700.0);
  EXPECT_DOUBLE_EQ(p.savingPercent, 100.0 * 300 / 2000);
  EXPECT_EQ(o.onlyIn[0].blocks.blocks, 700u);
  EXPECT_EQ(o.onlyIn[0].blocks.high, 700u);
}

TEST(SourceOverlap, OneSourceHoldsAllItsBlocksAlone) {
  const Pool a = pool(9000, 10);
  const MergeOverlap o = compare({sketchOf({&a}, 2000)});
  EXPECT_TRUE(o.pairs.empty());
  ASSERT_EQ(o.onlyIn.size(), 1u);
  EXPECT_TRUE(inside(o.onlyIn[0].blocks, 9000));
}

TEST(SourceOverlap, SketchTooSmallToEstimateIsUnknown) {
  KeySample one;
  one.keys = {42};
  const MergeOverlap o = compare({one, one});
  EXPECT_FALSE(o.pairs[0].shared.known);
  EXPECT_FALSE(o.onlyIn[0].blocks.known);
}

TEST(SourceOverlap, LabelNamesTheSketchFileWhereSourcesHaveTheSameName) {
  MergeOverlap o;
  o.sources = {"/dev/sda", "/dev/sdb", "/dev/sda"};
  o.files = {"host1.dat", "host1b.dat", "host2.dat"};
  EXPECT_EQ(sourceLabel(o, 0), "/dev/sda (host1.dat)");
  EXPECT_EQ(sourceLabel(o, 1), "/dev/sdb");
  EXPECT_EQ(sourceLabel(o, 2), "/dev/sda (host2.dat)");
}

// Clusters of sources: each source of cluster c is the cluster's pool plus
// an own pool.
struct Clusters {
  std::vector<Pool> pools;
  std::vector<KeySample> samples;
  std::vector<int> clusterOf;

  Clusters(const std::vector<int>& sourcesPerCluster, std::size_t commonSize, std::size_t ownSize, std::size_t k) {
    pools.reserve(64);
    uint64_t seed = 100;
    for (std::size_t c = 0; c < sourcesPerCluster.size(); ++c) pools.push_back(pool(commonSize, seed++));
    for (std::size_t c = 0; c < sourcesPerCluster.size(); ++c) {
      for (int i = 0; i < sourcesPerCluster[c]; ++i) {
        pools.push_back(pool(ownSize, seed++));
        samples.push_back(sketchOf({&pools[c], &pools.back()}, k));
        clusterOf.push_back(static_cast<int>(c));
      }
    }
  }
};

// The groups as sets of cluster numbers, one set per group.
std::set<std::set<int>> clusterSets(const MergeOverlap& o, const Clusters& c) {
  std::set<std::set<int>> out;
  for (const SourceGroup& g : o.groups) {
    std::set<int> s;
    for (std::size_t m : g.members) s.insert(c.clusterOf[m]);
    out.insert(s);
  }
  return out;
}

TEST(SourceGroups, SourcesThatShareLandTogether) {
  struct Case {
    const char* what;
    std::vector<int> perCluster;
    std::size_t k;
    bool exact;
  } cases[] = {
      {"every split weighed, sketches exact", {2, 3, 2}, 100000, true},
      {"every split weighed, sketches full", {2, 3, 2}, 1500, true},
      {"greedy beyond the limit", {5, 4, 6}, 1500, false},
  };
  for (const Case& t : cases) {
    Clusters c(t.perCluster, 6000, 2000, t.k);
    MergeOverlap o = compare(c.samples);
    proposeGroups(c.samples, t.perCluster.size(), o);
    EXPECT_EQ(o.groupsExact, t.exact) << t.what;
    ASSERT_EQ(o.groups.size(), t.perCluster.size()) << t.what;
    EXPECT_EQ(clusterSets(o, c), (std::set<std::set<int>>{{0}, {1}, {2}})) << t.what;
    std::size_t members = 0;
    for (std::size_t g = 0; g < o.groups.size(); ++g) {
      const SourceGroup& group = o.groups[g];
      members += group.members.size();
      EXPECT_TRUE(std::is_sorted(group.members.begin(), group.members.end()));
      if (g > 0) {
        EXPECT_LT(o.groups[g - 1].members[0], group.members[0]) << "ordered by first member";
      }
      // A cluster of n sources: 6000 + n * 2000 distinct of n * 8000.
      const double n = static_cast<double>(group.members.size());
      const double unique = 6000 + n * 2000;
      EXPECT_NEAR(static_cast<double>(group.uniqueBlocks), unique, (t.k > 10000 ? 0 : 0.08) * unique) << t.what;
      EXPECT_NEAR(group.savingsPercent, 100 * (1 - unique / (n * 8000)), t.k > 10000 ? 1e-9 : 3.0) << t.what;
    }
    EXPECT_EQ(members, c.samples.size()) << t.what;
  }
}

TEST(SourceGroups, OneGroupHoldsAllAndAsManyGroupsAsSourcesHoldOneEach) {
  for (const std::vector<int>& perCluster : {std::vector<int>{2, 2}, std::vector<int>{7, 7}}) {
    Clusters c(perCluster, 3000, 1000, 100000);
    MergeOverlap o = compare(c.samples);
    proposeGroups(c.samples, 1, o);
    ASSERT_EQ(o.groups.size(), 1u);
    EXPECT_EQ(o.groups[0].members.size(), c.samples.size());
    const double n = static_cast<double>(c.samples.size());
    EXPECT_EQ(o.groups[0].uniqueBlocks, static_cast<uint64_t>(2 * 3000 + n * 1000));

    proposeGroups(c.samples, c.samples.size(), o);
    ASSERT_EQ(o.groups.size(), c.samples.size());
    for (std::size_t g = 0; g < o.groups.size(); ++g) {
      EXPECT_EQ(o.groups[g].members, std::vector<std::size_t>{g});
      EXPECT_EQ(o.groups[g].uniqueBlocks, 4000u);
      EXPECT_EQ(o.groups[g].savingsPercent, 0.0);
    }
  }
}

}  // namespace
