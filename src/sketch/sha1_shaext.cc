// SHA-1 compression on the x86 SHA extensions. Each SHA1RNDS4 does four
// rounds; SHA1MSG1/SHA1MSG2 extend the message schedule four words at a time
// and SHA1NEXTE derives the next group's E from the state four rounds back.
// The functions carry their own target attribute, so the rest of the program
// is built for the baseline CPU and this code only runs after CPUID says so.
#include <cstddef>
#include <cstdint>

#include "sketch/sha1_paths.h"

#if defined(__x86_64__) || defined(__i386__)

#include <cpuid.h>
#include <immintrin.h>

#define SHA1_TARGET __attribute__((target("sha,ssse3,sse4.1")))

// W[i] (i >= 4) from the previous four schedule vectors, in place of W[i-4].
#define SHA1_SCHEDULE(i)                                                                          \
  m[(i)&3] = _mm_sha1msg2_epu32(                                                                 \
      _mm_xor_si128(_mm_sha1msg1_epu32(m[(i)&3], m[((i) + 1) & 3]), m[((i) + 2) & 3]), m[((i) + 3) & 3])

// Four rounds with function f; E comes from the state before the previous group.
#define SHA1_GROUP(i, f)                               \
  {                                                    \
    const __m128i e = _mm_sha1nexte_epu32(prev, m[(i)&3]); \
    prev = abcd;                                       \
    abcd = _mm_sha1rnds4_epu32(abcd, e, f);            \
  }

#define SHA1_LOAD(i) \
  m[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * (i))), swap)

SHA1_TARGET void sha1_blocks_shaext(uint32_t state[5], const unsigned char* data, size_t blocks) {
  // Reverses all 16 bytes: big-endian words, with W0 in the top lane.
  const __m128i swap = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
  // The instructions want A in the top lane and E alone in the top lane.
  __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0x1B);
  __m128i e0 = _mm_set_epi32(static_cast<int>(state[4]), 0, 0, 0);
  __m128i m[4];

  for (; blocks != 0; --blocks, data += 64) {
    const __m128i abcdSaved = abcd;
    const __m128i e0Saved = e0;
    SHA1_LOAD(0);
    SHA1_LOAD(1);
    SHA1_LOAD(2);
    SHA1_LOAD(3);

    // Group 0 has no earlier state to rotate: E is added directly.
    __m128i prev = abcd;
    abcd = _mm_sha1rnds4_epu32(abcd, _mm_add_epi32(e0, m[0]), 0);
    SHA1_GROUP(1, 0);
    SHA1_GROUP(2, 0);
    SHA1_GROUP(3, 0);
    SHA1_SCHEDULE(4);  SHA1_GROUP(4, 0);
    SHA1_SCHEDULE(5);  SHA1_GROUP(5, 1);
    SHA1_SCHEDULE(6);  SHA1_GROUP(6, 1);
    SHA1_SCHEDULE(7);  SHA1_GROUP(7, 1);
    SHA1_SCHEDULE(8);  SHA1_GROUP(8, 1);
    SHA1_SCHEDULE(9);  SHA1_GROUP(9, 1);
    SHA1_SCHEDULE(10); SHA1_GROUP(10, 2);
    SHA1_SCHEDULE(11); SHA1_GROUP(11, 2);
    SHA1_SCHEDULE(12); SHA1_GROUP(12, 2);
    SHA1_SCHEDULE(13); SHA1_GROUP(13, 2);
    SHA1_SCHEDULE(14); SHA1_GROUP(14, 2);
    SHA1_SCHEDULE(15); SHA1_GROUP(15, 3);
    SHA1_SCHEDULE(16); SHA1_GROUP(16, 3);
    SHA1_SCHEDULE(17); SHA1_GROUP(17, 3);
    SHA1_SCHEDULE(18); SHA1_GROUP(18, 3);
    SHA1_SCHEDULE(19); SHA1_GROUP(19, 3);

    // E after 80 rounds is the rotated A from four rounds back, plus the saved E.
    e0 = _mm_sha1nexte_epu32(prev, e0Saved);
    abcd = _mm_add_epi32(abcd, abcdSaved);
  }

  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_shuffle_epi32(abcd, 0x1B));
  state[4] = static_cast<uint32_t>(_mm_extract_epi32(e0, 3));
}

