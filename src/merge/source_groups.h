// Grouping advice: a split of the merged sources into a given number of
// arrays so that the sum of the groups' estimated distinct blocks, the
// physical space that deduplication within each array leaves, is smallest.
#ifndef DEZEVAZIR_MERGE_SOURCE_GROUPS_H_
#define DEZEVAZIR_MERGE_SOURCE_GROUPS_H_

#include <cstddef>
#include <vector>

#include "merge/source_overlap.h"
#include "sketch/key_sample.h"

// Up to this many sources every split is weighed (from the estimated union
// of every subset of them, counted together in one pass over the sketches);
// beyond it the groups are built greedily.
constexpr std::size_t kExactGroupingLimit = 12;

// Splits the sources of `samples` (one per source, in order) into `count`
// non-empty groups (1 <= count <= samples.size()) and fills out.groups and
// out.groupsExact. The greedy way starts from one group per source and
// joins, again and again, the two groups that share the most estimated
// blocks (it starts from out.pairs, which compareSources filled).
void proposeGroups(const std::vector<KeySample>& samples, std::size_t count, MergeOverlap& out);

#endif  // DEZEVAZIR_MERGE_SOURCE_GROUPS_H_
