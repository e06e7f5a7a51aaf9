// A source's sketch reduced to its sketch keys, and the estimates that two
// or more such samples give together: how many distinct blocks their
// sources have in common, and how many their union has.
//
// A K-minimum-values sketch holds every fingerprint of its source up to its
// largest kept key (its limit), or all of them when it never filled. Up to
// the lowest limit of several sketches, their entries together are then
// every fingerprint of the sources' union up to that key: a sample of the
// union of the same kind, from which the union's distinct count and the
// share of it that some of the sources hold are estimated.
#ifndef DEZEVAZIR_SKETCH_KEY_SAMPLE_H_
#define DEZEVAZIR_SKETCH_KEY_SAMPLE_H_

#include <cstddef>
#include <cstdint>
#include <vector>

struct KeySample {
  // Ascending and distinct. Two fingerprints that differ only after their
  // eighth byte count as one (a chance of about n^2 / 2^65).
  std::vector<uint64_t> keys;
  // Holds every distinct fingerprint of its source (the sketch never
  // dropped one), so that figures from it are counts, not estimates.
  bool exact = false;

  // The key up to which every fingerprint of the source is held.
  uint64_t limit() const { return exact || keys.empty() ? UINT64_MAX : keys.back(); }
  // Entries up to and including `key`.
  std::size_t countUpTo(uint64_t key) const;
};

// The union of several samples, up to the lowest of their limits.
struct UnionCount {
  uint64_t entries = 0;  // distinct keys in the union sample
  uint64_t first = 0;    // its smallest and largest key
  uint64_t last = 0;
  bool exact = false;    // every sample exact: entries is the union's count

  // The union's distinct fingerprints: the count when exact, else the
  // sketch's own estimate (entries - 1) / ((last - first) * 2^-64). -1 when
  // it cannot be estimated (fewer than two entries, or no span).
  double distinct() const;
};

// Two samples side by side: their union sample and how many of its entries
// both hold.
struct PairCount {
  UnionCount all;
  uint64_t both = 0;
};
PairCount countPair(const KeySample& a, const KeySample& b);

// The union sample of a and b as a sample of its own. Exact when both are;
// otherwise cut to its `cap` smallest keys when it has more (a prefix of a
// sample is a sample too, with a lower limit).
KeySample uniteSamples(const KeySample& a, const KeySample& b, std::size_t cap);

// The union count of a sample built alone (one source, or a group's union).
UnionCount countOf(const KeySample& s);

// A 95 % interval [low, high] for the mean of a Poisson count of which c
// was seen (the score interval): c + z^2/2 -/+ z * sqrt(c + z^2/4), z =
// 1.96. For c = 0 it is [0, 3.84].
void countInterval95(uint64_t c, double& low, double& high);

#endif  // DEZEVAZIR_SKETCH_KEY_SAMPLE_H_
