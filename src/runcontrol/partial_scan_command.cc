// The "partialscan" command: estimates compression savings and the share of
// zero blocks from randomly placed sample blocks, without reading the whole
// source and without fingerprinting.
#include <boost/format.hpp>
#include <boost/random/mersenne_twister.hpp>
#include <boost/random/uniform_real_distribution.hpp>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <iostream>
#include <thread>
#include <vector>

#include "runcontrol/commands.h"
#include "runcontrol/end_run.h"
#include "base/exit_status.h"
#include "base/run_failure.h"
#include "runcontrol/json_report.h"
#include "runcontrol/output_guard.h"
#include "runcontrol/start_thread.h"
#include "base/run_globals.h"
#include "base/run_state.h"
#include "scan/dscore.h"
#include "scan/pipeline.h"
#include "scan/requests.h"
#include "sketch/dc_kheap.h"
#include "sketchfile/dc_logger.h"
#include "sketchfile/file_size.h"

namespace {

// The driver never lets the workers fall further behind than this.
constexpr size_t kMaxQueuedSamples = 10000;
// Below this share of non-zero samples (3400 of 20000 at the default sample
// count) a device is too sparse for the estimate to mean anything.
constexpr uint64_t kSparseSamples = 20000;
constexpr uint64_t kDefaultSamples = 3400;
// Each worker sums (int)(ratio x 100000) per sample into a 32-bit
// accumulator; a block's ratio stays below this bound.
constexpr int64_t kMaxScaledRatio = 110000;

const char kDashes[] = "------------------------------------------";

// Samples taken before a device counts as too sparse. The same non-zero
// share is kept when more samples are asked for than the default, so that a
// large sample count cannot make every device look sparse.
uint64_t sparseLimit(uint64_t samples) {
  const uint64_t scaled = (samples * kSparseSamples + kDefaultSamples - 1) / kDefaultSamples;
  return scaled > kSparseSamples ? scaled : kSparseSamples;
}

// The largest per-worker quota, which must not overflow its accumulator.
void refuseOverflowingQuota() {
  const uint64_t samples = static_cast<uint64_t>(myGlobals.maxNumSamples);
  const uint64_t threads = myGlobals.threads;
  const uint64_t largest = samples / threads + samples % threads;
  if (static_cast<int64_t>(largest) * kMaxScaledRatio > INT32_MAX) {
    throw RunFailure(kExitUndefinedSetting, "Invalid maxNumSamples given: at most " +
                                                std::to_string(INT32_MAX / kMaxScaledRatio) + " samples per thread");
  }
}

void printPercent(const char* label, double value) {
  std::cout << label << boost::format("%7.3f") % value << "%" << std::endl;
}

}  // namespace

