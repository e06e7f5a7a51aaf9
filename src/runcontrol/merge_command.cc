// The "merge" command: merges the given sketch files into one and prints the
// report of the merged result.
#include <cstdint>

#include "merge/dm_core.h"
#include <iostream>

#include "runcontrol/commands.h"
#include "runcontrol/exit_status.h"
#include "runcontrol/output_guard.h"
#include "runcontrol/run_globals.h"
#include "scan/dscore.h"
#include "scan/run_end.h"
#include "sketchfile/dc_logger.h"

void mergeCommand() {
  refuseUnsafeOutputs(myGlobals.sketch, vecInp);
  DMCore* dm = new DMCore(vecInp, myGlobals.sketch);
  dm->merge();
  if (!dm->report()) {
    std::cerr << "Cannot write the sketch file " << dm->outputRecord->lastError << std::endl;
    endProcess(kExitSketchNotWritten);
  }

  DSCore* scn = new DSCore(static_cast<uint64_t>(static_cast<int64_t>(myGlobals.blockSize)),
                           static_cast<uint64_t>(static_cast<int64_t>(myGlobals.hashSize)),
                           static_cast<uint64_t>(static_cast<int64_t>(myGlobals.recoverBlocks)),
                           static_cast<uint32_t>(myGlobals.randomBytes), myGlobals.input,
                           myGlobals.sketch);
  // The engine takes the merged record and sketch over.
  const float mergedRatio = dm->outputRecord->averageCompressionRatio;
  scn->setValsFromMerge(dm->outputRecord, dm->mergedSketch);
  dm->outputRecord = nullptr;
  dm->mergedSketch = nullptr;

  // With partial-scan inputs the report must blend their compressed blocks
  // with the sketch's ratio, which it does only when asked to compute the
  // ratio itself; the sketch's ratio alone would pass the full scans' ratio
  // off as the partial scans' too.
  const double ratio = dm->hasPartialInputs ? -1.0 : static_cast<double>(mergedRatio);
  scn->printReport(ratio, true);

  delete scn;
  delete dm;
}
