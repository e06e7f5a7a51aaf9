#include "compress/z_lz4_hashes.h"

#include <atomic>
#include <cstring>

#include "compress/z_deflate_state.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define DZ_HAVE_AVX2_PATH 1
#else
#define DZ_HAVE_AVX2_PATH 0
#endif

namespace zdeflate {
namespace {

constexpr int kSlotShift = 32 - LZ4_HASH_LOG;

using HashFn = void (*)(const unsigned char*, int, int, uint16_t*);

void hash_portable(const unsigned char* w, int from, int to, uint16_t* out) {
  for (int p = from; p < to; p++) {
    const uint32_t key = static_cast<uint32_t>(w[p]) << 24 | static_cast<uint32_t>(w[p + 1]) << 16 |
                         static_cast<uint32_t>(w[p + 2]) << 8;
    out[p] = static_cast<uint16_t>((key * LZ4_HASH_MULTIPLIER) >> kSlotShift);
  }
}

#if DZ_HAVE_AVX2_PATH
// Sixteen positions per round: two sets of eight keys gathered by a byte
// shuffle (the key of position j is bytes j, j+1, j+2 in big-endian order
// above a zero byte), multiplied, shifted and packed to 16 bits.
__attribute__((target("avx2"))) void hash_avx2(const unsigned char* w, int from, int to,
                                               uint16_t* out) {
  // Each 128-bit lane picks four keys; the upper lane gets its bytes four
  // positions later.
  const __m256i pick = _mm256_setr_epi8(
      -1, 2, 1, 0, -1, 3, 2, 1, -1, 4, 3, 2, -1, 5, 4, 3,  //
      -1, 6, 5, 4, -1, 7, 6, 5, -1, 8, 7, 6, -1, 9, 8, 7);
  const __m256i prime = _mm256_set1_epi32(static_cast<int>(LZ4_HASH_MULTIPLIER));
  int p = from;
  for (; p + 16 <= to; p += 16) {
    __m128i lo_bytes, hi_bytes;
    std::memcpy(&lo_bytes, w + p, sizeof(lo_bytes));
    std::memcpy(&hi_bytes, w + p + 8, sizeof(hi_bytes));
    const __m256i a = _mm256_srli_epi32(
        _mm256_mullo_epi32(_mm256_shuffle_epi8(_mm256_broadcastsi128_si256(lo_bytes), pick), prime),
        kSlotShift);
    const __m256i b = _mm256_srli_epi32(
        _mm256_mullo_epi32(_mm256_shuffle_epi8(_mm256_broadcastsi128_si256(hi_bytes), pick), prime),
        kSlotShift);
    // packus works per lane: a0-3 b0-3 | a4-7 b4-7; the permute puts the
    // quarters back in position order.
    const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi32(a, b), 0xd8);
    std::memcpy(out + p, &packed, sizeof(packed));
  }
  hash_portable(w, p, to, out);
}

bool avx2_supported() { return __builtin_cpu_supports("avx2"); }
#else
void hash_avx2(const unsigned char* w, int from, int to, uint16_t* out) {
  hash_portable(w, from, to, out);
}
bool avx2_supported() { return false; }
#endif

std::atomic<HashFn> active{nullptr};

HashFn current() {
  HashFn fn = active.load(std::memory_order_relaxed);
  if (fn == nullptr) {
    fn = avx2_supported() ? &hash_avx2 : &hash_portable;
    HashFn expected = nullptr;
    // A concurrent lz4_select_hash_path wins over the automatic choice.
    if (!active.compare_exchange_strong(expected, fn, std::memory_order_relaxed)) fn = expected;
  }
  return fn;
}

}  // namespace

void lz4_hash_positions(const unsigned char* w, int from, int to, uint16_t* out) {
  current()(w, from, to, out);
}

bool lz4_hash_path_available(HashPath path) {
  return path == HashPath::kPortable || avx2_supported();
}

bool lz4_select_hash_path(HashPath path) {
  if (!lz4_hash_path_available(path)) return false;
  active.store(path == HashPath::kPortable ? &hash_portable : &hash_avx2, std::memory_order_relaxed);
  return true;
}

HashPath lz4_active_hash_path() {
  return current() == &hash_portable ? HashPath::kPortable : HashPath::kAvx2;
}

}  // namespace zdeflate
