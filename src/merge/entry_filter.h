// Reading one merge input's entry lines into the merged sketch without
// building an entry for every line.
#ifndef DEZEVAZIR_MERGE_ENTRY_FILTER_H_
#define DEZEVAZIR_MERGE_ENTRY_FILTER_H_

#include <cstdint>
#include <istream>
#include <vector>

#include "sketch/dc_kheap.h"

// Checks the declared entry lines of `in` as a load checks them (every line
// an entry line, fingerprints strictly ascending, exactly `declared` lines
// and nothing after them) and offers them to `sketch`, whose capacity stays.
// The result is that of DCKHeap::load without the fresh-start flag. Once
// the sketch is full, a line whose fingerprint is above the top can neither
// enter nor be a duplicate of a stored entry (all of them are at most the
// top), and the top only falls while lines are offered; such lines are
// passed over once checked, without building an entry, and only the others
// go through the sketch's own loader. A merge of many inputs so builds
// entries for a small share of their lines.
// Returns kComplete when the input is usable; otherwise what is wrong with
// it (the sketch then may hold part of this input).
// counterSum, when given, receives the sum of the counters of the lines
// checked. With `kept`, every line's sketch key and counter are kept there
// as well, for comparing the inputs with each other.
struct KeptEntries {
  std::vector<uint64_t> keys;  // ascending, distinct
  uint64_t counterSum = 0;
  bool saturated = false;      // some counter is 255
};
DCKHeap::LoadResult offerEntries(std::istream& in, uint64_t declared, DCKHeap& sketch,
                                 uint64_t* counterSum = nullptr, KeptEntries* kept = nullptr);

#endif  // DEZEVAZIR_MERGE_ENTRY_FILTER_H_
