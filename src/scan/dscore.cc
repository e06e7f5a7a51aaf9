// Engine set-up: sizing and opening the source, the extra bytes, resume from
// an earlier record, and the hand-over of a merged result.
#include "scan/dscore.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "compress/dc_compr.h"
#include "runcontrol/file_kind.h"
#include "runcontrol/run_globals.h"
#include "sketch/dc_kheap.h"
#include "sketchfile/dc_logger.h"

DSCore* gScn = nullptr;
DCKHeap* TopHashes_ = nullptr;

namespace {

// The source is only ever read: no flag here may create, truncate or write.
constexpr int kSourceOpenFlags = O_RDONLY | O_CLOEXEC;

// The file does not say which capacity its sketch had, but its counters
// tell whether the sketch ever dropped a fingerprint: every sighting of a
// not-zero block is in some entry's counter unless its fingerprint was
// dropped or evicted. So the counters add up to the not-zero blocks exactly
// when nothing was dropped (the count is then exact), and fall short when
// something was (the sketch was full: its capacity is its entry count). A
// saturated counter (255) also falls short; then the file cannot tell, and
// the --hashSize of this run decides as for a scan.
void judgeFill(DCKHeap& sketch, uint64_t notZero) {
  uint64_t sum = 0;
  bool saturated = false;
  for (const DCHashAndRatio* e : sketch.getVector()) {
    sum += static_cast<uint64_t>(e->refCounter);
    saturated = saturated || e->refCounter >= 255;
  }
  if (sum == notZero) {
    sketch.fillCapacity = UINT64_MAX;
  } else if (!saturated) {
    sketch.fillCapacity = sketch.numEntries();
  }
}

}  // namespace

DSCore::DSCore(uint64_t blockSizeArg, uint64_t hashSize, uint64_t recoverBlocksArg,
               uint32_t randomBytes, const std::string& input, const std::string& sketch)
    : heap(nullptr),
      activeReaders(0),
      logger(nullptr),
      blockSize(blockSizeArg),
      recoverBlocks(recoverBlocksArg),
      compr(nullptr),
      fd(0),
      devNameText(nullptr),
      devReadable(true),
      openErrno(0),
      status(-1),
      devSize(0),
      devName(input),
      extraBytes{0, 0},
      resumedBytes(0),
      sectorSize(0) {
  // The same seed always gives the same two bytes, so runs with the same
  // randomBytes produce the same fingerprints.
  srand(randomBytes);
  extraBytes[0] = static_cast<unsigned char>(rand() % 255);
  extraBytes[1] = static_cast<unsigned char>(rand() % 255);

  logger = new DCLogger(sketch);
  compr = new DCCompr();
  status = logger->valid ? 0 : 2;
  heap = new DCKHeap(hashSize);
  init(devName);
}

DSCore::~DSCore() {
  delete logger;
  delete compr;
  delete heap;
  if (fd > 0) close(fd);
}

int64_t DSCore::get_dev_size(const std::string* name) {
  FileKind kind = FileKind::kMissing;
  int err = 0;
  struct stat st;
  // Non-blocking, so that a FIFO given as source is refused instead of
  // waiting for a writer.
  const int f = openForReading(*name, kind, err, &st);
  if (f < 0) {
    sizeError = std::strerror(err);
    return -1;
  }
  sectorSize = 8192;
  int64_t size = -1;
  if (kind == FileKind::kBlockDevice) {
    // A block device's own size query beats lseek, which some drivers do
    // not support; its logical sector size is what the platform reports.
    uint64_t bytes = 0;
    size = ioctl(f, BLKGETSIZE64, &bytes) == 0 ? static_cast<int64_t>(bytes) : lseek(f, 0, SEEK_END);
    int logical = 0;
    if (ioctl(f, BLKSSZGET, &logical) == 0 && logical > 0) sectorSize = static_cast<uint32_t>(logical);
  } else if (kind == FileKind::kRegular) {
    size = static_cast<int64_t>(st.st_size);
    // Direct reads of a file need offsets and lengths in whole device
    // sectors, which the file does not tell; 4096 is a multiple of every
    // sector size in use up to the page size.
    sectorSize = 4096;
  } else {
    sizeError = std::string("is ") + kindText(kind);
  }
  close(f);
  if (size == 0) sizeError = "has size 0";
  return size > 0 ? size : -1;
}

bool DSCore::init(const std::string& name) {
  if (!name.empty()) {
    int64_t size = get_dev_size(&name);
    if (size < 0) {
      std::cerr << "Error reading: " << name << ": " << sizeError << "\n";
      std::exit(100);
    }
    // A source without one whole block has nothing to sample, and would
    // make the progress step and the read shares zero.
    if (static_cast<uint64_t>(size) < blockSize) {
      std::cerr << "Source " << name << " is smaller than one block (" << blockSize
                << " bytes): nothing to estimate\n";
      std::exit(133);
    }
    devSize = static_cast<uint64_t>(size);
    devNameText = devName.c_str();
    if (fd == 0) {
      int f = open(name.c_str(), kSourceOpenFlags);
      openErrno = errno;
      if (f < 0) {
        // The readers' own opens fail as well and count as I/O errors.
        devReadable = false;
      } else {
        fd = f;
      }
    }
  }
  zeroRuns.insert(zeroRuns.end(), myGlobals.threads, 0);
  if (name.empty() && myGlobals.command != "load") return true;

  logger->sourceNames = name;
  bool prologueRead = false;
  if (myGlobals.command == "scan" || myGlobals.command == "load") {
    if (logger->loadPrologue()) {
      prologueRead = true;
      if (logger->loadHashes(*heap, true)) {
        // A load reports the source that the file describes, not the
        // (usually empty) input of this run.
        if (myGlobals.command == "load") {
          logger->sourceNames = logger->fileSourceNames;
          judgeFill(*heap, logger->notZeroBlocks);
        }
        resumedBytes = blockSize * (logger->notZeroBlocks + logger->smallZeroBlocks);
        return true;
      }
    }
  }
  if (!prologueRead) logger->fileSourceNames = name;
  logger->smallZeroBlocks = 0;
  logger->bigZeroBlocks = 0;
  logger->notZeroBlocks = 0;
  for (auto& p : logger->threadPositions) p = 0;
  return false;
}

void DSCore::setValsFromMerge(DCLogger* mergedLogger, DCKHeap* mergedHeap) {
  delete logger;
  delete heap;
  logger = mergedLogger;
  heap = mergedHeap;
}
