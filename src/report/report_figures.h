// Every figure of the scan report, worked out from a sketch-file record, its
// sketch and a compression ratio, apart from any printing: the text report,
// the merge and the JSON report all print from the same figures.
#ifndef DEZEVAZIR_REPORT_REPORT_FIGURES_H_
#define DEZEVAZIR_REPORT_REPORT_FIGURES_H_

#include <cstdint>
#include <iosfwd>
#include <string>

class DCKHeap;
class DCLogger;

struct ReportFigures {
  std::string sourceNames;
  // Blocks as counted, and the partial-scan totals a merge adds.
  uint64_t smallZero = 0;
  uint64_t bigZero = 0;
  uint64_t notZero = 0;
  uint64_t total = 0;             // small zero + big zero + not zero
  uint64_t entries = 0;           // kept in the sketch
  uint64_t partialBlocks = 0;
  uint64_t partialZero = 0;
  uint64_t partialCompressed = 0;

  // Estimates.
  double compressionRatio = 0;    // the ratio the figures use
  uint64_t unique = 0;            // distinct not-zero blocks
  uint64_t uniqueAfterSplit = 0;  // as older storage splits them
  double potentialDedupRatio = 0; // (unique + 1) / blocks outside big-zero segments
  double splitDedupRatio = 0;

  // Overheads in blocks.
  uint64_t metadataDR = 0;
  int64_t metadataCR = 0;
  uint64_t reservedVol = 0;
  uint64_t padding = 0;

  // Physical space in blocks.
  double gross = 0;
  double net = 0;
  double effective = 0;

  // The array's simulated ratios (shares of the blocks outside big-zero
  // segments that remain), and what the summary prints.
  double dedupeRatio = 1;         // Q
  double compressionSimRatio = 1; // P
  double dataReductionRatio = 1;  // R
  double zeroShare = 100;         // Z: blocks outside big-zero segments, percent of all
  bool noData = false;            // a full scan that found no data: the summary shows 0 % but 100 % zero savings
  float partialZeroPercent = 0;   // the zero share a record without a sketch shows

  // The summary's savings, in percent.
  double dedupeSavings() const { return noData ? 0 : 100 - 100 * dedupeRatio; }
  double compressionSavings() const { return noData ? 0 : 100 - 100 * compressionSimRatio; }
  double dataReductionSavings() const { return noData ? 0 : 100 - 100 * dataReductionRatio; }
  double zeroSavings() const { return 100 - zeroShare; }
  double totalSavings() const { return noData ? 100 : 100 - dataReductionRatio * zeroShare; }
};

// cr < 0: the ratio comes from the sketch (and a merge's partial inputs);
// cr >= 0: the ratio of a partial scan or a merge, given by the caller.
ReportFigures computeReport(const DCLogger& record, const DCKHeap& sketch, double cr);

// The pessimistic partition load in blocks (part of the gross space).
int64_t grossPartitionLoad(const DCLogger& record, const DCKHeap& sketch);

// The summary report, or with verbose the detailed one, as the program
// prints it on standard output.
void printReport(const ReportFigures& f, std::ostream& os, bool verbose);

#endif  // DEZEVAZIR_REPORT_REPORT_FIGURES_H_
