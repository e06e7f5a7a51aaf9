#include "scan/pipeline.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <boost/format.hpp>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iostream>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "compress/dc_compr.h"
#include "base/kernel_features.h"
#include "base/run_globals.h"
#include "base/run_log.h"
#include "base/run_state.h"
#include "scan/chunk_arena.h"
#include "scan/direct_read_ahead.h"
#include "scan/dscore.h"
#include "scan/requests.h"
#include "sketch/dc_crypt.h"
#include "sketch/dc_hash_and_ratio.h"
#include "sketch/dc_kheap.h"
#include "sketchfile/dc_logger.h"

std::vector<int32_t> cmpSumComp;
std::vector<double> cmpSumRatio;
std::vector<double> cmpSumRatioSq;
ReadAtFn gReadAt = &pread;
std::atomic<bool> gStopReaders{false};
std::atomic<uint64_t> gHashesSettled{0};
std::atomic<bool> gSourceShrank{false};
std::atomic<bool> gTooManyReadErrors{false};
SpaceGate gReadSpace;
SpaceGate gHashSpace;
std::atomic<bool> gNoCachestat{false};

namespace {

void logLine(int level, std::string text) { td.addLogLine(level, new std::string(std::move(text))); }

int64_t steadyMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// One limiter turn per chunk, taken before the chunk is read and given back
// once it has been read: the read may start when the turn allows (the rest
// of the second since its slot's last chunk was read, see Throttle).
class ThrottledRead {
 public:
  ThrottledRead() : capped_(myGlobals.maxMBPs != 0 && gThrottle != nullptr) {
    if (!capped_) return;
    turn_ = gThrottle->take(steadyMicros(), myGlobals.maxMBPs);
    std::this_thread::sleep_until(std::chrono::steady_clock::time_point(std::chrono::microseconds(turn_.release)));
  }
  ~ThrottledRead() {
    if (capped_) gThrottle->done(turn_, steadyMicros());
  }
  ThrottledRead(const ThrottledRead&) = delete;
  ThrottledRead& operator=(const ThrottledRead&) = delete;

