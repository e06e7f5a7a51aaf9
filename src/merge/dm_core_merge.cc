// Merging the inputs' sketches and writing the merged record.
#include <iostream>
#include <utility>

#include "merge/dm_core.h"
#include "merge/duplicate_inputs.h"
#include "merge/entry_filter.h"
#include "base/run_globals.h"
#include "base/exit_status.h"
#include "base/run_failure.h"
#include "sketch/dc_kheap.h"
#include "sketchfile/dc_logger.h"
#include "sketchfile/sketch_format.h"

namespace {


[[noreturn]] void unusableInput(const std::string& path) {
  throw RunFailure(kExitUnusableMergeInput, "Error processing: " + path);
}

}  // namespace

bool DMCore::offerInput(DCLogger& rec) {
  if (!rec.loadPrologue()) return false;
  uint64_t counted = 0;
  KeptEntries kept;
  const bool keep = keepSamples && rec.kind == sketchformat::kFullScan;
  const DCKHeap::LoadResult got =
      offerEntries(rec.inputStream, rec.sketchSize, *mergedSketch, &counted, keep ? &kept : nullptr);
  rec.inputStream.close();
  const char* problem = DCLogger::entrySectionProblem(got, true);
  // Every sighting an entry counts is a not-zero block.
  if (problem == nullptr && counted > rec.notZeroBlocks) problem = "Entry counters exceed its not-zero blocks";
  if (problem != nullptr) {
    DCLogger::reportUnusable(rec.sketchFileName, problem);
    return false;
  }
  if (keepSamples) {
    KeySample s;
    s.keys = std::move(kept.keys);
    // As a load of the file judges it: the counters add up to the not-zero
    // blocks exactly when the sketch never dropped a fingerprint; with a
    // saturated counter they cannot tell, and a sketch below the run's
    // sketch size counts as one that never filled.
    const uint64_t hashSize = static_cast<uint64_t>(static_cast<int64_t>(myGlobals.hashSize));
    s.exact = kept.counterSum == rec.notZeroBlocks || (kept.saturated && hashSize > s.keys.size());
    inputSamples.push_back(std::move(s));
  }
  return true;
}

void DMCore::merge() {
  // Every input is a regular file by now (the command line refused the
  // others), so each is checked in full.
  for (const std::string& path : inputPaths) {
    if (processOneInputEntry(path) != 0) unusableInput(path);
  }

  warnings = duplicateInputWarnings(inputRecords);
  for (const std::string& warning : warnings) std::cerr << warning << std::endl;

  const uint64_t k = static_cast<uint64_t>(static_cast<int64_t>(myGlobals.hashSize));
  mergedSketch = new DCKHeap(k);
  if (inputRecords.empty()) {
    throw RunFailure(kExitNoMergeInput, "No files to merge ", RunFailure::Stream::kOutput);
  }

  // Every input offers its entries, smallest first, to the one merged
  // sketch: it ends with the K smallest distinct fingerprints over all full
  // scans, and a fingerprint found again raises the stored counter by one.
  // Only one input is open at a time, so memory stays near one sketch. A
  // partial scan's entry section is checked too: it must be empty.
  for (DCLogger* rec : inputRecords) {
    if (!offerInput(*rec)) unusableInput(rec->sketchFileName);
  }

  const uint64_t merged = mergedSketch->numEntries();
  outputRecord->sketchSize = merged;
  // Frozen at its entry count, which the distinct-count estimate uses as K.
  mergedSketch->setSize(static_cast<int>(merged));
}

bool DMCore::report() {
  std::string names;
  uint64_t smallZero = 0, bigZero = 0, notZero = 0;
  uint64_t partialBlocks = 0, partialZero = 0, partialCompressed = 0;
  hasPartialInputs = false;
  for (size_t i = 0; i < inputRecords.size(); ++i) {
    const DCLogger* rec = inputRecords[i];
    if (i > 0) names += ' ';
    names += rec->sourceNames;
    if (rec->kind != sketchformat::kPartialScan) {
      smallZero += rec->smallZeroBlocks;
      bigZero += rec->bigZeroBlocks;
      notZero += rec->notZeroBlocks;
      continue;
    }
    // A partial scan has no sketch to merge: its blocks join the totals with
    // their estimated zero share and compressed size.
    const uint64_t blocks = rec->smallZeroBlocks + rec->notZeroBlocks;
    int64_t compressed = static_cast<int64_t>(static_cast<float>(blocks) * rec->averageCompressionRatio);
    // Only a damaged record has a negative ratio; it must not wrap the total.
    if (compressed < 0) compressed = 0;
    partialBlocks += blocks;
    partialZero += rec->smallZeroBlocks;
    partialCompressed += static_cast<uint64_t>(compressed);
    hasPartialInputs = true;
  }
  if (hasPartialInputs) {
    mergedSketch->partialBlocks = partialBlocks;
    mergedSketch->partialZeroBlocks = partialZero;
    mergedSketch->partialCompressedBlocks = partialCompressed;
  }

  outputRecord->averageCompressionRatio = static_cast<float>(mergedSketch->getCompressionRatio(false));
  outputRecord->sourceNames = names;
  outputRecord->smallZeroBlocks = smallZero;
  outputRecord->bigZeroBlocks = bigZero;
  outputRecord->notZeroBlocks = notZero;
  outputRecord->saveToSketchName = true;
  // The header then ends in " merge", which keeps the file out of later merges.
  outputRecord->kind = "merge";
  return outputRecord->saveState(*mergedSketch);
}
