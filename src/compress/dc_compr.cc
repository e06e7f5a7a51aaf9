#include "compress/dc_compr.h"

#include <cstdint>
#include <iostream>
#include <memory>


namespace {

constexpr int kWindowBitsZlibNoChecksum = 47;
constexpr int kMemLevel = 8;
constexpr unsigned kOutputSlack = 256;

}  // namespace

int DCCompr::levelFor(unsigned storagever) {
  return storagever > 1201u ? Z_STITCH_BUFFERED_LEVEL : Z_STITCH_DIRECT_LEVEL;
}

DCCompr::DCCompr(int level) : stream() {
  stream.zalloc = nullptr;
  stream.zfree = nullptr;
  stream.opaque = nullptr;
  const int result = z_deflateInit2_(&stream, level, Z_DEFLATED, kWindowBitsZlibNoChecksum,
                                     kMemLevel, Z_DEFAULT_STRATEGY, "1.2.3",
                                     static_cast<int>(sizeof(z_stream)));
  if (result != Z_OK) {
    std::cout << std::endl << "\t Failure in DCCompr::DCCompr, deflateInit " << result << std::endl;
    ratio = -1.0;
  }
}

DCCompr::~DCCompr() { z_deflateEnd(&stream); }

void DCCompr::processBlock(unsigned char* block, unsigned long long size) {
  // A stream without state cannot compress anything; the -1.0 stays.
  if (stream.state == nullptr) {
    ratio = -1.0;
    return;
  }
  const uint32_t capacity = static_cast<uint32_t>(size) + kOutputSlack;
  // Uninitialised on purpose: only what the compressor writes is read.
  std::unique_ptr<unsigned char[]> scratch(new unsigned char[capacity]);

  stream.next_in = block;
  stream.avail_in = static_cast<uint32_t>(size);
  stream.next_out = scratch.get();
  stream.avail_out = capacity;

  const int result = z_deflate_cont(&stream, Z_SYNC_FLUSH, 0);
  if (result != Z_OK) {
    std::cout << std::endl << "\t Error in DCCompr::processBlock, deflate_cont " << result
              << std::endl;
  }
  const uint32_t compressed = capacity - stream.avail_out;
  ratio = static_cast<double>(compressed) / static_cast<double>(size);
}

int DCCompr::reset() { return z_deflateReset(&stream); }
