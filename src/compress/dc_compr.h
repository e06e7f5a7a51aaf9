// Measures how well one block compresses under the array's own scheme.
#ifndef DEZEVAZIR_COMPRESS_DC_COMPR_H_
#define DEZEVAZIR_COMPRESS_DC_COMPR_H_

#include "compress/z_deflate.h"

// One deflate-variant stream, used by one thread at a time, at the level
// its caller gives (levelFor picks it from the storage version).
class DCCompr {
 public:
  z_stream stream;
  double ratio = 1.0;  // -1.0 if initialisation failed

  explicit DCCompr(int level);
  ~DCCompr();
  // The storage version picks the mode: above 1201 buffered (level 110),
  // else direct (level 111).
  static int levelFor(unsigned storagever);
  DCCompr(const DCCompr&) = delete;
  DCCompr& operator=(const DCCompr&) = delete;

  // Compresses one block with a sync flush; sets ratio to compressed bytes
  // over block bytes. Leaves ratio at -1.0 on a stream that failed to
  // initialise. Call reset() before the next independent block.
  void processBlock(unsigned char* block, unsigned long long size);
  int reset();
};

#endif  // DEZEVAZIR_COMPRESS_DC_COMPR_H_
