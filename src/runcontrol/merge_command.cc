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
#include "runcontrol/json_report.h"
#include "runcontrol/output_guard.h"
#include "base/run_globals.h"
#include "base/run_failure.h"
#include "sketchfile/dc_logger.h"

namespace {

void mergeRun() {
  refuseUnsafeOutputs(myGlobals.sketch, vecInp);
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
    fillOverlapJson(overlap, groups > 0);
  }
  delete dm;
}

}  // namespace

void mergeCommand() { runOrEnd(mergeRun); }
