// Which merged sources share data with which: for every pair of full-scan
// inputs the distinct blocks both hold, and for every input the distinct
// blocks no other holds, each estimated from the inputs' own sketches with
// a 95 % interval; and, when asked for, a split of the inputs into groups.
// A plain record, so that every report (text, JSON, page) prints from it.
#ifndef DEZEVAZIR_MERGE_SOURCE_OVERLAP_H_
#define DEZEVAZIR_MERGE_SOURCE_OVERLAP_H_

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "sketch/key_sample.h"

// A block figure with its 95 % interval; known is false when the sketches
// hold too little to estimate it (the other fields are then 0).
struct BlockEstimate {
  bool known = false;
  uint64_t blocks = 0;
  uint64_t low = 0;
  uint64_t high = 0;
};

struct PairOverlap {
  std::size_t a = 0;  // indices into MergeOverlap::sources, a < b
  std::size_t b = 0;
  BlockEstimate shared;
  double jaccard = 0;        // shared blocks / the union's blocks
  double savingPercent = 0;  // of merging the two against keeping them apart
};

struct OnlyIn {
  std::size_t source = 0;
  BlockEstimate blocks;
};

struct SourceGroup {
  std::vector<std::size_t> members;  // indices into MergeOverlap::sources, ascending
  uint64_t uniqueBlocks = 0;         // estimated distinct blocks of the group's union
  double savingsPercent = 0;         // against keeping the members apart
};

struct MergeOverlap {
  // The full-scan inputs compared, in input order: source names and sketch
  // file names.
  std::vector<std::string> sources;
  std::vector<std::string> files;
  // Partial-scan inputs: they have no sketch and take no part.
  std::vector<std::string> partialSources;
  std::vector<std::string> partialFiles;
  std::vector<PairOverlap> pairs;  // every pair, (0,1), (0,2), ..., (1,2), ...
  std::vector<OnlyIn> onlyIn;      // one per source, in input order
  // Filled when groups were asked for: ordered by their first member.
  std::vector<SourceGroup> groups;
  bool groupsExact = false;  // the best split of all, else a greedy one
};

// The pairs and the blocks only in each source, from one sample per source
// (MergeOverlap::sources in order).
void compareSources(const std::vector<KeySample>& samples, MergeOverlap& out);

// The label of source i in text: its source names, and its sketch file
// where another compared source has the same names.
std::string sourceLabel(const MergeOverlap& o, std::size_t i);

// The detailed report's part: the pairs by shared blocks, largest first,
// the blocks only in each source, and the partial scans left out.
void printOverlap(const MergeOverlap& o, std::ostream& os);
// One line per group.
void printGroups(const MergeOverlap& o, std::ostream& os);

#endif  // DEZEVAZIR_MERGE_SOURCE_OVERLAP_H_
