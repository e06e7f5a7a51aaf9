// The flat buffer-operations table and the two checksums it offers.
#include <cstring>

#include "compress/z_deflate.h"

namespace {

// Largest n with 255n(n+1)/2 + (n+1)(65521-1) below 2^32: the sums may run
// that many bytes before they must be reduced.
constexpr unsigned kAdlerBase = 65521;
constexpr unsigned kAdlerRun = 5552;

struct crc_table {
  unsigned long entry[256];
};

constexpr crc_table build_crc_table() {
  crc_table t{};
  for (unsigned long n = 0; n < 256; n++) {
    unsigned long c = n;
    for (int k = 0; k < 8; k++) c = (c & 1) ? 0xedb88320UL ^ (c >> 1) : c >> 1;
    t.entry[n] = c;
  }
  return t;
}

constexpr crc_table kCrcTable = build_crc_table();

void copy_bytes(unsigned char* dest, const unsigned char* src, unsigned n) {
  std::memcpy(dest, src, n);
}

void advance_pointer(unsigned char** pointer, unsigned n) { *pointer += n; }

int pointer_is_null(const unsigned char* pointer) { return pointer == nullptr; }

}  // namespace

unsigned long z_adler32(unsigned long adler, const unsigned char* buf, unsigned len) {
  if (buf == nullptr) return 1;
  unsigned long a = adler & 0xffff;
  unsigned long b = (adler >> 16) & 0xffff;
  while (len > 0) {
    unsigned run = len < kAdlerRun ? len : kAdlerRun;
    len -= run;
    while (run-- > 0) {
      a += *buf++;
      b += a;
    }
    a %= kAdlerBase;
    b %= kAdlerBase;
  }
  return (b << 16) | a;
}

unsigned long z_crc32(unsigned long crc, const unsigned char* buf, unsigned len) {
  if (buf == nullptr) return 0;
  crc = (crc & 0xffffffffUL) ^ 0xffffffffUL;
  while (len-- > 0) crc = kCrcTable.entry[(crc ^ *buf++) & 0xff] ^ (crc >> 8);
  return crc ^ 0xffffffffUL;
}

const z_buffer_ops regular_operations = {z_adler32,      z_crc32,         copy_bytes,
                                         copy_bytes,     advance_pointer, pointer_is_null};
