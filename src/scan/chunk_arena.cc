#include "scan/chunk_arena.h"

#include <sys/mman.h>

#include <cstdint>

#include "base/kernel_features.h"

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // Linux 5.14; older kernels refuse it, and the pages fault in
#endif

namespace {

constexpr size_t kHugePage = size_t{2} << 20;

}  // namespace

ChunkArena::ChunkArena(size_t chunkBytes, size_t slots, bool hugePages) : chunkBytes_(chunkBytes) {
  if (chunkBytes == 0 || slots == 0) return;
  // One huge page more, to start the slots on a huge-page boundary.
  mapBytes_ = chunkBytes * slots + kHugePage;
  map_ = mmap(nullptr, mapBytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (map_ == MAP_FAILED) {
    map_ = nullptr;
    return;
  }
  const uintptr_t at = (reinterpret_cast<uintptr_t>(map_) + kHugePage - 1) & ~uintptr_t{kHugePage - 1};
  base_ = reinterpret_cast<unsigned char*>(at);
  // Only advice: where huge pages are off, the slots are small pages.
  if (hugePages && !kernelFeatureWithheld(KernelFeature::kHugePages)) madvise(base_, chunkBytes * slots, MADV_HUGEPAGE);
  slots_ = slots;
  free_.reserve(slots);
  // Taken from the back: the first slot first.
  for (size_t i = slots; i-- > 0;) free_.push_back(base_ + i * chunkBytes);
  present_.assign(slots, false);
}

ChunkArena::~ChunkArena() {
  if (map_ != nullptr) munmap(map_, mapBytes_);
}

unsigned char* ChunkArena::take() {
  if (free_.empty()) return nullptr;
  unsigned char* buf = free_.back();
  free_.pop_back();
  const size_t i = static_cast<size_t>(buf - base_) / chunkBytes_;
  if (!present_[i]) {
    // Refused by older kernels (EINVAL): the pages then fault in as written.
    if (!kernelFeatureWithheld(KernelFeature::kPopulateWrite)) madvise(buf, chunkBytes_, MADV_POPULATE_WRITE);
    present_[i] = true;
  }
  return buf;
}

bool ChunkArena::give(unsigned char* buf) {
  if (base_ == nullptr || buf < base_ || buf >= base_ + slots_ * chunkBytes_) return false;
  if (static_cast<size_t>(buf - base_) % chunkBytes_ != 0) return false;
  free_.push_back(buf);
  return true;
}
