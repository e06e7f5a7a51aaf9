// Read buffers for whole chunks, carved out of one mapping backed by huge
// pages where the kernel has them.
#ifndef DZ_SCAN_CHUNK_ARENA_H_
#define DZ_SCAN_CHUNK_ARENA_H_

#include <cstddef>
#include <vector>

// A direct read into a buffer of 4 KiB pages is pinned page by page and
// goes to the device as 256 pieces per MiB; into a huge page it is a piece
// or two (measured on a virtio disk, ten readers' direct 1 MiB reads:
// 2.0-2.2 GB/s into small pages, 4.2 GB/s into huge ones). The slots are
// chunk-sized and page aligned, and a slot's pages are made present when it
// is first taken: faulting them in one at a time costs more on a virtual
// machine. Not thread-safe: the caller locks.
class ChunkArena {
 public:
  // With hugePages false the slots are small pages: buffers that the CPU
  // fills (buffered reads) gain nothing from huge ones, and pay for their
  // faults (measured: a cached 2 GiB scan, a tenth of a second more).
  ChunkArena(size_t chunkBytes, size_t slots, bool hugePages);
  ~ChunkArena();
  ChunkArena(const ChunkArena&) = delete;
  ChunkArena& operator=(const ChunkArena&) = delete;

  // A free slot, the one given back last first (its pages are the likeliest
  // to be in the caches); nullptr when every slot is out.
  unsigned char* take();
  // Takes back one of its slots; false for any other buffer.
  bool give(unsigned char* buf);
  size_t chunkBytes() const { return chunkBytes_; }
  // Slots taken and not given back.
  size_t out() const { return slots_ - free_.size(); }

 private:
  size_t chunkBytes_;
  size_t slots_ = 0;
  void* map_ = nullptr;
  size_t mapBytes_ = 0;
  unsigned char* base_ = nullptr;  // the first slot, on a huge-page boundary
  std::vector<unsigned char*> free_;
  std::vector<bool> present_;  // slots whose pages were made present
};

#endif  // DZ_SCAN_CHUNK_ARENA_H_
