// The accumulating bit writer against zlib's 16-bit bit buffer: same bytes,
// and the same split between pending bytes and waiting bits afterwards,
// since budgets and output checks read that split.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "block_gen.h"
#include "compress/z_deflate_state.h"

namespace zdeflate {
namespace {

struct Writer {
  std::vector<uch> buf = std::vector<uch>(4096 + PENDING_SLACK, 0xEE);
  deflate_state s{};
  Writer(unsigned pending, ush bi_buf, int bi_valid) {
    s.pending_buf = s.pending_out = buf.data();
    s.pending = pending;
    s.bi_buf = bi_buf;
    s.bi_valid = bi_valid;
  }
};

TEST(BitRunTest, SameStateAsSixteenBitBuffer) {
  dztest::TestRng rng(77);
  for (int trial = 0; trial < 3000; trial++) {
    const unsigned pending = rng.below(5);
    const int bi_valid = static_cast<int>(rng.below(17));
    const ush bi_buf = static_cast<ush>(rng.next() & ((1u << bi_valid) - 1));
    Writer slow(pending, bi_buf, bi_valid);
    Writer fast(pending, bi_buf, bi_valid);

    // Code lengths of deflate: 0 (no extra bits) to 16; a few or many.
    const int count = static_cast<int>(rng.below(trial % 2 ? 8 : 600));
    // Codes go in one at a time or in groups of up to 48 bits per flush.
    bit_run run(&fast.s);
    int grouped = 0;
    for (int i = 0; i < count; i++) {
      const int length = static_cast<int>(rng.below(17));
      const unsigned value = static_cast<unsigned>(rng.next() & ((1u << length) - 1));
      send_bits(&slow.s, value, length);
      if (trial % 3 == 0) {
        run.send(value, length);
      } else {
        if (grouped + length > 48) {
          run.flush();
          grouped = 0;
        }
        run.put(value, length);
        grouped += length;
      }
      ASSERT_EQ(run.bits(), static_cast<long>(slow.s.pending - pending) * 8 + slow.s.bi_valid);
    }
    run.commit();

    ASSERT_EQ(fast.s.pending, slow.s.pending) << "trial " << trial;
    ASSERT_EQ(fast.s.bi_valid, slow.s.bi_valid) << "trial " << trial;
    ASSERT_EQ(fast.s.bi_buf, slow.s.bi_buf) << "trial " << trial;
    ASSERT_EQ(0, std::memcmp(fast.buf.data(), slow.buf.data(), slow.s.pending))
        << "trial " << trial;
  }
}

}  // namespace
}  // namespace zdeflate
