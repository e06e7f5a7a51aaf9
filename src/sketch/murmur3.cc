// MurmurHash3_x64_128: 16-byte blocks mixed into two 64-bit lanes, a tail of
// up to 15 bytes, then the length and the avalanche finaliser.
#include "sketch/murmur3.h"

#include <cstring>

namespace {

constexpr uint64_t kC1 = 0x87c37b91114253d5ULL;
constexpr uint64_t kC2 = 0x4cf5ad432745937fULL;

inline uint64_t rotl64(uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }

inline uint64_t loadLittleEndian64(const unsigned char* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

inline uint64_t fmix64(uint64_t k) {
  k ^= k >> 33;
  k *= 0xff51afd7ed558ccdULL;
  k ^= k >> 33;
  k *= 0xc4ceb9fe1a85ec53ULL;
  k ^= k >> 33;
  return k;
}

inline uint64_t mixK1(uint64_t k1) { return rotl64(k1 * kC1, 31) * kC2; }
inline uint64_t mixK2(uint64_t k2) { return rotl64(k2 * kC2, 33) * kC1; }

void mixBlocks(const unsigned char* data, uint64_t blocks, uint64_t& h1, uint64_t& h2) {
  for (; blocks != 0; --blocks, data += 16) {
    h1 ^= mixK1(loadLittleEndian64(data));
    h1 = rotl64(h1, 27) + h2;
    h1 = h1 * 5 + 0x52dce729;
    h2 ^= mixK2(loadLittleEndian64(data + 8));
    h2 = rotl64(h2, 31) + h1;
    h2 = h2 * 5 + 0x38495ab5;
  }
}

// tailLength < 16; totalLength is the length of the whole input.
void finish(const unsigned char* tail, size_t tailLength, uint64_t totalLength, uint64_t h1,
            uint64_t h2, uint64_t out[2]) {
  // The tail bytes fill k1 (bytes 0..7) and k2 (bytes 8..14) little-endian.
  uint64_t k1 = 0, k2 = 0;
  for (size_t i = tailLength; i > 8; --i) k2 = (k2 << 8) | tail[i - 1];
  for (size_t i = tailLength < 8 ? tailLength : 8; i > 0; --i) k1 = (k1 << 8) | tail[i - 1];
  if (tailLength > 8) h2 ^= mixK2(k2);
  if (tailLength > 0) h1 ^= mixK1(k1);

  h1 ^= totalLength;
  h2 ^= totalLength;
  h1 += h2;
  h2 += h1;
  h1 = fmix64(h1);
  h2 = fmix64(h2);
  h1 += h2;
  h2 += h1;
  out[0] = h1;
  out[1] = h2;
}

}  // namespace

void MurmurHash3_x64_128(const void* key, uint64_t length, uint32_t seed, uint64_t out[2]) {
  const unsigned char* data = static_cast<const unsigned char*>(key);
  uint64_t h1 = seed, h2 = seed;
  const uint64_t blocks = length / 16;
  mixBlocks(data, blocks, h1, h2);
  finish(data + blocks * 16, static_cast<size_t>(length % 16), length, h1, h2, out);
}

void MurmurHash3_x64_128_with_suffix(const void* key, uint64_t length, const void* suffix,
                                     size_t suffixLength, uint32_t seed, uint64_t out[2]) {
  const unsigned char* data = static_cast<const unsigned char*>(key);
  uint64_t h1 = seed, h2 = seed;
  const uint64_t blocks = length / 16;
  mixBlocks(data, blocks, h1, h2);

  // The key's last partial block plus the suffix: at most 15 + 16 bytes, so
  // one more whole block and then a tail.
  unsigned char joined[32];
  const size_t rest = static_cast<size_t>(length % 16);
  if (rest != 0) std::memcpy(joined, data + blocks * 16, rest);
  if (suffixLength != 0) std::memcpy(joined + rest, suffix, suffixLength);
  const size_t joinedLength = rest + suffixLength;
  const size_t joinedBlocks = joinedLength / 16;
  mixBlocks(joined, joinedBlocks, h1, h2);
  finish(joined + joinedBlocks * 16, joinedLength % 16, length + suffixLength, h1, h2, out);
}
