// Stream entry points of the deflate variant and its block driver.
#include "compress/z_deflate.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "compress/z_deflate_state.h"

using zdeflate::deflate_state;
using zdeflate::lz4_context;

namespace zdeflate {
namespace {

enum block_state { need_more = 0, block_done = 1, finish_started = 2, finish_done = 3 };

const char kStreamError[] = "stream error";
const char kBufferError[] = "buffer error";
const char kMemError[] = "insufficient memory";

void* default_alloc(void* /*opaque*/, unsigned items, unsigned size) {
  return std::malloc(static_cast<size_t>(items) * size);
}

void default_free(void* /*opaque*/, void* address) { std::free(address); }

void put_short_msb(deflate_state* s, unsigned b) {
  put_byte(s, (b >> 8) & 0xff);
  put_byte(s, b & 0xff);
}

// Hands as much pending output to the caller as fits.
void flush_pending(z_stream* strm) {
  deflate_state* s = strm->state;
  unsigned len = s->pending;
  if (len > strm->avail_out) len = strm->avail_out;
  if (len == 0) return;
  strm->ops->copy_out(strm->next_out, s->pending_out, len);
  strm->ops->advance(&strm->next_out, len);
  s->pending_out += len;
  strm->total_out += len;
  strm->avail_out -= len;
  s->pending -= len;
  if (s->pending == 0) s->pending_out = s->pending_buf;
}

void clear_hash(lz4_context* ctx) {
  std::fill_n(ctx->hash_table, LZ4_HASH_SIZE, LZ4_EMPTY_SLOT);
}

void clear_block_stats(deflate_state* s) {
  s->opt_len = s->static_len = 0;
  s->matches = s->last_lit = 0;
}

// Every call sets the working level and strategy anew from the selector.
void apply_selector(deflate_state* s, int selector) {
  if (selector == 0 || selector == 3) {
    s->level = 1;
    s->strategy = Z_DEFAULT_STRATEGY;
  } else if (selector == 1) {
    s->level = 1;
    s->strategy = s->stitch_mode == STITCH_DIRECT ? Z_DEFAULT_STRATEGY : Z_HUFFMAN_ONLY;
  } else {
    s->level = 0;
    s->strategy = Z_HUFFMAN_ONLY;
  }
}

void send_fixed_header(deflate_state* s, int flush) {
  send_bits(s, static_cast<unsigned>((STATIC_TREES << 1) + (flush == Z_FINISH ? 1 : 0)), 3);
}

void send_end_of_block(deflate_state* s) {
  send_code(s, END_BLOCK, s->cur_ltree);
  s->last_eob_len = s->cur_ltree[END_BLOCK].dl;
}

// Codes the caller's input chunk by chunk (at most up to the end of the
// 32 KiB window). Buffered mode ends every chunk with one complete block;
// direct mode keeps one fixed-code block open across chunks and sends a
// chunk that coding did not shrink as a stored block instead.
block_state deflate_stitch(deflate_state* s, int flush) {
  z_stream* strm = s->strm;
  lz4_context* ctx = s->lz4_ctx;
  const bool direct = s->stitch_mode == STITCH_DIRECT;

  bit_mark restore_point{};
  bool header_fresh = false;  // the open fixed block holds no symbol yet
  if (direct) {
    restore_point = mark_bits(s);
    header_fresh = true;
    send_fixed_header(s, flush);
  }

  unsigned long maxblock = s->pending_buf_size - 5;
  if (maxblock > 0xffff) maxblock = 0xffff;
  const unsigned min_out = s->level == 0 ? 5 : 0;

  bool stalled = false;
  while (strm->avail_in > 0 && strm->avail_out > min_out && s->out_full == 0 && !stalled) {
    unsigned n = static_cast<unsigned>(LZ4_WINDOW_SIZE - ctx->fill);
    if (n > strm->avail_in) n = strm->avail_in;
    s->strstart = 0;
    s->block_start = 0;
    strm->ops->copy_in(ctx->window + ctx->fill, strm->next_in, n);

    while (strm->avail_out > min_out) {
      if (n == 0) break;
      const unsigned start = static_cast<unsigned>(ctx->fill);
      if (direct && !header_fresh) restore_point = mark_bits(s);

      const int produced =
          LZ4_compressCtx(s, ctx->window, nullptr, static_cast<int>(n), strm->avail_out);
      unsigned consumed = static_cast<unsigned>(ctx->fill) - start;

      bool stored = false;
      if (direct && strm->avail_out > 100 && produced >= static_cast<int>(consumed)) {
        // Coding did not beat the raw bytes: drop it and store them.
        restore_bits(s, restore_point);
        ctx->fill = start;
        s->out_full = 0;
        if (!header_fresh) send_end_of_block(s);
        unsigned long p = s->pending;
        if (s->bi_valid > 8) {
          p += 2;
        } else if (s->bi_valid > 0) {
          p += 1;
        }
        unsigned long len = n;
        if (len > maxblock) len = maxblock;
        const unsigned long out_room = strm->avail_out > p + 5 ? strm->avail_out - p - 5 : 0;
        if (len > out_room) len = out_room;
        const unsigned long buf_room =
            s->pending_buf_size > p + 5 ? s->pending_buf_size - p - 5 : 0;
        if (len > buf_room) len = buf_room;
        ctx->fill += len;
        consumed = static_cast<unsigned>(len);
        stored = true;
      }

      s->strstart += consumed;
      strm->ops->advance(&strm->next_in, consumed);
      strm->avail_in -= consumed;
      strm->total_in += consumed;
      n -= consumed;

      if (!direct) {
        _tr_flush_block(s, ctx->window + start, consumed, produced, 0);
        s->block_start = s->strstart;
        flush_pending(strm);
      } else {
        if (!stored) {
          flush_pending(strm);
          header_fresh = false;
          // Nothing coded and nothing full cannot happen with a non-empty
          // output; stop rather than spin if it ever did.
          if (consumed == 0 && s->out_full == 0) stalled = true;
        } else {
          s->level = 0;
          _tr_flush_block(s, ctx->window + start, consumed, produced, 0);
          s->block_start = s->strstart;
          flush_pending(strm);
          s->level = 1;
          restore_point = mark_bits(s);
          header_fresh = true;
          send_fixed_header(s, flush);
        }
        if (strm->avail_out == 0) return need_more;
        if (s->out_full != 0 || stalled) break;
      }

      clear_block_stats(s);
      s->block_start = s->strstart;
    }

    if (ctx->fill == LZ4_WINDOW_SIZE) {
      // Window wrap: later bytes never match earlier ones.
      clear_hash(ctx);
      ctx->fill = 0;
      s->strstart = 0;
      s->block_start = 0;
    }
  }

  if (direct) {
    send_end_of_block(s);
    clear_block_stats(s);
    if (flush != Z_FINISH) {
      s->block_start = s->strstart;
      flush_pending(strm);
      if (strm->avail_out == 0) return need_more;
    } else {
      bi_windup(s);
      flush_pending(strm);
      if (strm->avail_out == 0) return finish_started;
    }
  }
  return flush == Z_FINISH ? finish_done : block_done;
}

}  // namespace
}  // namespace zdeflate

