// The "scan" and "load" commands: a full scan of a source from the start of
// its workers to its report, and the report of a saved sketch file.
#include <sys/stat.h>

#include <algorithm>
#include <boost/format.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <iostream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "progress/dc_progress_bar.h"
#include "report/report_figures.h"
#include "runcontrol/commands.h"
#include "runcontrol/end_run.h"
#include "base/exit_status.h"
#include "base/run_failure.h"
#include "base/interrupt.h"
#include "runcontrol/json_report.h"
#include "runcontrol/output_guard.h"
#include "runcontrol/start_thread.h"
#include "base/run_globals.h"
#include "base/run_log.h"
#include "base/run_state.h"
#include "scan/dscore.h"
#include "scan/pipeline.h"
#include "scan/requests.h"
#include "scan/size_text.h"
#include "sketch/dc_kheap.h"
#include "sketchfile/dc_logger.h"
#include "sketchfile/file_size.h"

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
  throw RunFailure(kExitSourceUnreadable, "Error reading: " + scn.devName + ": it became shorter than its " +
                                              std::to_string(scn.devSize) +
                                              " bytes while it was read; no result was saved");
}

[[noreturn]] void refuseUnsavedSketch(const DSCore& scn) {
  throw RunFailure(kExitSketchNotWritten,
                   "Cannot write the sketch file " + scn.logger->lastError + "; the scan was stopped");
}

namespace {

void scanRun() {
  refuseMissingSource();
  refuseUnsafeOutputs(myGlobals.sketch, {myGlobals.input});
  // Everything that would make the scan fail at its end is refused before
  // the first block is read.
  RunLock lock;
  lockOutputs(lock, myGlobals.sketch);
  refuseReplacingOtherScan(myGlobals.sketch, myGlobals.input, false);
  refuseUncreatableOutputs(myGlobals.sketch, true);
  gSourceShrank.store(false);
  forgetReadMode();
  DSCore* scn = newEngine();
  gScn = scn;
  TopHashes_ = scn->heap;

  const uint64_t blocks = scn->devSize / myGlobals.blockSize;
  // The sketch keeps no more entries than the source has blocks; a result
  // that is only reported again is saved once, without recovery saves.
  const uint64_t entries = std::min<uint64_t>(static_cast<uint64_t>(myGlobals.hashSize), blocks);
  refuseTooLittleRoom(myGlobals.sketch, !scn->completedResult,
                      sketchformat::maxFileBytes(entries, scn->devName.size(), myGlobals.threads,
                                                 static_cast<std::size_t>(myGlobals.hashLength)));
  // 1 % of the source's blocks may be unreadable, over the whole scan: a
  // resumed scan starts with the blocks its earlier runs could not read.
  ioErrorLimit = blocks / 100;
  ioErrorCount = scn->logger->unreadableBlocks;
  td.addLogLine(2, new std::string("Device size: " + std::to_string(scn->devSize) + " bytes"));

  auto* pb = new DCProgressBar(static_cast<uint8_t>(myGlobals.progressBarWidth), sizeText(scn->devSize));

  // From here a signal stops the scan and saves its state.
  gInterruptSignal.store(0);
  setInterruptDeferred(true);

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
  gHashReqPool.clear();
  setInterruptDeferred(false);
  // The abort message went to standard error and the run log as it happened.
  if (gTooManyReadErrors.load()) throw RunFailure(kExitTooManyReadErrors, "");
  if (gSourceShrank.load()) refuseShrunkSource(*scn);
  if (scn->saveFailed) refuseUnsavedSketch(*scn);
  if (scn->interrupted) {
    std::cerr << ("Interrupted: state saved to " + scn->logger->recoveryFileName +
                  "; run the same command again to resume\n")
              << std::flush;
    td.addLogLine(2, new std::string("Interrupted by signal " + std::to_string(gInterruptSignal.load()) +
                                     ": state saved to " + scn->logger->recoveryFileName));
    endBySignal(gInterruptSignal.load());
  }
  if (gInterruptSignal.load() != 0) {
    // The signal came as the scan ended: its result is complete and saved.
    std::cerr << ("Interrupted after the scan completed: result saved to " + scn->logger->sketchFileName + "\n")
              << std::flush;
    endBySignal(gInterruptSignal.load());
  }
  scn->printReport(-1.0, true);
  if (gRunJson.wanted) {
    fillReportJson(computeReport(*scn->logger, *scn->heap, -1.0), *scn->heap, {scn->devName});
    gRunJson.body["blocks"]["unreadable"] = ioErrorCount.load();
  }
  reportUnreadBytes(scn->devName);

  scn->heap->clear();
  delete pb;
  TopHashes_ = nullptr;
  gScn = nullptr;
  delete scn;
}

}  // namespace

void scanCommand() { runOrEnd(scanRun); }

namespace {

// Why a load found no file to read: the sketch and its recovery file are
// both missing (or cannot be looked at).
std::string missingSketchText(const std::string& name) {
  struct stat st;
  const int err = ::stat(name.c_str(), &st) == 0 ? ENOENT : errno;
  return " " + name + ": " + std::strerror(err);
}

void loadRun() {
  if (myGlobals.sketch.empty()) {
    std::cerr << "Cannot read given sketch: none was given; name the sketch file with --sketch (-o)" << std::endl;
    std::exit(134);
  }
  {
    DCLogger check(myGlobals.sketch, SketchReadMode::kLoad);
    const bool ok = check.loadPrologue();
    if (check.kind.find("merge") != std::string::npos) {
      std::cerr << "Cannot read given sketch, load of merge files are not supported" << std::endl;
      std::exit(135);
    }
    if (!ok) {
      // Where a file was there, the reader has said what is wrong with it.
      std::cerr << "Cannot read given sketch"
                << (check.inputFileName().empty() ? missingSketchText(myGlobals.sketch) : std::string())
                << std::endl;
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
  if (gRunJson.wanted) {
    fillReportJson(computeReport(*scn->logger, *scn->heap, ratio), *scn->heap,
                   sourceList(scn->logger->fileSourceNames));
  }
  TopHashes_ = nullptr;
  gScn = nullptr;
  delete scn;
}

}  // namespace

void loadCommand() { runOrEnd(loadRun); }
