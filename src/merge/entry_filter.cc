#include "merge/entry_filter.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "sketch/dc_kheap.h"
#include "sketchfile/bounded_line.h"
#include "sketchfile/entry_line.h"

namespace {

// Cuts a stream into the loader's lines (readBoundedLine with the entry-line
// cap), reading it in large blocks instead of one character per call: a line
// of at most kEntryLineMax characters up to its '\n' (a '\r' before it
// dropped); a longer line is reported as too long.
class LineCutter {
 public:
  explicit LineCutter(std::istream& in) : in_(in), buf_(kBlock) {}

  LineRead next(const char*& text, std::size_t& len) {
    if (end_ - pos_ <= kEntryLineMax && !eof_) refill();
    const std::size_t avail = end_ - pos_;
    const char* p = buf_.data() + pos_;
    const std::size_t window = avail < kEntryLineMax + 1 ? avail : kEntryLineMax + 1;
    const char* nl = static_cast<const char*>(std::memchr(p, '\n', window));
    if (nl == nullptr) {
      // What is left of the line could not be read: never a line of its own.
      if (failed_) return LineRead::kError;
      if (avail == 0) return LineRead::kEnd;
      if (avail > kEntryLineMax) return LineRead::kTooLong;
    }
    len = nl != nullptr ? static_cast<std::size_t>(nl - p) : avail;
    pos_ += nl != nullptr ? len + 1 : len;
    if (len > 0 && p[len - 1] == '\r') --len;
    text = p;
    return LineRead::kOk;
  }

 private:
  static constexpr std::size_t kBlock = 1 << 20;

  void refill() {
    const std::size_t keep = end_ - pos_;
    std::memmove(buf_.data(), buf_.data() + pos_, keep);
    pos_ = 0;
    end_ = keep;
    if (in_.bad()) failed_ = true;
    std::streambuf* sb = in_.good() ? in_.rdbuf() : nullptr;
    while (sb != nullptr && end_ < buf_.size()) {
      std::streamsize got = 0;
      try {
        got = sb->sgetn(buf_.data() + end_, static_cast<std::streamsize>(buf_.size() - end_));
      } catch (const std::exception&) {
        // A file buffer reports a failed read(2) (EIO, EISDIR) by throwing.
        in_.setstate(std::ios::badbit);
        failed_ = true;
        got = 0;
      }
      if (got <= 0) {
        eof_ = true;
        return;
      }
      end_ += static_cast<std::size_t>(got);
    }
    if (sb == nullptr) eof_ = true;
  }

  std::istream& in_;
  std::vector<char> buf_;
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
  bool eof_ = false;
  bool failed_ = false;
};

// The fingerprint bytes of a checked entry line (its hex digits up to the
// first blank), for the order test. The line passed splitEntryLine, so
// every digit is hex and the length is even.
std::size_t fingerprintBytes(const char* text, std::size_t len, unsigned char* out, std::size_t cap) {
  std::size_t n = 0;
  for (std::size_t i = 0; i + 1 < len && text[i] != ' ' && n < cap; i += 2, ++n) {
    unsigned char hi = 0, lo = 0;
    DCHashAndRatio::convertCharToByte(text[i], hi);
    DCHashAndRatio::convertCharToByte(text[i + 1], lo);
    out[n] = static_cast<unsigned char>(hi << 4 | lo);
  }
  return n;
}

uint64_t keyOfBytes(const unsigned char* bytes, std::size_t n) {
  uint64_t k = 0;
  for (std::size_t i = 0; i < 8; ++i) k = (k << 8) | (i < n ? bytes[i] : 0);
  return k;
}

void keep(const unsigned char* bytes, std::size_t n, std::string_view count, KeptEntries& kept) {
  const uint64_t key = keyOfBytes(bytes, n);
  // Fingerprints ascend, so equal keys are neighbours.
  if (kept.keys.empty() || kept.keys.back() != key) kept.keys.push_back(key);
  uint64_t c = 0;
  parseDecimalU64(count, c);  // checked by splitEntryLine
  kept.counterSum += c;
  kept.saturated = kept.saturated || c >= 255;
}

}  // namespace

DCKHeap::LoadResult offerEntries(std::istream& in, uint64_t declared, DCKHeap& sketch, uint64_t* counterSum,
                                 KeptEntries* kept) {
  uint64_t sum = 0;
  const uint64_t capacity = sketch.getCapacity();
  // Keys equal to the top's go through: the fingerprints may still differ
  // in later bytes, or be the top itself.
  const bool full = capacity > 0 && sketch.numEntries() >= capacity;
  const uint64_t topKey = full ? sketch.top()->extractHashAsULong() : 0;

  std::string passed;
  LineCutter lines(in);
  const char* text = nullptr;
  std::size_t len = 0;
  EntryLineParts parts;
  unsigned char bytes[2][kEntryLineMax / 2];
  std::size_t sizes[2] = {0, 0};
  uint64_t n = 0;
  // The declared count may be made up: reserve no more than a large sketch.
  if (kept != nullptr) kept->keys.reserve(static_cast<std::size_t>(std::min<uint64_t>(declared, 1u << 22)));
  for (; n < declared; ++n) {
    const LineRead got = lines.next(text, len);
    if (got == LineRead::kEnd) return DCKHeap::LoadResult::kEnded;
    if (got == LineRead::kError) return DCKHeap::LoadResult::kUnreadable;
    // Every line is checked, also those passed over, exactly as a load
    // checks them: an input is usable for a merge only if it is for a load.
    if (got == LineRead::kTooLong || !splitEntryLine(std::string_view(text, len), parts)) {
      return DCKHeap::LoadResult::kDamaged;
    }
    uint64_t count = 0;
    parseDecimalU64(parts.count, count);  // checked by splitEntryLine
    sum += count;
    unsigned char* current = bytes[n & 1];
    const unsigned char* before = bytes[(n + 1) & 1];
    sizes[n & 1] = fingerprintBytes(text, len, current, sizeof bytes[0]);
    if (n > 0 && !std::lexicographical_compare(before, before + sizes[(n + 1) & 1], current, current + sizes[n & 1])) {
      return DCKHeap::LoadResult::kUnordered;
    }
    if (kept != nullptr) keep(current, sizes[n & 1], parts.count, *kept);
    // The input's lines ascend, so once capacity of them were offered the
    // sketch's top is at most the last of them: none after can enter or
    // match a stored entry. Nor can a line above a full sketch's top.
    if (n >= capacity) continue;
    if (full && keyOfBytes(current, sizes[n & 1]) > topKey) continue;
    passed.append(text, len);
    passed += '\n';
  }
  if (lines.next(text, len) != LineRead::kEnd) return DCKHeap::LoadResult::kExtra;
  if (counterSum != nullptr) *counterSum = sum;
  if (kept != nullptr) kept->keys.shrink_to_fit();
  // The passed lines are usually fewer than the capacity: their end is no
  // cut file.
  std::istringstream rest(passed);
  const DCKHeap::LoadResult loaded = sketch.load(rest, capacity, false);
  return loaded == DCKHeap::LoadResult::kEnded ? DCKHeap::LoadResult::kComplete : loaded;
}
