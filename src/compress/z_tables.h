// Constant code tables of deflate (RFC 1951), built at compile time in the
// layout zlib's trees module uses, so every stream shares them read-only.
#ifndef DEZEVAZIR_COMPRESS_Z_TABLES_H_
#define DEZEVAZIR_COMPRESS_Z_TABLES_H_

namespace zdeflate {

typedef unsigned char uch;
typedef unsigned short ush;

constexpr int MAX_BITS = 15;
constexpr int MAX_BL_BITS = 7;
constexpr int LENGTH_CODES = 29;
constexpr int LITERALS = 256;
constexpr int L_CODES = LITERALS + 1 + LENGTH_CODES;
constexpr int D_CODES = 30;
constexpr int BL_CODES = 19;
constexpr int HEAP_SIZE = 2 * L_CODES + 1;
constexpr int END_BLOCK = 256;
constexpr int REP_3_6 = 16;
constexpr int REPZ_3_10 = 17;
constexpr int REPZ_11_138 = 18;
constexpr int BUF_SIZE = 16;  // bits in the bit buffer
constexpr int STORED_BLOCK = 0;
constexpr int STATIC_TREES = 1;
constexpr int DYN_TREES = 2;
constexpr int MIN_MATCH = 3;
constexpr int MAX_MATCH = 258;
constexpr int DIST_CODE_LEN = 512;

// One tree node. Like zlib's unions: fc is the frequency while a tree is
// built and the code afterwards; dl is the parent node while the tree is
// built and the bit length afterwards.
struct ct_data {
  ush fc;
  ush dl;
};

struct static_tree_desc {
  const ct_data* static_tree;  // fixed code, or null
  const int* extra_bits;
  int extra_base;  // first code with extra bits
  int elems;       // number of codes
  int max_length;  // longest code allowed
};

inline constexpr int extra_lbits[LENGTH_CODES] = {
    0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
inline constexpr int extra_dbits[D_CODES] = {
    0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
inline constexpr int extra_blbits[BL_CODES] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 3, 7};
// Order in which the bit-length code lengths are sent.
inline constexpr uch bl_order[BL_CODES] = {
    16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

constexpr unsigned bi_reverse(unsigned code, int len) {
  unsigned res = 0;
  do {
    res |= code & 1;
    code >>= 1;
    res <<= 1;
  } while (--len > 0);
  return res >> 1;
}

struct code_tables {
  ct_data static_ltree[L_CODES + 2];
  ct_data static_dtree[D_CODES];
  uch dist_code[DIST_CODE_LEN];        // distance-1 -> code (see d_code)
  uch length_code[MAX_MATCH - MIN_MATCH + 1];  // length-3 -> code
  int base_length[LENGTH_CODES];
  int base_dist[D_CODES];
};

constexpr code_tables build_code_tables() {
  code_tables t{};
  int length = 0;
  int code = 0;
  for (code = 0; code < LENGTH_CODES - 1; code++) {
    t.base_length[code] = length;
    for (int n = 0; n < (1 << extra_lbits[code]); n++) {
      t.length_code[length++] = static_cast<uch>(code);
    }
  }
  // Length 258 has its own code; it overwrites the last entry of code 27.
  t.length_code[length - 1] = static_cast<uch>(code);

  int dist = 0;
  for (code = 0; code < 16; code++) {
    t.base_dist[code] = dist;
    for (int n = 0; n < (1 << extra_dbits[code]); n++) {
      t.dist_code[dist++] = static_cast<uch>(code);
    }
  }
  dist >>= 7;  // from now on, all distances are divided by 128
  for (; code < D_CODES; code++) {
    t.base_dist[code] = dist << 7;
    for (int n = 0; n < (1 << (extra_dbits[code] - 7)); n++) {
      t.dist_code[256 + dist++] = static_cast<uch>(code);
    }
  }

  ush bl_count[MAX_BITS + 1] = {};
  int n = 0;
  while (n <= 143) t.static_ltree[n++].dl = 8, bl_count[8]++;
  while (n <= 255) t.static_ltree[n++].dl = 9, bl_count[9]++;
  while (n <= 279) t.static_ltree[n++].dl = 7, bl_count[7]++;
  while (n <= 287) t.static_ltree[n++].dl = 8, bl_count[8]++;
  ush next_code[MAX_BITS + 1] = {};
  ush c = 0;
  for (int bits = 1; bits <= MAX_BITS; bits++) {
    c = static_cast<ush>((c + bl_count[bits - 1]) << 1);
    next_code[bits] = c;
  }
  for (n = 0; n <= L_CODES + 1; n++) {
    const int len = t.static_ltree[n].dl;
    t.static_ltree[n].fc = static_cast<ush>(bi_reverse(next_code[len]++, len));
  }
  for (n = 0; n < D_CODES; n++) {
    t.static_dtree[n].dl = 5;
    t.static_dtree[n].fc = static_cast<ush>(bi_reverse(static_cast<unsigned>(n), 5));
  }
  return t;
}

inline constexpr code_tables kCodeTables = build_code_tables();

// The fixed literal/length code (codes bit-reversed for LSB-first output);
// the direct coder's cur_ltree.
inline constexpr const ct_data* stitch_static_ltree = kCodeTables.static_ltree;
// The fixed distance code: 30 five-bit codes; the direct coder's cur_dtree.
inline constexpr const ct_data* static_dtree = kCodeTables.static_dtree;
inline constexpr const uch* _dist_code = kCodeTables.dist_code;
inline constexpr const uch* _length_code = kCodeTables.length_code;
inline constexpr const int* base_length = kCodeTables.base_length;
inline constexpr const int* base_dist = kCodeTables.base_dist;

// Code of a distance-1 value (0 to 32767). The two halves of the table are
// chosen by a mask, not a branch: near and far distances alternate without
// pattern in real data, and a mispredicted branch per match costs more than
// the whole lookup.
constexpr unsigned d_code(unsigned dist) {
  const unsigned far = 0u - static_cast<unsigned>(dist >= 256);  // all ones when far
  return _dist_code[(dist & ~far) | ((256 + (dist >> 7)) & far)];
}

}  // namespace zdeflate

#endif  // DEZEVAZIR_COMPRESS_Z_TABLES_H_
