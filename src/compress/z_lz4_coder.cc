// The variant's match finder and first coding stage: an LZ4-style scan with
// one candidate per hash slot, turning window bytes into deflate literals and
// matches (length 3 to 258, distance 1 to 32,506). Direct mode codes each
// symbol with the fixed code into the bit writer (counted during the scan,
// written after it, see write_codes); buffered mode appends it to the
// symbol buffer and counts its frequency.
#include <algorithm>
#include <cstring>

#include "compress/z_deflate_state.h"
#include "compress/z_lz4_hashes.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zdeflate {
namespace {

// Literals kept at the end of the input in buffered mode: no match may
// reach into them.
constexpr int kBufferedTail = 5;

// Literal runs up to this length are appended with fixed-size copies.
constexpr int kShortRun = 16;

// kBuffered: buffered mode (symbol buffer); else direct mode (fixed codes
// into the bit writer). One copy of the coder per mode keeps the hot loops
// free of mode tests.
// kMinMatch: the minimum match length when known at compile time (3, the
// only one the system's levels use), else 0 for the context's value.
template <bool kBuffered, int kMinMatch>
class MatchCoder {
 public:
  MatchCoder(deflate_state* s, uch* window, int n, unsigned out_limit)
      : s_(s),
        ctx_(s->lz4_ctx),
        w_(window),
        table_(s->lz4_ctx->hash_table),
        slots_(s->lz4_ctx->slots),
        m_(s->lz4_ctx->min_match),
        key_mask_(m() >= 4 ? 0xffffffffu : 0xffffffffu << (8 * (4 - m()))),
        raw_key_mask_(big_endian(key_mask_)),
        start_(static_cast<int>(s->lz4_ctx->fill)),
        iend_(start_ + n),
        mflimit_(iend_ - 8 - m()),
        tail_start_(iend_ - (buffered_ ? kBufferedTail : 0)),
        pending0_(s->pending),
        anchor_(start_),
        bits_(s->bi_valid),
        bit_limit_((static_cast<long>(s->strm->avail_out) - static_cast<long>(s->pending)) * 8),
        ops_(s->lz4_ctx->ops) {
    if (buffered_) {
      budget_ = static_cast<int>(s->lit_bufsize - s->last_lit);
    } else {
      const unsigned room = static_cast<unsigned>(s->pending_buf_size - s->pending - 20) >> 1;
      budget_ = static_cast<int>(room < out_limit ? room : out_limit);
    }
  }

  // Symbols written (buffered) or pending bytes added (direct); -1 when the
  // symbol buffer cannot take what the chunk needs.
  int run() {
    Step next = kTail;
    if (!(iend_ - start_ < m() + 9 || budget_ < 9 || s_->strategy == Z_HUFFMAN_ONLY)) {
      if (kMinMatch == 3) lz4_hash_positions(w_, start_, iend_, ctx_->slots);
      next = find_matches();
    }
    if (next == kFail) return -1;
    if (next == kTail) literal_tail();
    if (!buffered_) write_codes();
    ctx_->fill = static_cast<uint64_t>(anchor_);
    const int u = used();
    s_->last_lit += static_cast<unsigned>(u);
    return u;
  }

 private:
  enum Step { kTail, kExit, kFail };

  int m() const { return kMinMatch > 0 ? kMinMatch : m_; }
  uint32_t key_mask() const {
    return kMinMatch == 3 ? 0xffffff00u : key_mask_;
  }
  uint32_t raw_key_mask() const {
    return kMinMatch == 3 ? big_endian(0xffffff00u) : raw_key_mask_;
  }

  // Budget usage U: symbols (buffered) or bytes added to pending (direct;
  // bits still in the bit buffer do not count).
  int used() const {
    return buffered_ ? used_symbols_ : static_cast<int>(added_bytes(bits_));
  }

