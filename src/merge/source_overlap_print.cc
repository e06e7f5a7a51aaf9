// The overlap of the merged sources as text.
#include <algorithm>
#include <cstdio>
#include <ostream>
#include <string>

#include "merge/source_overlap.h"

namespace {

std::string count(const BlockEstimate& e) { return e.known ? std::to_string(e.blocks) : "-"; }

std::string range(const BlockEstimate& e) {
  return e.known ? "[" + std::to_string(e.low) + " - " + std::to_string(e.high) + "]" : "-";
}

std::string format(const char* pattern, const std::string& a, const std::string& b) {
  char buf[160];
  std::snprintf(buf, sizeof buf, pattern, a.c_str(), b.c_str());
  return buf;
}

}  // namespace

void printOverlap(const MergeOverlap& o, std::ostream& os) {
  os << "----" << "\n";
  os << "Shared blocks by pair of sources, estimated:" << "\n";
  os << format("  %-14s %-29s", "Shared blocks", "95% interval") << "Jaccard    Saving   Sources" << "\n";
  std::vector<const PairOverlap*> pairs;
  for (const PairOverlap& p : o.pairs) pairs.push_back(&p);
  // Largest first; unknown figures last; ties in input order.
  std::stable_sort(pairs.begin(), pairs.end(), [](const PairOverlap* x, const PairOverlap* y) {
    if (x->shared.known != y->shared.known) return x->shared.known;
    return x->shared.blocks > y->shared.blocks;
  });
  for (const PairOverlap* p : pairs) {
    char figures[64];
    std::snprintf(figures, sizeof figures, "%7.4f  %7.3f%%   ", p->jaccard, p->savingPercent);
    os << format("  %-14s %-29s", count(p->shared), range(p->shared)) << figures << sourceLabel(o, p->a) << "  +  "
       << sourceLabel(o, p->b) << "\n";
  }
  os << "Blocks in one source only, estimated:" << "\n";
  os << format("  %-14s %-29s", "Blocks", "95% interval") << "Source" << "\n";
  for (const OnlyIn& only : o.onlyIn) {
    os << format("  %-14s %-29s", count(only.blocks), range(only.blocks)) << sourceLabel(o, only.source) << "\n";
  }
  if (!o.partialSources.empty()) {
    os << "Partial scans, not compared:";
    for (std::size_t i = 0; i < o.partialSources.size(); ++i) {
      os << " " << o.partialSources[i] << " (" << o.partialFiles[i] << ")";
    }
    os << "\n";
  }
}

void printGroups(const MergeOverlap& o, std::ostream& os) {
  for (std::size_t g = 0; g < o.groups.size(); ++g) {
    const SourceGroup& group = o.groups[g];
    char head[160];
    std::snprintf(head, sizeof head, "Group %zu of %zu (%s): %llu unique blocks, savings %7.3f%%:", g + 1,
                  o.groups.size(), o.groupsExact ? "best split" : "greedy",
                  static_cast<unsigned long long>(group.uniqueBlocks), group.savingsPercent);
    os << head;
    for (std::size_t i = 0; i < group.members.size(); ++i) {
      os << (i == 0 ? " " : ", ") << sourceLabel(o, group.members[i]);
    }
    os << "\n";
  }
}
