// The array's deflate variant: zlib-framed deflate output whose matches come
// from an LZ4-style single-probe hash instead of zlib's hash chains.
//
// Two working modes exist, chosen by the level given to z_deflateInit2_:
//   110  buffered: symbols are collected per chunk and sent as the smallest of
//        a stored, a fixed-code or a dynamic-code block;
//   111  direct:   symbols are coded straight into one open fixed-code block,
//        with a stored block for any chunk that the coding does not shrink.
// Every stream is used with window bits 47 (32 KiB window, two-byte zlib
// header, no running checksum) and is never finished: each caller's block
// ends with a sync flush.
#ifndef DEZEVAZIR_COMPRESS_Z_DEFLATE_H_
#define DEZEVAZIR_COMPRESS_Z_DEFLATE_H_

namespace zdeflate {
struct deflate_state;
}

// Result codes, flush values and parameters, with zlib's values.
constexpr int Z_OK = 0;
constexpr int Z_STREAM_END = 1;
constexpr int Z_STREAM_ERROR = -2;
constexpr int Z_DATA_ERROR = -3;
constexpr int Z_MEM_ERROR = -4;
constexpr int Z_BUF_ERROR = -5;
constexpr int Z_VERSION_ERROR = -6;

constexpr int Z_NO_FLUSH = 0;
constexpr int Z_PARTIAL_FLUSH = 1;
constexpr int Z_SYNC_FLUSH = 2;
constexpr int Z_FULL_FLUSH = 3;
constexpr int Z_FINISH = 4;

constexpr int Z_DEFAULT_STRATEGY = 0;
constexpr int Z_FILTERED = 1;
constexpr int Z_HUFFMAN_ONLY = 2;
constexpr int Z_RLE = 3;
constexpr int Z_FIXED = 4;

constexpr int Z_BINARY = 0;
constexpr int Z_TEXT = 1;
constexpr int Z_UNKNOWN = 2;
constexpr int Z_DEFLATED = 8;

// The two levels that select the variant's modes.
constexpr int Z_STITCH_BUFFERED_LEVEL = 110;
constexpr int Z_STITCH_DIRECT_LEVEL = 111;

// The six operations through which deflate touches caller memory.
struct z_buffer_ops {
  unsigned long (*adler32)(unsigned long adler, const unsigned char* buf,
                           unsigned len);
  unsigned long (*crc32)(unsigned long crc, const unsigned char* buf,
                         unsigned len);
  void (*copy_out)(unsigned char* dest, const unsigned char* src, unsigned n);
  void (*copy_in)(unsigned char* dest, const unsigned char* src, unsigned n);
  void (*advance)(unsigned char** pointer, unsigned n);
  int (*is_null)(const unsigned char* pointer);
};

// Flat memory: memcpy and plain pointer arithmetic.
extern const z_buffer_ops regular_operations;

// The Adler-32 and CRC-32 of the flat table; (0, null, 0) gives the start
// value of each, as in zlib.
unsigned long z_adler32(unsigned long adler, const unsigned char* buf,
                        unsigned len);
unsigned long z_crc32(unsigned long crc, const unsigned char* buf,
                      unsigned len);

typedef void* (*z_alloc_func)(void* opaque, unsigned items, unsigned size);
typedef void (*z_free_func)(void* opaque, void* address);

// zlib's stream record plus the buffer-operations table.
struct z_stream {
  unsigned char* next_in;
  unsigned avail_in;
  unsigned long total_in;

  unsigned char* next_out;
  unsigned avail_out;
  unsigned long total_out;

  const char* msg;
  zdeflate::deflate_state* state;

  z_alloc_func zalloc;  // null: malloc
  z_free_func zfree;    // null: free
  void* opaque;

  int data_type;
  unsigned long adler;
  // Output of z_deflate_cont: input bytes whose coded form fitted into the
  // caller's output.
  unsigned long reserved;

  const z_buffer_ops* ops;
};

// Levels 110 and 111 only; windowBits 40 to 47 (zlib header, no checksum,
// always a 32 KiB window). stream_size must be sizeof(z_stream).
int z_deflateInit2_(z_stream* strm, int level, int method, int windowBits,
                    int memLevel, int strategy, const char* version,
                    int stream_size);
int z_deflateReset(z_stream* strm);
// selector: 0 or 3 normal coding; 1 Huffman only in buffered mode; any other
// value stored blocks only.
int z_deflate(z_stream* strm, int flush, int selector);
// z_deflate that, in buffered mode, counts as consumed only the input whose
// coded form reached the caller's output (see reserved).
int z_deflate_cont(z_stream* strm, int flush, int selector);
int z_deflateEnd(z_stream* strm);

#endif  // DEZEVAZIR_COMPRESS_Z_DEFLATE_H_
