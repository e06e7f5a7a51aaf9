// Full scans and loads through the built program, on small images.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli.h"
#include "compress/dc_compr.h"
#include "base/run_globals.h"
#include "scan_fixtures.h"
#include "sketch/dc_crypt.h"
#include "sketch/dc_kheap.h"

namespace {

using dztest::runCli;
using dztest::TempDir;
using scantest::Image;
using scantest::kBlock;
using scantest::kSegmentBlocks;
using scantest::readSketchFile;
using scantest::SketchFile;

const std::map<std::string, std::string> kAllOptions = {{"DEDUPEINTERNAL", "1"}, {"ZIZUDIR3", "1"}};

size_t countOf(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

// What a run printed between the progress bar (if any) and the time line.
std::string reportPart(const std::string& out) {
  size_t from = out.rfind("] 100%\n");
  from = from == std::string::npos ? 0 : from + 7;
  size_t to = out.find("Time Consumed:");
  return out.substr(from, to == std::string::npos ? std::string::npos : to - from);
}

TEST(ScanCounters, SegmentsAreClassifiedPerWorker) {
  struct Case {
    const char* name;
    Image image;
    int threads;
    uint64_t smallZero, bigZero, notZero;
    const char* positions;
  };
  const Case cases[] = {
      {"one zero segment", Image().zeros(kSegmentBlocks), 1, 0, 2048, 0, "2047"},
      {"one data block at index 5", Image().zeros(5).data(1).zeros(kSegmentBlocks - 6), 1, 2047, 0, 1, "2047"},
      // The zeros after the tail's data block reach no segment end.
      {"tail short of a segment end",
       Image().zeros(kSegmentBlocks).zeros(3).data(1).zeros(6).tail(100), 1, 3, 2048, 1, "2051"},
      // 20 MiB and 10 workers: nine empty shares, the last worker reads all.
      {"20 MiB with 10 workers", Image().zeros(kSegmentBlocks).data(1).zeros(511), 10, 0, 2048, 1,
       "0 0 0 0 0 0 0 0 0 2048"},
      // One segment per worker; their chunks interleave on the queue.
      {"three workers, one segment each",
       Image().zeros(kSegmentBlocks).data(1).zeros(kSegmentBlocks - 1).zeros(kSegmentBlocks - 1).data(2), 3,
       2 * 2047, 2048, 2, "2047 4095 6143"},
      {"smaller than one chunk", Image().data(1).data(2).data(1).tail(100), 1, 0, 0, 3, "2"},
      // Zero but for the last byte, and for one byte three quarters in.
      {"one non-zero byte late in a block",
       Image().zeros(5).zeroBut(kBlock - 1).zeros(100).zeroBut(3 * kBlock / 4).zeros(kSegmentBlocks - 107), 1,
       2046, 0, 2, "2047"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    c.image.write(dir.file("img"));
    auto r = runCli(dir.path(),
                    {"scan", "--input", dir.file("img"), "--sketch", dir.file("out.dat"), "--threads",
                     std::to_string(c.threads), "--loglevel", "4"},
                    kAllOptions);
    ASSERT_EQ(r.status, 0) << r.err;
    SketchFile f = readSketchFile(dir.file("out.dat"));
    ASSERT_TRUE(f.ok);
    EXPECT_EQ(f.number("Number of Small Zero blocks"), c.smallZero);
    EXPECT_EQ(f.number("Number of Big Zero blocks"), c.bigZero);
    EXPECT_EQ(f.number("Number of Not Zero blocks"), c.notZero);
    EXPECT_EQ(f.fields["Threads Positions"], c.positions);
    if (c.notZero == 0) {
      EXPECT_EQ(f.fields["Average compression ratio"], "-1") << "nothing was measured";
    }
    EXPECT_FALSE(std::ifstream(dir.file("out.rdb")).good()) << "a completed scan leaves no recovery file";

    const std::string log = dztest::readFile(dir.file("ridoriDozu.log"));
    EXPECT_EQ(countOf(log, "BigZeroBlock"), c.bigZero / kSegmentBlocks);
    if (c.bigZero != 0) {
      EXPECT_NE(log.find("pos:  0 BigZeroBlock"), std::string::npos);
    }
    EXPECT_NE(log.find("Device size: " + std::to_string(c.image.size()) + " bytes"), std::string::npos);
  }
}

TEST(ScanRefusals, SourcesAndSketchFilesThatCannotBeUsed) {
  TempDir dir;
  dztest::writeFile(dir.file("empty"), "");
  dztest::writeFile(dir.file("tiny"), std::string(100, 'x'));
  // A merged result and a file that is no sketch file at all.
  dztest::writeFile(dir.file("merged.dat"),
                    "..:: Veda Dezevazir Odazirera ::.. merge\nOriginal file names: a b\nSketch size: 0\n"
                    "Number of Small Zero blocks: 0\nNumber of Big Zero blocks: 0\nNumber of Not Zero blocks: 0\n"
                    "Potential unique estimation: 0\nUnique estimation after split: 0\n"
                    "Average compression ratio: 0.5\nThreads Positions: 0\nBuild: 153\n");
  dztest::writeFile(dir.file("junk.dat"), "hello\n");
  ASSERT_EQ(::mkdir(dir.file("dir.dat").c_str(), 0755), 0);
  struct Case {
    std::vector<std::string> args;
    int status;
    std::vector<std::string> errParts;
  };
  const Case cases[] = {
      {{"scan", "--input", dir.file("empty"), "--sketch", dir.file("a.dat")},
       100,
       {"Error reading: " + dir.file("empty") + ": has size 0"}},
      {{"scan", "--input", dir.path(), "--sketch", dir.file("c.dat")}, 100,
       {"Error reading: " + dir.path() + ": is a directory"}},
      {{"scan", "--input", "/dev/null", "--sketch", dir.file("c.dat")}, 100,
       {"Error reading: /dev/null: is neither a regular file nor a block device"}},
      {{"scan", "--input", dir.file("tiny"), "--sketch", dir.file("b.dat")}, 133, {"smaller than one block"}},
      {{"load", "--sketch", dir.file("merged.dat")}, 135,
       {"Cannot read given sketch, load of merge files are not supported"}},
      {{"load", "--sketch", dir.file("junk.dat")}, 134, {"Cannot read given sketch"}},
      {{"load", "--sketch", dir.file("missing.dat")}, 134, {"Cannot read given sketch"}},
      // Read errors end in the same refusal, not in an abort.
      {{"load", "--sketch", dir.file("dir.dat")}, 134,
       {"Cannot use this file: " + dir.file("dir.dat") + " Not a regular file\nCannot read given sketch"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[2]);
    auto r = runCli(dir.path(), c.args);
    EXPECT_EQ(r.status, c.status) << r.err;
    for (const auto& part : c.errParts) EXPECT_NE(r.err.find(part), std::string::npos) << r.err;
  }
}

// A load that cannot run says which option or file and why, on standard
// error only, and ends 134 as before.
TEST(ScanRefusals, LoadNamesTheMissingOptionOrFileAndTheReason) {
  TempDir dir;
  dztest::writeFile(dir.file("hostname"), "myhost\n");
  const struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"load"}, "Cannot read given sketch: none was given; name the sketch file with --sketch (-o)\n"},
      {{"load", "-o", "missing.dat"}, "Cannot read given sketch missing.dat: No such file or directory\n"},
      {{"load", "-o", "nodir/x.dat"}, "Cannot read given sketch nodir/x.dat: No such file or directory\n"},
      {{"load", "-o", "hostname"}, "Corrupted header at hostname: not a sketch file\nCannot read given sketch\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.back());
    const auto r = runCli(dir.path(), c.args);
    EXPECT_EQ(r.status, 134);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
  }
}

std::string hexLower(const std::vector<unsigned char>& v) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  for (unsigned char b : v) {
    s.push_back(kDigits[b >> 4]);
    s.push_back(kDigits[b & 15]);
  }
  return s;
}

TEST(ScanSketch, KeepsTheSmallestFingerprintsWithCountsAndRatios) {
  // 60 distinct blocks, block i seen (i % 4) + 1 times, spread over the
  // source with zero blocks between them.
  Image image;
  std::map<int64_t, int> copies;
  for (int round = 0; round < 4; ++round) {
    for (int64_t id = 0; id < 60; ++id) {
      if (id % 4 < round) continue;
      image.data(id).zeros(static_cast<size_t>(id % 2));
      ++copies[id];
    }
  }
  uint64_t zeros = 0, data = 0;
  for (int64_t b : image.blocks) (b < 0 ? zeros : data) += 1;

  TempDir dir;
  image.write(dir.file("img"));
  auto r = runCli(dir.path(),
                  {"scan", "--input", dir.file("img"), "--sketch", dir.file("out.dat"), "--hashSize", "8"},
                  kAllOptions);
  ASSERT_EQ(r.status, 0) << r.err;

  // The same fingerprints and ratios, computed here.
  struct Expected {
    std::string hash;
    int count;
    std::string ratio;
  };
  std::vector<Expected> all;
  std::vector<unsigned char> block(kBlock);
  DCCompr compr(DCCompr::levelFor(myGlobals.storagever));
  for (const auto& [id, n] : copies) {
    scantest::fillBlock(static_cast<uint64_t>(id), block.data());
    std::vector<unsigned char> fp;
    DCCrypt::blockFingerprint(block.data(), static_cast<int>(kBlock), nullptr, fp, FingerprintSettings());
    compr.processBlock(block.data(), kBlock);
    compr.reset();
    std::ostringstream ratio;
    ratio << compr.ratio;
    all.push_back({hexLower(fp), n, ratio.str()});
  }
  std::sort(all.begin(), all.end(), [](const Expected& a, const Expected& b) { return a.hash < b.hash; });

  SketchFile f = readSketchFile(dir.file("out.dat"));
  ASSERT_TRUE(f.ok);
  EXPECT_EQ(f.number("Sketch size"), 8u);
  EXPECT_EQ(f.number("Number of Not Zero blocks"), data);
  // Every zero block is followed by a data block, except a trailing one.
  EXPECT_EQ(f.number("Number of Small Zero blocks") + (image.blocks.back() < 0 ? 1 : 0), zeros);
  ASSERT_EQ(f.entries.size(), 8u);
  for (size_t i = 0; i < 8; ++i) {
    EXPECT_EQ(f.entries[i].hash, all[i].hash) << i;
    EXPECT_EQ(f.entries[i].count, all[i].count) << i;
    EXPECT_EQ(f.entries[i].ratio, all[i].ratio) << i;
  }
}

struct FileState {
  std::string bytes;
  struct timespec mtime;
};

FileState stateOf(const std::string& path) {
  struct stat st {};
  stat(path.c_str(), &st);
  return {dztest::readFile(path), st.st_mtim};
}

TEST(ScanAndLoad, LoadReportsWhatTheScanReportedAndTheSourceIsUntouched) {
  TempDir dir;
  Image image;
  for (int64_t id = 0; id < 300; ++id) image.data(id % 170).zeros(static_cast<size_t>(id % 3 == 0));
  image.zeros(kSegmentBlocks);
  image.write(dir.file("img"));
  // An old modification time, so that any write would show.
  struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, dir.file("img").c_str(), old, 0), 0);
  const FileState before = stateOf(dir.file("img"));

  for (const char* verbose : {"\x01UNSET", ""}) {
    SCOPED_TRACE(verbose[0] == 1 ? "summary" : "detailed");
    const std::string sketch = dir.file(verbose[0] == 1 ? "s.dat" : "d.dat");
    std::map<std::string, std::string> env = {{"VERBOSE_OUTPUT", verbose}};
    auto scan = runCli(dir.path(), {"scan", "--input", dir.file("img"), "--sketch", sketch}, env);
    ASSERT_EQ(scan.status, 0) << scan.err;
    auto load = runCli(dir.path(), {"load", "--sketch", sketch}, env);
    ASSERT_EQ(load.status, 0) << load.err;
    EXPECT_NE(reportPart(scan.out).find(verbose[0] == 1 ? "Estimated Dedupe Savings:" : "Source name:"),
              std::string::npos)
        << scan.out;
    EXPECT_EQ(reportPart(scan.out), reportPart(load.out));
  }

  const FileState after = stateOf(dir.file("img"));
  EXPECT_TRUE(after.bytes == before.bytes);
  EXPECT_EQ(after.mtime.tv_sec, before.mtime.tv_sec);
  EXPECT_EQ(after.mtime.tv_nsec, before.mtime.tv_nsec);
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string joinLines(const std::vector<std::string>& lines, size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += lines[i] + "\n";
  return s;
}

