#include "merge/source_overlap.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <queue>
#include <utility>

namespace {

uint64_t wholeBlocks(double v) {
  if (!(v > 0)) return 0;
  if (v >= 18446744073709551615.0) return UINT64_MAX;
  return static_cast<uint64_t>(std::round(v));
}

// `count` of the union sample's `entries` hold the property; the union has
// `distinct` blocks (negative: unknown). The estimate scales the count by
// the blocks each sample entry stands for, and so does its interval.
BlockEstimate scaledCount(uint64_t count, const UnionCount& all) {
  BlockEstimate e;
  const double distinct = all.distinct();
  if (distinct < 0) return e;
  e.known = true;
  if (all.exact) {
    e.blocks = e.low = e.high = count;
    return e;
  }
  const double perEntry = distinct / static_cast<double>(all.entries);
  double low = 0, high = 0;
  countInterval95(count, low, high);
  e.blocks = wholeBlocks(static_cast<double>(count) * perEntry);
  e.low = static_cast<uint64_t>(std::max(0.0, std::floor(low * perEntry)));
  e.high = wholeBlocks(std::ceil(high * perEntry));
  return e;
}

// The blocks of each source that no other holds: every sample's keys up to
// the lowest limit of all, walked together, smallest first.
void countOnlyIn(const std::vector<KeySample>& samples, MergeOverlap& out) {
  uint64_t limit = UINT64_MAX;
  for (const KeySample& s : samples) limit = std::min(limit, s.limit());
  std::vector<std::size_t> pos(samples.size(), 0), end(samples.size());
  using Head = std::pair<uint64_t, std::size_t>;
  std::priority_queue<Head, std::vector<Head>, std::greater<Head>> heads;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    end[i] = samples[i].countUpTo(limit);
    if (end[i] > 0) heads.push({samples[i].keys[0], i});
  }
  std::vector<uint64_t> only(samples.size(), 0);
  UnionCount all;
  all.exact = true;
  for (const KeySample& s : samples) all.exact = all.exact && (s.exact || s.keys.empty());
  while (!heads.empty()) {
    const uint64_t key = heads.top().first;
    std::size_t holders = 0, holder = 0;
    while (!heads.empty() && heads.top().first == key) {
      holder = heads.top().second;
      heads.pop();
      ++holders;
      if (++pos[holder] < end[holder]) heads.push({samples[holder].keys[pos[holder]], holder});
    }
    if (all.entries == 0) all.first = key;
    all.last = key;
    ++all.entries;
    if (holders == 1) ++only[holder];
  }
  for (std::size_t i = 0; i < samples.size(); ++i) {
    OnlyIn o;
    o.source = i;
    o.blocks = scaledCount(only[i], all);
    out.onlyIn.push_back(o);
  }
}

}  // namespace

void compareSources(const std::vector<KeySample>& samples, MergeOverlap& out) {
  out.pairs.clear();
  out.onlyIn.clear();
  for (std::size_t a = 0; a < samples.size(); ++a) {
    for (std::size_t b = a + 1; b < samples.size(); ++b) {
      const PairCount p = countPair(samples[a], samples[b]);
      PairOverlap o;
      o.a = a;
      o.b = b;
      o.shared = scaledCount(p.both, p.all);
      if (p.all.entries > 0) {
        o.jaccard = static_cast<double>(p.both) / static_cast<double>(p.all.entries);
        // Both sources' blocks, against the union's: on the union sample
        // they are the entries each holds, summed, against its entries.
        o.savingPercent = 100.0 * static_cast<double>(p.both) / static_cast<double>(p.all.entries + p.both);
      }
      out.pairs.push_back(o);
    }
  }
  countOnlyIn(samples, out);
}

std::string sourceLabel(const MergeOverlap& o, std::size_t i) {
  const std::size_t same = static_cast<std::size_t>(std::count(o.sources.begin(), o.sources.end(), o.sources[i]));
  if (same <= 1) return o.sources[i];
  return o.sources[i] + " (" + o.files[i] + ")";
}
