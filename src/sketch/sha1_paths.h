// The two block-compression paths behind sha1_compress_blocks. Internal to
// the SHA-1 code; everyone else goes through sha1.h.
#ifndef DEZEVAZIR_SKETCH_SHA1_PATHS_H_
#define DEZEVAZIR_SKETCH_SHA1_PATHS_H_

#include <cstddef>
#include <cstdint>

void sha1_blocks_portable(uint32_t state[5], const unsigned char* data, size_t blocks);

// Present on every build; only callable when sha1_shaext_supported() is true.
void sha1_blocks_shaext(uint32_t state[5], const unsigned char* data, size_t blocks);
// Two independent messages of `blocks` blocks each, interleaved.
void sha1_blocks_shaext_x2(uint32_t stateA[5], const unsigned char* dataA, uint32_t stateB[5],
                           const unsigned char* dataB, size_t blocks);
// Four independent messages of `blocks` blocks each, interleaved.
void sha1_blocks_shaext_x4(uint32_t stateA[5], const unsigned char* dataA, uint32_t stateB[5],
                           const unsigned char* dataB, uint32_t stateC[5], const unsigned char* dataC,
                           uint32_t stateD[5], const unsigned char* dataD, size_t blocks);
bool sha1_shaext_supported();

#endif  // DEZEVAZIR_SKETCH_SHA1_PATHS_H_
