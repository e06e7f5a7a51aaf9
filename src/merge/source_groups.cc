#include "merge/source_groups.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <queue>
#include <utility>

namespace {

// A union's estimated distinct blocks; where the sketches hold too little to
// estimate it, its few entries.
double sizeOf(const UnionCount& u) {
  const double d = u.distinct();
  return d >= 0 ? d : static_cast<double>(u.entries);
}

// The union sample of several sources, as the merge of their sketches
// would hold it: at most `cap` keys.
KeySample unionOf(const std::vector<KeySample>& samples, const std::vector<std::size_t>& members, std::size_t cap) {
  KeySample u = samples[members[0]];
  for (std::size_t i = 1; i < members.size(); ++i) u = uniteSamples(u, samples[members[i]], cap);
  return u;
}

// A group's figures from its union sample: the members' own entries up to
// the sample's limit, summed, against the union's entries give the saving.
SourceGroup describe(const std::vector<KeySample>& samples, std::vector<std::size_t> members, const KeySample& u) {
  SourceGroup g;
  std::sort(members.begin(), members.end());
  g.members = std::move(members);
  const double unique = sizeOf(countOf(u));
  g.uniqueBlocks = unique > 0 ? static_cast<uint64_t>(std::round(unique)) : 0;
  double held = 0;
  for (std::size_t m : g.members) held += static_cast<double>(samples[m].countUpTo(u.limit()));
  if (held > 0) g.savingsPercent = 100.0 * (1.0 - static_cast<double>(u.keys.size()) / held);
  return g;
}

// Every subset's union size at once. All sketches up to the lowest limit of
// all of them are a sample of every subset's union with that same limit:
// a key belongs to a subset's union when one of its holders is in the
// subset. So the keys are counted by the set of sources holding them, and
// a subset's count is all keys but those held only outside it (a sum over
// the subsets of its complement, taken for all subsets in n * 2^n steps).
std::vector<double> subsetSizes(const std::vector<KeySample>& samples) {
  const std::size_t n = samples.size();
  uint64_t limit = UINT64_MAX;
  bool exact = true;
  for (const KeySample& s : samples) {
    limit = std::min(limit, s.limit());
    exact = exact && (s.exact || s.keys.empty());
  }
  std::vector<double> held(std::size_t{1} << n, 0.0);
  std::vector<std::size_t> pos(n, 0), end(n);
  using Head = std::pair<uint64_t, std::size_t>;
  std::priority_queue<Head, std::vector<Head>, std::greater<Head>> heads;
  for (std::size_t i = 0; i < n; ++i) {
    end[i] = samples[i].countUpTo(limit);
    if (end[i] > 0) heads.push({samples[i].keys[0], i});
  }
  double all = 0;
  while (!heads.empty()) {
    const uint64_t key = heads.top().first;
    unsigned holders = 0;
    while (!heads.empty() && heads.top().first == key) {
      const std::size_t i = heads.top().second;
      heads.pop();
      holders |= 1u << i;
      if (++pos[i] < end[i]) heads.push({samples[i].keys[pos[i]], i});
    }
    held[holders] += 1;
    all += 1;
  }
  // held[x] becomes the keys whose holders all lie within x.
  for (std::size_t b = 0; b < n; ++b) {
    for (std::size_t x = 0; x < held.size(); ++x) {
      if (x & (std::size_t{1} << b)) held[x] += held[x ^ (std::size_t{1} << b)];
    }
  }
  // Blocks per sample key: the limit's share of the key space, inverted.
  const double perKey = exact || limit == 0 ? 1.0 : 18446744073709551616.0 / static_cast<double>(limit);
  const std::size_t full = held.size() - 1;
  std::vector<double> size(held.size());
  for (std::size_t g = 0; g < held.size(); ++g) size[g] = (all - held[full ^ g]) * perKey;
  return size;
}

// The best split of all: over the subsets of the sources, best[k][mask] is
// the least total size of mask split into k groups, the group of mask's
// lowest source chosen first.
std::vector<std::vector<std::size_t>> bestSplit(const std::vector<KeySample>& samples, std::size_t count) {
  const std::size_t n = samples.size();
  const unsigned full = (1u << n) - 1;
  const std::vector<double> size = subsetSizes(samples);

  const double kNone = std::numeric_limits<double>::infinity();
  std::vector<std::vector<double>> best(count + 1, std::vector<double>(full + 1, kNone));
  std::vector<std::vector<unsigned>> pick(count + 1, std::vector<unsigned>(full + 1, 0));
  best[0][0] = 0;
  for (std::size_t k = 1; k <= count; ++k) {
    for (unsigned mask = 1; mask <= full; ++mask) {
      const unsigned low = mask & (~mask + 1);
      const unsigned rest = mask ^ low;
      // Every group that holds the lowest source: low plus a subset of rest.
      for (unsigned sub = rest;; sub = (sub - 1) & rest) {
        const unsigned group = sub | low;
        const double total = size[group] + best[k - 1][mask ^ group];
        if (total < best[k][mask]) {
          best[k][mask] = total;
          pick[k][mask] = group;
        }
        if (sub == 0) break;
      }
    }
  }
  std::vector<std::vector<std::size_t>> groups;
  unsigned mask = full;
  for (std::size_t k = count; k > 0; --k) {
    const unsigned group = pick[k][mask];
    std::vector<std::size_t> members;
    for (std::size_t i = 0; i < n; ++i) {
      if (group & (1u << i)) members.push_back(i);
    }
    groups.push_back(members);
    mask ^= group;
  }
  return groups;
}

// Greedy: one group per source at first; the two groups that share the most
// estimated blocks are joined until count are left. A group of one source
// is its sample; a joined group holds its union sample of its own.
struct GreedyGroup {
  std::vector<std::size_t> members;
  std::unique_ptr<KeySample> joined;
  bool active = true;
};

std::vector<GreedyGroup> greedySplit(const std::vector<KeySample>& samples, const MergeOverlap& o,
                                     std::size_t count, std::size_t cap) {
  const std::size_t n = samples.size();
  std::vector<GreedyGroup> g(n);
  std::vector<std::vector<double>> shared(n, std::vector<double>(n, 0.0));
  for (std::size_t i = 0; i < n; ++i) g[i].members = {i};
  for (const PairOverlap& p : o.pairs) {
    shared[p.a][p.b] = shared[p.b][p.a] = p.shared.known ? static_cast<double>(p.shared.blocks) : 0.0;
  }
  auto sampleOf = [&](std::size_t i) -> const KeySample& { return g[i].joined ? *g[i].joined : samples[i]; };

  for (std::size_t left = n; left > count; --left) {
    std::size_t bi = 0, bj = 0;
    double most = -1;
    for (std::size_t i = 0; i < n; ++i) {
      if (!g[i].active) continue;
      for (std::size_t j = i + 1; j < n; ++j) {
        if (g[j].active && shared[i][j] > most) {
          most = shared[i][j];
          bi = i;
          bj = j;
        }
      }
    }
    std::unique_ptr<KeySample> u(new KeySample(uniteSamples(sampleOf(bi), sampleOf(bj), cap)));
    g[bi].joined = std::move(u);
    g[bi].members.insert(g[bi].members.end(), g[bj].members.begin(), g[bj].members.end());
    g[bj].active = false;
    g[bj].joined.reset();
    g[bj].members.clear();
    for (std::size_t x = 0; x < n; ++x) {
      if (x == bi || !g[x].active) continue;
      const PairCount p = countPair(sampleOf(bi), sampleOf(x));
      const double d = p.all.distinct();
      const double s = d < 0 || p.all.entries == 0
                           ? 0.0
                           : d * static_cast<double>(p.both) / static_cast<double>(p.all.entries);
      shared[bi][x] = shared[x][bi] = s;
    }
  }
  return g;
}

}  // namespace

void proposeGroups(const std::vector<KeySample>& samples, std::size_t count, MergeOverlap& out) {
  out.groups.clear();
  const std::size_t n = samples.size();
  if (count == 0 || count > n) return;
  // A group's union sample is held at the size of the largest sketch (one
  // that holds all of its sources' blocks is kept whole): the groups take
  // no more memory than the sketches do.
  std::size_t cap = 1;
  for (const KeySample& s : samples) cap = std::max(cap, s.keys.size());

  out.groupsExact = n <= kExactGroupingLimit;
  if (out.groupsExact) {
    for (const std::vector<std::size_t>& members : bestSplit(samples, count)) {
      out.groups.push_back(describe(samples, members, unionOf(samples, members, cap)));
    }
  } else {
    std::vector<GreedyGroup> g = greedySplit(samples, out, count, cap);
    for (std::size_t i = 0; i < n; ++i) {
      if (!g[i].active) continue;
      out.groups.push_back(describe(samples, g[i].members, g[i].joined ? *g[i].joined : samples[i]));
    }
  }
  std::sort(out.groups.begin(), out.groups.end(),
            [](const SourceGroup& x, const SourceGroup& y) { return x.members[0] < y.members[0]; });
}