  // Direct mode: pending bytes that `bits` bits after pending0_ (the bits
  // already waiting at the start included) amount to. zlib's 16-bit buffer
  // spills two bytes whenever a code does not fit, so it always keeps the
  // last ((bits - 1) mod 16) + 1 of them waiting.
  static unsigned added_bytes(long bits) {
    if (bits <= 0) return 0;
    const long waiting = ((bits - 1) & 15) + 1;
    return static_cast<unsigned>((bits - waiting) >> 3);
  }

  // The 4 bytes at p in memory order.
  uint32_t raw(int p) const {
    uint32_t v;
    std::memcpy(&v, w_ + p, sizeof(v));
    return v;
  }

  static uint32_t big_endian(uint32_t v) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    return __builtin_bswap32(v);
#else
    return v;
#endif
  }

  uint32_t key(int p) const { return big_endian(raw(p)) & key_mask(); }

  static unsigned hash(uint32_t key) { return (key * LZ4_HASH_MULTIPLIER) >> (32 - LZ4_HASH_LOG); }

  // The slot of the key at p: precomputed for 3-byte keys.
  unsigned slot_of(int p) const { return kMinMatch == 3 ? slots_[p] : hash(key(p)); }

  int slot(unsigned h) const { return table_[h]; }
  void enter(unsigned h, int p) { table_[h] = static_cast<uint16_t>(p); }

  // A candidate counts when it lies 1 to 32,506 bytes back (which an empty
  // slot never does) and its key is the same; keys compare in memory order.
  bool acceptable(int ref, int p, uint32_t raw_p) const {
    return static_cast<unsigned>(p - ref - 1) < static_cast<unsigned>(LZ4_MAX_DISTANCE) &&
           ((raw(ref) ^ raw_p) & raw_key_mask()) == 0;
  }

  // Bytes of a match's extension found and entered without the byte loop.
  static constexpr int kGroup = 7;

  // How many of the bytes at a and b agree before the first that does not,
  // counted up to kGroup (kGroup: at least that many). Reads 8 bytes at each;
  // a difference bit forced into the eighth byte caps the count at 7.
  int agreeing_bytes(int a, int b) const {
    static_assert(kGroup == 7, "the count stops at the eighth byte");
    uint64_t x, y;
    std::memcpy(&x, w_ + a, 8);
    std::memcpy(&y, w_ + b, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return __builtin_clzll((x ^ y) | 1) >> 3;
#else
    return __builtin_ctzll((x ^ y) | uint64_t{1} << 63) >> 3;
#endif
  }

  // Enters positions p .. p + n - 1 (n at most kGroup) with kGroup stores
  // whatever n is: the stores past n go to the sink slot. No branch depends
  // on n, so none is mispredicted.
  void enter_group(int p, int n) {
    uint16_t* const table = table_;
    const uint16_t* const slots = slots_ + p;
#if defined(__SSE2__)
    // The seven slots chosen in one vector (its eighth lane is not used).
    static_assert(kGroup == 7, "one store per lane below");
    const __m128i lane = _mm_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7);
    const __m128i take = _mm_cmplt_epi16(lane, _mm_set1_epi16(static_cast<short>(n)));
    const __m128i own = _mm_loadu_si128(reinterpret_cast<const __m128i*>(slots));
    const __m128i sink = _mm_set1_epi16(static_cast<short>(LZ4_SINK_SLOT));
    const __m128i slot = _mm_or_si128(_mm_and_si128(take, own), _mm_andnot_si128(take, sink));
    table[_mm_extract_epi16(slot, 0)] = static_cast<uint16_t>(p);
    table[_mm_extract_epi16(slot, 1)] = static_cast<uint16_t>(p + 1);
    table[_mm_extract_epi16(slot, 2)] = static_cast<uint16_t>(p + 2);
    table[_mm_extract_epi16(slot, 3)] = static_cast<uint16_t>(p + 3);
    table[_mm_extract_epi16(slot, 4)] = static_cast<uint16_t>(p + 4);
    table[_mm_extract_epi16(slot, 5)] = static_cast<uint16_t>(p + 5);
    table[_mm_extract_epi16(slot, 6)] = static_cast<uint16_t>(p + 6);
#else
    for (int i = 0; i < kGroup; i++) {
      // The slot is chosen with a mask the compiler cannot see through.
      // Written as a select, it becomes short branches (every store from n
      // on goes to the sink), as unpredictable as the loop exit they replace.
      unsigned take = 0u - static_cast<unsigned>(i < n);
      __asm__("" : "+r"(take));
      table[(slots[i] & take) | (LZ4_SINK_SLOT & ~take)] = static_cast<uint16_t>(p + i);
    }
#endif
  }