 private:
  bool capped_;
  Throttle::Turn turn_{};
};

std::string readErrorText(uint64_t offset, int err) {
  return "Error reading " + std::to_string(offset) + " errno " + std::to_string(err);
}

// A failed read of `blocks` blocks: logged, counted, and the run ends beyond
// the limit.
void onReadError(const MyException& e, uint64_t blocks) {
  logLine(2, e.what());
  // The run is over; the thread that drives it ends it (status 126).
  if (!diskError(blocks)) gTooManyReadErrors.store(true);
}

// A chunk whose read failed, read again block by block (a bad sector fails
// the whole chunk's read): only the blocks that fail again are lost, each
// logged and counted as a read error and flagged in unreadable, its bytes
// zeroed. Returns the bytes read, as a chunk read would: fewer than chunk
// only where the source ends.
template <typename Source>
ssize_t rereadBlocks(Source& source, unsigned char* buf, int64_t chunk, int64_t at, int64_t bs,
                     std::vector<unsigned char>& unreadable) {
  const int64_t blocks = chunk / bs;
  unreadable.assign(static_cast<size_t>(blocks), 0);
  uint64_t failed = 0;
  int64_t got = 0;
  for (int64_t j = 0; j < blocks; ++j) {
    unsigned char* block = buf + j * bs;
    const off_t offset = static_cast<off_t>(at + j * bs);
    const ssize_t n = source.read(block, static_cast<size_t>(bs), offset);
    if (n < 0) {
      const int err = errno;
      try {
        throw MyException(readErrorText(static_cast<uint64_t>(offset), err));
      } catch (const MyException& e) {
        logLine(2, e.what());
      }
      std::memset(block, 0, static_cast<size_t>(bs));
      unreadable[static_cast<size_t>(j)] = 1;
      ++failed;
      got += bs;
      continue;
    }
    got += n;
    if (n < bs) break;  // the source ends here
  }
  // The run is over beyond the limit; the thread that drives it ends it
  // (status 126).
  if (failed > 0 && !diskError(failed)) gTooManyReadErrors.store(true);
  if (failed == 0) unreadable.clear();
  return static_cast<ssize_t>(got);
}

// Reads count bytes at offset, going on after short reads (a read may
// return less than asked without being at the end). Returns the bytes read:
// fewer than count only at the end of the source; -1 on an error.
ssize_t readFully(int fd, unsigned char* buf, size_t count, off_t offset) {
  size_t got = 0;
  while (got < count) {
    const ssize_t n = gReadAt(fd, buf + got, count - got, offset + static_cast<off_t>(got));
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

enum ReadMode : int { kUndecided, kDirect, kBuffered, kFromCache };

// How this run reads the source: settled by the first open or read that
// tells, so that the run log says it once.
std::atomic<int> gReadMode{kUndecided};

// How much of the source was in the page cache at the run's first read:
// -1 until that read looks, then one of the values below.
constexpr int kSourceNotCached = 0;  // read directly
constexpr int kSourceNearlyAll = 1;  // read from the cache, each range checked
constexpr int kSourceAll = 2;        // read from the cache, no range checked
std::atomic<int> gSourceCached{-1};

size_t pageSize() {
  static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return page;
}

// The pages that hold [offset, offset + count).
struct PageSpan {
  off_t start;
  size_t bytes;
  size_t pages;
};

PageSpan pageSpan(off_t offset, size_t count) {
  const off_t page = static_cast<off_t>(pageSize());
  const off_t start = offset - offset % page;
  const off_t end = (offset + static_cast<off_t>(count) + page - 1) / page * page;
  return PageSpan{start, static_cast<size_t>(end - start), static_cast<size_t>((end - start) / page)};
}

// Which pages of a span are in the page cache, one entry per page, bit 0
// set for a resident one. False when that cannot be told.
bool residentPages(int fd, const PageSpan& span, std::vector<unsigned char>& pages) {
  void* m = mmap(nullptr, span.bytes, PROT_READ, MAP_SHARED, fd, span.start);
  if (m == MAP_FAILED) return false;
  pages.resize(span.pages);
  const bool ok = mincore(m, span.bytes, pages.data()) == 0;
  munmap(m, span.bytes);
  return ok;
}

#ifndef __NR_cachestat
#define __NR_cachestat 451  // the same number on every architecture
#endif

struct CachestatRange {
  uint64_t off;
  uint64_t len;
};
struct Cachestat {
  uint64_t nrCache;
  uint64_t nrDirty;
  uint64_t nrWriteback;
  uint64_t nrEvicted;
  uint64_t nrRecentlyEvicted;
};

// glibc has no wrapper. The tests can withhold it, as older kernels do.
long cachestat(int fd, CachestatRange* range, Cachestat* stat) {
  if (kernelFeatureWithheld(KernelFeature::kCachestat)) {
    errno = ENOSYS;
    return -1;
  }
  return syscall(__NR_cachestat, fd, range, stat, 0);
}

enum class Cached { kNone, kSome, kAll, kUnknown };

// How much of a span is in the page cache. cachestat counts it in one call;
// mincore needs a mapping of the span, and mapping and unmapping for every
// range serialises the process's threads on its address space (measured
// per 1 MiB chunk: twice the context switches and a quarter more CPU).
Cached cachedPages(int fd, const PageSpan& span) {
  if (!gNoCachestat.load(std::memory_order_relaxed)) {
    CachestatRange range{static_cast<uint64_t>(span.start), span.bytes};
    Cachestat stat{};
    if (cachestat(fd, &range, &stat) == 0) {
      if (stat.nrCache == 0) return Cached::kNone;
      return stat.nrCache >= span.pages ? Cached::kAll : Cached::kSome;
    }
    if (errno != ENOSYS) return Cached::kUnknown;
    gNoCachestat.store(true);
  }
  std::vector<unsigned char> pages;
  if (!residentPages(fd, span, pages)) return Cached::kUnknown;
  size_t n = 0;
  for (unsigned char p : pages) n += p & 1;
  return n == 0 ? Cached::kNone : n == pages.size() ? Cached::kAll : Cached::kSome;
}

// How much of the first `size` bytes of fd the cache holds: all of it,
// nearly all (at most 64 MiB missing, and at most a tenth), or less. The
// mincore way looks a window at a time: a whole device mapped at once may
// not fit the address space.
int sourceCachedState(int fd, uint64_t size) {
  const uint64_t page = pageSize();
  const uint64_t pages = (size + page - 1) / page;
  const uint64_t missingMax = std::min(pages / 10, (uint64_t{64} << 20) / page);
  auto state = [&](uint64_t missing) {
    return missing == 0 ? kSourceAll : missing <= missingMax ? kSourceNearlyAll : kSourceNotCached;
  };
  if (!gNoCachestat.load(std::memory_order_relaxed)) {
    CachestatRange range{0, pages * page};
    Cachestat stat{};
    if (cachestat(fd, &range, &stat) == 0) return state(pages - std::min(pages, stat.nrCache));
    if (errno != ENOSYS) return kSourceNotCached;
    gNoCachestat.store(true);
  }
  constexpr uint64_t kWindow = uint64_t{1} << 30;
  std::vector<unsigned char> resident;
  uint64_t missing = 0;
  for (uint64_t at = 0; at < size; at += kWindow) {
    const size_t len = static_cast<size_t>(std::min(kWindow, size - at));
    if (!residentPages(fd, pageSpan(static_cast<off_t>(at), len), resident)) return kSourceNotCached;
    for (unsigned char r : resident) missing += (r & 1) == 0 ? 1 : 0;
    if (missing > missingMax) return kSourceNotCached;
  }
  return state(missing);
}

// Drops the pages of a span that were not resident before a buffered read:
// the read brought them in. Pages that were stay, for whoever had them.
void dropPagesReadIn(int fd, const PageSpan& span, const std::vector<unsigned char>& before) {
  const off_t page = static_cast<off_t>(pageSize());
  size_t i = 0;
  while (i < before.size()) {
    if ((before[i] & 1) != 0) {
      ++i;
      continue;
    }
    size_t j = i;
    while (j < before.size() && (before[j] & 1) == 0) ++j;
    posix_fadvise(fd, span.start + static_cast<off_t>(i) * page, static_cast<off_t>(j - i) * page,
                  POSIX_FADV_DONTNEED);
    i = j;
  }
}

// mincore reports the cache of a file only to a process that owns it or
// could open it for writing; to anyone else every page looks absent, and
// dropping "what was not resident" would drop everything.
bool residencyVisible(const std::string& name) {
  struct stat st;
  if (geteuid() == 0) return true;
  if (stat(name.c_str(), &st) == 0 && st.st_uid == geteuid()) return true;
  return faccessat(AT_FDCWD, name.c_str(), W_OK, AT_EACCESS) == 0;
}

// Settles the run's read mode; only the first caller's mode counts, and
// only it logs. True when the mode is now `mode`.
bool settleReadMode(int mode, bool residencyKnown) {
  int expected = kUndecided;
  if (gReadMode.compare_exchange_strong(expected, mode)) {
    if (mode == kDirect) {
      logLine(2, "Read mode: direct");
    } else if (mode == kFromCache) {
      logLine(2, "Read mode: buffered, from the page cache, which holds nearly all the source; dropping pages read in");
    } else if (residencyKnown) {
      logLine(2, "Read mode: buffered, dropping pages read");
    } else {
      logLine(2, "Read mode: buffered, pages read stay cached (the cache cannot be inspected)");
    }
    return true;
  }
  return expected == mode;
}

// Blocks a compression worker has on their way from the device at once.
constexpr size_t kReadAheadSlots = 16;

// One worker's access to the source. Reads bypass the page cache (O_DIRECT)
// where the source allows it, so that a scan on a production host neither
// fills the cache nor evicts what others keep there. What direct reads
// cannot cover (a piece shorter than a sector at the end, a source that
// refuses them) is read through a second, buffered descriptor, and the
// pages such a read brought into the cache are dropped again.
//
// A source nearly all in the cache (all but 64 MiB of it at most, and at
// most a tenth) is read from it instead, buffered: direct reads of a cached
// source cost half as much CPU again (measured on a cached 2 GiB image),
// and some pages of a cached source are always being reclaimed. Other
// sources are read directly all through, their cached ranges too: a
// buffered read of a cached range can hit a page that another reader's
// read-ahead marked, and the kernel then reads ahead beyond the range
// whatever this descriptor advises; the next ranges find those pages
// cached, and so on (measured: 259 MiB of an image cached before a scan,
// 813 MiB after). From a source nearly all cached, that brings in at most
// the little that was missing.
class SourceFile {
 public:
  explicit SourceFile(const DSCore& scn)
      : sector_(scn.sectorSize), size_(scn.devSize), residencyKnown_(residencyVisible(scn.devName)) {
    fd_ = open(scn.devName.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) return;  // every read fails, and is counted as a read error
    // Read-ahead would bring in pages beyond a range read buffered; the next
    // range would find them resident and keep them.
    posix_fadvise(fd_, 0, 0, POSIX_FADV_RANDOM);
    // Direct reads need whole sectors at sector offsets into memory aligned
    // as much; the buffers are page aligned and blocks are whole sectors.
    const bool aligned = sector_ != 0 && (sector_ & (sector_ - 1)) == 0 && sector_ <= pageSize() &&
                         static_cast<size_t>(myGlobals.blockSize) % sector_ == 0;
    if (aligned && gReadMode.load() != kBuffered) {
      directFd_ = open(scn.devName.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECT);
    }
    if (directFd_ < 0) settleReadMode(kBuffered, residencyKnown_);
  }
  ~SourceFile() {
    ahead_.reset();
    if (directFd_ >= 0) close(directFd_);
    if (fd_ >= 0) close(fd_);
  }
  SourceFile(const SourceFile&) = delete;
  SourceFile& operator=(const SourceFile&) = delete;

  // Reads count bytes at offset into buf, going on after short reads.
  // Returns the bytes read: fewer than count only at the end of the source;
  // -1 on an error (errno set).
  ssize_t read(unsigned char* buf, size_t count, off_t offset) {
    if (ahead_ != nullptr && ahead_->take(offset, buf, count)) return static_cast<ssize_t>(count);
    const int sourceCached = cachedState();
    const bool fromCache = sourceCached != kSourceNotCached;
    if (fromCache) settleReadMode(kFromCache, residencyKnown_);
    if (directFd_ >= 0 && gReadMode.load(std::memory_order_relaxed) == kBuffered) closeDirect();
    if (fromCache || directFd_ < 0) {
      // A source all cached at the start needs no look at each range (a
      // third of the kernel's time in a cached scan went to them): a page
      // reclaimed since then and read in again was cached when the scan
      // found it.
      const Cached cached = sourceCached == kSourceAll               ? Cached::kAll
                            : residencyKnown_ && fd_ >= 0 ? cachedPages(fd_, pageSpan(offset, count))
                                                          : Cached::kUnknown;
      return readBuffered(buf, count, offset, cached);
    }
    size_t got = 0;
    const size_t whole = count - count % sector_;
    if (whole > 0 && static_cast<size_t>(offset) % sector_ == 0 && reinterpret_cast<uintptr_t>(buf) % sector_ == 0) {
      while (got < whole) {
        const ssize_t n = gReadAt(directFd_, buf + got, whole - got, offset + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EINVAL) {
          // Refused before any direct read went through: the source takes
          // none, and the run reads buffered. Refused later: only this range.
          if (settleReadMode(kBuffered, residencyKnown_)) closeDirect();
          break;
        }
        settleReadMode(kDirect, residencyKnown_);
        if (n < 0) return -1;
        if (n == 0) return static_cast<ssize_t>(got);
        got += static_cast<size_t>(n);
        // Only the end of the source ends a direct read inside a sector.
        if (got % sector_ != 0) break;
      }
    }
    if (got == count) return static_cast<ssize_t>(got);
    const off_t restAt = offset + static_cast<off_t>(got);
    const Cached restCached =
        residencyKnown_ ? cachedPages(fd_, pageSpan(restAt, count - got)) : Cached::kUnknown;
    const ssize_t rest = readBuffered(buf + got, count - got, restAt, restCached);
    return rest < 0 ? -1 : static_cast<ssize_t>(got) + rest;
  }

  // Whether this source is read directly, as far as can be told before the
  // first read (which may still find direct reads refused).
  bool readsDirect() { return directFd_ >= 0 && cachedState() == kSourceNotCached; }

  // Starts a direct read of a range that read() is soon asked for, so that
  // a worker's next blocks are on their way while it compresses this one.
  // Only once direct reads are known to work, and not under a test's read
  // hook, which must see every read.
  void prefetch(off_t offset, size_t count) {
    if (directFd_ < 0 || gReadAt != &pread || gReadMode.load(std::memory_order_relaxed) != kDirect) return;
    if (ahead_ == nullptr) ahead_ = std::make_unique<DirectReadAhead>(directFd_, kReadAheadSlots, count);
    ahead_->start(offset, count);
  }

 private:
  void closeDirect() {
    ahead_.reset();
    close(directFd_);
    directFd_ = -1;
  }

  // Looked at once per run, by the first read.
  int cachedState() {
    int cached = gSourceCached.load(std::memory_order_relaxed);
    if (cached < 0) {
      const int now = residencyKnown_ && fd_ >= 0 ? sourceCachedState(fd_, size_) : kSourceNotCached;
      cached = gSourceCached.compare_exchange_strong(cached, now) ? now : cached;
    }
    return cached;
  }

  // A buffered read that leaves the cache as it found it: what it brought
  // in is dropped again, whatever was resident stays. When the cache
  // cannot be inspected, nothing is dropped.
  ssize_t readBuffered(unsigned char* buf, size_t count, off_t offset, Cached cached) {
    const PageSpan span = pageSpan(offset, count);
    if (cached == Cached::kAll) return readFully(fd_, buf, count, offset);
    if (cached == Cached::kSome && !residentPages(fd_, span, before_)) cached = Cached::kUnknown;
    const ssize_t n = readFully(fd_, buf, count, offset);
    if (cached == Cached::kNone) {
      posix_fadvise(fd_, span.start, static_cast<off_t>(span.bytes), POSIX_FADV_DONTNEED);
    } else if (cached == Cached::kSome) {
      dropPagesReadIn(fd_, span, before_);
    }
    return n;
  }

  int fd_ = -1;
  int directFd_ = -1;
  const size_t sector_;
  const uint64_t size_;
  const bool residencyKnown_;
  std::vector<unsigned char> before_;  // residency before a buffered read
  std::unique_ptr<DirectReadAhead> ahead_;  // direct reads started early
};

std::string hexUpper(const std::vector<unsigned char>& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s;
  s.reserve(bytes.size() * 2);
  for (unsigned char b : bytes) {
    s.push_back(kDigits[b >> 4]);
    s.push_back(kDigits[b & 15]);
  }
  return s;
}


std::mutex chunkPoolMutex;
struct PooledChunk {
  unsigned char* buf;
  size_t size;
};
std::vector<PooledChunk> chunkPool;
// Full chunks come from here while it has slots; made at the first, given
// up at the end of a scan.
std::unique_ptr<ChunkArena> chunkArena;

// Buffers this large get their own mapping, populated at once: touching a
// fresh buffer page by page costs a fault per page, which on a virtual
// machine is several times the cost of the kernel filling it in one go.
// Smaller ones (a share's last chunk) come from the heap. The size alone
// says which, so a buffer is always freed the way it was allocated.
constexpr size_t kMappedChunkMin = size_t{256} << 10;

// Page aligned either way, as direct reads need.
unsigned char* allocChunk(size_t size) {
  if (size < kMappedChunkMin) {
    const size_t page = pageSize();
    return static_cast<unsigned char*>(std::aligned_alloc(page, (size + page - 1) / page * page));
  }
  void* m = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
  return m == MAP_FAILED ? nullptr : static_cast<unsigned char*>(m);
}

void freeChunk(unsigned char* buf, size_t size) {
  if (size < kMappedChunkMin) {
    std::free(buf);
  } else {
    munmap(buf, size);
  }
}

// The arena's slots at most, whatever the queue settings (1 GiB of address
// space for 1 MiB chunks; only the slots used take memory).
constexpr size_t kArenaSlotsMax = 1024;

size_t fullChunk() { return static_cast<size_t>(myGlobals.blockSize) * myGlobals.readChunkBlocks; }

// Enough for every chunk the read queue may hold and one in each reader's
// hands. Chunks that hash requests keep alive beyond that are freed: keeping
// them too costs more memory than their new mappings cost time.
size_t chunkPoolCap() {
  return static_cast<size_t>(myGlobals.readRequestsMaxQ) * myGlobals.threads + myGlobals.threads + 2;
}

}  // namespace

void forgetReadMode() {
  gReadMode.store(kUndecided);
  gSourceCached.store(-1);
}

int chunkPinLimit() {
  const size_t bound = static_cast<size_t>(myGlobals.hashRequestsMaxQ) * myGlobals.threads;
  const size_t perChunk = myGlobals.readChunkBlocks > 0 ? static_cast<size_t>(myGlobals.readChunkBlocks) : 1;
  return static_cast<int>(bound / perChunk) + 4;
}

unsigned char* takeChunkBuffer(size_t size, bool forDirectReads) {
  {
    std::lock_guard<std::mutex> lock(chunkPoolMutex);
    if (size == fullChunk()) {
      // Enough slots for every chunk the read queue, the readers and the
      // hash requests may hold at once.
      if (chunkArena == nullptr) {
        const size_t slots = std::min<size_t>(chunkPoolCap() + static_cast<size_t>(chunkPinLimit()), kArenaSlotsMax);
        chunkArena = std::make_unique<ChunkArena>(size, slots, forDirectReads);
      }
      // An arena kept from an earlier scan (a slot was never given back)
      // may have another chunk size.
      if (chunkArena->chunkBytes() == size) {
        if (unsigned char* b = chunkArena->take()) return b;
      }
    }
    if (!chunkPool.empty() && chunkPool.back().size == size) {
      unsigned char* b = chunkPool.back().buf;
      chunkPool.pop_back();
      return b;
    }
  }
  return allocChunk(size);
}

void returnChunkBuffer(unsigned char* buf, size_t size) {
  if (buf == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(chunkPoolMutex);
    if (chunkArena != nullptr && chunkArena->give(buf)) return;
    if (size == fullChunk() && chunkPool.size() < chunkPoolCap() &&
        (chunkPool.empty() || chunkPool.back().size == size)) {
      chunkPool.push_back(PooledChunk{buf, size});
      return;
    }
  }
  freeChunk(buf, size);
}

void releaseChunkBuffers() {
  std::lock_guard<std::mutex> lock(chunkPoolMutex);
  for (const PooledChunk& c : chunkPool) freeChunk(c.buf, c.size);
  chunkPool.clear();
  // A slot still out is still someone's buffer: the arena then stays.
  if (chunkArena != nullptr && chunkArena->out() == 0) chunkArena.reset();
}

ReadShare readShareOf(int w, int64_t devSize, int64_t segmentSize, unsigned threads) {
  const int64_t span = ((devSize / segmentSize) / static_cast<int64_t>(threads)) * segmentSize;
  ReadShare s{w * span, (w + 1) * span};
  if (w == static_cast<int>(threads) - 1 || s.end > devSize) s.end = devSize;
  if (s.start > s.end) s.start = s.end;
  return s;
}

bool diskError(uint64_t blocks) {
  const uint64_t n = ioErrorCount.fetch_add(blocks) + blocks;
  if (ioErrorLimit >= n) return true;
  int expected = 0;
  if (!ioAbortFlag.compare_exchange_strong(expected, 1)) return false;
  logLine(1,
          "Aborting run over current device due to a high number (>1%) of samples returned from the "
          "storage with I/O error.");
  return false;
}

void readThreadFnc(int w, long long devSize) {
  // The scan command has already counted this reader in activeReaders, so
  // the scan loop cannot miss a reader that starts late.
  DSCore* scn = gScn;
  const int64_t bs = myGlobals.blockSize;
  const int64_t chunkMax = bs * myGlobals.readChunkBlocks;
  size_t bound = static_cast<size_t>(myGlobals.readRequestsMaxQ) * myGlobals.threads;
  ReadShare share = readShareOf(w, devSize, myGlobals.segmentSize, myGlobals.threads);
  int64_t cur = share.start;
  const int64_t end = share.end;
  // The saved position is the last block this worker's stream accounted;
  // the stream goes on with the block after it.
  uint64_t saved = scn->logger->threadPositions.at(w);
  if (saved != 0) cur = static_cast<int64_t>(saved) + bs;

  SourceFile source(*scn);
  const bool direct = source.readsDirect();
  // A chunk read from the cache is there as soon as asked: two a reader
  // keep the hash workers fed, and every chunk not queued is a slot of
  // fresh memory the kernel need not zero.
  if (gSourceCached.load() > kSourceNotCached) bound = std::min<size_t>(bound, size_t{2} * myGlobals.threads);
  while (end - cur >= bs && !gStopReaders.load(std::memory_order_relaxed) &&
         !gTooManyReadErrors.load(std::memory_order_relaxed)) {
    // Whole blocks only: a tail shorter than a block is never accounted, and
    // on a device of larger sectors the piece beyond the last whole one
    // cannot be read at all.
    const int64_t chunk = std::min(chunkMax, (end - cur) / bs * bs);
    unsigned char* buf = takeChunkBuffer(static_cast<size_t>(chunk), direct);
    if (buf == nullptr) {
      logLine(2, "Could not allocate memory for READ");
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    ssize_t n = 0;
    {
      // Around the read, so that the reads themselves keep to the cap.
      const ThrottledRead turn;
      ++myGlobals.readsIssued;
      n = source.read(buf, static_cast<size_t>(chunk), static_cast<off_t>(cur));
    }
    std::vector<unsigned char> unreadable;
    if (n < 0) n = rereadBlocks(source, buf, chunk, cur, bs, unreadable);
    const int64_t chunkStart = cur;
    cur += n;
    if (n < chunk) {
      // The source ends before the size it had at the start.
      gSourceShrank.store(true);
      logLine(2, (boost::format("Cannot read pos (%1% %2% %3%") % chunkStart % end % cur).str());
    }
    if (n < bs) {
      returnChunkBuffer(buf, static_cast<size_t>(chunk));
      break;
    }
    auto* rq = new readReq(buf, static_cast<uint64_t>(chunkStart), static_cast<int>(n), static_cast<int>(chunk),
                           static_cast<int16_t>(w));
    rq->unreadable = std::move(unreadable);
    boundedPush(readRequests, rq, bound, gReadSpace);
  }
  logLine(5, "exiting read thread");
  // Last, so that a loop that sees 0 also sees every chunk this reader pushed.
  --scn->activeReaders;
}

// Entries a hash worker may hold back while another thread has the sketch.
constexpr size_t kHeldBackMax = 256;
// Requests a hash worker takes off the queue at once: one lock and at most
// one wake-up per batch, and blocks to fingerprint two at a time.
constexpr size_t kHashBatch = 16;
// Entries the sketch let go of, kept by a worker for its next offers.
constexpr size_t kSpareEntriesMax = 256;

void hashThreadFnc(int /*w*/) {
  const bool logEach = myGlobals.loglevel > 4;
  const FingerprintSettings fingerprint = fingerprintSettingsOf(myGlobals);
  // Entries not yet in the sketch. A worker that finds the sketch's mutex
  // taken goes on hashing and offers them all at its next turn, instead of
  // sleeping on the mutex: workers outnumber cores, and a sleep and wake-up
  // per offer cost more than the offer. They are settled (counted in
  // gHashesSettled) only once in the sketch, and the worker never waits
  // for work while holding any, so the scan loop's wait for settled
  // fingerprints always ends.
  std::vector<DCHashAndRatio*> heldBack;
  // Entries that came back from the sketch (refused or evicted), to be
  // filled anew instead of allocated.
  std::vector<DCHashAndRatio*> spare;
  auto settle = [](size_t n) {
    if (n != 0) gHashesSettled.fetch_add(n, std::memory_order_release);
  };
  auto offerHeldBack = [&](bool wait) {
    const size_t n = heldBack.size();
    if (n == 0) return;
    if (!TopHashes_->tryInsertAll(heldBack, &spare)) {
      if (!wait && n < kHeldBackMax) return;
      for (DCHashAndRatio* e : heldBack) TopHashes_->insert(e);
      heldBack.clear();
    }
    while (spare.size() > kSpareEntriesMax) {
      delete spare.back();
      spare.pop_back();
    }
    settle(n);
  };
  auto isEndMarker = [](const hashReq* r) { return r->len == 0; };
  std::vector<hashReq*> batch;
  batch.reserve(kHashBatch);
  for (;;) {
    if (heldBack.empty() || hashRequests->popSomeFor(batch, kHashBatch, isEndMarker, std::chrono::seconds(0)) == 0) {
      offerHeldBack(true);
      hashRequests->popSome(batch, kHashBatch, isEndMarker);
    }
    gHashSpace.signal(hashRequests->size());
    // An end marker can only be the last of a batch.
    hashReq* endMarker = nullptr;
    if (batch.back()->len == 0) {
      endMarker = batch.back();
      batch.pop_back();
    }
    myGlobals.sha1Done += static_cast<unsigned>(batch.size());
    size_t i = 0;
    for (; i + 1 < batch.size(); i += 2) {
      hashReq* a = batch[i];
      hashReq* b = batch[i + 1];
      if (a->len == b->len && a->extra == b->extra) {
        DCCrypt::blockFingerprintPair(a->buf, b->buf, a->len, a->extra, a->hash, b->hash, fingerprint);
      } else {
        DCCrypt::blockFingerprint(a->buf, a->len, a->extra, a->hash, fingerprint);
        DCCrypt::blockFingerprint(b->buf, b->len, b->extra, b->hash, fingerprint);
      }
    }
    if (i < batch.size()) {
      hashReq* a = batch[i];
      DCCrypt::blockFingerprint(a->buf, a->len, a->extra, a->hash, fingerprint);
    }
    // insert alone does what probe and then insert would: it counts a
    // sighting of a kept fingerprint, drops one the sketch cannot keep and
    // stores the rest. Most fingerprints of a large source are above a full
    // sketch's top: those are dropped without an entry or the mutex.
    size_t dropped = 0;
    for (hashReq* req : batch) {
      if (logEach) {
        logLine(5, (boost::format("pos: %1% sha1: %2%") % req->pos % hexUpper(req->hash)).str());
      }
      if (TopHashes_->surelyAbove(req->hash)) {
        ++dropped;
      } else if (!spare.empty()) {
        spare.back()->reuse(req->hash, -1.0, req->pos);
        heldBack.push_back(spare.back());
        spare.pop_back();
      } else {
        heldBack.push_back(new DCHashAndRatio(req->hash, -1.0, req->pos));
      }
    }
    settle(dropped);
    offerHeldBack(false);
    gHashReqPool.give(batch);
    if (endMarker != nullptr) {
      offerHeldBack(true);
      for (DCHashAndRatio* e : spare) delete e;
      delete endMarker;
      logLine(5, "exiting hash thread");
      return;
    }
  }
}

// Measured requests a compression worker hands back at once.
constexpr size_t kMeasuredBatch = 32;

int cmpThreadFnc(int w) {
  DSCore* scn = gScn;
  const int bs = myGlobals.blockSize;
  DCCompr compr(DCCompr::levelFor(myGlobals.storagever));

  const bool partial = myGlobals.command == "partialscan";
  unsigned quota = static_cast<unsigned>(myGlobals.maxNumSamples) / myGlobals.threads;
  if (static_cast<unsigned>(w) == myGlobals.threads - 1) {
    quota += static_cast<unsigned>(myGlobals.maxNumSamples) % myGlobals.threads;
  }
  // The quota counts partial-scan samples only; a full scan's ratio
  // measurement needs every compression worker whatever the quota says.
  if (partial && quota < 1) return static_cast<int>(quota);

  SourceFile source(*scn);
  // One block buffer for all the worker's reads, page aligned for direct
  // reads; no request carries it away.
  const size_t page = pageSize();
  std::unique_ptr<unsigned char, decltype(&std::free)> block(
      static_cast<unsigned char*>(std::aligned_alloc(page, (static_cast<size_t>(bs) + page - 1) / page * page)),
      &std::free);
  if (block == nullptr) throw std::bad_alloc();

  // A full scan's ratio measurement waits for blocks from all over the
  // source. Read directly one at a time per worker, they leave the device
  // waiting between them (measured: an uncached 2 GiB scan took a fifth
  // longer): a worker keeps up to kReadAheadSlots requests taken, their
  // reads started, and tops them up as it goes.
  std::deque<hashReq*> taken;
  // Measured requests not yet handed back: they go back in batches, each
  // waking the engine once, and all of them before the worker waits for
  // more (the engine waits for every one).
  std::vector<hashReq*> measured;
  auto handBack = [&measured] {
    if (!measured.empty()) cmpRequests->pushAll(measured);
  };
  unsigned done = 0;
  for (;;) {
    if (taken.empty()) {
      hashReq* next = nullptr;
      if (measured.empty() || !readcmpRequests->popFor(next, std::chrono::milliseconds(0))) {
        handBack();
        next = readcmpRequests->pop();
      }
      taken.push_back(next);
    }
    hashReq* req = taken.front();
    taken.pop_front();
    if (req->len == 0) {
      handBack();
      delete req;
      logLine(5, "exiting cmp thread");
      break;
    }
    ++myGlobals.cmpRequestsDone;
    unsigned char* data = block.get();
    ssize_t n = source.read(data, static_cast<size_t>(bs), static_cast<off_t>(req->pos));
    const int readErr = errno;
    // The next reads start before this block is compressed. The end marker
    // is the last request a worker takes.
    hashReq* more = nullptr;
    while (!partial && (taken.empty() || taken.back()->len != 0) && taken.size() < kReadAheadSlots &&
           readcmpRequests->popFor(more, std::chrono::milliseconds(0))) {
      taken.push_back(more);
      if (more->len != 0) source.prefetch(static_cast<off_t>(more->pos), static_cast<size_t>(bs));
    }
    if (n < 0) {
      try {
        throw MyException(readErrorText(req->pos, readErr));
      } catch (const MyException& e) {
        onReadError(e, 1);
      }
      n = 0;
    } else if (n < bs) {
      // Every block asked for lay within the source's size at the start.
      gSourceShrank.store(true);
      n = 0;
    }
    req->len = static_cast<int>(n);

    if (req->kind == hashReq::Kind::kSample) {
      // A partial-scan sample; one that could not be read is dropped and
      // the driver draws another.
      if (n > 0) {
        if (isZeroBlock(data, static_cast<size_t>(req->len))) {
          ++myGlobals.samplesZero;
        } else {
          compr.processBlock(data, static_cast<unsigned long long>(req->len));
          compr.reset();
          if (static_cast<size_t>(w) < cmpSumComp.size()) {
            cmpSumComp[w] += static_cast<int32_t>(compr.ratio * 100000.0);
          }
          if (static_cast<size_t>(w) < cmpSumRatioSq.size()) {
            cmpSumRatio[w] += compr.ratio;
            cmpSumRatioSq[w] += compr.ratio * compr.ratio;
          }
          ++done;
          ++myGlobals.samplesCompressed;
        }
      }
      delete req;
      if (done >= quota) break;
    } else if (req->kind == hashReq::Kind::kMeasure) {
      // A block to measure for the sketch. Measured here, where ten workers
      // share the work, and handed back without its data, so the results
      // waiting for the engine hold no blocks. Forwarded even when the read
      // failed (ratio -1): the measurement counts every request it sent.
      if (n > 0) {
        compr.processBlock(data, static_cast<unsigned long long>(req->len));
        req->ratio = compr.ratio;
        compr.reset();
      }
      measured.push_back(req);
      if (measured.size() >= kMeasuredBatch) handBack();
    } else {
      delete req;
    }
  }
  handBack();
  return static_cast<int>(quota);
}
