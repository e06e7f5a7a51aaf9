// How large a sketch file can grow, so that a run can make sure, before it
// reads anything, that its saves will find room.
#ifndef DEZEVAZIR_SKETCHFILE_FILE_SIZE_H_
#define DEZEVAZIR_SKETCHFILE_FILE_SIZE_H_

#include <cstddef>
#include <cstdint>

namespace sketchformat {

// Upper bound in bytes of a file of `entries` entry lines whose source names
// take sourceNamesLength characters, with one position per thread and
// fingerprints of fingerprintBytes bytes.
inline uint64_t maxFileBytes(uint64_t entries, std::size_t sourceNamesLength, std::size_t threads,
                             std::size_t fingerprintBytes) {
  // Header and the ten labels with their newlines take under 400 bytes;
  // each number is at most 20 digits (a ratio, as printed, at most 12);
  // each position is up to 20 digits and a blank.
  constexpr uint64_t kFixed = 400 + 7 * 20 + 12;
  constexpr uint64_t kPerPosition = 21;
  // Hex fingerprint, blank, ratio ("-1.23457e-05" at the longest), blank,
  // counter up to 255, newline.
  const uint64_t perEntry = 2 * static_cast<uint64_t>(fingerprintBytes) + 1 + 12 + 1 + 3 + 1;
  return kFixed + sourceNamesLength + kPerPosition * threads + perEntry * entries;
}

}  // namespace sketchformat

#endif  // DEZEVAZIR_SKETCHFILE_FILE_SIZE_H_