// Two independent messages of the same block count, interleaved: one
// stream is bound by the SHA1RNDS4 latency chain, so a second one fills the
// idle issue slots nearly for free.
#define SHA1_GROUP2(i, f)                                                  \
  {                                                                        \
    const __m128i ea = _mm_sha1nexte_epu32(prevA, ma[(i)&3]);             \
    const __m128i eb = _mm_sha1nexte_epu32(prevB, mb[(i)&3]);             \
    prevA = abcdA;                                                         \
    prevB = abcdB;                                                         \
    abcdA = _mm_sha1rnds4_epu32(abcdA, ea, f);                             \
    abcdB = _mm_sha1rnds4_epu32(abcdB, eb, f);                             \
  }
#define SHA1_SCHEDULE2(i)                                                                       \
  ma[(i)&3] = _mm_sha1msg2_epu32(                                                              \
      _mm_xor_si128(_mm_sha1msg1_epu32(ma[(i)&3], ma[((i) + 1) & 3]), ma[((i) + 2) & 3]),      \
      ma[((i) + 3) & 3]);                                                                       \
  mb[(i)&3] = _mm_sha1msg2_epu32(                                                              \
      _mm_xor_si128(_mm_sha1msg1_epu32(mb[(i)&3], mb[((i) + 1) & 3]), mb[((i) + 2) & 3]),      \
      mb[((i) + 3) & 3])
#define SHA1_LOAD2(i)                                                                                \
  ma[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(dataA + 16 * (i))), swap); \
  mb[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(dataB + 16 * (i))), swap)

SHA1_TARGET void sha1_blocks_shaext_x2(uint32_t stateA[5], const unsigned char* dataA,
                                       uint32_t stateB[5], const unsigned char* dataB,
                                       size_t blocks) {
  const __m128i swap = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
  __m128i abcdA = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(stateA)), 0x1B);
  __m128i abcdB = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(stateB)), 0x1B);
  __m128i e0A = _mm_set_epi32(static_cast<int>(stateA[4]), 0, 0, 0);
  __m128i e0B = _mm_set_epi32(static_cast<int>(stateB[4]), 0, 0, 0);
  __m128i ma[4], mb[4];

  for (; blocks != 0; --blocks, dataA += 64, dataB += 64) {
    const __m128i abcdSavedA = abcdA, abcdSavedB = abcdB;
    const __m128i e0SavedA = e0A, e0SavedB = e0B;
    SHA1_LOAD2(0);
    SHA1_LOAD2(1);
    SHA1_LOAD2(2);
    SHA1_LOAD2(3);

    __m128i prevA = abcdA, prevB = abcdB;
    abcdA = _mm_sha1rnds4_epu32(abcdA, _mm_add_epi32(e0A, ma[0]), 0);
    abcdB = _mm_sha1rnds4_epu32(abcdB, _mm_add_epi32(e0B, mb[0]), 0);
    SHA1_GROUP2(1, 0);
    SHA1_GROUP2(2, 0);
    SHA1_GROUP2(3, 0);
    SHA1_SCHEDULE2(4);  SHA1_GROUP2(4, 0);
    SHA1_SCHEDULE2(5);  SHA1_GROUP2(5, 1);
    SHA1_SCHEDULE2(6);  SHA1_GROUP2(6, 1);
    SHA1_SCHEDULE2(7);  SHA1_GROUP2(7, 1);
    SHA1_SCHEDULE2(8);  SHA1_GROUP2(8, 1);
    SHA1_SCHEDULE2(9);  SHA1_GROUP2(9, 1);
    SHA1_SCHEDULE2(10); SHA1_GROUP2(10, 2);
    SHA1_SCHEDULE2(11); SHA1_GROUP2(11, 2);
    SHA1_SCHEDULE2(12); SHA1_GROUP2(12, 2);
    SHA1_SCHEDULE2(13); SHA1_GROUP2(13, 2);
    SHA1_SCHEDULE2(14); SHA1_GROUP2(14, 2);
    SHA1_SCHEDULE2(15); SHA1_GROUP2(15, 3);
    SHA1_SCHEDULE2(16); SHA1_GROUP2(16, 3);
    SHA1_SCHEDULE2(17); SHA1_GROUP2(17, 3);
    SHA1_SCHEDULE2(18); SHA1_GROUP2(18, 3);
    SHA1_SCHEDULE2(19); SHA1_GROUP2(19, 3);

    e0A = _mm_sha1nexte_epu32(prevA, e0SavedA);
    e0B = _mm_sha1nexte_epu32(prevB, e0SavedB);
    abcdA = _mm_add_epi32(abcdA, abcdSavedA);
    abcdB = _mm_add_epi32(abcdB, abcdSavedB);
  }

  _mm_storeu_si128(reinterpret_cast<__m128i*>(stateA), _mm_shuffle_epi32(abcdA, 0x1B));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(stateB), _mm_shuffle_epi32(abcdB, 0x1B));
  stateA[4] = static_cast<uint32_t>(_mm_extract_epi32(e0A, 3));
  stateB[4] = static_cast<uint32_t>(_mm_extract_epi32(e0B, 3));
}

