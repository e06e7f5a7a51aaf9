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
#include "runcontrol/json_report.h"
#include "runcontrol/output_guard.h"
#include "base/run_globals.h"
#include "base/run_failure.h"
#include "sketchfile/dc_logger.h"

namespace {

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
  delete dm;
}

}  // namespace

void mergeCommand() { runOrEnd(mergeRun); }
