// Reading one merge input's entry lines into the merged sketch without
// building an entry for every line.
#ifndef DEZEVAZIR_MERGE_ENTRY_FILTER_H_
#define DEZEVAZIR_MERGE_ENTRY_FILTER_H_

#include <cstdint>
#include <istream>

#include "sketch/dc_kheap.h"

// Offers up to count entry lines of `in` to `sketch`, with the result that
// DCKHeap::load (without the fresh-start flag, count equal to the sketch's
// capacity) would give. Once the sketch is full, a line whose fingerprint is
// above the top can neither enter nor be a duplicate of a stored entry (all
// of them are at most the top), and the top only falls while lines are
// offered; such lines are passed over once checked, without building an
// entry, and only the others go through the sketch's own loader. A merge of
// many inputs so builds entries for a small share of their lines.
// Returns what the loader would: kComplete or kEnded when every line read
// was an entry line; kDamaged or kUnreadable (the sketch then holds part of
// this input) when the input cannot be used.
DCKHeap::LoadResult offerEntries(std::istream& in, uint64_t count, DCKHeap& sketch);

#endif  // DEZEVAZIR_MERGE_ENTRY_FILTER_H_
