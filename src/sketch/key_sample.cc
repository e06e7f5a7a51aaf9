#include "sketch/key_sample.h"

#include <algorithm>
#include <cmath>

namespace {

// 2^-64: a key difference as a fraction of the key space.
constexpr double kKeySpaceFraction = 5.421010862427522e-20;
constexpr double kZ95 = 1.959963984540054;

}  // namespace

std::size_t KeySample::countUpTo(uint64_t key) const {
  return static_cast<std::size_t>(std::upper_bound(keys.begin(), keys.end(), key) - keys.begin());
}

double UnionCount::distinct() const {
  if (exact) return static_cast<double>(entries);
  // The estimate of a full sketch, as the report makes it: the span of the
  // kept keys stands for the largest one's share of the key space.
  if (entries <= 1 || last == first) return -1.0;
  return (static_cast<double>(entries) - 1.0) / (static_cast<double>(last - first) * kKeySpaceFraction);
}

UnionCount countOf(const KeySample& s) {
  UnionCount u;
  u.entries = s.keys.size();
  u.exact = s.exact || s.keys.empty();
  if (!s.keys.empty()) {
    u.first = s.keys.front();
    u.last = s.keys.back();
  }
  return u;
}

PairCount countPair(const KeySample& a, const KeySample& b) {
  const uint64_t limit = std::min(a.limit(), b.limit());
  const std::size_t na = a.countUpTo(limit);
  const std::size_t nb = b.countUpTo(limit);
  const uint64_t* x = a.keys.data();
  const uint64_t* y = b.keys.data();
  std::size_t i = 0, j = 0;
  uint64_t both = 0;
  // The common keys of two ascending runs; the steps are computed, not
  // branched on, because which run moves is a coin toss.
  while (i < na && j < nb) {
    const uint64_t u = x[i], v = y[j];
    both += u == v;
    i += u <= v;
    j += v <= u;
  }
  PairCount p;
  p.both = both;
  p.all.entries = na + nb - both;
  p.all.exact = (a.exact || a.keys.empty()) && (b.exact || b.keys.empty());
  if (na > 0 && nb > 0) {
    p.all.first = std::min(x[0], y[0]);
    p.all.last = std::max(x[na - 1], y[nb - 1]);
  } else if (na > 0) {
    p.all.first = x[0];
    p.all.last = x[na - 1];
  } else if (nb > 0) {
    p.all.first = y[0];
    p.all.last = y[nb - 1];
  }
  return p;
}

KeySample uniteSamples(const KeySample& a, const KeySample& b, std::size_t cap) {
  const uint64_t limit = std::min(a.limit(), b.limit());
  const auto ea = a.keys.begin() + static_cast<std::ptrdiff_t>(a.countUpTo(limit));
  const auto eb = b.keys.begin() + static_cast<std::ptrdiff_t>(b.countUpTo(limit));
  KeySample u;
  u.keys.reserve(std::min<std::size_t>(cap, static_cast<std::size_t>((ea - a.keys.begin()) + (eb - b.keys.begin()))));
  std::set_union(a.keys.begin(), ea, b.keys.begin(), eb, std::back_inserter(u.keys));
  u.exact = (a.exact || a.keys.empty()) && (b.exact || b.keys.empty());
  if (!u.exact && u.keys.size() > cap) {
    u.keys.resize(cap);
    u.keys.shrink_to_fit();
    u.exact = false;
  }
  return u;
}

void countInterval95(uint64_t c, double& low, double& high) {
  const double n = static_cast<double>(c);
  const double centre = n + kZ95 * kZ95 / 2;
  const double half = kZ95 * std::sqrt(n + kZ95 * kZ95 / 4);
  low = std::max(0.0, centre - half);
  high = centre + half;
}