  // Whether the 16 bytes at a and b agree.
  bool equal16(int a, int b) const {
    uint64_t a0, a1, b0, b1;
    std::memcpy(&a0, w_ + a, 8);
    std::memcpy(&a1, w_ + a + 8, 8);
    std::memcpy(&b0, w_ + b, 8);
    std::memcpy(&b1, w_ + b + 8, 8);
    return ((a0 ^ b0) | (a1 ^ b1)) == 0;
  }

  // The search loop: probes positions *ip, *ip + 1, ... up to last, entering
  // each; false when none is accepted. The key is compared first because
  // most probes fail it (any slot's key can be read, the empty one too), so
  // the distance is tested only for the few that pass.
  bool search(int* ip_io, int* ref_out, int last) {
    const uch* const w = w_;
    uint16_t* const table = table_;
    const uint32_t mask = raw_key_mask();
    const uint32_t key_mask = this->key_mask();
    // One probe; true when position p is accepted.
    ct_data* const tree = s_->dyn_ltree;
    auto probe = [&](int p) __attribute__((always_inline)) {
      uint32_t r;
      std::memcpy(&r, w + p, sizeof(r));
      const unsigned h = kMinMatch == 3 ? slots_[p] : hash(big_endian(r) & key_mask);
      const int ref = table[h];
      table[h] = static_cast<uint16_t>(p);
      // Buffered mode counts the byte as a literal here, while it is at
      // hand; the one probe in a run that is accepted takes it back.
      if (buffered_) tree[w[p]].fc++;
      uint32_t rr;
      std::memcpy(&rr, w + ref, sizeof(rr));
      if (__builtin_expect(((rr ^ r) & mask) != 0, 1)) return false;
      if (static_cast<unsigned>(p - ref - 1) >= static_cast<unsigned>(LZ4_MAX_DISTANCE)) {
        return false;
      }
      if (buffered_) tree[w[p]].fc--;
      *ip_io = p;
      *ref_out = ref;
      return true;
    };
    int ip = *ip_io;
    // Four probes per bound test.
    for (; ip + 3 <= last; ip += 4) {
      if (probe(ip) || probe(ip + 1) || probe(ip + 2) || probe(ip + 3)) return true;
    }
    for (; ip <= last; ip++) {
      if (probe(ip)) return true;
    }
    *ip_io = ip;
    return false;
  }

  // Literal frequencies of a run: eight bytes per load on long runs.
  __attribute__((noinline)) void count_literals(const uch* p, int count) {
    ct_data* const tree = s_->dyn_ltree;
    int i = 0;
    for (; i + 8 <= count; i += 8) {
      uint64_t v;
      std::memcpy(&v, p + i, sizeof(v));
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
      v = __builtin_bswap64(v);
#endif
      const uint32_t lo = static_cast<uint32_t>(v);
      const uint32_t hi = static_cast<uint32_t>(v >> 32);
      tree[lo & 0xff].fc++;
      tree[(lo >> 8) & 0xff].fc++;
      tree[(lo >> 16) & 0xff].fc++;
      tree[lo >> 24].fc++;
      tree[hi & 0xff].fc++;
      tree[(hi >> 8) & 0xff].fc++;
      tree[(hi >> 16) & 0xff].fc++;
      tree[hi >> 24].fc++;
    }
    for (; i < count; i++) tree[p[i]].fc++;
  }

