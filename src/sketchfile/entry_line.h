// The entry lines of a sketch file, "<hex fingerprint> <ratio> <counter>" as
// DCKHeap::print writes them. Every reader of entry lines checks them here,
// so that a file one reader refuses is refused by all.
#ifndef DEZEVAZIR_SKETCHFILE_ENTRY_LINE_H_
#define DEZEVAZIR_SKETCHFILE_ENTRY_LINE_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/run_globals.h"
#include "sketch/dc_hash_and_ratio.h"
#include "sketchfile/text_number.h"

// A written entry line is at most about 60 characters; a longer line is not
// one of ours.
constexpr std::size_t kEntryLineMax = 127;

struct EntryLineParts {
  std::string_view hash;
  std::string_view ratio;
  std::string_view count;
};

// Splits at the first and the last space and checks every part: the
// fingerprint is exactly hashLength bytes of hex, the ratio a number
// as the program writes one (within a block's range, or -1 for "not
// measured"), the counter 1..255 (it starts at 1 and saturates
// at 255). Anything else was never written by the program, and an entry
// made up from it would skew every estimate.
inline bool splitEntryLine(std::string_view line, EntryLineParts& parts) {
  const std::size_t first = line.find(' ');
  const std::size_t last = line.rfind(' ');
  if (first == std::string_view::npos || first == last) return false;
  parts.hash = line.substr(0, first);
  parts.ratio = line.substr(first + 1, last - first - 1);
  parts.count = line.substr(last + 1);

  if (myGlobals.hashLength <= 0 || parts.hash.size() != 2 * static_cast<std::size_t>(myGlobals.hashLength)) {
    return false;
  }
  for (char ch : parts.hash) {
    unsigned char nibble = 0;
    if (!DCHashAndRatio::convertCharToByte(ch, nibble)) return false;
  }
  if (!isWrittenRatio(parts.ratio)) return false;
  uint64_t counter = 0;
  return parseDecimalU64(parts.count, counter) && counter >= 1 && counter <= 255;
}

#endif  // DEZEVAZIR_SKETCHFILE_ENTRY_LINE_H_
