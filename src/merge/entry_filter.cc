#include "merge/entry_filter.h"

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

// The sketch key of a line: its first eight fingerprint bytes, most
// significant first. False when the line does not start with 16 hex digits.
bool leadingKey(const char* text, std::size_t len, uint64_t& key) {
  if (len < 16) return false;
  uint64_t k = 0;
  for (int i = 0; i < 16; ++i) {
    unsigned char d;
    if (!DCHashAndRatio::convertCharToByte(text[i], d)) return false;
    k = (k << 4) | d;
  }
  key = k;
  return true;
}

}  // namespace

DCKHeap::LoadResult offerEntries(std::istream& in, uint64_t count, DCKHeap& sketch) {
  // The loader makes count the capacity before it offers anything.
  const bool full = count > 0 && sketch.numEntries() >= count;
  // Keys equal to the top's go through: the fingerprints may still differ
  // in later bytes, or be the top itself.
  const uint64_t topKey = full ? sketch.top()->extractHashAsULong() : 0;

  std::string passed;
  LineCutter lines(in);
  const char* text = nullptr;
  std::size_t len = 0;
  EntryLineParts parts;
  uint64_t n = 0;
  for (; n < count; ++n) {
    const LineRead got = lines.next(text, len);
    if (got == LineRead::kEnd) break;
    if (got == LineRead::kError) return DCKHeap::LoadResult::kUnreadable;
    // Every line is checked, also those passed over: the loader would refuse
    // the input for any of them.
    if (got == LineRead::kTooLong || !splitEntryLine(std::string_view(text, len), parts)) {
      return DCKHeap::LoadResult::kDamaged;
    }
    uint64_t key = 0;
    if (full && leadingKey(text, len, key) && key > topKey) continue;
    passed.append(text, len);
    passed += '\n';
  }
  std::istringstream rest(passed);
  const DCKHeap::LoadResult loaded = sketch.load(rest, count, false);
  if (loaded == DCKHeap::LoadResult::kDamaged || loaded == DCKHeap::LoadResult::kUnreadable) return loaded;
  return n < count ? DCKHeap::LoadResult::kEnded : DCKHeap::LoadResult::kComplete;
}
