// The system zlib as an oracle for the compressor's tests and benchmark.
// Kept apart from the variant's headers: both declare a z_stream.
#ifndef DEZEVAZIR_TESTS_COMPRESS_ZLIB_ORACLE_H_
#define DEZEVAZIR_TESTS_COMPRESS_ZLIB_ORACLE_H_

#include <cstddef>
#include <vector>

namespace zoracle {

// Inflates raw deflate data (no zlib header) that need not be finished.
// Returns false on a data error; *out gets what was decoded.
bool rawInflate(const unsigned char* data, size_t n, std::vector<unsigned char>* out);

// zlib deflate at level 1 with Z_HUFFMAN_ONLY (window bits 15, memory level
// 8) followed by a sync flush: header, one literal-only block, marker.
std::vector<unsigned char> huffmanOnlySync(const unsigned char* data, size_t n);

// zlib's checksums, from their start values.
unsigned long adler32(const unsigned char* data, size_t n);
unsigned long crc32(const unsigned char* data, size_t n);

// A reusable zlib level-1 stream: reset, compress with a sync flush.
class Level1Stream {
 public:
  Level1Stream();
  ~Level1Stream();
  Level1Stream(const Level1Stream&) = delete;
  Level1Stream& operator=(const Level1Stream&) = delete;

  // Returns the compressed size.
  size_t compress(const unsigned char* in, size_t n, unsigned char* out, size_t capacity);

 private:
  void* stream_;
};

}  // namespace zoracle

#endif  // DEZEVAZIR_TESTS_COMPRESS_ZLIB_ORACLE_H_
