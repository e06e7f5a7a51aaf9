// Estimates from the sketch and the block counters. Counters are unsigned
// 64-bit and convert to double as unsigned values.
#include <cmath>
#include <cstdint>
#include <limits>

#include "base/run_globals.h"
#include "sketch/counts.h"
#include "sketch/dc_kheap.h"

namespace {

// 2^-64: a key difference as a fraction of the key space.
constexpr double kKeySpaceFraction = 5.421010862427522e-20;

int64_t clampToI64(__int128 v) {
  if (v > std::numeric_limits<int64_t>::max()) return std::numeric_limits<int64_t>::max();
  if (v < std::numeric_limits<int64_t>::min()) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(v);
}

uint64_t blockBytes() { return static_cast<uint64_t>(myGlobals.blockSize); }

}  // namespace

double DCKHeap::getUniqueEstimation() const {
  const size_t n = set_.size();
  if (n <= 1) return -1.0;
  // The sketch never filled: it holds every distinct fingerprint seen.
  if (fillCapacity > n) return static_cast<double>(n);
  const uint64_t first = set_.begin()->entry->extractHashAsULong();
  const uint64_t last = set_.rbegin()->entry->extractHashAsULong();
  const uint64_t span = last - first;
  // All kept keys equal (they differ only past the eighth byte): no span to
  // scale by.
  if (span == 0) return -1.0;
  return (static_cast<double>(capacity_) - 1.0) / (static_cast<double>(span) * kKeySpaceFraction);
}

double DCKHeap::getCompressionRatio(bool useCached) const {
  if (useCached && cachedRatio_ >= 0.0) return cachedRatio_;
  if (set_.size() <= 1) return -1.0;
  // Ascending fingerprint order, so the sum does not depend on arrival order.
  // An entry whose block could not be read back has no ratio (-1) and
  // stays out of the mean.
  double sum = 0.0;
  size_t measured = 0;
  for (const Slot& s : set_) {
    const DCHashAndRatio* e = s.entry;
    if (e->ratio < 0.0) continue;
    sum += e->ratio;
    ++measured;
  }
  if (measured == 0) return -1.0;
  return sum / static_cast<double>(measured);
}

double DCKHeap::getUniqueEstimationAfterSplit(uint64_t /*notZero*/) const {
  const double m = getCompressionRatio(false);
  if (m == -1.0) return -1.0;
  const double u = getUniqueEstimation();
  if (myGlobals.storagever > 1201) return u;
  if (u < 0.0) return -1.0;
  // Entries by sighting count; a damaged counter below 1 still is one block.
  uint64_t q[4] = {0, 0, 0, 0};
  for (const Slot& s : set_) {
    const DCHashAndRatio* e = s.entry;
    int k = e->refCounter;
    q[k <= 1 ? 0 : (k >= 4 ? 3 : k - 1)]++;
  }
  const double n = static_cast<double>(q[0] + q[1] + q[2] + q[3]);
  // Older storage splits a block seen k times into 1 + p + ... + p^(k-1)
  // stored copies; four or more take the whole series 1 / (1 - p).
  const double p = m / (32768.0 / static_cast<double>(myGlobals.blockSize));
  const double f1 = u * static_cast<double>(q[0]) / n;
  const double f2 = u * static_cast<double>(q[1]) / n;
  const double f3 = u * static_cast<double>(q[2]) / n;
  const double f4 = u * static_cast<double>(q[3]) / n;
  return f1 + (1 + p) * f2 + (1 + p + p * p) * f3 + f4 / (1 - p);
}

double DCKHeap::getDedupRatio(uint64_t x, uint64_t y) const {
  return getUniqueEstimation() / (static_cast<double>(x) + static_cast<double>(y));
}

double DCKHeap::getDedupRatioAfterSplit(uint64_t x, uint64_t y) const {
  return getUniqueEstimationAfterSplit(x) / (static_cast<double>(x) + static_cast<double>(y));
}

uint64_t DCKHeap::uniqueAfterSplitBlocks(uint64_t c) const {
  const double u = getUniqueEstimationAfterSplit(c);
  // Unavailable, or too large for the counters (a damaged or crafted
  // sketch): count every not-zero block as unique, as the report does.
  if (u < 0.0 || std::isnan(u)) return c;
  const uint64_t blocks = truncatedCountOrZero(u);
  return blocks == std::numeric_limits<uint64_t>::max() ? c : blocks;
}

uint64_t DCKHeap::getMetadataDROverhead(uint64_t a, uint64_t b, uint64_t c) const {
  return (a + b + c) / 100;
}

uint64_t DCKHeap::getPaddingOverhead(uint64_t a, uint64_t b, uint64_t c) const {
  const uint64_t t = a + b + c;
  return ((t / static_cast<uint64_t>(myGlobals.paddingDivisor)) * 256) / blockBytes();
}

uint64_t DCKHeap::getReservedVolOverhead(uint64_t a, uint64_t b, uint64_t c) const {
  const uint64_t t = a + b + c;
  const uint64_t u = uniqueAfterSplitBlocks(c);
  // c - U' goes below zero when the estimate overshoots c; signed, so the
  // overhead shrinks smoothly instead of wrapping.
  const __int128 sum = static_cast<__int128>(((t >> 13) + 1) * 50) + c - static_cast<__int128>(u);
  const __int128 bytes = sum * 28 + 1192576;
  if (bytes <= 0) return 0;
  const __int128 blocks = bytes / blockBytes();
  return blocks > std::numeric_limits<uint64_t>::max() ? std::numeric_limits<uint64_t>::max()
                                                        : static_cast<uint64_t>(blocks);
}

int64_t DCKHeap::getMetadataCROverhead(uint64_t a, uint64_t b, uint64_t c) const {
  const uint64_t t = a + b + c;
  const __int128 u = uniqueAfterSplitBlocks(c);
  const __int128 first = static_cast<__int128>(myGlobals.metaWeightUnique) * u +
                         static_cast<__int128>(myGlobals.metaWeightZero) * a +
                         static_cast<__int128>(myGlobals.metaWeightDup) * (static_cast<__int128>(c) - u);
  // Mostly unique data makes this negative; the report adds it as is.
  return clampToI64(first / static_cast<__int128>(blockBytes()) - static_cast<__int128>(t / 100));
}

void DCKHeap::judgeFillFromCounters(uint64_t notZero) {
  uint64_t sum = 0;
  bool saturated = false;
  for (const Slot& s : set_) {
    const DCHashAndRatio* e = s.entry;
    sum += static_cast<uint64_t>(e->refCounter);
    saturated = saturated || e->refCounter >= 255;
  }
  if (sum == notZero) {
    fillCapacity = std::numeric_limits<uint64_t>::max();
  } else if (!saturated) {
    fillCapacity = set_.size();
  }
}
