// Hand-made sketch files for the merge tests, and a reader for the files
// the program writes.
#ifndef DEZEVAZIR_TESTS_MERGE_MERGE_FIXTURES_H_
#define DEZEVAZIR_TESTS_MERGE_MERGE_FIXTURES_H_

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace mergetest {

// A 20-byte fingerprint in hex whose sketch key is `key`; `tail` fills the
// remaining twelve bytes.
inline std::string fp(uint64_t key, uint32_t tail = 0x5a5a5a5a) {
  char text[41];
  std::snprintf(text, sizeof text, "%016llx%08x%08x%08x", static_cast<unsigned long long>(key), tail, tail,
                tail);
  return text;
}

struct Entry {
  std::string hash;
  std::string ratio;  // as written: "0.25"
  int count = 1;
};

struct SketchFile {
  std::string kind = "fullscan";
  std::string names = "/dev/sda";
  uint64_t declared = 0;  // the "Sketch size: " line; the entry count when 0
  uint64_t smallZero = 0, bigZero = 0, notZero = 0;
  std::string ratio = "-1";  // the "Average compression ratio: " line
  int build = 153;
  std::vector<Entry> entries;

  std::string text() const {
    std::ostringstream os;
    os << "..:: Veda Dezevazir Odazirera ::.. " << kind << "\n"
       << "Original file names: " << names << "\n"
       << "Sketch size: " << (declared != 0 ? declared : entries.size()) << "\n"
       << "Number of Small Zero blocks: " << smallZero << "\n"
       << "Number of Big Zero blocks: " << bigZero << "\n"
       << "Number of Not Zero blocks: " << notZero << "\n"
       << "Potential unique estimation: 0\n"
       << "Unique estimation after split: 0\n"
       << "Average compression ratio: " << ratio << "\n"
       << "Threads Positions: 0 0 0 0 0 0 0 0 0 0\n"
       << "Build: " << build << "\n";
    for (const Entry& e : entries) os << e.hash << " " << e.ratio << " " << e.count << "\n";
    return os.str();
  }
  void write(const std::string& path) const { std::ofstream(path, std::ios::binary | std::ios::trunc) << text(); }
};

// A written sketch file: its labelled values and its entries by fingerprint.
struct ReadBack {
  std::string header;
  std::map<std::string, std::string> fields;  // label without ": " -> value
  std::vector<Entry> entries;                 // in file order
};

inline ReadBack readSketch(const std::string& path) {
  ReadBack r;
  std::ifstream in(path);
  std::string line;
  std::getline(in, r.header);
  for (int i = 0; i < 10 && std::getline(in, line); ++i) {
    const size_t colon = line.find(": ");
    r.fields[line.substr(0, colon)] = colon == std::string::npos ? "" : line.substr(colon + 2);
  }
  while (std::getline(in, line)) {
    const size_t first = line.find(' ');
    const size_t last = line.rfind(' ');
    r.entries.push_back({line.substr(0, first), line.substr(first + 1, last - first - 1),
                         std::stoi(line.substr(last + 1))});
  }
  return r;
}

}  // namespace mergetest

#endif  // DEZEVAZIR_TESTS_MERGE_MERGE_FIXTURES_H_
