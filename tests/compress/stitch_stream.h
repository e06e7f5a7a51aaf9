// A deflate-variant stream for tests: one sync-flushed call per block.
#ifndef DEZEVAZIR_TESTS_COMPRESS_STITCH_STREAM_H_
#define DEZEVAZIR_TESTS_COMPRESS_STITCH_STREAM_H_

#include <stdexcept>
#include <vector>

#include "compress/z_deflate.h"

namespace dztest {

struct StitchOutput {
  int result = 0;
  std::vector<unsigned char> bytes;
  unsigned avail_in = 0;
  unsigned long total_in = 0;
  unsigned long reserved = 0;
};

class StitchStream {
 public:
  explicit StitchStream(int level) : strm_() {
    if (z_deflateInit2_(&strm_, level, Z_DEFLATED, 47, 8, Z_DEFAULT_STRATEGY, "1.2.3",
                        static_cast<int>(sizeof(z_stream))) != Z_OK) {
      throw std::runtime_error("z_deflateInit2_");
    }
  }
  ~StitchStream() { z_deflateEnd(&strm_); }
  StitchStream(const StitchStream&) = delete;
  StitchStream& operator=(const StitchStream&) = delete;

  // z_deflate_cont with a sync flush into capacity bytes (default: the
  // block compressor's size + 256); the stream is not reset.
  StitchOutput sync(const std::vector<unsigned char>& in, size_t capacity = 0, int selector = 0) {
    if (capacity == 0) capacity = in.size() + 256;
    StitchOutput out;
    out.bytes.resize(capacity);
    strm_.next_in = const_cast<unsigned char*>(in.data());
    strm_.avail_in = static_cast<unsigned>(in.size());
    strm_.next_out = out.bytes.data();
    strm_.avail_out = static_cast<unsigned>(capacity);
    out.result = z_deflate_cont(&strm_, Z_SYNC_FLUSH, selector);
    out.bytes.resize(capacity - strm_.avail_out);
    out.avail_in = strm_.avail_in;
    out.total_in = strm_.total_in;
    out.reserved = strm_.reserved;
    return out;
  }

  // A fresh stream's output for one block.
  StitchOutput block(const std::vector<unsigned char>& in, size_t capacity = 0, int selector = 0) {
    z_deflateReset(&strm_);
    return sync(in, capacity, selector);
  }

  z_stream& stream() { return strm_; }

 private:
  z_stream strm_;
};

}  // namespace dztest

#endif  // DEZEVAZIR_TESTS_COMPRESS_STITCH_STREAM_H_
