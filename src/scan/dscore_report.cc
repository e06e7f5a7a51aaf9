// The scan report: dedupe, compression and zero-block savings, the array's
// overheads, the physical space it would need, and the simulated ratios.
// Block counts reach 2^32 from 32 TiB of source, so every count, product and
// truncation here is 64-bit.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <string>

#include "runcontrol/run_globals.h"
#include "scan/dscore.h"
#include "sketch/dc_kheap.h"
#include "sketchfile/dc_logger.h"

namespace {

constexpr uint64_t kMiB = uint64_t{1} << 20;
constexpr uint64_t kGiB = uint64_t{1} << 30;
constexpr uint64_t kAllOnes = std::numeric_limits<uint64_t>::max();

// An estimate as a block count. "Cannot estimate" (-1.0) becomes 2^64 - 1,
// which callers test for; other negatives wrap the same way.
uint64_t estimateToU64(double v) {
  if (std::isnan(v)) return 0;
  if (v < 0.0) {
    if (v <= -9223372036854775808.0) return uint64_t{1} << 63;
    return static_cast<uint64_t>(static_cast<int64_t>(v));
  }
  if (v >= 18446744073709551616.0) return kAllOnes;
  return static_cast<uint64_t>(v);
}

// (int) of a block figure, widened: truncation toward zero, saturating.
int64_t truncToI64(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 9223372036854775807.0) return std::numeric_limits<int64_t>::max();
  if (v <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(v);
}

std::string percent(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%7.3f", v);
  return std::string(buf) + "%";
}

// "<blocks>   -   <GiB> GB": the product is signed, the division unsigned.
void printSpace(const char* label, double blocks) {
  int64_t g = truncToI64(blocks);
  // In 128 bits: a block count near the 64-bit limit times the block size
  // would overflow.
  const __int128 bytes = static_cast<__int128>(g) * myGlobals.blockSize;
  uint64_t gb = static_cast<uint64_t>(static_cast<unsigned __int128>(bytes) / kGiB);
  std::cout << label << g << "   -   " << gb << " GB" << "\n";
}

const char kLongRule[] = "--------------------------------------------------------";
const char kShortRule[] = "------------------------------------------";

}  // namespace

