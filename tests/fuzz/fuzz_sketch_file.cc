// Arbitrary sketch-file contents read the way `load` reads a sketch file and
// the way `merge` reads an input. Both must accept or refuse the same files:
// a file that one command refuses as damaged must not be reported or merged
// by the other, or the user gets two answers about one scan. A file that is
// accepted must look like one the program could have written: exactly as
// many distinct entry lines as it declares, each kept with the ratio its
// line states, ratios that a compressed block can have, and block counters
// whose bytes a source can hold; anything else gives estimates that no scan
// made. Crashes and sanitizer reports anywhere on the way (the reports of
// load and of the merge included) are findings too.
//
// The commands end the process on a refusal (load: 134 and 135, merge: 128
// as a RunFailure), so their checks are repeated here as functions that
// return the verdict instead; the reading itself is the commands' own code.
// The command word is set for each reading as the command sets it, which
// also keeps DCLogger::loadPrologue off the thread positions: their count
// differing from --threads ends a scan with status 130.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <streambuf>
#include <string>
#include <system_error>
#include <vector>

#include "merge/dm_core.h"
#include "merge/entry_filter.h"
#include "base/run_globals.h"
#include "scan/dscore.h"
#include "sketch/dc_kheap.h"
#include "sketchfile/dc_logger.h"
#include "sketchfile/text_number.h"

