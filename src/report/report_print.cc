#include <cstdint>
#include <cstdio>
#include <ostream>
#include <string>

#include "report/report_figures.h"
#include "sketch/counts.h"
#include "base/run_globals.h"

namespace {

constexpr uint64_t kGiB = uint64_t{1} << 30;

std::string percent(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%7.3f", v);
  return std::string(buf) + "%";
}

// "<blocks>   -   <GiB> GB": the product is signed, the division unsigned.
void printSpace(std::ostream& os, const char* label, double blocks) {
  int64_t g = truncatedBlocks(blocks);
  // In 128 bits: a block count near the 64-bit limit times the block size
  // would overflow.
  const __int128 bytes = static_cast<__int128>(g) * myGlobals.blockSize;
  uint64_t gb = static_cast<uint64_t>(static_cast<unsigned __int128>(bytes) / kGiB);
  os << label << g << "   -   " << gb << " GB" << "\n";
}

const char kLongRule[] = "--------------------------------------------------------";
const char kShortRule[] = "------------------------------------------";

}  // namespace

void printReport(const ReportFigures& f, std::ostream& os, bool verbose) {
  if (verbose) {
    os << kLongRule << "\n";
    os << "Source name:                       " << f.sourceNames << "\n";
    os << "Total hashes in sketch:            " << f.entries << "\n";
    os << "Total blocks seen:                 " << f.total << "\n";
    os << "Small zero blocks:                 " << f.smallZero << "\n";
    os << "Not zero blocks:                   " << f.notZero << "\n";
    os << "----" << "\n";
    os << "Average compression ratio:         " << f.compressionRatio << "\n";
    os << "Unique estimation:                 " << f.unique << "\n";
    os << "Potential dedup ratio:             " << f.potentialDedupRatio << "\n";
    if (f.entries == 0) return;
    os << "Unique estimation after split:     " << f.uniqueAfterSplit << "\n";
    os << "Split dedup ratio:                 " << f.splitDedupRatio << "\n";
    os << "----" << "\n";
    os << "Metadata DR overhead:              " << f.metadataDR << "\n";
    os << "Metadata CR overhead:              " << f.metadataCR << "\n";
    os << "Reserved vol overhead:             " << f.reservedVol << "\n";
    os << "----" << "\n";
    printSpace(os, "Pesimistic Physical gross:         ", f.gross);
    printSpace(os, "Physical Net:                      ", f.net);
    printSpace(os, "Physical Effective:                ", f.effective);
    os << "----" << "\n";
    os << "Quenara:" << "\n";
    os << "QN simulation dedupe ratio:         " << f.dedupeRatio << "\n";
    os << "QN simulation compression ratio:    " << f.compressionSimRatio << "\n";
    os << "QN simulation data reduction ratio: " << f.dataReductionRatio << "\n";
    return;
  }

  if (f.noData || f.entries > 0) {
    os << "Estimated Dedupe Savings:         " << percent(f.dedupeSavings()) << "\n";
    os << "Estimated Compression Savings:    " << percent(f.compressionSavings()) << "\n";
    os << "Data Reduction Savings:           " << percent(f.dataReductionSavings()) << "\n";
    os << kShortRule << "\n";
    os << "Zeroes Detected Savings:          " << percent(f.zeroSavings()) << "\n";
    os << "Total Data efficiency Savings:    " << percent(f.totalSavings()) << "\n";
  } else {
    os << "Estimated Compression Savings:    " << percent(100 - 100 * f.compressionRatio) << "\n";
    os << "Estimated Zero Blocks:            " << percent(f.partialZeroPercent) << "\n";
    os << kShortRule << "\n";
  }
}
