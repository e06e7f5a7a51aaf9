// Block writer of the deflate variant: Huffman tree construction and
// transmission, stored blocks and the block choice. The tree code repeats
// zlib 1.2.3's design step for step (heap order, ties decided by depth, the
// 15-bit limit, the bit-length tree and its send order), because the coded
// size, and so every measured ratio, depends on each of those choices.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "compress/z_deflate_state.h"

namespace zdeflate {
namespace {

const static_tree_desc static_l_desc = {kCodeTables.static_ltree, extra_lbits,
                                        LITERALS + 1, L_CODES, MAX_BITS};
const static_tree_desc static_d_desc = {kCodeTables.static_dtree, extra_dbits, 0,
                                        D_CODES, MAX_BITS};
const static_tree_desc static_bl_desc = {nullptr, extra_blbits, 0, BL_CODES,
                                         MAX_BL_BITS};

constexpr int SMALLEST = 1;  // heap index of the least frequent node

// Heap order: by frequency, ties to the shallower subtree, and on equal
// frequency and depth the node being compared counts as the smaller one.
// Both are folded into one key (frequency * 256 + depth) so that a
// comparison is one load: n is "smaller" than m when key[n] <= key[m].
typedef uint32_t heap_key;

inline heap_key node_key(unsigned freq, unsigned depth) { return freq << 8 | depth; }

// Restores the heap property by moving node k down the heap, as zlib
// does: at each level the smaller child, stopping at the first child that
// is not smaller than k. Counts of bytes in data with many distinct values
// are close together, so the choice between the two children goes either
// way at random: it is a select here, not a branch.
void pqdownheap(deflate_state* s, const heap_key* key, int k) {
  int* heap = s->heap;
  const int len = s->heap_len;
  const int v = heap[k];
  const heap_key kv = key[v];
  int j = k << 1;
  while (j <= len) {
    const int right = j + (j < len ? 1 : 0);
    // The right child when it is there and not larger (zlib's tie rule).
    j = right - (key[heap[right]] > key[heap[j]] ? 1 : 0);
    if (kv <= key[heap[j]]) break;
    heap[k] = heap[j];
    k = j;
    j <<= 1;
  }
  heap[k] = v;
}

// Turns the tree's parent links into bit lengths, limiting them to the
// descriptor's maximum the way zlib does, and adds the block's cost under
// these lengths (and under the fixed code) to opt_len and static_len.
void gen_bitlen(deflate_state* s, tree_desc* desc) {
  ct_data* tree = desc->dyn_tree;
  const int max_code = desc->max_code;
  const ct_data* stree = desc->stat_desc->static_tree;
  const int* extra = desc->stat_desc->extra_bits;
  const int base = desc->stat_desc->extra_base;
  const int max_length = desc->stat_desc->max_length;
  int overflow = 0;

  for (int bits = 0; bits <= MAX_BITS; bits++) s->bl_count[bits] = 0;

  // Parents sit below their children in the upper part of the heap, so one
  // upward pass sees every parent's length before its children.
  tree[s->heap[s->heap_max]].dl = 0;  // root
  int h;
  for (h = s->heap_max + 1; h < HEAP_SIZE; h++) {
    const int n = s->heap[h];
    int bits = tree[tree[n].dl].dl + 1;
    if (bits > max_length) bits = max_length, overflow++;
    tree[n].dl = static_cast<ush>(bits);
    if (n > max_code) continue;  // not a leaf
    s->bl_count[bits]++;
    int xbits = 0;
    if (n >= base) xbits = extra[n - base];
    const unsigned long f = tree[n].fc;
    s->opt_len += f * static_cast<unsigned>(bits + xbits);
    if (stree) s->static_len += f * static_cast<unsigned>(stree[n].dl + xbits);
  }
  if (overflow == 0) return;

  // Move leaves up from the deepest allowed level: each step takes a leaf
  // from level bits, makes it the parent of an overflowed leaf and itself.
  do {
    int bits = max_length - 1;
    while (s->bl_count[bits] == 0) bits--;
    s->bl_count[bits]--;
    s->bl_count[bits + 1] = static_cast<ush>(s->bl_count[bits + 1] + 2);
    s->bl_count[max_length]--;
    overflow -= 2;
  } while (overflow > 0);

  // Hand the lengths out again, longest to the least frequent leaves (the
  // heap is in frequency order).
  h = HEAP_SIZE;
  for (int bits = max_length; bits != 0; bits--) {
    int n = s->bl_count[bits];
    while (n != 0) {
      const int m = s->heap[--h];
      if (m > max_code) continue;
      if (tree[m].dl != static_cast<unsigned>(bits)) {
        s->opt_len += static_cast<unsigned long>(
            (static_cast<long>(bits) - static_cast<long>(tree[m].dl)) *
            static_cast<long>(tree[m].fc));
        tree[m].dl = static_cast<ush>(bits);
      }
      n--;
    }
  }
}

// Assigns canonical codes (bit-reversed) from the bit lengths.
void gen_codes(ct_data* tree, int max_code, const ush* bl_count) {
  ush next_code[MAX_BITS + 1];
  ush code = 0;
  for (int bits = 1; bits <= MAX_BITS; bits++) {
    code = static_cast<ush>((code + bl_count[bits - 1]) << 1);
    next_code[bits] = code;
  }
  for (int n = 0; n <= max_code; n++) {
    const int len = tree[n].dl;
    if (len == 0) continue;
    tree[n].fc = static_cast<ush>(bi_reverse(next_code[len]++, len));
  }
}

// Builds the Huffman tree of one descriptor; sets its max_code, the bit
// lengths and codes, and adds the block cost to opt_len / static_len.
void build_tree(deflate_state* s, tree_desc* desc) {
  ct_data* tree = desc->dyn_tree;
  const ct_data* stree = desc->stat_desc->static_tree;
  const int elems = desc->stat_desc->elems;
  int max_code = -1;
  heap_key key[HEAP_SIZE];

  s->heap_len = 0;
  s->heap_max = HEAP_SIZE;
  for (int n = 0; n < elems; n++) {
    if (tree[n].fc != 0) {
      s->heap[++(s->heap_len)] = max_code = n;
      s->depth[n] = 0;
      key[n] = node_key(tree[n].fc, 0);
    } else {
      tree[n].dl = 0;
    }
  }

  // Deflate needs at least two codes of non-zero length; forced codes cost
  // nothing, so their one bit is taken back from the block cost.
  while (s->heap_len < 2) {
    const int node = s->heap[++(s->heap_len)] = (max_code < 2 ? ++max_code : 0);
    tree[node].fc = 1;
    s->depth[node] = 0;
    key[node] = node_key(1, 0);
    s->opt_len--;
    if (stree) s->static_len -= stree[node].dl;
  }
  desc->max_code = max_code;

  for (int n = s->heap_len / 2; n >= 1; n--) pqdownheap(s, key, n);

  // Combine the two least frequent nodes until one is left.
  int node = elems;
  do {
    const int n = s->heap[SMALLEST];
    s->heap[SMALLEST] = s->heap[s->heap_len--];
    pqdownheap(s, key, SMALLEST);
    const int m = s->heap[SMALLEST];

    s->heap[--(s->heap_max)] = n;
    s->heap[--(s->heap_max)] = m;

    tree[node].fc = static_cast<ush>(tree[n].fc + tree[m].fc);
    s->depth[node] =
        static_cast<uch>((s->depth[n] >= s->depth[m] ? s->depth[n] : s->depth[m]) + 1);
    key[node] = node_key(tree[node].fc, s->depth[node]);
    tree[n].dl = tree[m].dl = static_cast<ush>(node);
    s->heap[SMALLEST] = node++;
    pqdownheap(s, key, SMALLEST);
  } while (s->heap_len >= 2);

  s->heap[--(s->heap_max)] = s->heap[SMALLEST];

  gen_bitlen(s, desc);
  gen_codes(tree, max_code, s->bl_count);
}

// Counts the bit-length codes that send_tree will use for this tree.
void scan_tree(deflate_state* s, ct_data* tree, int max_code) {
  int prevlen = -1;
  int nextlen = tree[0].dl;
  int count = 0;
  int max_count = 7;
  int min_count = 4;
  if (nextlen == 0) max_count = 138, min_count = 3;
  tree[max_code + 1].dl = 0xffff;  // guard

  for (int n = 0; n <= max_code; n++) {
    const int curlen = nextlen;
    nextlen = tree[n + 1].dl;
    if (++count < max_count && curlen == nextlen) {
      continue;
    } else if (count < min_count) {
      s->bl_tree[curlen].fc = static_cast<ush>(s->bl_tree[curlen].fc + count);
    } else if (curlen != 0) {
      if (curlen != prevlen) s->bl_tree[curlen].fc++;
      s->bl_tree[REP_3_6].fc++;
    } else if (count <= 10) {
      s->bl_tree[REPZ_3_10].fc++;
    } else {
      s->bl_tree[REPZ_11_138].fc++;
    }
    count = 0;
    prevlen = curlen;
    if (nextlen == 0) {
      max_count = 138, min_count = 3;
    } else if (curlen == nextlen) {
      max_count = 6, min_count = 3;
    } else {
      max_count = 7, min_count = 4;
    }
  }
}

// Sends the tree's bit lengths in the bit-length code (the guard set by
// scan_tree is still in place).
void send_tree(deflate_state* s, const ct_data* tree, int max_code) {
  int prevlen = -1;
  int nextlen = tree[0].dl;
  int count = 0;
  int max_count = 7;
  int min_count = 4;
  if (nextlen == 0) max_count = 138, min_count = 3;

  for (int n = 0; n <= max_code; n++) {
    const int curlen = nextlen;
    nextlen = tree[n + 1].dl;
    if (++count < max_count && curlen == nextlen) {
      continue;
    } else if (count < min_count) {
      do {
        send_code(s, curlen, s->bl_tree);
      } while (--count != 0);
    } else if (curlen != 0) {
      if (curlen != prevlen) {
        send_code(s, curlen, s->bl_tree);
        count--;
      }
      send_code(s, REP_3_6, s->bl_tree);
      send_bits(s, static_cast<unsigned>(count - 3), 2);
    } else if (count <= 10) {
      send_code(s, REPZ_3_10, s->bl_tree);
      send_bits(s, static_cast<unsigned>(count - 3), 3);
    } else {
      send_code(s, REPZ_11_138, s->bl_tree);
      send_bits(s, static_cast<unsigned>(count - 11), 7);
    }
    count = 0;
    prevlen = curlen;
    if (nextlen == 0) {
      max_count = 138, min_count = 3;
    } else if (curlen == nextlen) {
      max_count = 6, min_count = 3;
    } else {
      max_count = 7, min_count = 4;
    }
  }
}

// Builds the bit-length tree; returns the index in bl_order of the last
// code length to send (at least 3).
int build_bl_tree(deflate_state* s) {
  scan_tree(s, s->dyn_ltree, s->l_desc.max_code);
  scan_tree(s, s->dyn_dtree, s->d_desc.max_code);
  build_tree(s, &s->bl_desc);

  int max_blindex;
  for (max_blindex = BL_CODES - 1; max_blindex >= 3; max_blindex--) {
    if (s->bl_tree[bl_order[max_blindex]].dl != 0) break;
  }
  // The tree header: lengths of the sent code lengths plus HLIT, HDIST, HCLEN.
  s->opt_len += 3 * (static_cast<unsigned long>(max_blindex) + 1) + 5 + 5 + 4;
  return max_blindex;
}

void send_all_trees(deflate_state* s, int lcodes, int dcodes, int blcodes) {
  send_bits(s, static_cast<unsigned>(lcodes - 257), 5);
  send_bits(s, static_cast<unsigned>(dcodes - 1), 5);
  send_bits(s, static_cast<unsigned>(blcodes - 4), 4);
  for (int rank = 0; rank < blcodes; rank++) {
    send_bits(s, s->bl_tree[bl_order[rank]].dl, 3);
  }
  send_tree(s, s->dyn_ltree, lcodes - 1);
  send_tree(s, s->dyn_dtree, dcodes - 1);
}

// A match length's code and extra bits as one value, and its bit count.
struct length_entry {
  uint32_t bits;
  uint32_t count;
};

// A distance code with its extra-bit count and base.
struct distance_entry {
  uint32_t code;
  uint32_t code_bits;
  uint32_t extra_bits;
  uint32_t base;
};

// A block size bound that never allows the unchecked send.
constexpr unsigned long kNoBound = 1ul << 40;

// Sends the buffered symbols; returns the input bytes of those whose bits
// still fit within limit. Without check every symbol is known to fit.
template <bool check>
unsigned long send_symbols(const deflate_state* s, const ct_data* ltree,
                           const length_entry* lengths, const distance_entry* distances,
                           long limit, bit_run* run) {
  bit_run out_copy = *run;  // kept in registers through the loop
  bit_run* const out = &out_copy;
  unsigned long reserved = 0;
  const unsigned last_lit = s->last_lit;
  const ush* const d_buf = s->d_buf;
  const uch* const l_buf = s->l_buf;
  for (unsigned lx = 0; lx < last_lit; lx++) {
    const unsigned dist = d_buf[lx];
    const unsigned lc = l_buf[lx];
    if (dist == 0) {
      const ct_data c = ltree[lc];
      reserved += !check || limit - out->bits() - c.dl >= 0 ? 1 : 0;
      out->send(c.fc, c.dl);
      continue;
    }
    // Length code, its extra bits, distance code, its extra bits: at most
    // 15 + 5 + 15 + 13 bits, sent as one value.
    const length_entry l = lengths[lc];
    const distance_entry& d = distances[d_code(dist - 1)];
    const uint64_t dbits = d.code | static_cast<uint64_t>(dist - 1 - d.base) << d.code_bits;
    const int n = static_cast<int>(l.count + d.code_bits + d.extra_bits);
    reserved += !check || limit - out->bits() - n >= 0 ? lc + MIN_MATCH : 0;
    out->send(l.bits | dbits << l.count, n);
  }
  *run = out_copy;
  return reserved;
}

// Sends the buffered symbols with the given trees. Counts in reserved the
// input bytes of every symbol that still fits into the caller's output.
// bound is at least the bits of all symbols with these trees (the block
// cost the tree building worked out).
void compress_block(deflate_state* s, const ct_data* ltree, const ct_data* dtree,
                    unsigned long bound) {
  z_stream* strm = s->strm;
  // Each match length and distance code resolved once per block, so a match
  // costs two table loads instead of five.
  length_entry lengths[MAX_MATCH - MIN_MATCH + 1];
  for (int lc = 0; lc <= MAX_MATCH - MIN_MATCH; lc++) {
    const unsigned code = _length_code[lc];
    const ct_data c = ltree[code + LITERALS + 1];
    const int extra = extra_lbits[code];
    // (Length 258 has no extra bits but is not its code's base: mask.)
    const unsigned value = static_cast<unsigned>(lc - base_length[code]) & ((1u << extra) - 1);
    // A code this block does not use may hold scan_tree's guard as its
    // length; its entry is never read.
    const unsigned dl = c.dl <= MAX_BITS ? c.dl : 0;
    lengths[lc] = length_entry{c.fc | value << dl, static_cast<uint32_t>(dl + extra)};
  }
  distance_entry distances[D_CODES];
  for (int d = 0; d < D_CODES; d++) {
    distances[d] = distance_entry{dtree[d].fc, dtree[d].dl, static_cast<uint32_t>(extra_dbits[d]),
                                  static_cast<uint32_t>(base_dist[d])};
  }

  // Output bits left for the caller before this block: room for a symbol is
  // this minus the bits sent so far. When the whole block fits, the
  // counting is left out.
  const long limit = (static_cast<long>(strm->avail_out) - static_cast<long>(s->pending)) * 8;
  bit_run out(s);
  const long most = out.bits() + static_cast<long>(bound);
  const unsigned long reserved =
      most <= limit ? send_symbols<false>(s, ltree, lengths, distances, limit, &out)
                    : send_symbols<true>(s, ltree, lengths, distances, limit, &out);
  out.send(ltree[END_BLOCK].fc, ltree[END_BLOCK].dl);
  out.commit();
  s->last_eob_len = ltree[END_BLOCK].dl;
  strm->reserved += reserved;
}

// zlib 1.2.3's guess of binary versus text; it only labels the stream.
void set_data_type(deflate_state* s) {
  int n = 0;
  unsigned ascii_freq = 0;
  unsigned bin_freq = 0;
  while (n < 7) bin_freq += s->dyn_ltree[n++].fc;
  while (n < 128) ascii_freq += s->dyn_ltree[n++].fc;
  while (n < LITERALS) bin_freq += s->dyn_ltree[n++].fc;
  s->strm->data_type = bin_freq > (ascii_freq >> 2) ? Z_BINARY : Z_TEXT;
}

// Bit cost of an optimal (unlimited) Huffman code for the counts f, sorted
// ascending: the sum of all merged weights, whatever order ties are taken
// in. Every prefix code, the length-limited one included, costs at least
// this much.
unsigned long huffman_cost(const unsigned* f, int n) {
  unsigned long merged[L_CODES];
  int leaf = 0, head = 0, tail = 0;
  unsigned long cost = 0;
  auto take = [&]() -> unsigned long {
    if (head < tail && (leaf == n || merged[head] < f[leaf])) return merged[head++];
    return f[leaf++];
  };
  for (int k = 0; k < n - 1; k++) {
    const unsigned long w = take() + take();
    cost += w;
    merged[tail++] = w;
  }
  return cost;
}

// Gathers one tree's non-zero counts (unsorted), and adds its fixed-code
// bits and extra bits.
int gather_counts(const ct_data* tree, int elems, const ct_data* stree, const int* extra,
                  int extra_base, unsigned* f, unsigned long* static_bits,
                  unsigned long* extra_bits) {
  int n = 0;
  for (int i = 0; i < elems; i++) {
    const unsigned c = tree[i].fc;
    if (c == 0) continue;
    f[n++] = c;
    const unsigned x = i >= extra_base ? static_cast<unsigned>(extra[i - extra_base]) : 0;
    *static_bits += c * (stree[i].dl + x);
    *extra_bits += c * x;
  }
  return n;
}

// Sorts counts (each below 2^16) ascending: a byte-wise radix sort, one
// pass when every count fits in a byte. Comparison sorts mispredict about
// every other comparison on counts like these.
void sort_counts(unsigned* f, int n) {
  unsigned spill[L_CODES + 2];
  unsigned high = 0;
  for (int i = 0; i < n; i++) high |= f[i];
  const int passes = high < 256 ? 1 : 2;
  unsigned* from = f;
  unsigned* to = spill;
  for (int pass = 0; pass < passes; pass++) {
    const int shift = 8 * pass;
    unsigned start[256] = {};
    for (int i = 0; i < n; i++) start[(from[i] >> shift) & 0xff]++;
    unsigned sum = 0;
    for (unsigned& c : start) {
      const unsigned c0 = c;
      c = sum;
      sum += c0;
    }
    for (int i = 0; i < n; i++) to[start[(from[i] >> shift) & 0xff]++] = from[i];
    std::swap(from, to);
  }
  if (from != f) std::copy(from, from + n, f);
}

// True when a stored block is certain to be chosen, so that the trees need
// not be built: both the fixed-code size and a lower bound of the dynamic
// size (optimal code lengths, extra bits, the smallest tree header) reach
// the stored size. Building the trees would give the same choice.
bool stored_is_certain(const deflate_state* s, unsigned long stored_len) {
  unsigned f[L_CODES + 2];
  unsigned long static_bits = 0, extra_bits = 0, lower = 0;

  const int nl = gather_counts(s->dyn_ltree, L_CODES, stitch_static_ltree, extra_lbits,
                               LITERALS + 1, f, &static_bits, &extra_bits);
  if (nl < 2) return false;  // only the end-of-block code: not worth the trouble
  // A fixed-code block smaller than the stored one settles it before the
  // counts are sorted.
  if (((static_bits + 3 + 7) >> 3) < stored_len + 4) return false;
  sort_counts(f, nl);
  lower += huffman_cost(f, nl);

  int nd = gather_counts(s->dyn_dtree, D_CODES, static_dtree, extra_dbits, 0, f, &static_bits,
                         &extra_bits);
  sort_counts(f, nd);
  // Forced codes of count 1 cost their length minus the one bit taken back.
  const int forced = nd < 2 ? 2 - nd : 0;
  if (forced > 0) {
    for (int i = nd; i > 0; i--) f[i - 1 + forced] = f[i - 1];
    for (int i = 0; i < forced; i++) f[i] = 1;
    nd += forced;
  }
  lower += huffman_cost(f, nd) - static_cast<unsigned long>(forced);
  // The tree header sends every non-zero code length: one bit at least for
  // each, or three (a code of one bit and two extra bits) for a repeat of
  // up to six, so half a bit each at least.
  lower += extra_bits + 3 * 4 + 5 + 5 + 4 + static_cast<unsigned long>(nl + nd) / 2;
  return ((lower + 3 + 7) >> 3) >= stored_len + 4 && ((static_bits + 3 + 7) >> 3) >= stored_len + 4;
}

}  // namespace

void init_block(deflate_state* s) {
  for (int n = 0; n < L_CODES; n++) s->dyn_ltree[n].fc = 0;
  for (int n = 0; n < D_CODES; n++) s->dyn_dtree[n].fc = 0;
  for (int n = 0; n < BL_CODES; n++) s->bl_tree[n].fc = 0;
  s->dyn_ltree[END_BLOCK].fc = 1;
  s->opt_len = s->static_len = 0;
  s->last_lit = s->matches = 0;
}

void _tr_init(deflate_state* s) {
  s->l_desc.dyn_tree = s->dyn_ltree;
  s->l_desc.stat_desc = &static_l_desc;
  s->d_desc.dyn_tree = s->dyn_dtree;
  s->d_desc.stat_desc = &static_d_desc;
  s->bl_desc.dyn_tree = s->bl_tree;
  s->bl_desc.stat_desc = &static_bl_desc;
  s->bi_buf = 0;
  s->bi_valid = 0;
  s->last_eob_len = 8;  // enough lookahead for inflate
  init_block(s);
}

void _tr_stored_block(deflate_state* s, const uch* buf, unsigned long stored_len, int eof) {
  send_bits(s, static_cast<unsigned>((STORED_BLOCK << 1) + eof), 3);
  bi_windup(s);
  s->last_eob_len = 8;
  put_short(s, static_cast<ush>(stored_len));
  put_short(s, static_cast<ush>(~stored_len));

  // Only what the caller's output can still take is copied: the rest of the
  // block would never be delivered. The pending buffer's own end bounds the
  // copy as well.
  const unsigned long avail = s->strm->avail_out;
  const unsigned long out_room = avail > s->pending ? avail - s->pending : 0;
  unsigned long len = stored_len < out_room ? stored_len : out_room;
  const unsigned long used = static_cast<unsigned long>(s->pending_out - s->pending_buf) + s->pending;
  const unsigned long room = s->pending_buf_size > used ? s->pending_buf_size - used : 0;
  if (len > room) len = room;
  if (len != 0) std::memcpy(s->pending_out + s->pending, buf, len);
  s->pending += static_cast<unsigned>(len);
  s->strm->reserved += len;
}

// zlib 1.2.3's partial-flush marker: an empty fixed block, doubled when the
// last end-of-block code might not give inflate its 10 bits of lookahead.
void _tr_align(deflate_state* s) {
  send_bits(s, STATIC_TREES << 1, 3);
  send_code(s, END_BLOCK, stitch_static_ltree);
  bi_flush(s);
  if (1 + s->last_eob_len + 10 - s->bi_valid < 9) {
    send_bits(s, STATIC_TREES << 1, 3);
    send_code(s, END_BLOCK, stitch_static_ltree);
    bi_flush(s);
  }
  s->last_eob_len = 7;
}

void _tr_flush_block(deflate_state* s, const uch* buf, unsigned long stored_len, int produced,
                     int eof) {
  if (s->stitch_mode == STITCH_DIRECT) {
    // The direct driver calls this only for a chunk that coding did not shrink.
    _tr_stored_block(s, buf, stored_len, eof);
    return;
  }

  unsigned long opt_lenb;
  unsigned long static_lenb;
  int max_blindex = 0;
  // Trees are worth building only when the coder saved symbols; a failed
  // coder (-1) wraps to a huge product and falls to the stored branch.
  const bool coded = static_cast<uint32_t>(produced) * 100u <
                     s->lz_ratio_limit * static_cast<uint32_t>(stored_len);
  const bool build = s->level > 0 && (s->strategy == Z_HUFFMAN_ONLY || coded);
  if (build) {
    if (stored_len > 0 && s->strm->data_type == Z_UNKNOWN) set_data_type(s);
    if (buf != nullptr && stored_is_certain(s, stored_len)) {
      s->max_blindex = 0;
      _tr_stored_block(s, buf, stored_len, eof);
      init_block(s);
      if (eof) bi_windup(s);
      return;
    }
    build_tree(s, &s->l_desc);
    build_tree(s, &s->d_desc);
    max_blindex = build_bl_tree(s);
    opt_lenb = (s->opt_len + 3 + 7) >> 3;
    static_lenb = (s->static_len + 3 + 7) >> 3;
    if (static_lenb <= opt_lenb) opt_lenb = static_lenb;
  } else {
    opt_lenb = static_lenb = stored_len + 5;
  }
  s->max_blindex = max_blindex;

  if (stored_len + 4 <= opt_lenb && buf != nullptr) {
    _tr_stored_block(s, buf, stored_len, eof);
  } else if (s->strategy == Z_FIXED || static_lenb == opt_lenb) {
    send_bits(s, static_cast<unsigned>((STATIC_TREES << 1) + eof), 3);
    compress_block(s, stitch_static_ltree, static_dtree, build ? s->static_len : kNoBound);
  } else {
    send_bits(s, static_cast<unsigned>((DYN_TREES << 1) + eof), 3);
    send_all_trees(s, s->l_desc.max_code + 1, s->d_desc.max_code + 1, max_blindex + 1);
    compress_block(s, s->dyn_ltree, s->dyn_dtree, s->opt_len);
  }
  init_block(s);
  if (eof) bi_windup(s);
}

}  // namespace zdeflate
