#include "merge/entry_filter.h"

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "sketch/dc_kheap.h"
#include "sketchfile/bounded_line.h"

namespace {

// Lines are cut where the sketch's loader cuts them (readBoundedLine with
// this cap, the rest of a longer line skipped), so that both count the same
// lines against `count`.
constexpr std::size_t kEntryLineMax = 127;

// Cuts a stream into the loader's lines, reading it in large blocks instead
// of one character per call: a line of at most kEntryLineMax characters up
// to its '\n' (a '\r' before it dropped); a longer line is consumed whole
// and reported as too long.
class LineCutter {
 public:
  explicit LineCutter(std::istream& in) : in_(in), buf_(kBlock) {}

  LineRead next(const char*& text, std::size_t& len) {
    if (end_ - pos_ <= kEntryLineMax && !eof_) refill();
    const std::size_t avail = end_ - pos_;
    if (avail == 0) return LineRead::kEnd;
    const char* p = buf_.data() + pos_;
    const std::size_t window = avail < kEntryLineMax + 1 ? avail : kEntryLineMax + 1;
    const char* nl = static_cast<const char*>(std::memchr(p, '\n', window));
    if (nl == nullptr && avail > kEntryLineMax) {
      skipRestOfLine();
      return LineRead::kTooLong;
    }
    len = nl != nullptr ? static_cast<std::size_t>(nl - p) : avail;
    pos_ += nl != nullptr ? len + 1 : len;
    if (len > 0 && p[len - 1] == '\r') --len;
    text = p;
    return LineRead::kOk;
  }

 private:
  static constexpr std::size_t kBlock = 1 << 20;

  void skipRestOfLine() {
    for (;;) {
      const char* p = buf_.data() + pos_;
      const char* nl = static_cast<const char*>(std::memchr(p, '\n', end_ - pos_));
      if (nl != nullptr) {
        pos_ += static_cast<std::size_t>(nl - p) + 1;
        return;
      }
      pos_ = end_;
      if (eof_) return;
      refill();
    }
  }

  void refill() {
    const std::size_t keep = end_ - pos_;
    std::memmove(buf_.data(), buf_.data() + pos_, keep);
    pos_ = 0;
    end_ = keep;
    std::streambuf* sb = in_.good() ? in_.rdbuf() : nullptr;
    while (sb != nullptr && end_ < buf_.size()) {
      const std::streamsize got = sb->sgetn(buf_.data() + end_, static_cast<std::streamsize>(buf_.size() - end_));
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
};

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The sketch key of a line: its first eight fingerprint bytes, most
// significant first. False when the line does not start with 16 hex digits.
bool leadingKey(const char* text, std::size_t len, uint64_t& key) {
  if (len < 16) return false;
  uint64_t k = 0;
  for (int i = 0; i < 16; ++i) {
    const int d = hexDigit(text[i]);
    if (d < 0) return false;
    k = (k << 4) | static_cast<uint64_t>(d);
  }
  key = k;
  return true;
}

}  // namespace

void offerEntries(std::istream& in, uint64_t count, DCKHeap& sketch) {
  // The loader makes count the capacity before it offers anything.
  const bool full = count > 0 && sketch.numEntries() >= count;
  // Keys equal to the top's go through: the fingerprints may still differ
  // in later bytes, or be the top itself.
  const uint64_t topKey = full ? sketch.top()->extractHashAsULong() : 0;

  std::string passed;
  LineCutter lines(in);
  const char* text = nullptr;
  std::size_t len = 0;
  for (uint64_t n = 0; n < count; ++n) {
    const LineRead got = lines.next(text, len);
    if (got == LineRead::kEnd) break;
    if (got == LineRead::kTooLong) continue;  // the loader skips it too
    uint64_t key = 0;
    if (full && leadingKey(text, len, key) && key > topKey) continue;
    passed.append(text, len);
    passed += '\n';
  }
  std::istringstream rest(passed);
  sketch.load(rest, count, false);
}
