// The "scan" and "load" commands: a full scan of a source from the start of
// its workers to its report, and the report of a saved sketch file.
#include <boost/format.hpp>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "progress/dc_progress_bar.h"
#include "runcontrol/commands.h"
#include "runcontrol/exit_status.h"
#include "runcontrol/output_guard.h"
#include "runcontrol/start_thread.h"
#include "runcontrol/run_globals.h"
#include "runcontrol/run_log.h"
#include "runcontrol/run_state.h"
#include "scan/dscore.h"
#include "scan/pipeline.h"
#include "scan/run_end.h"
#include "scan/size_text.h"
#include "sketch/dc_kheap.h"
#include "sketchfile/dc_logger.h"

namespace {

DSCore* newEngine() {
  return new DSCore(static_cast<uint64_t>(static_cast<int64_t>(myGlobals.blockSize)),
                    static_cast<uint64_t>(static_cast<int64_t>(myGlobals.hashSize)),
                    static_cast<uint64_t>(static_cast<int64_t>(myGlobals.recoverBlocks)),
                    static_cast<uint32_t>(myGlobals.randomBytes), myGlobals.input, myGlobals.sketch);
}

void joinAll(std::vector<std::thread>& group) {
  for (auto& t : group) t.join();
}

}  // namespace

void refuseMissingSource() {
  if (!myGlobals.input.empty()) return;
  std::cerr << "Device to scan not given: use --input" << std::endl;
  std::exit(100);
}

void reportUnreadBytes(const std::string& source) {
  const uint64_t blocks = ioErrorCount.load();
  if (blocks == 0) return;
  std::cerr << blocks * static_cast<uint64_t>(myGlobals.blockSize) << " bytes of " << source
            << " could not be read; the estimates exclude them" << std::endl;
}

[[noreturn]] void refuseShrunkSource(const DSCore& scn) {
  std::cerr << "Error reading: " << scn.devName << ": it became shorter than its " << scn.devSize
            << " bytes while it was read; no result was saved" << std::endl;
  endProcess(kExitSourceUnreadable);
}

[[noreturn]] void refuseUnsavedSketch(const DSCore& scn) {
  std::cerr << "Cannot write the sketch file " << scn.logger->lastError << "; the scan was stopped" << std::endl;
  endProcess(kExitSketchNotWritten);
}

void scanCommand() {
  refuseMissingSource();
  refuseUnsafeOutputs(myGlobals.sketch, {myGlobals.input});
  gSourceShrank.store(false);
  forgetReadMode();
  DSCore* scn = newEngine();
  gScn = scn;
  TopHashes_ = scn->heap;

  const uint64_t blocks = scn->devSize / myGlobals.blockSize;
  ioErrorLimit = static_cast<uint64_t>(static_cast<double>(blocks) * 0.01);
  td.addLogLine(2, new std::string("Device size: " + std::to_string(scn->devSize) + " bytes"));

  auto* pb = new DCProgressBar(static_cast<uint8_t>(myGlobals.progressBarWidth), sizeText(scn->devSize));

  // Counted before they start, so the scan loop cannot miss a late one.
  gStopReaders.store(false);
  scn->activeReaders.store(myGlobals.threads);
  std::vector<std::thread> readers, hashers, compressors;
  for (unsigned i = 0; i < myGlobals.threads; ++i) {
    startThread(readers, readThreadFnc, static_cast<int>(i), static_cast<long long>(scn->devSize));
  }
  for (int i = 0; i < kHashWorkers; ++i) {
    startThread(hashers, hashThreadFnc, i);
    startThread(compressors, cmpThreadFnc, i);
  }

  scn->scan(pb);

  joinAll(hashers);
  joinAll(readers);
  joinAll(compressors);

  releaseChunkBuffers();
  if (gSourceShrank.load()) refuseShrunkSource(*scn);
  if (scn->saveFailed) refuseUnsavedSketch(*scn);
  scn->printReport(-1.0, true);
  reportUnreadBytes(scn->devName);

  scn->heap->clear();
  delete pb;
  TopHashes_ = nullptr;
  gScn = nullptr;
  delete scn;
}

void loadCommand() {
  {
    DCLogger check(myGlobals.sketch);
    const bool ok = check.loadPrologue();
    if (check.kind.find("merge") != std::string::npos) {
      std::cerr << "Cannot read given sketch, load of merge files are not supported" << std::endl;
      std::exit(135);
    }
    if (!ok) {
      std::cerr << "Cannot read given sketch" << std::endl;
      std::exit(134);
    }
  }
  DSCore* scn = newEngine();
  // The prologue was usable; the engine has now read the entry lines, which
  // may still be cut short or damaged (the reason is on standard error).
  if (!scn->logger->valid) {
    std::cerr << "Cannot read given sketch" << std::endl;
    std::exit(134);
  }
  gScn = scn;
  TopHashes_ = scn->heap;
  const double ratio = scn->logger->kind.find("partialscan") != std::string::npos
                           ? static_cast<double>(scn->logger->averageCompressionRatio)
                           : -1.0;
  scn->printReport(ratio, true);
  TopHashes_ = nullptr;
  gScn = nullptr;
  delete scn;
}
