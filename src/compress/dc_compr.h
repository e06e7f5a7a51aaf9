// Measures how well one block compresses under the array's own scheme.
#ifndef DEZEVAZIR_COMPRESS_DC_COMPR_H_
#define DEZEVAZIR_COMPRESS_DC_COMPR_H_

#include "compress/z_deflate.h"

class DCCompr {
 public:
  z_stream stream;
  double ratio = 1.0;  // -1.0 if initialisation failed

  DCCompr();
  ~DCCompr();
  DCCompr(const DCCompr&) = delete;
  DCCompr& operator=(const DCCompr&) = delete;

  // Compresses one block with a sync flush; sets ratio.
  void processBlock(unsigned char* block, unsigned long long size);
  int reset();
};

#endif  // DEZEVAZIR_COMPRESS_DC_COMPR_H_
