// Checking merge inputs: which files take part, and why the others do not.
#include "merge/dm_core.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/format.hpp>
#include <iostream>
#include <memory>

#include "report/report_figures.h"
#include "base/run_globals.h"
#include "base/run_log.h"
#include "sketch/dc_kheap.h"
#include "sketchfile/dc_logger.h"
#include "sketchfile/sketch_format.h"

namespace {


// The input's data-reduction value (the share of its data left after
// reduction), as its own report would compute it. False when its entries
// could not be read (the reason is already on standard error).
bool dataReductionOf(const std::string& path, double ratio, double& v) {
  DCLogger record(path, SketchReadMode::kLoad);
  DCKHeap sketch(static_cast<uint64_t>(static_cast<int64_t>(myGlobals.hashSize)));
  if (!record.loadPrologue() || !record.loadHashes(sketch, true)) return false;
  record.sourceNames = record.fileSourceNames;
  sketch.judgeFillFromCounters(record.notZeroBlocks);
  v = computeReport(record, sketch, ratio).dataReductionRatio;
  return true;
}

}  // namespace

DMCore::DMCore(const std::vector<std::string>& inputs, const std::string& output)
    : outputRecord(new DCLogger(output, SketchReadMode::kMergeInput)), mergedSketch(nullptr) {
  for (const std::string& name : inputs) {
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    ::close(fd);
    inputPaths.push_back(name);
  }
}

DMCore::~DMCore() {
  for (DCLogger* rec : inputRecords) delete rec;
  delete outputRecord;
  delete mergedSketch;
}

unsigned DMCore::getType(const std::string& path) const {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return 0;
  if (S_ISREG(st.st_mode)) return 1;
  if (S_ISDIR(st.st_mode)) return 2;
  if (S_ISBLK(st.st_mode)) return 4;
  return 0;
}

int DMCore::processOneInputEntry(const std::string& path) {
  return getType(path) == 1 ? initOneFile(path) : 0;
}

uint64_t DMCore::getMinHeapSize() const {
  uint64_t smallest = 0;
  bool any = false;
  for (const DCLogger* rec : inputRecords) {
    if (rec->kind != sketchformat::kFullScan) continue;
    if (!any || rec->sketchSize < smallest) smallest = rec->sketchSize;
    any = true;
  }
  return smallest;
}

int DMCore::initOneFile(const std::string& path) {
  std::unique_ptr<DCLogger> rec(new DCLogger(path, SketchReadMode::kMergeInput));
  const bool readable = rec->loadPrologue();
  // The entries are read again by merge(); holding every input open until
  // then would run out of descriptors on large merges.
  rec->inputStream.close();

  // A merge result already counts its inputs; merging it again would count
  // them twice.
  if (rec->kind == sketchformat::kMerge) {
    std::cerr << "Cannot use merge files as input for merge " << std::endl;
    return 2;
  }
  if (!readable) return 2;

  if (myGlobals.mergeall) {
    double ratio = 0.0;
    if (rec->kind == sketchformat::kPartialScan) {
      ratio = rec->averageCompressionRatio;
    } else if (rec->kind == sketchformat::kFullScan) {
      ratio = -1.0;  // the report computes it from the sketch
    }
    double v = 0.0;
    if (!dataReductionOf(path, ratio, v)) return 2;
    if (v > static_cast<double>(myGlobals.mergeAllThreshold)) {
      const std::string text =
          (boost::format("Cannot add %1% (%3%) Data reduction savings are below threshold of %2%%%") %
           rec->fileSourceNames % ((1.0f - myGlobals.mergeAllThreshold) * 100.0f) % path)
              .str();
      std::cerr << text << std::endl;
      td.addLogLine(2, new std::string(text));
      return 0;
    }
  }

  if (rec->kind == sketchformat::kFullScan || rec->kind == sketchformat::kPartialScan) {
    // The merge's consistency test compares these.
    rec->sourceNames = rec->fileSourceNames;
    inputRecords.push_back(rec.release());
  }
  return 0;
}
