// Comparing the merged inputs with each other, from their own sketches.
#include <vector>

#include "merge/dm_core.h"
#include "merge/source_groups.h"
#include "merge/source_overlap.h"
#include "sketchfile/dc_logger.h"
#include "sketchfile/sketch_format.h"

std::size_t DMCore::fullScanInputs() const {
  std::size_t n = 0;
  for (const DCLogger* rec : inputRecords) n += rec->kind == sketchformat::kFullScan ? 1 : 0;
  return n;
}

void DMCore::compareInputs(std::size_t groups, MergeOverlap& out) {
  std::vector<KeySample> samples;
  for (std::size_t i = 0; i < inputRecords.size() && i < inputSamples.size(); ++i) {
    const DCLogger* rec = inputRecords[i];
    if (rec->kind != sketchformat::kFullScan) {
      out.partialSources.push_back(rec->sourceNames);
      out.partialFiles.push_back(rec->sketchFileName);
      continue;
    }
    out.sources.push_back(rec->sourceNames);
    out.files.push_back(rec->sketchFileName);
    samples.push_back(std::move(inputSamples[i]));
  }
  inputSamples.clear();
  compareSources(samples, out);
  if (groups > 0) proposeGroups(samples, groups, out);
}
