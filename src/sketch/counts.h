// Estimates (doubles) as block counts. The rules differ on purpose, and each
// is named for it: a file holds no negative count, so "cannot estimate" (-1)
// is written as 0; the report keeps -1 as the all-ones count it tests for.
// Every conversion saturates instead of being undefined beyond the range.
#ifndef DEZEVAZIR_SKETCH_COUNTS_H_
#define DEZEVAZIR_SKETCH_COUNTS_H_

#include <cmath>
#include <cstdint>
#include <limits>

// Rounded half away from zero; -1, NaN and other values not above 0 give 0.
inline uint64_t roundedCountOrZero(double v) {
  if (!(v > 0.0)) return 0;
  v = std::round(v);
  if (v >= 18446744073709551616.0) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(v);
}

// Truncated toward zero; values not above 0 (and NaN) give 0.
inline uint64_t truncatedCountOrZero(double v) {
  if (!(v > 0.0)) return 0;
  if (v >= 18446744073709551616.0) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(v);
}

// Truncated toward zero; negatives wrap as through a signed count, so
// "cannot estimate" (-1.0) becomes 2^64 - 1, which callers test for. NaN
// gives 0.
inline uint64_t truncatedCountOrAllOnes(double v) {
  if (std::isnan(v)) return 0;
  if (v < 0.0) {
    if (v <= -9223372036854775808.0) return uint64_t{1} << 63;
    return static_cast<uint64_t>(static_cast<int64_t>(v));
  }
  if (v >= 18446744073709551616.0) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(v);
}

// A signed block figure truncated toward zero, saturating; NaN gives 0.
inline int64_t truncatedBlocks(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 9223372036854775807.0) return std::numeric_limits<int64_t>::max();
  if (v <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(v);
}

#endif  // DEZEVAZIR_SKETCH_COUNTS_H_