namespace {

// The readers explain every refusal on standard output or error; thousands
// of runs a second would bury the fuzzer's own output.
class NullBuf : public std::streambuf {
 protected:
  int_type overflow(int_type c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

NullBuf gNull;
std::string gDir;
std::string gInput;

bool contains(const std::string& s, const char* word) { return s.find(word) != std::string::npos; }

DSCore* newEngine(const std::string& sketch) {
  return new DSCore(static_cast<uint64_t>(myGlobals.blockSize), static_cast<uint64_t>(myGlobals.hashSize),
                    static_cast<uint64_t>(myGlobals.recoverBlocks),
                    static_cast<uint32_t>(myGlobals.randomBytes), "", sketch);
}

struct LoadVerdict {
  bool accepted = false;
  uint64_t declared = 0;     // its "Sketch size: "
  uint64_t entries = 0;      // entries in the sketch read back
  uint64_t entryLines = 0;   // lines after the prologue
  bool ratiosAsStated = true;
  bool ratiosPossible = true;
  bool countersFit = true;
};

// A block compresses to at most itself plus the compressor's 256-byte
// header; -1 marks a ratio not measured.
bool possibleRatio(double r) {
  return r == -1.0 || (r >= 0.0 && r <= (8192.0 + 256.0) / 8192.0);
}

// The ratio text of each entry line of the file, by lower-case fingerprint.
std::map<std::string, std::string> statedRatios(const std::string& path) {
  std::map<std::string, std::string> ratios;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  // The header and the ten labelled lines.
  for (int i = 0; i < 11; ++i) std::getline(in, line);
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t first = line.find(' ');
    const std::size_t last = line.rfind(' ');
    if (first == std::string::npos || first == last) continue;
    std::string hash = line.substr(0, first);
    for (char& ch : hash) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    ratios[hash] = line.substr(first + 1, last - first - 1);
  }
  return ratios;
}

std::string hexOf(const std::vector<unsigned char>& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  for (unsigned char b : bytes) {
    s += kDigits[b >> 4];
    s += kDigits[b & 15];
  }
  return s;
}

// Every kept entry has the value its line states (as the line check reads
// it), not one that another reading of the same text gives.
bool ratiosAsStated(const DCKHeap& sketch, const std::string& path) {
  const std::map<std::string, std::string> stated = statedRatios(path);
  for (const DCHashAndRatio* e : sketch.getVector()) {
    const auto it = stated.find(hexOf(e->hash));
    double r = 0.0;
    if (it == stated.end() || !parseFiniteDouble(it->second, r) || r != e->ratio) return false;
  }
  return true;
}

// The three block counters, in bytes, within what a 64-bit size can hold.
bool countersFit(const DCLogger& rec) {
  const uint64_t blocksMax = UINT64_MAX / static_cast<uint64_t>(myGlobals.blockSize);
  return rec.smallZeroBlocks <= blocksMax && rec.bigZeroBlocks <= blocksMax - rec.smallZeroBlocks &&
         rec.notZeroBlocks <= blocksMax - rec.smallZeroBlocks - rec.bigZeroBlocks;
}

// The load command's checks: a merge result (135) and a file whose prologue
// or entry lines cannot be used (134) are refused. An accepted file's report
// is computed as load prints it.
LoadVerdict readAsLoad(const std::string& path) {
  myGlobals.command = "load";
  LoadVerdict v;
  {
    DCLogger check(path, SketchReadMode::kLoad);
    const bool ok = check.loadPrologue();
    if (contains(check.kind, "merge") || !ok) return v;
  }
  DSCore* engine = newEngine(path);
  if (engine->logger->valid) {
    v.accepted = true;
    v.declared = engine->logger->sketchSize;
    v.entries = engine->heap->numEntries();
    v.entryLines = engine->logger->getRealNumberOfHashes();
    v.ratiosAsStated = ratiosAsStated(*engine->heap, path);
    v.ratiosPossible = possibleRatio(engine->logger->averageCompressionRatio);
    for (const DCHashAndRatio* e : engine->heap->getVector()) v.ratiosPossible &= possibleRatio(e->ratio);
    v.countersFit = countersFit(*engine->logger);
    const double ratio = contains(engine->logger->kind, "partialscan")
                             ? static_cast<double>(engine->logger->averageCompressionRatio)
                             : -1.0;
    engine->printReport(ratio, true);
  }
  delete engine;
  return v;
}

// The merge command's checks of one input: DMCore::initOneFile, then its
// entry lines offered to the merged sketch by DMCore::offerInput, as
// DMCore::merge does. A refusal there is "Error processing: " and status 128. With
// `report`, an accepted input is then merged on its own to the end, as the
// rest of DMCore::merge and mergeCommand do: the merged record is filled and
// saved, and its report computed.
bool readAsMergeInput(const std::string& path, bool mergeall, bool report) {
  myGlobals.command = "merge";
  myGlobals.mergeall = mergeall;
  DMCore dm({path}, gDir + "/merged.dat");
  const bool usable = dm.initOneFile(path) == 0;
  myGlobals.mergeall = false;
  if (!usable) return false;

  const uint64_t k = static_cast<uint64_t>(myGlobals.hashSize);
  dm.mergedSketch = new DCKHeap(k);
  for (DCLogger* rec : dm.inputRecords) {
    if (!dm.offerInput(*rec)) return false;
  }
  if (!report || dm.inputRecords.empty()) return true;

  const uint64_t merged = dm.mergedSketch->numEntries();
  dm.outputRecord->sketchSize = merged;
  dm.mergedSketch->setSize(static_cast<int>(merged));
  dm.report();
  DSCore* engine = newEngine(dm.outputRecord->sketchFileName);
  const float mergedRatio = dm.outputRecord->averageCompressionRatio;
  engine->setValsFromMerge(dm.outputRecord, dm.mergedSketch);
  dm.outputRecord = nullptr;
  dm.mergedSketch = nullptr;
  engine->printReport(dm.hasPartialInputs ? -1.0 : static_cast<double>(mergedRatio), true);
  delete engine;
  return true;
}

void writeInput(const uint8_t* data, std::size_t size) {
  const int fd = ::open(gInput.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    std::perror("fuzz_sketch_file: cannot write the input file");
    std::abort();
  }
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n <= 0) {
      std::perror("fuzz_sketch_file: cannot write the input file");
      std::abort();
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  ::close(fd);
}

void removeDir() {
  std::error_code ec;
  std::filesystem::remove_all(gDir, ec);
}

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "fuzz_sketch_file: %s\n", what);
  removeDir();
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Every accepted input has its merged record saved, with an fsync; on a
  // memory file system that costs next to nothing.
  std::error_code ec;
  const std::filesystem::path base =
      std::filesystem::is_directory("/dev/shm", ec) ? "/dev/shm" : std::filesystem::temp_directory_path();
  // A sanitizer report ends the process without exit handlers, leaving its
  // directory behind; those of processes that are gone are removed here.
  const std::string prefix = "fuzz_sketch_file-";
  for (const auto& d : std::filesystem::directory_iterator(base, ec)) {
    const std::string name = d.path().filename().string();
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    const long pid = std::strtol(name.c_str() + prefix.size(), nullptr, 10);
    if (pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
      std::filesystem::remove_all(d.path(), ec);
    }
  }
  gDir = (base / (prefix + std::to_string(::getpid()))).string();
  std::filesystem::remove_all(gDir, ec);
  if (!std::filesystem::create_directory(gDir, ec)) {
    std::fprintf(stderr, "fuzz_sketch_file: cannot create %s\n", gDir.c_str());
    std::abort();
  }
  gInput = gDir + "/input.dat";
  std::atexit(removeDir);
  std::cout.rdbuf(&gNull);
  std::cerr.rdbuf(&gNull);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  writeInput(data, size);
  const LoadVerdict load = readAsLoad(gInput);
  const bool merge = readAsMergeInput(gInput, false, true);
  const bool mergeall = readAsMergeInput(gInput, true, false);
  myGlobals.command = "scan";

  if (load.accepted != merge) {
    fail(load.accepted ? "load accepts a file that merge refuses as an input"
                       : "merge accepts an input that load refuses");
  }
  if (merge != mergeall) {
    fail(merge ? "merge refuses with --mergeall an input it accepts without"
               : "merge accepts with --mergeall an input it refuses without");
  }
  if (!load.accepted) return 0;
  if (load.entries != load.declared || load.entryLines != load.declared) {
    std::fprintf(stderr, "fuzz_sketch_file: declares %llu entries, has %llu entry lines, read back %llu\n",
                 static_cast<unsigned long long>(load.declared), static_cast<unsigned long long>(load.entryLines),
                 static_cast<unsigned long long>(load.entries));
    fail("an accepted file does not hold the entries it declares");
  }
  if (!load.ratiosAsStated) fail("an accepted file's entry is kept with another ratio than its line states");
  if (!load.ratiosPossible) fail("an accepted file has a ratio no compressed block can have");
  if (!load.countersFit) fail("an accepted file counts more bytes than a 64-bit size holds");
  return 0;
}
