// Internal state of the deflate variant, shared by the stream code, the block
// writer and the match coder. Layout and semantics follow zlib 1.2.3's
// deflate state, preceded by the variant's own fields; only the parts the
// variant's modes use are present (no hash chains, no sliding window).
#ifndef DEZEVAZIR_COMPRESS_Z_DEFLATE_STATE_H_
#define DEZEVAZIR_COMPRESS_Z_DEFLATE_STATE_H_

#include <cstdint>
#include <cstring>

#include "compress/z_deflate.h"
#include "compress/z_tables.h"

namespace zdeflate {

constexpr int INIT_STATE = 42;
constexpr int BUSY_STATE = 113;
constexpr int FINISH_STATE = 666;

constexpr int STITCH_DIRECT = 1;    // level 111
constexpr int STITCH_BUFFERED = 2;  // level 110

// Match-finder context: one candidate per hash slot over a 32 KiB window.
constexpr int LZ4_HASH_LOG = 12;
// A key's slot: key x this (mod 2^32), shifted right by 32 - LZ4_HASH_LOG.
constexpr uint32_t LZ4_HASH_MULTIPLIER = 2654435761u;  // 20,987 x 126,480 + 1
constexpr int LZ4_HASH_SIZE = 1 << LZ4_HASH_LOG;
// A slot past the hash's range, written but never read: the match
// extension's fixed group of table stores sends those for positions past the
// match's end here.
constexpr unsigned LZ4_SINK_SLOT = LZ4_HASH_SIZE;
constexpr int LZ4_WINDOW_SIZE = 32768;
constexpr int LZ4_MAX_DISTANCE = 32506;
// The last window position: never below a candidate position, so an empty
// slot fails the distance test by itself, and inside the window, so its key
// can be read like any other before that test.
constexpr uint16_t LZ4_EMPTY_SLOT = LZ4_WINDOW_SIZE - 1;

struct lz4_context {
  // Window position of the last byte entered with that hash, or
  // LZ4_EMPTY_SLOT. Positions stay below 32,768, so 16 bits hold them and a
  // reset clears only 8 KiB.
  uint16_t hash_table[LZ4_HASH_SIZE + 1];  // and the sink slot
  // Eight spare bytes (kept zero) let a 4-byte key be read at any position
  // and the slot pass read whole vectors up to the end of the chunk.
  uch window[LZ4_WINDOW_SIZE + 8];
  uint64_t fill;  // window bytes already coded, 0 to 32768
  int32_t min_match;
  int32_t no_skip;
  // Slot of the key at each position of the chunk being coded (3-byte
  // keys), worked out in one pass before the scan.
  uint16_t slots[LZ4_WINDOW_SIZE];
  // The direct coder's record of the codes of one chunk (each covers at
  // least one byte), written out once the chunk is known to be kept.
  uint64_t ops[LZ4_WINDOW_SIZE];
};

struct tree_desc {
  ct_data* dyn_tree;
  int max_code;  // largest code with non-zero frequency
  const static_tree_desc* stat_desc;
};

struct deflate_state {
  // The variant's fields.
  lz4_context* lz4_ctx;
  uint32_t lz_ratio_limit;  // percent of symbols per input byte for Huffman
  int32_t stitch_mode;
  int32_t tree_choice;
  int32_t max_blindex;
  int32_t out_full;  // 3 after a literal, 1 after a match did not fit
  const ct_data* cur_ltree;
  const ct_data* cur_dtree;

  // zlib's fields.
  z_stream* strm;
  int status;
  uch* pending_buf;
  unsigned long pending_buf_size;
  uch* pending_out;  // next pending byte to hand to the caller
  unsigned pending;  // bytes waiting at pending_out
  int wrap;          // 3: zlib header without checksum
  int last_flush;

  unsigned w_bits;
  unsigned strstart;
  long block_start;

  int level;  // working level, set on every z_deflate call
  int strategy;

  ct_data dyn_ltree[HEAP_SIZE];
  ct_data dyn_dtree[2 * D_CODES + 1];
  ct_data bl_tree[2 * BL_CODES + 1];
  tree_desc l_desc;
  tree_desc d_desc;
  tree_desc bl_desc;

  ush bl_count[MAX_BITS + 1];
  int heap[2 * L_CODES + 1];
  int heap_len;
  int heap_max;
  uch depth[2 * L_CODES + 1];

  // Symbol buffer, overlaid on the pending buffer as zlib does it.
  uch* l_buf;
  unsigned lit_bufsize;
  unsigned last_lit;
  ush* d_buf;

  unsigned long opt_len;     // bit length of the block with optimal trees
  unsigned long static_len;  // bit length of the block with fixed trees
  unsigned matches;
  int last_eob_len;

