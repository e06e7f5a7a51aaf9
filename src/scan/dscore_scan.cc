// The consuming side of a full scan: chunks from the read workers are split
// into blocks, classified and counted; not-zero blocks go to the hash
// workers; ratios are measured and the record saved at recovery points and
// at the end.
#include <algorithm>
#include <boost/format.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "progress/dc_progress_bar.h"
#include "base/interrupt.h"
#include "base/run_globals.h"
#include "base/run_log.h"
#include "scan/dscore.h"
#include "scan/pipeline.h"
#include "scan/requests.h"
#include "sketch/dc_kheap.h"
#include "sketchfile/dc_logger.h"

namespace {

// How long the scan loop waits for a chunk before it looks whether the
// readers are all gone.
constexpr auto kChunkWait = std::chrono::milliseconds(20);

bool wantLog(int level) { return td.level >= level; }

void logLine(int level, std::string text) { td.addLogLine(level, new std::string(std::move(text))); }

// Hash requests queued by this engine's processBlock; compared with
// gHashesSettled so that a save sees every fingerprint computed so far.
uint64_t hashesQueued = 0;
uint64_t hashesBase = 0;

void waitForHashes() {
  while (gHashesSettled.load(std::memory_order_acquire) - hashesBase < hashesQueued) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// The ratio as the sketch file keeps it (six significant digits). Holding
// that value from the start makes a scan's report, a load of its file and a
// resumed scan all work from the same numbers.
// (A stream writes a double as "%g" does, six significant digits, and reads
// it back as strtod does; the C calls skip the streams' set-up, which cost
// more than the rest of a block's bookkeeping.)
double asStored(double ratio) {
  char text[64];
  const int n = std::snprintf(text, sizeof(text), "%g", ratio);
  if (n <= 0 || n >= static_cast<int>(sizeof(text))) return ratio;
  return std::strtod(text, nullptr);
}

// Frees a consumed chunk (once no hash request points into it), keeping
// its buffer for the readers.
void returnChunk(readReq* rq) { releaseChunk(rq); }

}  // namespace

bool DSCore::processBlock(const unsigned char* data, int len, uint64_t /*total*/, int64_t pos, int w) {
  const bool zero = isZeroBlock(data, static_cast<size_t>(len));
  uint64_t& run = zeroRuns.at(w);
  uint64_t& position = logger->threadPositions.at(w);
  if (zero) {
    if (wantLog(4)) logLine(4, (boost::format("pos:  %1% ZeroBlock") % pos).str());
    ++run;
  } else {
    if (run != 0) {
      logger->smallZeroBlocks += run;
      run = 0;
    }
    ++logger->notZeroBlocks;
    position = static_cast<uint64_t>(pos);
    hashReq* req;
    const size_t hashLength = myGlobals.hashLength > 0 ? static_cast<size_t>(myGlobals.hashLength) : 0;
    const size_t bound = static_cast<size_t>(myGlobals.hashRequestsMaxQ) * myGlobals.threads;
    if (chunk_ != nullptr && (chunk_->pinned || gPinnedChunks.load(std::memory_order_relaxed) < chunkPinLimit())) {
      // No copy: the request points into the chunk and keeps it alive.
      if (!chunk_->pinned) {
        chunk_->pinned = true;
        gPinnedChunks.fetch_add(1, std::memory_order_relaxed);
      }
      chunk_->refs.fetch_add(1, std::memory_order_relaxed);
      req = gHashReqPool.take(const_cast<unsigned char*>(data), len, hashLength, extraBytes, static_cast<uint64_t>(pos));
      req->chunk = chunk_;
    } else {
      // The one copy of the block, with the two extra bytes after it.
      auto* buf = new unsigned char[len + 2];
      std::memcpy(buf, data, len);
      buf[len] = extraBytes[0];
      buf[len + 1] = extraBytes[1];
      req = gHashReqPool.take(buf, len, hashLength, extraBytes, static_cast<uint64_t>(pos));
    }
    ++hashesQueued;
    if (chunk_ != nullptr) {
      hashBatch_.push_back(req);
    } else {
      boundedPush(hashRequests, req, bound, gHashSpace);
    }
  }

  const int64_t segment = myGlobals.segmentSize;
  if ((pos + len) % segment != 0) return true;
  const uint64_t perSegment = static_cast<uint64_t>(segment / static_cast<int64_t>(blockSize));
  if (run == perSegment) {
    logger->bigZeroBlocks += run;
    position = static_cast<uint64_t>(pos);
    if (wantLog(4)) {
      logLine(4, (boost::format("pos:  %1% BigZeroBlock") %
                  (pos + static_cast<int64_t>(blockSize) - segment))
                     .str());
    }
  } else {
    logger->smallZeroBlocks += run;
    position = static_cast<uint64_t>(pos);
  }
  run = 0;
  return true;
}

void DSCore::accountUnreadable(int64_t pos, int w) {
  // Its contents are unknown: it ends the worker's zero run as a data block
  // would, and the stream goes on after it (a resume does not read it again).
  uint64_t& run = zeroRuns.at(w);
  logger->smallZeroBlocks += run;
  run = 0;
  ++logger->unreadableBlocks;
  logger->threadPositions.at(w) = static_cast<uint64_t>(pos);
}

void DSCore::flushHashBatch() {
  if (hashBatch_.empty()) return;
  gHashSpace.waitForRoom([] { return hashRequests->size(); },
                         static_cast<size_t>(myGlobals.hashRequestsMaxQ) * myGlobals.threads);
  hashRequests->pushAll(hashBatch_);
}

bool DSCore::getCMP(bool final) {
  // Asked for in the order of their positions: the sketch's order (by
  // fingerprint) is all over the source, and nearby reads go faster.
  std::vector<const DCHashAndRatio*> missing;
  for (const DCHashAndRatio* e : heap->getVector()) {
    if (e->ratio < 0) missing.push_back(e);
  }
  std::sort(missing.begin(), missing.end(),
            [](const DCHashAndRatio* a, const DCHashAndRatio* b) { return a->position < b->position; });
  const uint64_t count = missing.size();
  // Handed over at once, under one lock, waking every compression worker.
  std::vector<hashReq*> requests;
  requests.reserve(missing.size());
  for (const DCHashAndRatio* e : missing) {
    requests.push_back(
        new hashReq(nullptr, static_cast<int>(blockSize), e->hash, nullptr, e->position, hashReq::Kind::kMeasure));
  }
  readcmpRequests->pushAll(requests, true);
  // The compression workers read and compress each block with their own
  // compressors. Every request comes back, read or not (a failed read comes
  // back without a ratio), so counting them tells when all are in. They
  // come back in batches, and are taken so.
  constexpr size_t kResultBatch = 64;
  std::vector<hashReq*> results;
  results.reserve(kResultBatch);
  for (uint64_t processed = 0; processed < count;) {
    cmpRequests->popSome(results, static_cast<size_t>(std::min<uint64_t>(kResultBatch, count - processed)),
                         [](const hashReq*) { return false; });
    for (hashReq* r : results) {
      if (r->ratio >= 0) {
        DCHashAndRatio measured(r->hash, asStored(r->ratio), r->pos);
        heap->setRatio(&measured);
      }
      delete r;
    }
    processed += results.size();
    results.clear();
  }
  if (final) {
    for (int i = 0; i < kCmpWorkers; ++i) readcmpRequests->push(new hashReq());
  }
  return true;
}

bool DSCore::scan(DCProgressBar* pb) {
  status = 1;
  logger->saveToSketchName = false;
  hashesQueued = 0;
  hashesBase = gHashesSettled.load(std::memory_order_acquire);

  uint64_t accounted = logger->smallZeroBlocks + logger->notZeroBlocks;
  uint64_t bytes = accounted * blockSize;

  // Catch up with what a resumed scan already accounted. A sized source
  // holds at least one block, far more bytes than the bar has cells; an
  // engine without a source (devSize 0) is refused before its scan, and
  // must not divide by zero here even so.
  const uint64_t width = myGlobals.progressBarWidth > 0 ? myGlobals.progressBarWidth : 1;
  const uint64_t step = devSize >= width ? devSize / width : 1;
  const uint64_t m = bytes / step;
  for (uint64_t i = 0; i < m + 1; ++i) pb->update(-static_cast<int64_t>(step));
  uint64_t marks = m + 1;

  time_t t0 = time(nullptr);
  const int64_t bs = static_cast<int64_t>(blockSize);
  bool endedEarly = false;
  uint64_t windowBytes = 0;
  double shownRate = pb->throughput();

  for (;;) {
    // Readers are counted before they start and take themselves out after
    // their last push, so 0 here means no further chunk is coming.
    const bool readersDone = activeReaders.load(std::memory_order_acquire) == 0;
    readReq* rq = nullptr;
    if (!readRequests->popFor(rq, readersDone ? std::chrono::milliseconds(0) : kChunkWait)) {
      if (readersDone) break;
      continue;
    }
    gReadSpace.signal(readRequests->size());
    if (rq->bytesRead < bs) {
      returnChunk(rq);
      status = 0;
      endedEarly = true;
      break;
    }
    const int n = rq->bytesRead / static_cast<int>(bs);
    chunk_ = rq;
    for (int j = 0; j < n && status != 2; ++j) {
      if (!rq->unreadable.empty() && rq->unreadable[static_cast<size_t>(j)] != 0) {
        accountUnreadable(static_cast<int64_t>(rq->pos) + j * bs, rq->worker);
        continue;
      }
      ++accounted;
      if (accounted % recoverBlocks == 0 && difftime(time(nullptr), t0) > myGlobals.minSecsRecovery) {
        // The save must hold every fingerprint of the blocks it counts.
        flushHashBatch();
        waitForHashes();
        std::lock_guard<boost::mutex> lock(heap->getMutex());
        getCMP(false);
        if (!logger->saveState(*heap)) {
          // A scan whose state cannot be kept must not go on as if it were:
          // it stops here, and the command ends it with the reason.
          saveFailed = true;
          status = 2;
        }
        t0 = time(nullptr);
      }
      bytes += blockSize;
      if (!processBlock(rq->buf + j * bs, static_cast<int>(bs), bytes, static_cast<int64_t>(rq->pos) + j * bs,
                        rq->worker)) {
        status = 2;
      }
      // The bar divides the value of the call that closes its interval by
      // the interval's length, so it is handed the bytes of that interval.
      windowBytes += blockSize;
      const int64_t x = static_cast<int64_t>(windowBytes);
      if (bytes / step > marks + 1) {
        ++marks;
        pb->update(-x);
      } else {
        pb->update(x);
      }
      if (pb->throughput() != shownRate) {
        shownRate = pb->throughput();
        windowBytes = 0;
      }
    }
    flushHashBatch();
    chunk_ = nullptr;
    returnChunk(rq);
    if (saveFailed || gSourceShrank.load(std::memory_order_relaxed) ||
        gTooManyReadErrors.load(std::memory_order_relaxed)) {
      endedEarly = true;
      break;
    }
    if (gInterruptSignal.load(std::memory_order_relaxed) != 0) {
      // Stopped on a chunk's end: every block counted so far is in the
      // counters and positions the recovery state records.
      interrupted = true;
      endedEarly = true;
      break;
    }
  }

  if (endedEarly) {
    // Release readers that may be waiting on a full queue, and let them end.
    gStopReaders.store(true);
    for (;;) {
      const bool readersDone = activeReaders.load(std::memory_order_acquire) == 0;
      readReq* rq = nullptr;
      if (readRequests->popFor(rq, readersDone ? std::chrono::milliseconds(0) : kChunkWait)) {
        gReadSpace.signal(readRequests->size());
        returnChunk(rq);
      } else if (readersDone) {
        break;
      }
    }
  }

  // Every fingerprint already queued reaches the sketch before the final
  // measurement; only then are the hash workers told to end.
  waitForHashes();
  for (int i = 0; i < kHashWorkers; ++i) hashRequests->push(new hashReq());
  pb->finish();

  if (saveFailed || gSourceShrank.load() || gTooManyReadErrors.load()) {
    // Nothing more is measured or saved: the scan has failed, and a result
    // under the sketch name would be taken for a complete one.
    for (int i = 0; i < kCmpWorkers; ++i) readcmpRequests->push(new hashReq());
    return bytes != 0;
  }
  if (interrupted) {
    // The state as a recovery point saves it, for the next run to resume.
    std::lock_guard<boost::mutex> lock(heap->getMutex());
    getCMP(true);
    if (gSourceShrank.load() || gTooManyReadErrors.load()) return bytes != 0;
    logger->saveToSketchName = false;
    if (!logger->saveState(*heap)) saveFailed = true;
    return bytes != 0;
  }
  {
    std::lock_guard<boost::mutex> lock(heap->getMutex());
    getCMP(true);
    // An all-zero source leaves nothing to average.
    if (heap->numEntries() == 0) logger->averageCompressionRatio = -1.0f;
    // The last re-reads may be the first to find the source shorter, or
    // to pass the read-error limit.
    if (gSourceShrank.load() || gTooManyReadErrors.load()) return bytes != 0;
    logger->saveToSketchName = true;
    if (!logger->saveState(*heap)) saveFailed = true;
  }
  return bytes != 0;
}
