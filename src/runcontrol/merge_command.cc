// The "merge" command: merges the given sketch files into one and prints the
// report of the merged result.
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "merge/dm_core.h"
#include "merge/source_overlap.h"
#include "report/report_figures.h"
#include "runcontrol/commands.h"
#include "runcontrol/end_run.h"
#include "base/exit_status.h"
#include "runcontrol/html_report.h"
#include "runcontrol/json_report.h"
#include "runcontrol/overlap_html.h"
#include "runcontrol/output_guard.h"
#include "base/run_globals.h"
#include "base/run_failure.h"
#include "sketch/dc_kheap.h"
#include "sketchfile/dc_logger.h"

namespace {

// One input's own figures for the page, as a load of that file reports
// them; read again from the file, since the merge keeps only its counters.
nlohmann::ordered_json inputFigures(const DCLogger& input) {
  const std::string path = input.inputFileName();
  nlohmann::ordered_json j;
  j["source"] = input.fileSourceNames;
  j["sketch_file"] = path;
  j["kind"] = input.kind;
  j["block_size"] = myGlobals.blockSize;
  DCLogger record(path, SketchReadMode::kLoad);
  DCKHeap sketch(static_cast<uint64_t>(static_cast<int64_t>(myGlobals.hashSize)));
  if (!record.loadPrologue() || !record.loadHashes(sketch, true)) return j;
  record.sourceNames = record.fileSourceNames;
  sketch.judgeFillFromCounters(record.notZeroBlocks);
  const double ratio =
      record.kind == sketchformat::kPartialScan ? static_cast<double>(record.averageCompressionRatio) : -1.0;
  const nlohmann::ordered_json all =
      reportJson(computeReport(record, sketch, ratio), sketch, sourceList(record.fileSourceNames));
  j["blocks"] = all["blocks"];
  j["savings_percent"] = all["savings_percent"];
  return j;
}

void mergeRun() {
  refuseUnsafeOutputs(myGlobals.sketch, vecInp);
  RunLock lock;
  lockOutputs(lock, myGlobals.sketch);
  refuseUncreatableOutputs(myGlobals.sketch, false);
  DMCore* dm = new DMCore(vecInp, myGlobals.sketch);
  const bool verbose = std::getenv("VERBOSE_OUTPUT") != nullptr;
  const std::size_t groups = myGlobals.groups > 0 ? static_cast<std::size_t>(myGlobals.groups) : 0;
  // The sources are compared only where a report shows it: the keys of
  // every input are held until then.
  dm->keepSamples = verbose || gRunJson.wanted || groups > 0;
  dm->merge();
  // Partial scans cannot be grouped; known only now, before anything is written.
  const std::size_t full = dm->fullScanInputs();
  if (groups > full) {
    delete dm;
    throw RunFailure(kExitUndefinedSetting,
                     "Invalid groups given: only " + std::to_string(full) + " of the merge files are full scans");
  }
  if (!dm->report()) {
    throw RunFailure(kExitSketchNotWritten, "Cannot write the sketch file " + dm->outputRecord->lastError);
  }

  // With partial-scan inputs the report must blend their compressed blocks
  // with the sketch's ratio, which it does only when asked to compute the
  // ratio itself; the sketch's ratio alone would pass the full scans' ratio
  // off as the partial scans' too.
  const double ratio = dm->hasPartialInputs ? -1.0 : static_cast<double>(dm->outputRecord->averageCompressionRatio);
  const ReportFigures figures = computeReport(*dm->outputRecord, *dm->mergedSketch, ratio);
  printReport(figures, std::cout, verbose);
  MergeOverlap overlap;
  if (dm->keepSamples) dm->compareInputs(groups, overlap);
  if (verbose) printOverlap(overlap, std::cout);
  if (groups > 0) printGroups(overlap, std::cout);
  if (gRunJson.wanted) {
    std::vector<std::string> sources;
    for (const DCLogger* rec : dm->inputRecords) sources.push_back(rec->sourceNames);
    fillReportJson(figures, *dm->mergedSketch, sources);
    gRunJson.body["warnings"] = dm->warnings;
    fillOverlapJson(overlap, groups > 0);
  }
  if (!gRunHtml.file.empty()) {
    for (const DCLogger* rec : dm->inputRecords) gRunHtml.mergeInputs.push_back(inputFigures(*rec));
    // The run's object carries the body's fields under the same names.
    gRunHtml.mergeSections = overlapSections(overlap, gRunJson.body);
  }
  delete dm;
}

}  // namespace

void mergeCommand() { runOrEnd(mergeRun); }