  // Bit writer: bits not yet in the pending buffer, least significant first.
  ush bi_buf;
  int bi_valid;
};

// --- Bit writer -------------------------------------------------------------

inline void put_byte(deflate_state* s, unsigned c) {
  s->pending_out[s->pending++] = static_cast<uch>(c);
}

inline void put_short(deflate_state* s, unsigned w) {
  put_byte(s, w & 0xff);
  put_byte(s, (w >> 8) & 0xff);
}

// zlib's 16-bit bit buffer: it spills two bytes at a time, so the split of
// the output between pending bytes and waiting bits is part of the result
// (budgets and output checks read the pending count).
inline void send_bits(deflate_state* s, unsigned value, int length) {
  if (s->bi_valid > BUF_SIZE - length) {
    s->bi_buf = static_cast<ush>(s->bi_buf | (value << s->bi_valid));
    put_short(s, s->bi_buf);
    s->bi_buf = static_cast<ush>(static_cast<ush>(value) >> (BUF_SIZE - s->bi_valid));
    s->bi_valid += length - BUF_SIZE;
  } else {
    s->bi_buf = static_cast<ush>(s->bi_buf | (value << s->bi_valid));
    s->bi_valid += length;
  }
}

inline void send_code(deflate_state* s, int c, const ct_data* tree) {
  send_bits(s, tree[c].fc, tree[c].dl);
}

// Writes out every waiting bit, padding to a byte boundary.
inline void bi_windup(deflate_state* s) {
  if (s->bi_valid > 8) {
    put_short(s, s->bi_buf);
  } else if (s->bi_valid > 0) {
    put_byte(s, s->bi_buf);
  }
  s->bi_buf = 0;
  s->bi_valid = 0;
}

// Writes out whole waiting bytes, keeping at most 7 bits.
inline void bi_flush(deflate_state* s) {
  if (s->bi_valid == 16) {
    put_short(s, s->bi_buf);
    s->bi_buf = 0;
    s->bi_valid = 0;
  } else if (s->bi_valid >= 8) {
    put_byte(s, s->bi_buf);
    s->bi_buf = static_cast<ush>(s->bi_buf >> 8);
    s->bi_valid -= 8;
  }
}

inline void store_le64(uch* p, uint64_t v) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  v = __builtin_bswap64(v);
#endif
  std::memcpy(p, &v, sizeof(v));
}

// A run of send_bits calls through a 64-bit accumulator, for the hot loops.
// It writes the same bytes as send_bits, and commit() leaves pending, bi_buf
// and bi_valid exactly as the 16-bit buffer would have: that buffer spills
// two bytes whenever a code does not fit, so after t more bits it always
// holds the last ((t - 1) mod 16) + 1 of them. Nothing else may touch the
// bit writer before commit(). Writes up to 8 bytes past the pending data
// (the pending buffer has that slack).
class bit_run {
 public:
  explicit bit_run(deflate_state* s)
      : s_(s),
        base_(s->pending_out + s->pending),
        out_(base_),
        acc_(s->bi_buf),
        n_(s->bi_valid) {
    flush();  // fewer than 8 bits waiting from here on
  }

  // Adds bits without writing; at most 56 bits between flushes.
  void put(uint64_t value, int length) {
    acc_ |= value << n_;
    n_ += length;
  }

  // Writes out every whole byte, without a branch.
  void flush() {
    store_le64(out_, acc_);
    out_ += n_ >> 3;
    acc_ >>= n_ & ~7;
    n_ &= 7;
  }

  void send(uint64_t value, int length) {
    put(value, length);
    flush();
  }

  // Bits after the pending bytes the run started from, the bits that were
  // already waiting included.
  // (Every bit is either written out or waiting in the accumulator.)
  long bits() const { return (out_ - base_) * 8 + n_; }

  void commit() {
    flush();
    store_le64(out_, acc_);
    const long t = bits();
    const int valid = t == 0 ? 0 : static_cast<int>((t - 1) & 15) + 1;
    const unsigned added = static_cast<unsigned>((t - valid) >> 3);
    s_->pending += added;
    const uch* waiting = base_ + added;
    s_->bi_buf = static_cast<ush>((waiting[0] | waiting[1] << 8) & ((1u << valid) - 1));
    s_->bi_valid = valid;
  }

 private:
  deflate_state* s_;
  uch* base_;
  uch* out_;
  uint64_t acc_;
  int n_;
};

// Room after the pending buffer for bit_run's whole-word stores.
constexpr unsigned PENDING_SLACK = 16;

// A point the direct-mode block driver can return the bit writer to.
struct bit_mark {
  unsigned pending;
  ush bi_buf;
  int bi_valid;
};

inline bit_mark mark_bits(const deflate_state* s) {
  return bit_mark{s->pending, s->bi_buf, s->bi_valid};
}

inline void restore_bits(deflate_state* s, const bit_mark& m) {
  s->pending = m.pending;
  s->bi_buf = m.bi_buf;
  s->bi_valid = m.bi_valid;
}

// --- Block writer (z_trees.cc) ----------------------------------------------

void _tr_init(deflate_state* s);
void init_block(deflate_state* s);
// Sends buf[0, stored_len) as the smallest block type; produced is the match
// coder's result for it (symbols, or -1).
void _tr_flush_block(deflate_state* s, const uch* buf, unsigned long stored_len,
                     int produced, int eof);
void _tr_stored_block(deflate_state* s, const uch* buf, unsigned long stored_len,
                      int eof);
void _tr_align(deflate_state* s);

// --- Match coder (z_lz4_coder.cc) -------------------------------------------

// Codes n window bytes from the fill position; see the .cc for the result.
int LZ4_compressCtx(deflate_state* s, uch* window, uch* dest, int n,
                    unsigned out_limit);

}  // namespace zdeflate

#endif  // DEZEVAZIR_COMPRESS_Z_DEFLATE_STATE_H_
