// A small independent deflate reader for the compressor's tests: it lists
// the blocks of a raw deflate stream and the symbols inside them, so tests
// can state which literals and matches the coder chose.
#ifndef DEZEVAZIR_TESTS_COMPRESS_DEFLATE_TOKENS_H_
#define DEZEVAZIR_TESTS_COMPRESS_DEFLATE_TOKENS_H_

#include <cstddef>
#include <string>
#include <vector>

namespace dztest {

struct DeflateToken {
  int literal = -1;  // 0..255, or -1 for a match
  int length = 0;
  int distance = 0;
};

struct DeflateBlock {
  int type = 0;  // 0 stored, 1 fixed, 2 dynamic
  bool final = false;
  size_t stored_len = 0;
  std::vector<DeflateToken> tokens;  // without the end-of-block code
};

struct DecodedDeflate {
  bool ok = false;
  std::string error;
  std::vector<DeflateBlock> blocks;
  std::vector<unsigned char> bytes;  // the decompressed data
};

// Reads blocks until the data ends (a sync-flushed stream ends on a byte
// boundary after its marker) or a final block has been read.
DecodedDeflate decodeDeflate(const unsigned char* data, size_t n);

// One word per block: "S<len>" for stored, "F{...}" / "D{...}" for coded
// blocks with their symbols: "L<n>" for n literals in a row,
// "M<len>@<dist>" for a match, "xK" when the same match repeats K times.
std::string describeBlocks(const DecodedDeflate& d);

// The symbols of all coded blocks in the same notation, without block marks.
std::string describeSymbols(const DecodedDeflate& d);

}  // namespace dztest

#endif  // DEZEVAZIR_TESTS_COMPRESS_DEFLATE_TOKENS_H_
