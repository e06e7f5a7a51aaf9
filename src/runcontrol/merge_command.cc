// The "merge" command: merges the given sketch files into one and prints the
// report of the merged result.
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "merge/dm_core.h"
#include "report/report_figures.h"
#include "runcontrol/commands.h"
#include "runcontrol/end_run.h"
#include "base/exit_status.h"
#include "runcontrol/html_report.h"
#include "runcontrol/json_report.h"
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
  dm->merge();
  if (!dm->report()) {
    throw RunFailure(kExitSketchNotWritten, "Cannot write the sketch file " + dm->outputRecord->lastError);
  }

  // With partial-scan inputs the report must blend their compressed blocks
  // with the sketch's ratio, which it does only when asked to compute the
  // ratio itself; the sketch's ratio alone would pass the full scans' ratio
  // off as the partial scans' too.
  const double ratio = dm->hasPartialInputs ? -1.0 : static_cast<double>(dm->outputRecord->averageCompressionRatio);
  const ReportFigures figures = computeReport(*dm->outputRecord, *dm->mergedSketch, ratio);
  printReport(figures, std::cout, std::getenv("VERBOSE_OUTPUT") != nullptr);
  if (gRunJson.wanted) {
    std::vector<std::string> sources;
    for (const DCLogger* rec : dm->inputRecords) sources.push_back(rec->sourceNames);
    fillReportJson(figures, *dm->mergedSketch, sources);
    gRunJson.body["warnings"] = dm->warnings;
  }
  if (!gRunHtml.file.empty()) {
    for (const DCLogger* rec : dm->inputRecords) gRunHtml.mergeInputs.push_back(inputFigures(*rec));
  }
  delete dm;
}

}  // namespace

void mergeCommand() { runOrEnd(mergeRun); }
