// The scan engine's report: the figures of its record and sketch, printed.
#include <cstdint>
#include <cstdlib>
#include <iostream>

#include "report/report_figures.h"
#include "sketch/counts.h"
#include "base/run_globals.h"
#include "scan/dscore.h"
#include "sketch/dc_kheap.h"
#include "sketchfile/dc_logger.h"

double DSCore::printReport(double cr, bool print) const {
  const ReportFigures f = computeReport(*logger, *heap, cr);
  if (print) ::printReport(f, std::cout, std::getenv("VERBOSE_OUTPUT") != nullptr);
  return f.dataReductionRatio;
}

int64_t DSCore::getGrossPartitionLoad() const { return grossPartitionLoad(*logger, *heap); }

bool DSCore::setPartialVals(float ratio) {
  const uint64_t blocks = devSize / blockSize;
  const uint64_t sampled =
      static_cast<uint64_t>(myGlobals.samplesCompressed) + static_cast<uint64_t>(myGlobals.samplesZero);
  int64_t z = 0;
  if (sampled != 0) {
    z = truncatedBlocks(static_cast<float>(blocks) * static_cast<float>(myGlobals.samplesZero) /
                   static_cast<float>(sampled));
  }
  // Single precision can round the share above the block count.
  if (z < 0) z = 0;
  if (static_cast<uint64_t>(z) > blocks) z = static_cast<int64_t>(blocks);
  logger->smallZeroBlocks = static_cast<uint64_t>(z);
  logger->notZeroBlocks = blocks - static_cast<uint64_t>(z);
  logger->averageCompressionRatio = ratio;
  DCKHeap empty(1);
  return logger->saveState(empty);
}
