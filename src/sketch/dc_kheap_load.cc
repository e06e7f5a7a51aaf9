// Reading sketch entries back from a sketch file (the lines DCKHeap::print
// writes): "<hex fingerprint> <ratio> <counter>".
#include <cstddef>
#include <istream>
#include <string>

#include "runcontrol/run_globals.h"
#include "sketch/dc_kheap.h"
#include "sketchfile/bounded_line.h"
#include "sketchfile/text_number.h"

namespace {

// A written entry line is at most about 60 characters; anything past this is
// not one of ours.
constexpr std::size_t kEntryLineMax = 127;

// Splits at the first and the last space and checks every part, so that a
// damaged line is skipped rather than turned into an entry with a made-up
// fingerprint, ratio or counter (which would skew every estimate).
bool splitEntryLine(const std::string& line, std::string& hashText, std::string& ratioText,
                    std::string& countText) {
  const std::size_t first = line.find(' ');
  const std::size_t last = line.rfind(' ');
  if (first == std::string::npos || first == last) return false;
  hashText = line.substr(0, first);
  ratioText = line.substr(first + 1, last - first - 1);
  countText = line.substr(last + 1);

  if (myGlobals.hashLength <= 0 || hashText.size() != 2 * static_cast<std::size_t>(myGlobals.hashLength)) {
    return false;
  }
  for (char ch : hashText) {
    unsigned char nibble = 0;
    if (!DCHashAndRatio::convertCharToByte(ch, nibble)) return false;
  }
  double ratio = 0.0;
  if (!parseFiniteDouble(ratioText, ratio)) return false;
  // The counter saturates at 255 and starts at 1; anything else was never written.
  uint64_t counter = 0;
  return parseDecimalU64(countText, counter) && counter >= 1 && counter <= 255;
}

}  // namespace

void DCKHeap::load(std::istream& is, uint64_t count, bool freshStart) {
  if (freshStart) clear();
  capacity_ = count;
  publishTop();
  if (count == 0) return;

  std::string line, hashText, ratioText, countText;
  for (uint64_t lines = 0; lines < count; ++lines) {
    const LineRead got = readBoundedLine(is, kEntryLineMax, line, true);
    // A merge asks every input for the full scan capacity; inputs with fewer
    // entries simply end here.
    if (got == LineRead::kEnd) break;
    if (got == LineRead::kTooLong || !splitEntryLine(line, hashText, ratioText, countText)) continue;

    DCHashAndRatio* e = new DCHashAndRatio(hashText, ratioText, countText);
    if (!e->valid) {
      delete e;
      continue;
    }
    if (freshStart) {
      insert(e);
    } else if (probe(e)) {
      insert(e);
    } else {
      // probe already counted the sighting on the stored entry.
      delete e;
    }
  }
}