using namespace zdeflate;

int z_deflateInit2_(z_stream* strm, int level, int method, int windowBits, int memLevel,
                    int strategy, const char* version, int stream_size) {
  if (version == nullptr || version[0] != '1' ||
      stream_size != static_cast<int>(sizeof(z_stream))) {
    return Z_VERSION_ERROR;
  }
  if (strm == nullptr) return Z_STREAM_ERROR;

  strm->msg = nullptr;
  if (strm->zalloc == nullptr) {
    strm->zalloc = default_alloc;
    strm->opaque = nullptr;
  }
  if (strm->zfree == nullptr) strm->zfree = default_free;
  strm->ops = &regular_operations;

  // Only the zlib framing without checksum (window bits + 32) is built here.
  if (windowBits <= 31) return Z_STREAM_ERROR;
  windowBits -= 32;
  if (memLevel < 1 || memLevel > 9 || method != Z_DEFLATED || windowBits < 8 ||
      windowBits > 15 || level < 0 || (level >= 10 && level <= 99) || strategy < 0 ||
      strategy > Z_FIXED) {
    return Z_STREAM_ERROR;
  }
  // zlib's own levels and paths do not exist in this build.
  if (level != Z_STITCH_BUFFERED_LEVEL && level != Z_STITCH_DIRECT_LEVEL) return Z_STREAM_ERROR;

  void* mem = strm->zalloc(strm->opaque, 1, sizeof(deflate_state));
  if (mem == nullptr) return Z_MEM_ERROR;
  deflate_state* s = new (mem) deflate_state();
  strm->state = s;
  s->strm = strm;

  s->wrap = 3;
  // The match finder always works over 32 KiB, so the header announces
  // that window whatever smaller size was asked for.
  s->w_bits = 15;
  s->stitch_mode = level == Z_STITCH_BUFFERED_LEVEL ? STITCH_BUFFERED : STITCH_DIRECT;
  s->level = 1;
  s->strategy = strategy;
  s->lz_ratio_limit = 100;
  s->out_full = 0;
  s->tree_choice = 0;
  s->cur_ltree = stitch_static_ltree;
  s->cur_dtree = static_dtree;

  void* ctx_mem = strm->zalloc(strm->opaque, 1, sizeof(lz4_context));
  if (ctx_mem != nullptr) {
    s->lz4_ctx = new (ctx_mem) lz4_context();
    s->lz4_ctx->min_match = 3;
    s->lz4_ctx->no_skip = 1;
  }

  s->lit_bufsize = 1u << (memLevel + 6);
  s->pending_buf_size = static_cast<unsigned long>(s->lit_bufsize) * (sizeof(ush) + 2);
  s->pending_buf = static_cast<uch*>(
      s->lz4_ctx == nullptr
          ? nullptr
          : strm->zalloc(strm->opaque, 1,
                         static_cast<unsigned>(s->pending_buf_size + PENDING_SLACK)));

  if (s->lz4_ctx == nullptr || s->pending_buf == nullptr) {
    s->status = FINISH_STATE;
    strm->msg = kMemError;
    z_deflateEnd(strm);
    return Z_MEM_ERROR;
  }
  s->pending_out = s->pending_buf;
  // The symbol buffer shares the pending buffer as in zlib.
  s->d_buf = reinterpret_cast<ush*>(s->pending_buf + (s->lit_bufsize & ~1u));
  s->l_buf = s->pending_buf + (1 + sizeof(ush)) * s->lit_bufsize;

  return z_deflateReset(strm);
}

