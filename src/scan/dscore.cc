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
#include "base/exit_status.h"
#include "base/file_kind.h"
#include "base/run_failure.h"
#include "base/run_globals.h"
#include "scan/pipeline.h"
#include "sketch/dc_kheap.h"
#include "sketchfile/dc_logger.h"

DSCore* gScn = nullptr;
DCKHeap* TopHashes_ = nullptr;

namespace {

// The source is only ever read: no flag here may create, truncate or write.
constexpr int kSourceOpenFlags = O_RDONLY | O_CLOEXEC;

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
      status(-1),
      devSize(0),
      devName(input),
      extraBytes{0, 0},
      sectorSize(0) {
  // The same seed always gives the same two bytes, so runs with the same
  // randomBytes produce the same fingerprints.
  srand(randomBytes);
  extraBytes[0] = static_cast<unsigned char>(rand() % 255);
  extraBytes[1] = static_cast<unsigned char>(rand() % 255);

  // What the run reads its sketch file back for.
  const SketchReadMode mode = myGlobals.command == "load"          ? SketchReadMode::kLoad
                              : myGlobals.command == "partialscan" ? SketchReadMode::kPartialScan
                              : myGlobals.command == "merge"       ? SketchReadMode::kMergeInput
                                                                   : SketchReadMode::kFullScan;
  logger = new DCLogger(sketch, mode);
  compr = new DCCompr(DCCompr::levelFor(myGlobals.storagever));
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
    if (size < 0) throw RunFailure(kExitSourceUnreadable, "Error reading: " + name + ": " + sizeError);
    // A source without one whole block has nothing to sample, and would
    // make the progress step and the read shares zero.
    if (static_cast<uint64_t>(size) < blockSize) {
      throw RunFailure(kExitUndefinedSetting, "Source " + name + " is smaller than one block (" +
                                                  std::to_string(blockSize) + " bytes): nothing to estimate");
    }
    devSize = static_cast<uint64_t>(size);
    // A full scan's recovery file records the size it holds for.
    if (myGlobals.command == "scan") logger->sourceSize = devSize;
    // Held open while the engine lives: the workers open and close the
    // source themselves, and a block device's cache goes when its last
    // user closes it. A failed open here shows as the workers' read errors.
    if (fd == 0) {
      const int f = open(name.c_str(), kSourceOpenFlags);
      if (f >= 0) fd = f;
    }
  }
  zeroRuns.insert(zeroRuns.end(), myGlobals.threads, 0);
  if (name.empty() && myGlobals.command != "load") return true;

  logger->sourceNames = name;
  bool prologueRead = false;
  if (myGlobals.command == "scan" || myGlobals.command == "load") {
    if (logger->loadPrologue()) {
      prologueRead = true;
      // Recovery state of this source that does not fit this run: the scan
      // starts over, as for a recovery file of another source.
      std::string why;
      if (myGlobals.command == "scan" && logger->inputFileName() == logger->recoveryFileName &&
          logger->fileSourceNames == logger->sourceNames) {
        why = resumeProblem();
      }
      if (!why.empty()) {
        logger->inputStream.close();
        std::cout << "\n\t Data source or heap size are inconsistent, ignoring given sketch file and "
                     "starting from device start"
                  << std::endl;
        std::cerr << ("Cannot resume from " + logger->recoveryFileName + ": " + why + "; the scan starts over\n")
                  << std::flush;
      } else if (logger->loadHashes(*heap, true)) {
        // A load reports the source that the file describes, not the
        // (usually empty) input of this run.
        if (myGlobals.command == "load") {
          logger->sourceNames = logger->fileSourceNames;
          heap->judgeFillFromCounters(logger->notZeroBlocks);
        }
        if (myGlobals.command == "scan" && !sayReuse()) {
          // The completed result is of the source as it was: scan it anew.
          heap->clear();
          logger->smallZeroBlocks = logger->bigZeroBlocks = logger->notZeroBlocks = 0;
          logger->unreadableBlocks = 0;
          for (auto& p : logger->threadPositions) p = 0;
          return false;
        }
        return true;
      }
    }
  }
  if (!prologueRead) logger->fileSourceNames = name;
  logger->smallZeroBlocks = 0;
  logger->bigZeroBlocks = 0;
  logger->notZeroBlocks = 0;
  logger->unreadableBlocks = 0;
  for (auto& p : logger->threadPositions) p = 0;
  return false;
}

