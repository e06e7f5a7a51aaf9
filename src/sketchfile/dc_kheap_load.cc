// Reading sketch entries back from a sketch file (the lines DCKHeap::print
// writes): "<hex fingerprint> <ratio> <counter>". Part of the sketch-file
// library, so that the sketch itself knows nothing of the file's grammar.
#include <algorithm>
#include <istream>
#include <string>

#include "sketch/dc_kheap.h"
#include "sketchfile/bounded_line.h"
#include "sketchfile/entry_line.h"

DCKHeap::LoadResult DCKHeap::load(std::istream& is, uint64_t count, bool freshStart, bool wholeFile,
                                  uint64_t* counterSum) {
  uint64_t ignored = 0;
  uint64_t& sum = counterSum != nullptr ? *counterSum : ignored;
  sum = 0;
  if (freshStart) clear();
  capacity_ = count;
  publishTop();

  std::string line;
  EntryLineParts parts;
  // The writer prints entries in ascending order; a line that does not
  // follow its predecessor was duplicated or moved by something else.
  std::vector<unsigned char> previous;
  for (uint64_t lines = 0; lines < count; ++lines) {
    const LineRead got = readBoundedLine(is, kEntryLineMax, line);
    // A merge asks every input for the full scan capacity, so an input with
    // fewer entries ends here; whether that is a cut file is the caller's call.
    if (got == LineRead::kEnd) return LoadResult::kEnded;
    if (got == LineRead::kError) return LoadResult::kUnreadable;
    // A damaged line is never skipped: the entries after it may be just as
    // damaged, and a sketch missing some of its entries gives wrong estimates.
    if (got == LineRead::kTooLong || !splitEntryLine(line, parts)) return LoadResult::kDamaged;

    DCHashAndRatio* e = new DCHashAndRatio(std::string(parts.hash), std::string(parts.ratio),
                                           std::string(parts.count));
    if (!e->valid) {
      delete e;
      return LoadResult::kDamaged;
    }
    if (lines > 0 && !std::lexicographical_compare(previous.begin(), previous.end(), e->hash.begin(), e->hash.end())) {
      delete e;
      return LoadResult::kUnordered;
    }
    previous = e->hash;
    sum += static_cast<uint64_t>(e->refCounter);
    if (freshStart) {
      insert(e);
    } else if (probe(e)) {
      insert(e);
    } else {
      // probe already counted the sighting on the stored entry.
      delete e;
    }
  }
  if (wholeFile) {
    const LineRead after = readBoundedLine(is, kEntryLineMax, line);
    if (after == LineRead::kError) return LoadResult::kUnreadable;
    if (after != LineRead::kEnd) return LoadResult::kExtra;
  }
  return LoadResult::kComplete;
}