  // Appends the literals [from, from + count) to the symbol buffer; the
  // caller counts those the search has not.
  __attribute__((always_inline)) void append_literals(int from, int count) {
    const unsigned at = s_->last_lit + static_cast<unsigned>(used_symbols_);
    const uch* src = w_ + from;
    if (count <= kShortRun && at + kShortRun <= s_->lit_bufsize) {
      // Most runs between matches are short: fixed-size copies without a
      // call. The bytes written past the run lie inside the symbol buffer
      // (checked above) and are overwritten by the symbols that follow.
      std::memcpy(s_->l_buf + at, src, kShortRun);
      std::memset(s_->d_buf + at, 0, sizeof(ush) * kShortRun);
    } else {
      std::memcpy(s_->l_buf + at, src, static_cast<size_t>(count));
      std::memset(s_->d_buf + at, 0, sizeof(ush) * static_cast<size_t>(count));
    }
    used_symbols_ += count;
  }

  void count_range(int from, int to) {
    const int n = to - from;
    if (n <= 0) return;
    if (n <= kShortRun) {
      ct_data* const tree = s_->dyn_ltree;
      for (int i = from; i < to; i++) tree[w_[i]].fc++;
    } else {
      count_literals(w_ + from, n);
    }
  }

  void append_match(int len, unsigned dist) {
    const unsigned at = s_->last_lit + static_cast<unsigned>(used_symbols_);
    s_->l_buf[at] = static_cast<uch>(len - MIN_MATCH);
    s_->d_buf[at] = static_cast<ush>(dist);
    s_->dyn_ltree[_length_code[len - MIN_MATCH] + LITERALS + 1].fc++;
    s_->dyn_dtree[d_code(dist - 1)].fc++;
    used_symbols_++;
  }

  // Direct mode codes in two steps. The scan only counts the bits its codes
  // take (every limit it tests depends on nothing else) and records what it
  // codes; write_codes then writes them, unless the driver is certain to
  // throw them away: a chunk whose codes do not beat its raw bytes is sent
  // stored instead, and writing the codes of incompressible data cost as
  // much as finding out that it is.

  // A recorded code: a run of literals (its first window position and its
  // length), or a match piece's codes (their value and bit count).
  static constexpr uint64_t kPieceOp = uint64_t{1} << 63;
  static uint64_t literal_op(int from, int count) {
    return static_cast<uint64_t>(from) << 32 | static_cast<uint32_t>(count);
  }
  static uint64_t piece_op(uint64_t code, int n) {
    return kPieceOp | static_cast<uint64_t>(n) << 48 | code;
  }

  // Bits of the literal codes of window bytes [from, to).
  long literal_bits(int from, int to) const {
    const ct_data* ltree = s_->cur_ltree;
    if (ltree != stitch_static_ltree) {
      long bits = 0;
      for (int i = from; i < to; i++) bits += ltree[w_[i]].dl;
      return bits;
    }
    // The fixed code: 8 bits, 9 for the values 144 to 255 (bit 7 set and
    // one of bits 4 to 6). Eight bytes at a time: the two tests leave their
    // result in each byte's top bit, without carries between bytes.
    long nine = 0;
    int i = from;
    constexpr uint64_t kTop = 0x8080808080808080ull;
    constexpr uint64_t kMid = 0x7070707070707070ull;
    for (; i + 8 <= to; i += 8) {
      uint64_t v;
      std::memcpy(&v, w_ + i, sizeof(v));
      const uint64_t hits = v & ((v & kMid) + kMid) & kTop;
      nine += static_cast<long>(((hits >> 7) * 0x0101010101010101ull) >> 56);
    }
    for (; i < to; i++) nine += w_[i] >= 144 ? 1 : 0;
    return 8L * (to - from) + nine;
  }