// Four independent messages: two streams still leave the SHA unit idle
// while each waits for its previous group (measured on a Zen 4 core: four
// streams hash a quarter faster than two pairs). Lanes are named A to D; the
// lane macros paste the name onto each variable.
#define SHA1_EACH_LANE(X) X(A) X(B) X(C) X(D)
#define SHA1_LANE_INIT(L)                                                                   \
  __m128i abcd##L = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state##L)), 0x1B); \
  __m128i e0##L = _mm_set_epi32(static_cast<int>(state##L[4]), 0, 0, 0);                     \
  __m128i m##L[4];
#define SHA1_LANE_SAVE(L)                  \
  const __m128i abcdSaved##L = abcd##L; \
  const __m128i e0Saved##L = e0##L;
#define SHA1_LANE_LOAD(L, i) \
  m##L[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data##L + 16 * (i))), swap);
#define SHA1_LOAD4(i) SHA1_LANE_LOAD(A, i) SHA1_LANE_LOAD(B, i) SHA1_LANE_LOAD(C, i) SHA1_LANE_LOAD(D, i)
#define SHA1_LANE_FIRST(L)    \
  __m128i prev##L = abcd##L; \
  abcd##L = _mm_sha1rnds4_epu32(abcd##L, _mm_add_epi32(e0##L, m##L[0]), 0);
