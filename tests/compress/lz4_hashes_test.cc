// The match coder's key slots, worked out for a whole chunk at once: every
// path gives each position the slot of its own 3-byte key, for any start
// and end (vector groups and the scalar rest meet at every offset).
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "block_gen.h"
#include "compress/z_lz4_hashes.h"

namespace {

using zdeflate::HashPath;

uint16_t slotOf(const unsigned char* p) {
  const uint32_t key = static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
                       static_cast<uint32_t>(p[2]) << 8;
  return static_cast<uint16_t>((key * 2654435761u) >> 20);
}

TEST(Lz4HashSlots, EveryPathGivesEachPositionItsKeysSlot) {
  const HashPath automatic = zdeflate::lz4_active_hash_path();
  // A window-sized buffer plus the spare bytes the slot pass may read.
  std::vector<unsigned char> w = dztest::randomBytes(32768 + 8, 5);
  for (HashPath path : {HashPath::kPortable, HashPath::kAvx2}) {
    if (!zdeflate::lz4_select_hash_path(path)) continue;
    SCOPED_TRACE(path == HashPath::kPortable ? "portable" : "AVX2");
    for (int from : {0, 1, 7, 15, 16, 100, 8190}) {
      for (int length : {0, 1, 15, 16, 17, 31, 33, 100, 8192}) {
        const int to = from + length;
        std::vector<uint16_t> out(32768 + 16, 0xabcd);
        zdeflate::lz4_hash_positions(w.data(), from, to, out.data());
        for (int p = 0; p < static_cast<int>(out.size()); p++) {
          const bool inside = p >= from && p < to;
          ASSERT_EQ(out[p], inside ? slotOf(&w[p]) : 0xabcd) << "from " << from << " to " << to << " at " << p;
        }
      }
    }
    // The last position of a full window reads into the spare bytes.
    std::vector<uint16_t> out(32768 + 16, 0);
    zdeflate::lz4_hash_positions(w.data(), 32768 - 40, 32768, out.data());
    for (int p = 32768 - 40; p < 32768; p++) ASSERT_EQ(out[p], slotOf(&w[p])) << p;
  }
  zdeflate::lz4_select_hash_path(automatic);
  EXPECT_EQ(zdeflate::lz4_active_hash_path(), automatic);
}

TEST(Lz4HashSlots, AutomaticChoiceIsTheFastestAvailable) {
  const HashPath automatic = zdeflate::lz4_active_hash_path();
  EXPECT_EQ(automatic, zdeflate::lz4_hash_path_available(HashPath::kAvx2) ? HashPath::kAvx2 : HashPath::kPortable);
  EXPECT_TRUE(zdeflate::lz4_hash_path_available(HashPath::kPortable));
}

}  // namespace
