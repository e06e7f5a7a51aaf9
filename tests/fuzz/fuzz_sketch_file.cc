// Arbitrary sketch-file contents read the way `load` reads a sketch file and
// the way `merge` reads an input. Both must accept or refuse the same files:
// a file that one command refuses as damaged must not be reported or merged
// by the other, or the user gets two answers about one scan. A file that is
// accepted must hold exactly the entries it declares, as every file the
// program writes does. Crashes and sanitizer reports anywhere on the way
// (the load's report included) are findings too.
//
// The commands end the process on a refusal (load: 134 and 135, merge: 128
// through endProcess), so their checks are repeated here as functions that
// return the verdict instead; the reading itself is the commands' own code.
// The command word is set for each reading as the command sets it, which
// also keeps DCLogger::loadPrologue off the thread positions: their count
// differing from --threads ends a scan with status 130.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <streambuf>
#include <string>
#include <system_error>

#include "merge/dm_core.h"
#include "merge/entry_filter.h"
#include "runcontrol/run_globals.h"
#include "scan/dscore.h"
#include "sketch/dc_kheap.h"
#include "sketchfile/dc_logger.h"

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
  uint64_t declared = 0;  // its "Sketch size: "
  uint64_t entries = 0;   // entries in the sketch read back
};

// The load command's checks: a merge result (135) and a file whose prologue
// or entry lines cannot be used (134) are refused. An accepted file's report
// is computed as load prints it.
LoadVerdict readAsLoad(const std::string& path) {
  myGlobals.command = "load";
  LoadVerdict v;
  {
    DCLogger check(path);
    const bool ok = check.loadPrologue();
    if (contains(check.kind, "merge") || !ok) return v;
  }
  DSCore* engine = newEngine(path);
  if (engine->logger->valid) {
    v.accepted = true;
    v.declared = engine->logger->sketchSize;
    v.entries = engine->heap->numEntries();
    const double ratio = contains(engine->logger->kind, "partialscan")
                             ? static_cast<double>(engine->logger->averageCompressionRatio)
                             : -1.0;
    engine->printReport(ratio, true);
  }
  delete engine;
  return v;
}

// The merge command's checks of one input: DMCore::initOneFile, then, for a
// full scan, its entry lines offered to the merged sketch as DMCore::merge
// offers them. A refusal there is "Error processing: " and status 128.
bool readAsMergeInput(const std::string& path, bool mergeall) {
  myGlobals.command = "merge";
  myGlobals.mergeall = mergeall;
  DMCore dm({path}, gDir + "/merged.dat");
  const bool usable = dm.initOneFile(path) == 0;
  myGlobals.mergeall = false;
  if (!usable) return false;

  const uint64_t k = static_cast<uint64_t>(myGlobals.hashSize);
  DCKHeap merged(k);
  for (DCLogger* rec : dm.inputRecords) {
    if (!contains(rec->kind, "fullscan")) continue;
    if (!rec->loadPrologue()) return false;
    const DCKHeap::LoadResult got = offerEntries(rec->inputStream, k, merged);
    rec->inputStream.close();
    if (DCLogger::entrySectionProblem(got, false) != nullptr) return false;
  }
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
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string tmpl = (std::filesystem::temp_directory_path() / "fuzz_sketch_file-XXXXXX").string();
  if (::mkdtemp(tmpl.data()) == nullptr) {
    std::perror("fuzz_sketch_file: mkdtemp");
    std::abort();
  }
  gDir = tmpl;
  gInput = gDir + "/input.dat";
  std::atexit(removeDir);
  std::cout.rdbuf(&gNull);
  std::cerr.rdbuf(&gNull);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  writeInput(data, size);
  const LoadVerdict load = readAsLoad(gInput);
  const bool merge = readAsMergeInput(gInput, false);
  const bool mergeall = readAsMergeInput(gInput, true);
  myGlobals.command = "scan";

  if (load.accepted != merge) {
    fail(load.accepted ? "load accepts a file that merge refuses as an input"
                       : "merge accepts an input that load refuses");
  }
  if (merge != mergeall) {
    fail(merge ? "merge refuses with --mergeall an input it accepts without"
               : "merge accepts with --mergeall an input it refuses without");
  }
  if (load.accepted && load.entries != load.declared) {
    std::fprintf(stderr, "fuzz_sketch_file: declared %llu entries, read back %llu\n",
                 static_cast<unsigned long long>(load.declared), static_cast<unsigned long long>(load.entries));
    fail("load accepts a file whose entries are not the ones it declares");
  }
  return 0;
}