#define SHA1_LANE_SCHEDULE(L, i)                                                                     \
  m##L[(i)&3] = _mm_sha1msg2_epu32(                                                                 \
      _mm_xor_si128(_mm_sha1msg1_epu32(m##L[(i)&3], m##L[((i) + 1) & 3]), m##L[((i) + 2) & 3]),    \
      m##L[((i) + 3) & 3]);
#define SHA1_SCHEDULE4(i) \
  SHA1_LANE_SCHEDULE(A, i) SHA1_LANE_SCHEDULE(B, i) SHA1_LANE_SCHEDULE(C, i) SHA1_LANE_SCHEDULE(D, i)
#define SHA1_LANE_E(L, i) const __m128i e##L = _mm_sha1nexte_epu32(prev##L, m##L[(i)&3]);
#define SHA1_LANE_ROUNDS(L, f) \
  prev##L = abcd##L;           \
  abcd##L = _mm_sha1rnds4_epu32(abcd##L, e##L, f);
#define SHA1_GROUP4(i, f)                                                                       \
  {                                                                                             \
    SHA1_LANE_E(A, i) SHA1_LANE_E(B, i) SHA1_LANE_E(C, i) SHA1_LANE_E(D, i)                     \
    SHA1_LANE_ROUNDS(A, f) SHA1_LANE_ROUNDS(B, f) SHA1_LANE_ROUNDS(C, f) SHA1_LANE_ROUNDS(D, f) \
  }
#define SHA1_LANE_FINISH(L)                             \
  e0##L = _mm_sha1nexte_epu32(prev##L, e0Saved##L); \
  abcd##L = _mm_add_epi32(abcd##L, abcdSaved##L);
#define SHA1_LANE_STORE(L)                                                                        \
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state##L), _mm_shuffle_epi32(abcd##L, 0x1B)); \
  state##L[4] = static_cast<uint32_t>(_mm_extract_epi32(e0##L, 3));

SHA1_TARGET void sha1_blocks_shaext_x4(uint32_t stateA[5], const unsigned char* dataA,
                                       uint32_t stateB[5], const unsigned char* dataB,
                                       uint32_t stateC[5], const unsigned char* dataC,
                                       uint32_t stateD[5], const unsigned char* dataD,
                                       size_t blocks) {
  const __m128i swap = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
  SHA1_EACH_LANE(SHA1_LANE_INIT)

  for (; blocks != 0; --blocks, dataA += 64, dataB += 64, dataC += 64, dataD += 64) {
    SHA1_EACH_LANE(SHA1_LANE_SAVE)
    SHA1_LOAD4(0)
    SHA1_LOAD4(1)
    SHA1_LOAD4(2)
    SHA1_LOAD4(3)

    SHA1_EACH_LANE(SHA1_LANE_FIRST)
    SHA1_GROUP4(1, 0);
    SHA1_GROUP4(2, 0);
    SHA1_GROUP4(3, 0);
    SHA1_SCHEDULE4(4)  SHA1_GROUP4(4, 0);
    SHA1_SCHEDULE4(5)  SHA1_GROUP4(5, 1);
    SHA1_SCHEDULE4(6)  SHA1_GROUP4(6, 1);
    SHA1_SCHEDULE4(7)  SHA1_GROUP4(7, 1);
    SHA1_SCHEDULE4(8)  SHA1_GROUP4(8, 1);
    SHA1_SCHEDULE4(9)  SHA1_GROUP4(9, 1);
    SHA1_SCHEDULE4(10) SHA1_GROUP4(10, 2);
    SHA1_SCHEDULE4(11) SHA1_GROUP4(11, 2);
    SHA1_SCHEDULE4(12) SHA1_GROUP4(12, 2);
    SHA1_SCHEDULE4(13) SHA1_GROUP4(13, 2);
    SHA1_SCHEDULE4(14) SHA1_GROUP4(14, 2);
    SHA1_SCHEDULE4(15) SHA1_GROUP4(15, 3);
    SHA1_SCHEDULE4(16) SHA1_GROUP4(16, 3);
    SHA1_SCHEDULE4(17) SHA1_GROUP4(17, 3);
    SHA1_SCHEDULE4(18) SHA1_GROUP4(18, 3);
    SHA1_SCHEDULE4(19) SHA1_GROUP4(19, 3);

    SHA1_EACH_LANE(SHA1_LANE_FINISH)
  }

  SHA1_EACH_LANE(SHA1_LANE_STORE)
}

bool sha1_shaext_supported() {
  unsigned eax, ebx, ecx, edx;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  const bool ssse3 = (ecx & bit_SSSE3) != 0;
  const bool sse41 = (ecx & bit_SSE4_1) != 0;
  if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
  const bool sha = (ebx & bit_SHA) != 0;
  return ssse3 && sse41 && sha;
}

#else  // not x86

void sha1_blocks_shaext(uint32_t state[5], const unsigned char* data, size_t blocks) {
  sha1_blocks_portable(state, data, blocks);
}

void sha1_blocks_shaext_x2(uint32_t stateA[5], const unsigned char* dataA, uint32_t stateB[5],
                           const unsigned char* dataB, size_t blocks) {
  sha1_blocks_portable(stateA, dataA, blocks);
  sha1_blocks_portable(stateB, dataB, blocks);
}

void sha1_blocks_shaext_x4(uint32_t stateA[5], const unsigned char* dataA, uint32_t stateB[5],
                           const unsigned char* dataB, uint32_t stateC[5], const unsigned char* dataC,
                           uint32_t stateD[5], const unsigned char* dataD, size_t blocks) {
  sha1_blocks_portable(stateA, dataA, blocks);
  sha1_blocks_portable(stateB, dataB, blocks);
  sha1_blocks_portable(stateC, dataC, blocks);
  sha1_blocks_portable(stateD, dataD, blocks);
}

bool sha1_shaext_supported() { return false; }

#endif