// A result file that lost entry lines, or holds damaged ones, is not a
// sketch to report or to go on from: a load refuses it, and a scan starts
// from the device start and writes the whole result again.
TEST(ScanResume, CutOrDamagedResultFileIsRefusedByLoadAndRescannedByScan) {
  TempDir dir;
  Image image;
  for (int64_t id = 0; id < 300; ++id) image.data(id).zeros(static_cast<size_t>(id % 5 == 0));
  image.write(dir.file("img"));
  const std::string sketch = dir.file("res.dat");
  // K = 32 is full: the file is consistent with the scan, so only its
  // damage can make the scan start over.
  const std::vector<std::string> scanArgs = {"scan",    "--input",    dir.file("img"), "--sketch",
                                             sketch,    "--hashSize", "32",            "--threads",
                                             "2"};
  auto first = runCli(dir.path(), scanArgs, kAllOptions);
  ASSERT_EQ(first.status, 0) << first.err;
  const std::string good = dztest::readFile(sketch);
  const std::vector<std::string> lines = linesOf(good);
  ASSERT_EQ(lines.size(), 11u + 32u);

  std::vector<std::string> noRatios = lines;
  for (size_t i = 11; i < noRatios.size(); ++i) {
    const size_t a = noRatios[i].find(' ');
    const size_t b = noRatios[i].rfind(' ');
    noRatios[i].replace(a + 1, b - a - 1, "abc");
  }
  const std::string truncated = "Truncated: fewer entry lines than its sketch size";
  const std::string damaged = "Damaged entry line";
  struct Case {
    const char* what;
    std::string content;
    std::string reason;
  } cases[] = {
      {"cut after an entry line", joinLines(lines, 11 + 4), truncated},
      {"cut after the prologue", joinLines(lines, 11), truncated},
      {"cut inside an entry line", good.substr(0, good.size() - 30), damaged},
      {"every ratio not a number", joinLines(noRatios, noRatios.size()), damaged},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    dztest::writeFile(sketch, c.content);
    auto load = runCli(dir.path(), {"load", "--sketch", sketch});
    EXPECT_EQ(load.status, 134);
    EXPECT_EQ(load.err, "Cannot use this file: " + sketch + " " + c.reason + "\nCannot read given sketch\n");

    auto scan = runCli(dir.path(), scanArgs, kAllOptions);
    ASSERT_EQ(scan.status, 0) << scan.err;
    EXPECT_EQ(scan.err, "Cannot use this file: " + sketch + " " + c.reason + "\n");
    EXPECT_NE(scan.out.find("\n\t Damaged or truncated sketch file, ignoring given sketch file and starting from "
                            "device start\n"),
              std::string::npos)
        << scan.out;
    EXPECT_EQ(dztest::readFile(sketch), good) << "the scan went over the whole source again";
  }
}

