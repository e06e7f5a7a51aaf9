// Small source images built block by block, and a reader for the sketch
// files that scans write.
#ifndef DEZEVAZIR_TESTS_SCAN_SCAN_FIXTURES_H_
#define DEZEVAZIR_TESTS_SCAN_SCAN_FIXTURES_H_

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace scantest {

constexpr size_t kBlock = 8192;
constexpr size_t kSegmentBlocks = 2048;  // 16 MiB

// Block contents that depend only on id: distinct ids give distinct blocks,
// none is all zero. Every third id is mostly a repeated pattern, so ratios
// differ between blocks.
inline void fillBlock(uint64_t id, unsigned char* b) {
  uint64_t s = id * 0x9E3779B97F4A7C15ULL + 0x632BE59BD9B4E019ULL;
  auto next = [&s] {
    uint64_t z = (s += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  };
  const size_t randomBytes = id % 3 == 0 ? 512 : kBlock;
  for (size_t i = 0; i < randomBytes; i += 8) {
    uint64_t v = next();
    std::memcpy(b + i, &v, 8);
  }
  for (size_t i = randomBytes; i < kBlock; ++i) b[i] = static_cast<unsigned char>('a' + i % 7);
  std::memcpy(b, &id, sizeof id);
  b[8] = 0xA5;  // never all zero, whatever the id
}

// A source described block by block: -1 is a zero block, -2 - k a block
// that is zero but for its byte k, anything else the id of a data block.
// tailBytes non-zero bytes after the last block form a piece shorter than a
// block.
class Image {
 public:
  Image& zeros(size_t n) {
    blocks.insert(blocks.end(), n, -1);
    return *this;
  }
  Image& data(int64_t id, size_t copies = 1) {
    blocks.insert(blocks.end(), copies, id);
    return *this;
  }
  // Every data block carries its id at the start, so only these show a zero
  // test that stops before the end of the block.
  Image& zeroBut(size_t offset) {
    blocks.push_back(-2 - static_cast<int64_t>(offset));
    return *this;
  }
  Image& tail(size_t bytes) {
    tailBytes = bytes;
    return *this;
  }
  uint64_t size() const { return blocks.size() * kBlock + tailBytes; }

  void write(const std::string& path) const {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::vector<unsigned char> b(kBlock);
    for (int64_t id : blocks) {
      if (id < 0) {
        std::fill(b.begin(), b.end(), 0);
        if (id < -1) b[static_cast<size_t>(-2 - id)] = 0x5A;
      } else {
        fillBlock(static_cast<uint64_t>(id), b.data());
      }
      out.write(reinterpret_cast<const char*>(b.data()), kBlock);
    }
    std::string t(tailBytes, '\x7f');
    out.write(t.data(), static_cast<std::streamsize>(t.size()));
  }

  std::vector<int64_t> blocks;
  size_t tailBytes = 0;
};

struct SketchEntry {
  std::string hash;
  std::string ratio;
  int count;
};

// A sketch file as written by a scan: header, labelled fields, entries.
struct SketchFile {
  bool ok = false;
  std::string header;
  std::map<std::string, std::string> fields;  // label (without ": ") -> value
  std::vector<SketchEntry> entries;

  uint64_t number(const std::string& label) const { return std::stoull(fields.at(label)); }
};

inline SketchFile readSketchFile(const std::string& path) {
  SketchFile f;
  std::ifstream in(path);
  if (!in || !std::getline(in, f.header)) return f;
  std::string line;
  for (int i = 0; i < 10 && std::getline(in, line); ++i) {
    size_t colon = line.find(": ");
    if (colon == std::string::npos) return f;
    f.fields[line.substr(0, colon)] = line.substr(colon + 2);
  }
  while (std::getline(in, line)) {
    size_t a = line.find(' ');
    size_t b = line.rfind(' ');
    if (a == std::string::npos || a == b) return f;
    f.entries.push_back({line.substr(0, a), line.substr(a + 1, b - a - 1), std::stoi(line.substr(b + 1))});
  }
  f.ok = true;
  return f;
}

}  // namespace scantest

#endif  // DEZEVAZIR_TESTS_SCAN_SCAN_FIXTURES_H_