  // Codes window bytes [from, to) as literals, counting their bits: stops
  // before the first byte whose code could overrun the caller's output
  // (pending + (bits waiting + code length) / 8 + 1 > avail_out, which in
  // bits counted from pending0_ is bits_ + length >= bit_limit_), setting
  // out_full to 3. Returns the position reached.
  int count_literal_codes(int from, int to) {
    long bits = literal_bits(from, to);
    int stop = to;
    if (bits_ + bits >= bit_limit_) {
      // Some code may not fit: find the first that does not.
      const ct_data* ltree = s_->cur_ltree;
      long t = bits_;
      for (stop = from; stop < to; stop++) {
        const int dl = ltree[w_[stop]].dl;
        if (t + dl >= bit_limit_) break;
        t += dl;
      }
      bits = t - bits_;
      if (stop < to) s_->out_full = 3;
    }
    bits_ += bits;
    if (stop > from) ops_[nops_++] = literal_op(from, stop - from);
    return stop;
  }

  // Codes one match piece, counting its bits: refused (out_full 1) when
  // the pending bytes would then reach the end of the caller's output.
  bool count_piece_code(int len, unsigned dist) {
    int n;
    const uint64_t code = piece_code(len, dist, &n);
    const long t = bits_ + n;
    if (pending0_ + added_bytes(t) + 1 >= s_->strm->avail_out) {
      s_->out_full = 1;
      return false;
    }
    bits_ = t;
    ops_[nops_++] = piece_op(code, n);
    return true;
  }

  // Writes the recorded codes, unless the driver will store the chunk: it
  // does when the caller's output has more than 100 bytes left and the
  // codes take at least as many bytes as they cover.
  void write_codes() {
    const int covered = anchor_ - start_;
    if (s_->strm->avail_out > 100 && static_cast<int>(added_bytes(bits_)) >= covered) return;
    // The counting step checked every limit, so the codes go out in one
    // run of the bit writer without further tests.
    const ct_data* ltree = s_->cur_ltree;
    bit_run out(s_);
    for (int k = 0; k < nops_; k++) {
      const uint64_t op = ops_[k];
      if (op & kPieceOp) {
        out.send(op & ((uint64_t{1} << 48) - 1), static_cast<int>((op >> 48) & 0x3f));
        continue;
      }
      int pos = static_cast<int>(op >> 32);
      const int end = pos + static_cast<int>(op & 0xffffffff);
      for (; end - pos >= 6; pos += 6) {
        int n;
        const uint64_t group = literal_group(ltree, w_ + pos, &n);
        out.send(group, n);
      }
      for (; pos < end; pos++) {
        const ct_data c = ltree[w_[pos]];
        out.send(c.fc, c.dl);
      }
    }
    out.commit();
  }

  // Six literal codes (9 bits at most each) as one value, built as two
  // halves side by side: a shorter chain of dependent shifts than six puts.
  // *n is its length.
  static uint64_t literal_group(const ct_data* ltree, const uch* p, int* n) {
    const ct_data c0 = ltree[p[0]], c1 = ltree[p[1]], c2 = ltree[p[2]];
    const ct_data c3 = ltree[p[3]], c4 = ltree[p[4]], c5 = ltree[p[5]];
    const int l0 = c0.dl, l01 = l0 + c1.dl, la = l01 + c2.dl;
    const int l3 = c3.dl, l34 = l3 + c4.dl, lb = l34 + c5.dl;
    *n = la + lb;
    const uint64_t a = c0.fc | static_cast<uint64_t>(c1.fc) << l0 | static_cast<uint64_t>(c2.fc) << l01;
    const uint64_t b = c3.fc | static_cast<uint64_t>(c4.fc) << l3 | static_cast<uint64_t>(c5.fc) << l34;
    return a | b << la;
  }