// Starts the program without waiting for it.
pid_t spawn(const std::string& cwd, const std::vector<std::string>& args) {
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(cwd.c_str()) != 0) _exit(250);
    if (freopen("/dev/null", "w", stdout) == nullptr) _exit(250);
    if (freopen("/dev/null", "w", stderr) == nullptr) _exit(250);
    setenv("DEDUPEINTERNAL", "1", 1);
    setenv("ZIZUDIR3", "1", 1);
    unsetenv("VERBOSE_OUTPUT");
    std::vector<char*> argv;
    const std::string bin = dztest::dezevazirPath();
    argv.push_back(const_cast<char*>(bin.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(bin.c_str(), argv.data());
    _exit(251);
  }
  return pid;
}

uint64_t readsInLog(const std::string& logPath) {
  const std::string log = dztest::readFile(logPath);
  size_t p = log.find("number of reads ");
  return p == std::string::npos ? 0 : std::stoull(log.substr(p + 16));
}

// A scan killed after a recovery point goes on from the recovery file and
// ends with the same sketch file as a scan that was never interrupted.
TEST(ScanResume, KilledScanResumesFromItsRecoveryFile) {
  TempDir dir;
  Image image;
  for (int64_t i = 0; i < 2 * static_cast<int64_t>(kSegmentBlocks); ++i) {
    if (i % 7 == 3) {
      image.zeros(1);
    } else {
      image.data(i % 1500);
    }
  }
  image.write(dir.file("img"));
  // A recovery file resumes only when it holds a full sketch, and the first
  // recovery point may come as early as block 64 (when the clock's second
  // turns just then): K = 32 is full by then.
  const std::vector<std::string> common = {"scan", "--input", dir.file("img"), "--threads", "2",
                                           "--hashSize", "32", "--recoverBlocks", "64", "--minSecsRecovery", "0"};
  auto with = [&common](std::vector<std::string> more) {
    std::vector<std::string> args = common;
    args.insert(args.end(), more.begin(), more.end());
    return args;
  };

  TempDir refDir;
  auto ref = runCli(refDir.path(), with({"--sketch", dir.file("ref.dat")}), kAllOptions);
  ASSERT_EQ(ref.status, 0) << ref.err;
  const uint64_t fullReads = readsInLog(refDir.file("ridoriDozu.log"));

  // 8 MiB/s: the 32 MiB scan takes about four seconds; the first recovery
  // point comes once the clock has moved on by a second.
  TempDir firstDir;
  pid_t pid = spawn(firstDir.path(), with({"--sketch", dir.file("res.dat"), "--maxMBPs", "8"}));
  ASSERT_GT(pid, 0);
  bool saved = false;
  for (int i = 0; i < 3000 && !saved; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    saved = std::ifstream(dir.file("res.rdb")).good();
  }
  kill(pid, SIGKILL);
  int ws = 0;
  waitpid(pid, &ws, 0);
  ASSERT_TRUE(saved) << "no recovery point was written";
  ASSERT_TRUE(WIFSIGNALED(ws)) << "the scan ended before it could be interrupted";
  ASSERT_FALSE(std::ifstream(dir.file("res.dat")).good());

  TempDir secondDir;
  auto resumed = runCli(secondDir.path(), with({"--sketch", dir.file("res.dat")}), kAllOptions);
  ASSERT_EQ(resumed.status, 0) << resumed.err;
  EXPECT_EQ(resumed.out.find("inconsistent"), std::string::npos) << resumed.out;
  EXPECT_LT(readsInLog(secondDir.file("ridoriDozu.log")), fullReads) << "the resumed scan started over";
  EXPECT_FALSE(std::ifstream(dir.file("res.rdb")).good());

  // Same counters, positions and entries; only the result differs in name.
  EXPECT_EQ(dztest::readFile(dir.file("res.dat")), dztest::readFile(dir.file("ref.dat")));

  // A later scan of the same source with another thread count is refused.
  auto other = runCli(secondDir.path(),
                      {"scan", "--input", dir.file("img"), "--sketch", dir.file("res.dat"), "--threads", "4"},
                      kAllOptions);
  EXPECT_EQ(other.status, 130);
  EXPECT_NE(other.err.find("Original run was using 2 threads, Please use the same"), std::string::npos)
      << other.err;
}

}  // namespace
