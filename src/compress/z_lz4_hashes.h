// Hash-table slots of the match coder's 3-byte keys, worked out for a whole
// chunk before the scan, so the scan's probes and entries read one table
// value per position instead of multiplying. Internal to the compressor.
#ifndef DEZEVAZIR_COMPRESS_Z_LZ4_HASHES_H_
#define DEZEVAZIR_COMPRESS_Z_LZ4_HASHES_H_

#include <cstdint>

namespace zdeflate {

enum class HashPath { kPortable, kAvx2 };

// out[p] = slot of the key at w + p for every p in [from, to): the 3 bytes
// at p read big-endian into the top of a 32-bit word, times 2654435761,
// shifted right by 20. Reads w[from, to + 8); the slots of the last two
// positions mix in bytes after `to` (the coder never uses them).
void lz4_hash_positions(const unsigned char* w, int from, int to, uint16_t* out);

// The AVX2 path is taken when the CPU has it; tests select either.
bool lz4_hash_path_available(HashPath path);
bool lz4_select_hash_path(HashPath path);  // false if not available here
HashPath lz4_active_hash_path();

}  // namespace zdeflate

#endif  // DEZEVAZIR_COMPRESS_Z_LZ4_HASHES_H_
