// MurmurHash3, the 128-bit x64 variant. Input words are read little-endian
// on every host, so results match the published x86-64 values everywhere.
#ifndef DEZEVAZIR_SKETCH_MURMUR3_H_
#define DEZEVAZIR_SKETCH_MURMUR3_H_

#include <cstddef>
#include <cstdint>

// out[0] = h1, out[1] = h2.
void MurmurHash3_x64_128(const void* key, uint64_t length, uint32_t seed, uint64_t out[2]);

// The hash of key[0, length) followed by suffix[0, suffixLength), without
// copying the key. suffixLength must be at most 16.
void MurmurHash3_x64_128_with_suffix(const void* key, uint64_t length, const void* suffix,
                                     size_t suffixLength, uint32_t seed, uint64_t out[2]);

#endif  // DEZEVAZIR_SKETCH_MURMUR3_H_