namespace {

std::string settingText(const char* option, uint64_t value) {
  return std::string(option) + " " + std::to_string(value);
}

}  // namespace

std::string DSCore::resumeProblem() const {
  const DCLogger& r = *logger;
  const uint64_t segment = static_cast<uint64_t>(myGlobals.segmentSize);
  const uint64_t random = static_cast<uint64_t>(static_cast<uint32_t>(myGlobals.randomBytes));
  const uint64_t alt = myGlobals.altHash ? 1 : 0;
  const uint64_t storage = myGlobals.storagever;
  // The settings whose change would mix two kinds of counters, positions,
  // fingerprints or ratios in one result.
  struct Setting {
    const char* option;
    uint64_t now;
    uint64_t recorded;
    uint64_t usual;  // the default, assumed for a file that does not record it
  };
  const RunGlobals defaults;
  const Setting settings[] = {
      {"--segmentSize", segment, r.scanState.segmentSize, static_cast<uint64_t>(defaults.segmentSize)},
      {"block size", blockSize, r.scanState.blockSize, static_cast<uint64_t>(defaults.blockSize)},
      {"--randomBytes", random, r.scanState.randomBytes, static_cast<uint64_t>(defaults.randomBytes)},
      {"--altHash", alt, r.scanState.altHash, defaults.altHash ? 1u : 0u},
      {"--storagever", storage, r.scanState.storagever, defaults.storagever},
  };
  if (r.hasScanState) {
    if (r.scanState.sourceSize != devSize) {
      return "it was written when " + devName + " had " + std::to_string(r.scanState.sourceSize) +
             " bytes; it has " + std::to_string(devSize) + " now";
    }
    for (const Setting& s : settings) {
      if (s.now != s.recorded) {
        return "it was written with " + settingText(s.option, s.recorded) + ", this run has " +
               std::to_string(s.now);
      }
    }
  } else {
    // A recovery file of an earlier build records none of these: it can
    // only have been written with the defaults that resume it.
    for (const Setting& s : settings) {
      if (s.now != s.usual) {
        return std::string("it does not record its ") + s.option + ", and only a run with the default " +
               std::to_string(s.usual) + " resumes such a file";
      }
    }
  }
  // Every block counted lies in the source, and every worker's position in
  // its own share of it.
  const uint64_t blocks = devSize / blockSize;
  const uint64_t counted[] = {r.smallZeroBlocks, r.bigZeroBlocks, r.notZeroBlocks, r.unreadableBlocks};
  uint64_t left = blocks;
  for (uint64_t c : counted) {
    if (c > left) {
      return "its counters hold more blocks than the " + std::to_string(blocks) + " of " + devName;
    }
    left -= c;
  }
  for (unsigned w = 0; w < r.threadPositions.size(); ++w) {
    const uint64_t p = r.threadPositions[w];
    if (p == 0) continue;
    const ReadShare share = readShareOf(static_cast<int>(w), static_cast<int64_t>(devSize),
                                        static_cast<int64_t>(segment), myGlobals.threads);
    if (p < static_cast<uint64_t>(share.start) || p > static_cast<uint64_t>(share.end) ||
        static_cast<uint64_t>(share.end) - p < blockSize) {
      return "the position of read worker " + std::to_string(w) + " lies outside its share of " + devName;
    }
  }
  return std::string();
}

bool DSCore::sayReuse() {
  const uint64_t blocks = logger->smallZeroBlocks + logger->bigZeroBlocks + logger->notZeroBlocks;
  const uint64_t done = blocks * blockSize;
  const std::string& file = logger->inputFileName();
  std::string text;
  bool reuse = true;
  if (file != logger->sketchFileName) {
    text = "Resuming " + file + ": " + std::to_string(done) + " of " + std::to_string(devSize) +
           " bytes already scanned\n";
  } else if (blocks == devSize / blockSize) {
    completedResult = true;
    text = file + " holds a completed scan of " + devName +
           "; nothing left to read. Remove it or give another --sketch to scan again.\n";
  } else {
    reuse = false;
    text = file + " holds a completed scan of " + devName + " when it had " + std::to_string(done) +
           " bytes in whole blocks; it has " + std::to_string(devSize) + " now: scanning it again\n";
  }
  std::cerr << text << std::flush;
  return reuse;
}

void DSCore::setValsFromMerge(DCLogger* mergedLogger, DCKHeap* mergedHeap) {
  delete logger;
  delete heap;
  logger = mergedLogger;
  heap = mergedHeap;
}