  // One match piece: length code, its extra bits, distance code, its extra
  // bits, as one value of at most 15 + 5 + 15 + 13 bits; *n is its length.
  uint64_t piece_code(int len, unsigned dist, int* n) const {
    const unsigned lc = static_cast<unsigned>(len - MIN_MATCH);
    const unsigned code = _length_code[lc];
    const ct_data lcode = s_->cur_ltree[code + LITERALS + 1];
    const int lextra = extra_lbits[code];
    // (Length 258 has no extra bits but is not its code's base: mask.)
    uint64_t bits = lcode.fc | static_cast<uint64_t>((lc - static_cast<unsigned>(base_length[code])) &
                                                     ((1u << lextra) - 1))
                                   << lcode.dl;
    int k = lcode.dl + lextra;
    const unsigned dcode = d_code(dist - 1);
    const ct_data dc = s_->cur_dtree[dcode];
    bits |= static_cast<uint64_t>(dc.fc) << k;
    k += dc.dl;
    bits |= static_cast<uint64_t>(dist - 1 - static_cast<unsigned>(base_dist[dcode])) << k;
    k += extra_dbits[dcode];
    *n = k;
    return bits;
  }

  Step find_matches() {
    int ip = start_;
    int ref = -1;
    if (start_ == 0) {
      // A fresh window: the first byte is not a candidate for anything.
      table_[slot_of(ip)] = LZ4_EMPTY_SLOT;
      ip++;
    }
    for (;;) {
      // Search: one probe per position, every position entered.
      int limit = ip + (budget_ - used()) - 5;
      if (limit > mflimit_) limit = mflimit_;
      const int last = limit - 1;  // a candidate needs p + 1 <= limit
      const int searched_from = ip;
      if (!search(&ip, &ref, last)) {
        // The probed positions, counted, all fall in the literal tail.
        counted_lo_ = searched_from;
        counted_hi_ = ip;
        return kTail;
      }

      // Literals before the match.
      if (buffered_) {
        const int run = ip - anchor_;
        if (used_symbols_ + run > budget_) return kFail;
        append_literals(anchor_, run);
        // The search counted [searched_from, ip); a byte before it (the
        // one after a match, or a fresh window's first) is counted here.
        count_range(anchor_, searched_from);
        if (used_symbols_ == budget_) return kFail;
      } else {
        const int stop = count_literal_codes(anchor_, ip);
        if (stop < ip) {
          anchor_ = stop;
          return kExit;
        }
      }

      // Matches, chained while the position after one starts another.
      for (;;) {
        const unsigned dist = static_cast<unsigned>(ip - ref) & 0xffff;
        const int match_start = ip;
        ip += m();
        ref += m();
        const int extension_start = ip;
        int e = tail_start_;
        const int budget_end = ip + (budget_ - used()) * MAX_MATCH - m() - 7;
        if (budget_end < e) e = budget_end;
        if (buffered_ && ip > e) return kFail;

        // No-skip extension: positions inside the match are entered too;
        // every 16 bytes the run must still be the one the table points at.
        int countdown = 16 - m();
        bool extending = true;
        if (kMinMatch == 3 && ip + 8 <= e - 3) {
          // The match's next bytes, before the byte loop: its exit, taken
          // after 0 to 7 bytes about evenly, is mispredicted nearly every
          // match. Up to kGroup agreeing bytes are found with one compare
          // and entered with a fixed group of stores (before the first slot
          // test, which comes after 13); only longer matches loop.
          const int n = agreeing_bytes(ip, ref);
          enter_group(ip, n);
          ip += n;
          ref += n;
          countdown -= n;
          extending = n == kGroup;
        }
        while (extending && ip < e - 3 && w_[ip] == w_[ref]) {
          const unsigned h = slot_of(ip);
          if (countdown == 0) {
            if (slot(h) != ref) break;
            // Long matches: when the next 16 bytes all agree before the
            // limit, enter them in one go, as the byte steps would have,
            // and come back to the slot test after them.
            if (kMinMatch == 3 && ip + 16 <= e - 3 && equal16(ip, ref)) {
              for (int i = 0; i < 16; i++) enter(slots_[ip + i], ip + i);
              ip += 16;
              ref += 16;
              continue;
            }
            countdown = 16;
            continue;
          }
          enter(h, ip);
          ip++;
          ref++;
          countdown--;
        }
        int len = ip - extension_start + m();

        // Pieces of 258, then the rest; a rest of 1 or 2 bytes becomes
        // literals of the next run.
        if (buffered_) {
          const int pieces = len < MAX_MATCH ? 1 : (len + MAX_MATCH - 1) / MAX_MATCH;
          if (used_symbols_ + pieces > budget_) return kFail;
          while (len > MAX_MATCH - 1) {
            append_match(MAX_MATCH, dist);
            len -= MAX_MATCH;
          }
          if (len > 2) {
            append_match(len, dist);
          } else {
            ip -= len;
          }
        } else {
          int piece_start = match_start;
          while (len > MAX_MATCH - 1) {
            if (!count_piece_code(MAX_MATCH, dist)) {
              anchor_ = piece_start;
              return kExit;
            }
            piece_start += MAX_MATCH;
            len -= MAX_MATCH;
          }
          if (len > 2) {
            if (!count_piece_code(len, dist)) {
              anchor_ = piece_start;
              return kExit;
            }
          } else {
            ip -= len;
          }
        }

        anchor_ = ip;
        if (budget_ - used() < 5 || ip > mflimit_) return kTail;
        enter(slot_of(ip - 2), ip - 2);
        const uint32_t r = raw(ip);
        const unsigned h = slot_of(ip);
        ref = slot(h);
        enter(h, ip);
        if (!acceptable(ref, ip, r)) {
          ip++;
          break;  // new search after this position
        }
      }
    }
  }