int z_deflateReset(z_stream* strm) {
  if (strm == nullptr || strm->state == nullptr || strm->zalloc == nullptr ||
      strm->zfree == nullptr) {
    return Z_STREAM_ERROR;
  }
  strm->total_in = strm->total_out = 0;
  strm->msg = nullptr;
  strm->data_type = Z_UNKNOWN;

  deflate_state* s = strm->state;
  s->pending = 0;
  s->pending_out = s->pending_buf;
  if (s->wrap < 0) s->wrap = -s->wrap;
  s->status = s->wrap ? INIT_STATE : BUSY_STATE;
  strm->adler = 0;  // no running checksum in this framing
  s->last_flush = Z_NO_FLUSH;
  _tr_init(s);

  clear_hash(s->lz4_ctx);
  s->lz4_ctx->fill = 0;
  s->out_full = 0;
  s->strstart = 0;
  s->block_start = 0;
  return Z_OK;
}

int z_deflate(z_stream* strm, int flush, int selector) {
  if (strm == nullptr || strm->state == nullptr || flush > Z_FINISH || flush < 0) {
    return Z_STREAM_ERROR;
  }
  deflate_state* s = strm->state;
  const z_buffer_ops* ops = strm->ops;

  if (ops->is_null(strm->next_out) || (ops->is_null(strm->next_in) && strm->avail_in != 0) ||
      (s->status == FINISH_STATE && flush != Z_FINISH)) {
    strm->msg = kStreamError;
    return Z_STREAM_ERROR;
  }
  if (strm->avail_out == 0) {
    strm->msg = kBufferError;
    return Z_BUF_ERROR;
  }

  s->strm = strm;
  const int old_flush = s->last_flush;
  s->last_flush = flush;
  s->level = 1;
  apply_selector(s, selector);

  if (s->status == INIT_STATE) {
    unsigned header = (Z_DEFLATED + ((s->w_bits - 8) << 4)) << 8;
    const unsigned level_flags = 0;  // the working level is at most 1
    header |= level_flags << 6;
    header += 31 - (header % 31);
    s->status = BUSY_STATE;
    put_short_msb(s, header);
    strm->adler = z_adler32(0, nullptr, 0);
  }

  if (s->pending != 0) {
    flush_pending(strm);
    if (strm->avail_out == 0) {
      s->last_flush = -1;
      return Z_OK;
    }
  } else if (strm->avail_in == 0 && flush <= old_flush && flush != Z_FINISH) {
    strm->msg = kBufferError;
    return Z_BUF_ERROR;
  }
  if (s->status == FINISH_STATE && strm->avail_in != 0) {
    strm->msg = kBufferError;
    return Z_BUF_ERROR;
  }

  if (strm->avail_in != 0 || (flush != Z_NO_FLUSH && s->status != FINISH_STATE)) {
    const block_state bstate = deflate_stitch(s, flush);

    // Input the driver left over shows as a full output: pad the rest of the
    // caller's buffer with empty fixed-code blocks.
    while (strm->avail_out != 0 && strm->avail_in != 0) {
      send_fixed_header(s, flush);
      send_code(s, END_BLOCK, stitch_static_ltree);
      flush_pending(strm);
    }
    if (bstate == need_more) return Z_OK;

    if (bstate == finish_started || bstate == finish_done) s->status = FINISH_STATE;
    if (bstate == finish_started) {
      if (strm->avail_out == 0) s->last_flush = -1;
      return Z_OK;
    }
    if (bstate == block_done && flush != Z_NO_FLUSH) {
      if (flush == Z_PARTIAL_FLUSH) {
        _tr_align(s);
      } else {
        _tr_stored_block(s, nullptr, 0, 0);  // sync marker: 00 00 FF FF
        // A full flush also forgets the history, as in zlib.
        if (flush == Z_FULL_FLUSH) clear_hash(s->lz4_ctx);
      }
      flush_pending(strm);
      if (strm->avail_out == 0) {
        s->last_flush = -1;
        return Z_OK;
      }
    }
  }

  if (flush != Z_FINISH) return Z_OK;
  // No checksum trailer in this framing.
  flush_pending(strm);
  return s->pending != 0 ? Z_OK : Z_STREAM_END;
}