double DSCore::printReport(double cr, bool print) const {
  const double cr0 = cr;
  const uint64_t S = logger->smallZeroBlocks;
  const uint64_t B = logger->bigZeroBlocks;
  const uint64_t N = logger->notZeroBlocks;
  const uint64_t n = heap->numEntries();
  const uint64_t Hb = heap->partialBlocks;
  const uint64_t Hz = heap->partialZeroBlocks;
  const uint64_t Hc = heap->partialCompressedBlocks;

  const uint64_t T = S + B + N;
  uint64_t U = N == 0 ? 0 : estimateToU64(heap->getUniqueEstimation());
  // A partial scan's record has no sketch: every block counts as unique.
  if (cr >= 0 && n == 0) U = T;
  uint64_t U2 = estimateToU64(heap->getUniqueEstimationAfterSplit(N));
  if (n == 0 || U2 == kAllOnes) U2 = N;

  const uint64_t OD = heap->getMetadataDROverhead(S, B, N);
  const int64_t OC = heap->getMetadataCROverhead(S, B, N);
  const uint64_t OR = heap->getReservedVolOverhead(S, B, N);
  const uint64_t OP = heap->getPaddingOverhead(S, B, N);

  if (cr < 0) {
    // The sketch's ratio and the partial inputs' compressed blocks, averaged
    // over the unique blocks they stand for.
    uint64_t w = Hb + U2;
    if (w == 0) w = 1;
    double x = n > 0 ? heap->getCompressionRatio(false) : 0.0;
    cr = (x * static_cast<double>(U2) + static_cast<double>(Hc)) / static_cast<double>(w);
  }

  const double overheads =
      static_cast<double>(OD) + static_cast<double>(OC) + static_cast<double>(OR) + static_cast<double>(OP);
  const double net = cr * static_cast<double>(U2 + Hb) + 1 + overheads;
  // Four partitions of partitionBytes, plus the pessimistic partition load.
  // In 128 bits, so that no counter a file may hold can overflow the sum.
  const __int128 grossBlocks =
      static_cast<__int128>(4 * myGlobals.partitionBytes / static_cast<uint64_t>(myGlobals.blockSize)) +
      static_cast<__int128>(getGrossPartitionLoad()) * myGlobals.partitionParam + static_cast<__int128>(OD) + OC +
      static_cast<__int128>(OR) + static_cast<__int128>(OP);
  const double gross = static_cast<double>(grossBlocks);

  // Effective: Net on a lightly used machine, Gross on a full one, blended
  // linearly between a quarter and three quarters of its capacity.
  const double M = static_cast<double>(myGlobals.machineBlocks);
  double E;
  if (gross < 0.25 * M) {
    E = net;
  } else if (gross > 0.75 * M) {
    E = gross;
  } else {
    E = net + (gross - net) * 2 * (gross / M - 0.25);
  }

  const uint64_t D = T - B + Hb;  // blocks that are not big-zero
  double Q = 1;
  double R = 1;
  double P = 1;
  // Only big-zero blocks (or none at all): no data to reduce, and nothing
  // to divide by.
  if (D != 0) {
    Q = (static_cast<double>(U2) + 1 + static_cast<double>(OD) + static_cast<double>(Hb)) / static_cast<double>(D);
    bool dedupeCapped = false;
    if (Q > 1) {
      Q = 1;
      dedupeCapped = true;
    }
    R = E / static_cast<double>(D);
    P = R / Q;
    if (P > 1) {
      P = 1;
      if (dedupeCapped) R = 1;
    }
  }
  if (!print) return R;
  // A full scan that found no data: every block is zero and the array
  // stores nothing. There is nothing to deduplicate or compress, and every
  // block, small or big zero, is a zero saving.
  const bool noData = n == 0 && N == 0 && Hb == 0 && cr0 < 0;

  if (std::getenv("VERBOSE_OUTPUT") != nullptr) {
    const double seen = static_cast<double>(T - B);
    std::cout << kLongRule << "\n";
    std::cout << "Source name:                       " << logger->sourceNames << "\n";
    std::cout << "Total hashes in sketch:            " << n << "\n";
    std::cout << "Total blocks seen:                 " << T << "\n";
    std::cout << "Small zero blocks:                 " << S << "\n";
    std::cout << "Not zero blocks:                   " << N << "\n";
    std::cout << "----" << "\n";
    std::cout << "Average compression ratio:         " << cr << "\n";
    std::cout << "Unique estimation:                 " << U << "\n";
    std::cout << "Potential dedup ratio:             " << (seen > 0 ? static_cast<double>(U + 1) / seen : 0.0)
              << "\n";
    if (n == 0) return R;
    std::cout << "Unique estimation after split:     " << U2 << "\n";
    std::cout << "Split dedup ratio:                 " << static_cast<double>(U2 + 1) / seen << "\n";
    std::cout << "----" << "\n";
    std::cout << "Metadata DR overhead:              " << OD << "\n";
    std::cout << "Metadata CR overhead:              " << OC << "\n";
    std::cout << "Reserved vol overhead:             " << OR << "\n";
    std::cout << "----" << "\n";
    printSpace("Pesimistic Physical gross:         ", gross);
    printSpace("Physical Net:                      ", net);
    printSpace("Physical Effective:                ", E);
    std::cout << "----" << "\n";
    std::cout << "Quenara:" << "\n";
    std::cout << "QN simulation dedupe ratio:         " << Q << "\n";
    std::cout << "QN simulation compression ratio:    " << P << "\n";
    std::cout << "QN simulation data reduction ratio: " << R << "\n";
    return R;
  }

  if (noData) {
    std::cout << "Estimated Dedupe Savings:         " << percent(0) << "\n";
    std::cout << "Estimated Compression Savings:    " << percent(0) << "\n";
    std::cout << "Data Reduction Savings:           " << percent(0) << "\n";
    std::cout << kShortRule << "\n";
    std::cout << "Zeroes Detected Savings:          " << percent(100) << "\n";
    std::cout << "Total Data efficiency Savings:    " << percent(100) << "\n";
  } else if (n > 0) {
    // Z counts only big-zero blocks; small-zero blocks reach the savings
    // through the unique estimate.
    const double Z = 100 * static_cast<double>(D) / static_cast<double>(T + Hb);
    std::cout << "Estimated Dedupe Savings:         " << percent(100 - 100 * Q) << "\n";
    std::cout << "Estimated Compression Savings:    " << percent(100 - 100 * P) << "\n";
    std::cout << "Data Reduction Savings:           " << percent(100 - 100 * R) << "\n";
    std::cout << kShortRule << "\n";
    std::cout << "Zeroes Detected Savings:          " << percent(100 - Z) << "\n";
    std::cout << "Total Data efficiency Savings:    " << percent(100 - R * Z) << "\n";
  } else {
    float zeroShare = 0.0f;
    if (Hz + S != 0) {
      zeroShare = static_cast<float>(Hz + S) * 100.0f / static_cast<float>(T + Hb);
    }
    std::cout << "Estimated Compression Savings:    " << percent(100 - 100 * cr) << "\n";
    std::cout << "Estimated Zero Blocks:            " << percent(zeroShare) << "\n";
    std::cout << kShortRule << "\n";
  }
  return R;
}