namespace {

void partialScanRun() {
  refuseMissingSource();
  refuseOverflowingQuota();
  refuseUnsafeOutputs(myGlobals.sketch, {myGlobals.input});
  RunLock lock;
  lockOutputs(lock, myGlobals.sketch);
  refuseReplacingOtherScan(myGlobals.sketch, myGlobals.input, true);
  refuseUncreatableOutputs(myGlobals.sketch, false);
  // The record of a partial scan holds no entries.
  refuseTooLittleRoom(myGlobals.sketch, false,
                      sketchformat::maxFileBytes(0, myGlobals.input.size(), myGlobals.threads,
                                                 static_cast<std::size_t>(myGlobals.hashLength)));
  gSourceShrank.store(false);
  gTooManyReadErrors.store(false);
  forgetReadMode();
  DSCore* scn = new DSCore(static_cast<uint64_t>(static_cast<int64_t>(myGlobals.blockSize)),
                           static_cast<uint64_t>(static_cast<int64_t>(myGlobals.hashSize)),
                           static_cast<uint64_t>(static_cast<int64_t>(myGlobals.recoverBlocks)),
                           static_cast<uint32_t>(myGlobals.randomBytes), myGlobals.input,
                           myGlobals.sketch);
  gScn = scn;
  scn->logger->kind = "partialscan";

  const uint64_t blockSize = static_cast<uint64_t>(myGlobals.blockSize);
  const uint64_t blocks = scn->devSize / blockSize;
  // A stale limit of an earlier run must not decide this one.
  ioErrorLimit = blocks / 100;

  // Every accumulator exists before any worker can need it.
  const unsigned threads = myGlobals.threads;
  cmpSumComp.assign(threads, 0);
  cmpSumRatio.assign(threads, 0.0);
  cmpSumRatioSq.assign(threads, 0.0);
  std::vector<std::thread> workers;
  for (unsigned i = 0; i < threads; ++i) startThread(workers, cmpThreadFnc, static_cast<int>(i));

  const uint32_t seed = myGlobals.randomBytes != 0 ? static_cast<uint32_t>(myGlobals.randomBytes)
                                                   : static_cast<uint32_t>(std::time(nullptr));
  boost::random::mt19937 generator(seed);
  boost::random::uniform_real_distribution<double> unit(0.0, 1.0);

  const unsigned wanted = static_cast<unsigned>(myGlobals.maxNumSamples);
  const uint64_t sparseAfter = sparseLimit(wanted);
  bool sparse = false;
  while (myGlobals.samplesCompressed < wanted) {
    // Every index is used as drawn, so that each block of a small device is
    // as likely as any other.
    const uint64_t index = static_cast<uint64_t>(unit(generator) * static_cast<double>(blocks));
    // Waits for the workers, but not for ones that have already finished
    // their quotas and will take nothing more.
    while (readcmpRequests->size() > kMaxQueuedSamples && myGlobals.samplesCompressed < wanted) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    readcmpRequests->push(new hashReq(nullptr, static_cast<int>(blockSize), {}, nullptr, index * blockSize,
                                      hashReq::Kind::kSample));
    if (gSourceShrank.load(std::memory_order_relaxed) || gTooManyReadErrors.load(std::memory_order_relaxed)) {
      for (unsigned i = 0; i < threads; ++i) readcmpRequests->push(new hashReq());
      break;
    }
    if (static_cast<uint64_t>(myGlobals.samplesCompressed) + myGlobals.samplesZero > sparseAfter) {
      std::cout << "Device too Sparse - cannot estimate" << std::endl;
      for (unsigned i = 0; i < threads; ++i) readcmpRequests->push(new hashReq());
      sparse = true;
      break;
    }
  }
  for (auto& t : workers) t.join();

  // The abort message went to standard error and the run log as it happened.
  if (gTooManyReadErrors.load()) throw RunFailure(kExitTooManyReadErrors, "");
  if (gSourceShrank.load()) {
    throw RunFailure(kExitSourceUnreadable, "Error reading: " + scn->devName + ": it became shorter than its " +
                                                std::to_string(scn->devSize) +
                                                " bytes while it was read; no result was saved");
  }
  if (!sparse) {
    // Summed before dividing: dropping each worker's remainder would lose up
    // to one whole ratio per worker, which matters for small sample counts.
    int64_t scaled = 0;
    for (int32_t acc : cmpSumComp) scaled += acc;
    const double sum = static_cast<double>(scaled) / 100000.0;
    const unsigned compressed = myGlobals.samplesCompressed;
    const unsigned zero = myGlobals.samplesZero;
    const float zeroShare =
        zero == 0 ? 0.0f
                  : static_cast<float>(zero) * 100.0f / (static_cast<float>(compressed) + static_cast<float>(zero));
    // With no sample asked for nothing is measured, and no savings are
    // claimed (rather than printing and saving 0 / 0).
    const double meanRatio = compressed == 0 ? 1.0 : sum / compressed;
    const double savings = compressed == 0 ? 0.0 : 100.0 - sum * 100.0 / compressed;
    printPercent("Estimated Compression Savings:    ", savings);
    printPercent("Estimated Zero Blocks:            ", zeroShare);
    if (!scn->setPartialVals(static_cast<float>(meanRatio))) {
      throw RunFailure(kExitSketchNotWritten, "Cannot write the sketch file " + scn->logger->lastError);
    }
    reportUnreadBytes(scn->devName);
    if (gRunJson.wanted) {
      double ratioSum = 0, ratioSquares = 0;
      for (unsigned i = 0; i < threads; ++i) {
        ratioSum += cmpSumRatio[i];
        ratioSquares += cmpSumRatioSq[i];
      }
      fillPartialJson(compressed, zero, savings, static_cast<double>(zeroShare), ratioSum, ratioSquares,
                      scn->devName);
    }
  }

  scn->heap->clear();
  std::cout << kDashes << std::endl;
  gScn = nullptr;
  delete scn;
}

}  // namespace

void partialScanCommand() { runOrEnd(partialScanRun); }
