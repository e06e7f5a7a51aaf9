// Block counts reach 2^32 from 32 TiB of source, so every count, product and
// truncation here is 64-bit (or wider).
#include "report/report_figures.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "base/run_globals.h"
#include "sketch/counts.h"
#include "sketch/dc_kheap.h"
#include "sketchfile/dc_logger.h"

namespace {

constexpr uint64_t kMiB = uint64_t{1} << 20;
constexpr uint64_t kAllOnes = std::numeric_limits<uint64_t>::max();

}  // namespace

ReportFigures computeReport(const DCLogger& record, const DCKHeap& sketch, double cr) {
  ReportFigures f;
  const double cr0 = cr;
  const uint64_t S = record.smallZeroBlocks;
  const uint64_t B = record.bigZeroBlocks;
  const uint64_t N = record.notZeroBlocks;
  const uint64_t n = sketch.numEntries();
  const uint64_t Hb = sketch.partialBlocks;
  const uint64_t Hz = sketch.partialZeroBlocks;
  const uint64_t Hc = sketch.partialCompressedBlocks;
  f.sourceNames = record.sourceNames;
  f.smallZero = S;
  f.bigZero = B;
  f.notZero = N;
  f.entries = n;
  f.partialBlocks = Hb;
  f.partialZero = Hz;
  f.partialCompressed = Hc;

  const uint64_t T = S + B + N;
  f.total = T;
  uint64_t U = N == 0 ? 0 : truncatedCountOrAllOnes(sketch.getUniqueEstimation());
  // A partial scan's record has no sketch: every block counts as unique.
  if (cr >= 0 && n == 0) U = T;
  uint64_t U2 = truncatedCountOrAllOnes(sketch.getUniqueEstimationAfterSplit(N));
  if (n == 0 || U2 == kAllOnes) U2 = N;
  f.unique = U;
  f.uniqueAfterSplit = U2;

  const uint64_t OD = sketch.getMetadataDROverhead(S, B, N);
  const int64_t OC = sketch.getMetadataCROverhead(S, B, N);
  const uint64_t OR = sketch.getReservedVolOverhead(S, B, N);
  const uint64_t OP = sketch.getPaddingOverhead(S, B, N);
  f.metadataDR = OD;
  f.metadataCR = OC;
  f.reservedVol = OR;
  f.padding = OP;

  if (cr < 0) {
    // The sketch's ratio and the partial inputs' compressed blocks, averaged
    // over the unique blocks they stand for.
    uint64_t w = Hb + U2;
    if (w == 0) w = 1;
    double x = n > 0 ? sketch.getCompressionRatio(false) : 0.0;
    cr = (x * static_cast<double>(U2) + static_cast<double>(Hc)) / static_cast<double>(w);
  }
  f.compressionRatio = cr;

  const double overheads =
      static_cast<double>(OD) + static_cast<double>(OC) + static_cast<double>(OR) + static_cast<double>(OP);
  const double net = cr * static_cast<double>(U2 + Hb) + 1 + overheads;
  // Four partitions of partitionBytes, plus the pessimistic partition load.
  // In 128 bits, so that no counter a file may hold can overflow the sum.
  const __int128 grossBlocks =
      static_cast<__int128>(4 * myGlobals.partitionBytes / static_cast<uint64_t>(myGlobals.blockSize)) +
      static_cast<__int128>(grossPartitionLoad(record, sketch)) * myGlobals.partitionParam +
      static_cast<__int128>(OD) + OC + static_cast<__int128>(OR) + static_cast<__int128>(OP);
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
  f.gross = gross;
  f.net = net;
  f.effective = E;

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
  f.dedupeRatio = Q;
  f.compressionSimRatio = P;
  f.dataReductionRatio = R;

  const double seen = static_cast<double>(T - B);
  f.potentialDedupRatio = seen > 0 ? static_cast<double>(U + 1) / seen : 0.0;
  f.splitDedupRatio = seen > 0 ? static_cast<double>(U2 + 1) / seen : 0.0;

  // A full scan that found no data: every block is zero and the array
  // stores nothing. There is nothing to deduplicate or compress, and every
  // block, small or big zero, is a zero saving.
  f.noData = n == 0 && N == 0 && Hb == 0 && cr0 < 0;
  if (f.noData) {
    f.zeroShare = 0;
  } else if (n > 0) {
    // Z counts only big-zero blocks; small-zero blocks reach the savings
    // through the unique estimate.
    f.zeroShare = 100 * static_cast<double>(D) / static_cast<double>(T + Hb);
  } else {
    f.zeroShare = 100 * static_cast<double>(D) / static_cast<double>(T + Hb == 0 ? 1 : T + Hb);
    if (Hz + S != 0) {
      f.partialZeroPercent = static_cast<float>(Hz + S) * 100.0f / static_cast<float>(T + Hb);
    }
  }
  return f;
}

int64_t grossPartitionLoad(const DCLogger& record, const DCKHeap& sketch) {
  const uint64_t S = record.smallZeroBlocks;
  const uint64_t B = record.bigZeroBlocks;
  const uint64_t N = record.notZeroBlocks;
  const uint64_t Hb = sketch.partialBlocks;
  const uint64_t bs = static_cast<uint64_t>(myGlobals.blockSize);

  const std::vector<DCHashAndRatio*> entries = sketch.getVector();
  // No entries: mean and variance of the ratios are taken as 0, so there is
  // no load to bound (instead of 0 / 0).
  if (entries.empty()) return 0;

  const uint64_t total = Hb + N + S + B;
  const uint64_t dataBlocks = Hb + N;
  uint64_t unique = dataBlocks;
  if (myGlobals.storagever <= 1201) {
    double u = sketch.getUniqueEstimationAfterSplit(dataBlocks);
    // Without an estimate every data block counts as unique.
    if (u >= 0.0 && u < static_cast<double>(dataBlocks)) unique = truncatedCountOrAllOnes(u);
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
  const int64_t X = truncatedBlocks(perPartitionUnit * L);
  const int64_t p = static_cast<int64_t>(myGlobals.partitionBytes) / myGlobals.partitionParam /
                    static_cast<int64_t>(bs);
  const int64_t rest = X % p;
  if (rest <= 0 || X > std::numeric_limits<int64_t>::max() - p) return X;
  return X + (p - rest);
}