int64_t DSCore::getGrossPartitionLoad() const {
  const uint64_t S = logger->smallZeroBlocks;
  const uint64_t B = logger->bigZeroBlocks;
  const uint64_t N = logger->notZeroBlocks;
  const uint64_t Hb = heap->partialBlocks;
  const uint64_t bs = static_cast<uint64_t>(myGlobals.blockSize);

  const std::vector<DCHashAndRatio*> entries = heap->getVector();
  // No entries: mean and variance of the ratios are taken as 0, so there is
  // no load to bound (instead of 0 / 0).
  if (entries.empty()) return 0;

  const uint64_t total = Hb + N + S + B;
  const uint64_t dataBlocks = Hb + N;
  uint64_t unique = dataBlocks;
  if (myGlobals.storagever <= 1201) {
    double u = heap->getUniqueEstimationAfterSplit(dataBlocks);
    // Without an estimate every data block counts as unique.
    if (u >= 0.0 && u < static_cast<double>(dataBlocks)) unique = estimateToU64(u);
  }

  // The total raised to whole 16 MiB units.
  const int64_t g = static_cast<int64_t>(16 * kMiB / bs);
  const uint64_t r = total % static_cast<uint64_t>(g);
  const uint64_t rounded = r > 0 ? total + (static_cast<uint64_t>(g) - r) : total;
  const double perPartitionUnit = static_cast<double>(2 * kMiB / bs);
  const double A = static_cast<double>(rounded) / perPartitionUnit / static_cast<double>(myGlobals.partitionParam);

  const double t = static_cast<double>(total);
  const double pDup = (t - static_cast<double>(unique) - static_cast<double>(S + B)) / t;
  const double pZero = static_cast<double>(S + B) / t;
  const double pU = 1 - pDup - pZero;

  // Entries whose block could not be read back have no ratio (-1).
  double count = 0;
  double sum = 0;
  for (const DCHashAndRatio* e : entries) {
    if (e->ratio < 0) continue;
    sum += e->ratio;
    ++count;
  }
  if (count == 0) return 0;
  const double m = pU * (sum / count);
  double squares = 0;
  for (const DCHashAndRatio* e : entries) {
    if (e->ratio >= 0) squares += (e->ratio - m) * (e->ratio - m);
  }
  const double V = pU * squares / count;

  // Expected compressed load plus five standard deviations.
  const double L = A * m + 5 * std::sqrt(A * ((pDup + pZero) * m * m + V));
  const int64_t X = truncToI64(perPartitionUnit * L);
  const int64_t p = static_cast<int64_t>(myGlobals.partitionBytes) / myGlobals.partitionParam /
                    static_cast<int64_t>(bs);
  const int64_t rest = X % p;
  if (rest <= 0 || X > std::numeric_limits<int64_t>::max() - p) return X;
  return X + (p - rest);
}

bool DSCore::setPartialVals(float ratio) {
  const uint64_t blocks = devSize / blockSize;
  const uint64_t sampled =
      static_cast<uint64_t>(myGlobals.samplesCompressed) + static_cast<uint64_t>(myGlobals.samplesZero);
  int64_t z = 0;
  if (sampled != 0) {
    z = truncToI64(static_cast<float>(blocks) * static_cast<float>(myGlobals.samplesZero) /
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