  // Codes what is left as literals, as far as the budget goes.
  void literal_tail() {
    int remaining = iend_ - anchor_;
    int k;
    do {
      k = budget_ - used();
      if (k > remaining) k = remaining;
      if (k > 0) {
        if (buffered_) {
          append_literals(anchor_, k);
          const int to = anchor_ + k;
          const int lo = std::max(anchor_, std::min(counted_lo_, to));
          const int hi = std::max(lo, std::min(counted_hi_, to));
          count_range(anchor_, lo);
          count_range(hi, to);
          counted_lo_ = counted_hi_ = 0;
          anchor_ += k;
        } else {
          anchor_ = count_literal_codes(anchor_, anchor_ + k);
        }
      }
      remaining -= k;
    } while (!(remaining < 1 || s_->out_full != 0 || k < 1));
  }

  deflate_state* const s_;
  lz4_context* const ctx_;
  const uch* const w_;
  uint16_t* const table_;
  const uint16_t* const slots_;  // precomputed slots, 3-byte keys only
  static constexpr bool buffered_ = kBuffered;
  const int m_;  // see m()
  const uint32_t key_mask_;
  const uint32_t raw_key_mask_;
  const int start_;
  const int iend_;
  const int mflimit_;
  const int tail_start_;  // no match reaches into the literal tail
  const unsigned pending0_;
  int budget_ = 0;
  int used_symbols_ = 0;
  int anchor_;
  // Positions whose literal counts the last, failed, search already added
  // (buffered mode); empty otherwise.
  int counted_lo_ = 0;
  int counted_hi_ = 0;
  // Direct mode (see write_codes): bits the codes so far take after
  // pending0_, the bits waiting at the start included; the most the
  // caller's output allows, in the same measure; and the codes recorded.
  long bits_;
  const long bit_limit_;
  uint64_t* const ops_;
  int nops_ = 0;
};

}  // namespace

// Codes the n window bytes at the fill position. On success the fill
// position moves to the first byte not coded and last_lit grows by the
// result; on -1 (buffered mode only) neither changes, and the symbols
// already appended are dropped by the caller's block reset.
int LZ4_compressCtx(deflate_state* s, uch* window, uch* /*dest*/, int n, unsigned out_limit) {
  const bool three = s->lz4_ctx->min_match == 3;
  if (s->stitch_mode == STITCH_BUFFERED) {
    return three ? MatchCoder<true, 3>(s, window, n, out_limit).run()
                 : MatchCoder<true, 0>(s, window, n, out_limit).run();
  }
  return three ? MatchCoder<false, 3>(s, window, n, out_limit).run()
               : MatchCoder<false, 0>(s, window, n, out_limit).run();
}

}  // namespace zdeflate
