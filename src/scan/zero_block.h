// The zero test of the scan and of a partial scan's samples.
#ifndef DEZEVAZIR_SCAN_ZERO_BLOCK_H_
#define DEZEVAZIR_SCAN_ZERO_BLOCK_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

// Every byte of the block is 0. An empty block is no zero block.
//
// Reads each byte once, a word at a time, and stops at the first group of
// words that holds a non-zero byte: most data blocks show one in their first
// word, and a zero block costs one pass (a block compared with itself
// shifted by a byte is read twice, and runs of equal bytes take it to their
// end before it can tell).
inline bool isZeroBlock(const unsigned char* p, size_t len) {
  if (len == 0) return false;
  size_t i = 0;
  uint64_t w[8];
  if (len >= sizeof w[0]) {
    std::memcpy(w, p, sizeof w[0]);
    if (w[0] != 0) return false;
  }
  // Eight words ORed together before each test: the loads run side by side
  // and the compiler may use vector registers for them.
  for (; i + sizeof w <= len; i += sizeof w) {
    std::memcpy(w, p + i, sizeof w);
    if ((w[0] | w[1] | w[2] | w[3] | w[4] | w[5] | w[6] | w[7]) != 0) return false;
  }
  for (; i + sizeof w[0] <= len; i += sizeof w[0]) {
    std::memcpy(w, p + i, sizeof w[0]);
    if (w[0] != 0) return false;
  }
  for (; i < len; ++i) {
    if (p[i] != 0) return false;
  }
  return true;
}

#endif  // DEZEVAZIR_SCAN_ZERO_BLOCK_H_
