#include "zlib_oracle.h"

#include <zlib.h>

#include <stdexcept>

namespace zoracle {

bool rawInflate(const unsigned char* data, size_t n, std::vector<unsigned char>* out) {
  z_stream strm{};
  if (inflateInit2(&strm, -15) != Z_OK) throw std::runtime_error("inflateInit2");
  out->clear();
  strm.next_in = const_cast<Bytef*>(data);
  strm.avail_in = static_cast<uInt>(n);
  unsigned char chunk[16384];
  int rc = Z_OK;
  do {
    strm.next_out = chunk;
    strm.avail_out = sizeof(chunk);
    rc = inflate(&strm, Z_SYNC_FLUSH);
    out->insert(out->end(), chunk, chunk + (sizeof(chunk) - strm.avail_out));
  } while (rc == Z_OK && (strm.avail_in > 0 || strm.avail_out == 0));
  inflateEnd(&strm);
  return rc == Z_OK || rc == Z_STREAM_END || (rc == Z_BUF_ERROR && strm.avail_in == 0);
}

std::vector<unsigned char> huffmanOnlySync(const unsigned char* data, size_t n) {
  z_stream strm{};
  if (deflateInit2(&strm, 1, Z_DEFLATED, 15, 8, Z_HUFFMAN_ONLY) != Z_OK) {
    throw std::runtime_error("deflateInit2");
  }
  std::vector<unsigned char> out(deflateBound(&strm, n) + 64);
  strm.next_in = const_cast<Bytef*>(data);
  strm.avail_in = static_cast<uInt>(n);
  strm.next_out = out.data();
  strm.avail_out = static_cast<uInt>(out.size());
  if (deflate(&strm, Z_SYNC_FLUSH) != Z_OK || strm.avail_in != 0) {
    throw std::runtime_error("deflate");
  }
  out.resize(out.size() - strm.avail_out);
  deflateEnd(&strm);
  return out;
}

unsigned long adler32(const unsigned char* data, size_t n) {
  return ::adler32(::adler32(0, nullptr, 0), data, static_cast<uInt>(n));
}

unsigned long crc32(const unsigned char* data, size_t n) {
  return ::crc32(::crc32(0, nullptr, 0), data, static_cast<uInt>(n));
}

Level1Stream::Level1Stream() : stream_(new z_stream{}) {
  if (deflateInit2(static_cast<z_stream*>(stream_), 1, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY) !=
      Z_OK) {
    throw std::runtime_error("deflateInit2");
  }
}

Level1Stream::~Level1Stream() {
  deflateEnd(static_cast<z_stream*>(stream_));
  delete static_cast<z_stream*>(stream_);
}

size_t Level1Stream::compress(const unsigned char* in, size_t n, unsigned char* out,
                              size_t capacity) {
  z_stream* strm = static_cast<z_stream*>(stream_);
  deflateReset(strm);
  strm->next_in = const_cast<Bytef*>(in);
  strm->avail_in = static_cast<uInt>(n);
  strm->next_out = out;
  strm->avail_out = static_cast<uInt>(capacity);
  deflate(strm, Z_SYNC_FLUSH);
  return capacity - strm->avail_out;
}

}  // namespace zoracle
