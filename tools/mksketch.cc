// mksketch: writes synthetic full-scan sketch files, for benchmarks of the
// merge.
//
//   mksketch --out DIR --files N [--entries K] [--seed S] [--shared P]
//
// Writes DIR/sketch_0000.dat ... one file per simulated source, each with K
// entry lines (default 50000) in ascending fingerprint order, as a full scan
// of a source with many more distinct blocks than K would leave them. P
// percent of every file's fingerprints (default 20) come from a pool common
// to all files, so that the merge finds duplicates across sources.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sketchfile/sketch_format.h"

namespace {

constexpr int kFingerprintBytes = 20;

uint64_t splitmix64(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

struct Fingerprint {
  unsigned char b[kFingerprintBytes];
  bool operator<(const Fingerprint& o) const { return std::memcmp(b, o.b, kFingerprintBytes) < 0; }
  bool operator==(const Fingerprint& o) const { return std::memcmp(b, o.b, kFingerprintBytes) == 0; }
};

Fingerprint randomFingerprint(uint64_t& state) {
  Fingerprint f;
  for (int i = 0; i < kFingerprintBytes; i += 8) {
    uint64_t v = splitmix64(state);
    for (int j = 0; j < 8 && i + j < kFingerprintBytes; ++j) f.b[i + j] = static_cast<unsigned char>(v >> (8 * j));
  }
  return f;
}

[[noreturn]] void usage() {
  std::fprintf(stderr, "usage: mksketch --out DIR --files N [--entries K] [--seed S] [--shared P]\n");
  std::exit(2);
}

bool writeFile(const std::string& path, int index, const std::vector<Fingerprint>& entries, uint64_t& state) {
  FILE* f = std::fopen(path.c_str(), "w");
  if (f == nullptr) return false;
  const uint64_t notZero = 40ULL * entries.size() + splitmix64(state) % 1000;
  namespace sf = sketchformat;
  auto field = [f](sf::Field which, const std::string& value) {
    std::fprintf(f, "%s%s\n", sf::kLabels[which], value.c_str());
  };
  std::fprintf(f, "%s %s\n", sf::kTitle, sf::kFullScan);
  field(sf::kSourceNames, "/dev/synthetic" + std::to_string(index));
  field(sf::kSketchSize, std::to_string(entries.size()));
  field(sf::kSmallZero, std::to_string(notZero / 20));
  field(sf::kBigZero, std::to_string(notZero / 10));
  field(sf::kNotZero, std::to_string(notZero));
  field(sf::kPotentialUnique, std::to_string(notZero / 2));
  field(sf::kUniqueAfterSplit, std::to_string(notZero / 2));
  field(sf::kAverageRatio, "0.5");
  field(sf::kThreadPositions, "0 0 0 0 0 0 0 0 0 0");
  field(sf::kBuild, std::to_string(sf::kBuildNumber));
  for (const Fingerprint& e : entries) {
    for (unsigned char c : e.b) std::fprintf(f, "%02x", c);
    // Ratios as the scan writes them: six significant digits.
    const double ratio = 0.05 + static_cast<double>(splitmix64(state) % 95000) / 100000.0;
    std::fprintf(f, " %g %d\n", ratio, 1 + static_cast<int>(splitmix64(state) % 4));
  }
  return std::fclose(f) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string out;
  int files = 0;
  size_t entries = 50000;
  uint64_t seed = 1;
  double shared = 20;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (i + 1 >= argc) usage();
    const char* v = argv[++i];
    if (a == "--out") out = v;
    else if (a == "--files") files = std::atoi(v);
    else if (a == "--entries") entries = std::strtoull(v, nullptr, 10);
    else if (a == "--seed") seed = std::strtoull(v, nullptr, 10);
    else if (a == "--shared") shared = std::atof(v);
    else usage();
  }
  if (out.empty() || files < 1 || entries < 1 || shared < 0 || shared > 100) usage();

  uint64_t state = seed;
  const size_t sharedCount = static_cast<size_t>(static_cast<double>(entries) * shared / 100.0);
  std::vector<Fingerprint> pool(sharedCount);
  for (Fingerprint& f : pool) f = randomFingerprint(state);

  std::vector<Fingerprint> sketch;
  for (int n = 0; n < files; ++n) {
    sketch.assign(pool.begin(), pool.end());
    while (sketch.size() < entries) sketch.push_back(randomFingerprint(state));
    std::sort(sketch.begin(), sketch.end());
    sketch.erase(std::unique(sketch.begin(), sketch.end()), sketch.end());
    char name[32];
    std::snprintf(name, sizeof name, "/sketch_%04d.dat", n);
    if (!writeFile(out + name, n, sketch, state)) {
      std::perror((out + name).c_str());
      return 1;
    }
  }
  std::printf("files: %d\nentries: %zu\nshared: %zu\n", files, entries, sharedCount);
  return 0;
}