int z_deflate_cont(z_stream* strm, int flush, int selector) {
  if (strm == nullptr || strm->state == nullptr) return Z_STREAM_ERROR;
  const unsigned avail_before = strm->avail_in;
  const unsigned long total_before = strm->total_in;
  strm->reserved = 0;
  const int result = z_deflate(strm, flush, selector);
  deflate_state* s = strm->state;
  s->out_full = 0;
  if (s->stitch_mode == STITCH_BUFFERED) {
    // Only input whose code reached the caller's output counts as consumed.
    strm->total_in = total_before + strm->reserved;
    strm->avail_in =
        strm->reserved > avail_before ? 0 : avail_before - static_cast<unsigned>(strm->reserved);
  }
  return result;
}

int z_deflateEnd(z_stream* strm) {
  if (strm == nullptr || strm->state == nullptr) return Z_STREAM_ERROR;
  deflate_state* s = strm->state;
  const int status = s->status;
  if (status != INIT_STATE && status != BUSY_STATE && status != FINISH_STATE) {
    return Z_STREAM_ERROR;
  }
  if (s->pending_buf != nullptr) strm->zfree(strm->opaque, s->pending_buf);
  if (s->lz4_ctx != nullptr) strm->zfree(strm->opaque, s->lz4_ctx);
  strm->zfree(strm->opaque, s);
  strm->state = nullptr;
  return status == BUSY_STATE ? Z_DATA_ERROR : Z_OK;
}
