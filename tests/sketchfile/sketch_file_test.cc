// The sketch file record: layout, read-back, recovery-file choice, rejection
// of files that do not belong to the run or are damaged, and safe saving.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "cli.h"
#include "base/run_globals.h"
#include "sketch/dc_kheap.h"
#include "base/run_failure.h"
#include "sketchfile/dc_logger.h"

// The program's renames go through this definition, which a test can make
// fail to show what a save that cannot replace its target leaves behind.
static bool gFailRenames = false;
extern "C" int rename(const char* from, const char* to) noexcept {
  if (gFailRenames) {
    errno = EIO;
    return -1;
  }
  return ::renameat(AT_FDCWD, from, AT_FDCWD, to);
}

namespace {

const std::string kTitle = "..:: Veda Dezevazir Odazirera ::..";

// A 20-byte fingerprint whose sketch key (first eight bytes) is key.
std::vector<unsigned char> fingerprint(uint64_t key) {
  std::vector<unsigned char> fp(20, 0);
  for (int i = 0; i < 8; ++i) fp[i] = static_cast<unsigned char>(key >> (56 - 8 * i));
  fp[19] = static_cast<unsigned char>(0xa5 ^ key);
  return fp;
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

DCHashAndRatio* entry(uint64_t key, double ratio, int counter) {
  DCHashAndRatio* e = new DCHashAndRatio(fingerprint(key), ratio, 0);
  e->refCounter = counter;
  return e;
}

bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

std::string join(const std::vector<std::string>& lines) {
  std::string s;
  for (const std::string& l : lines) s += l + "\n";
  return s;
}

// A well-formed two-thread record of /dev/src with two entries (sketch size 2).
std::vector<std::string> goodLines() {
  return {
      kTitle + " fullscan",
      "Original file names: /dev/src",
      "Sketch size: 2",
      "Number of Small Zero blocks: 11",
      "Number of Big Zero blocks: 22",
      "Number of Not Zero blocks: 33",
      "Potential unique estimation: 2",
      "Unique estimation after split: 2",
      "Average compression ratio: 0.5",
      "Threads Positions: 4 9",
      "Build: 153",
      hexOf(fingerprint(100)) + " 0.25 1",
      hexOf(fingerprint(200)) + " 0.75 2",
  };
}

std::vector<std::string> replaced(std::vector<std::string> lines, size_t i, const std::string& text) {
  lines[i] = text;
  return lines;
}

class SketchFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    myGlobals.command = "scan";
    myGlobals.threads = 2;
    myGlobals.hashLength = 20;
    myGlobals.hashSize = 50000;
    myGlobals.blockSize = 8192;
  }
  void TearDown() override {
    myGlobals.command = "scan";
    myGlobals.threads = 10;
  }
  std::string path(const std::string& name) const { return dir_.file(name); }

  dztest::TempDir dir_;
};

TEST(RecoveryFileName, LastDotOfTheWholeNameIsReplaced) {
  struct Case {
    const char* sketch;
    const char* recovery;
  } cases[] = {
      {"out.dat", "out.rdb"},
      {"result", "result.rdb"},
      {"dir.b/out", "dir.rdb"},
      {"a.b.c", "a.b.rdb"},
      {"/tmp/x/file_1a2b3c4d.dat", "/tmp/x/file_1a2b3c4d.rdb"},
  };
  for (const Case& c : cases) {
    DCLogger logger(c.sketch);
    EXPECT_EQ(c.recovery, logger.recoveryFileName) << c.sketch;
  }
}

TEST_F(SketchFileTest, SaveWritesTheExactLayoutAndReadsBackTheSameRecord) {
  const std::string name = path("out.dat");
  dztest::writeFile(path("out.rdb"), "stale recovery state\n");

  DCKHeap sketch(50000);
  sketch.insert(entry(0x3000000000000000ULL, 1.0 / 3.0, 255));
  sketch.insert(entry(0x1000000000000000ULL, 0.4375, 3));
  sketch.insert(entry(0x2000000000000000ULL, -1.0, 1));

  DCLogger writer(name);
  writer.sourceNames = "/dev/a /dev/b";
  writer.smallZeroBlocks = 7;
  writer.bigZeroBlocks = 1ULL << 40;
  writer.notZeroBlocks = (1ULL << 50) + 5;  // beyond 32 bits
  writer.threadPositions = {5 * 8192 + 100, 8191};
  ASSERT_TRUE(writer.saveState(sketch));

  // Mean of 1/3 and 0.4375: an entry without a ratio (-1) stays out.
  std::ostringstream ratio;
  ratio << (1.0 / 3.0 + 0.4375) / 2.0;
  const std::string expected = join({
      kTitle + " fullscan",
      "Original file names: /dev/a /dev/b",
      "Sketch size: 3",
      "Number of Small Zero blocks: 7",
      "Number of Big Zero blocks: 1099511627776",
      "Number of Not Zero blocks: 1125899906842629",
      "Potential unique estimation: 3",
      "Unique estimation after split: 3",
      "Average compression ratio: " + ratio.str(),
      "Threads Positions: 5 0",
      "Build: 153",
      hexOf(fingerprint(0x1000000000000000ULL)) + " 0.4375 3",
      hexOf(fingerprint(0x2000000000000000ULL)) + " -1 1",
      hexOf(fingerprint(0x3000000000000000ULL)) + " 0.333333 255",
  });
  EXPECT_EQ(expected, dztest::readFile(name));
  EXPECT_TRUE(exists(path("out.rdb"))) << "a recovery file this run neither wrote nor read is not its to remove";
  EXPECT_FALSE(exists(name + ".tmp"));

  DCLogger reader(name);
  reader.sourceNames = "/dev/a /dev/b";
  ASSERT_TRUE(reader.loadPrologue());
  EXPECT_EQ("fullscan", reader.kind);
  EXPECT_EQ(153, reader.buildNumber);
  EXPECT_EQ(7u, reader.smallZeroBlocks);
  EXPECT_EQ(1ULL << 40, reader.bigZeroBlocks);
  EXPECT_EQ((1ULL << 50) + 5, reader.notZeroBlocks);
  EXPECT_EQ((std::vector<uint64_t>{5 * 8192, 0}), reader.threadPositions);

  DCKHeap restored(3);
  restored.insert(entry(0x0100000000000000ULL, 0.1, 1));  // dropped by the fresh start
  ASSERT_TRUE(reader.loadHashes(restored, true));
  EXPECT_FALSE(reader.inputStream.is_open());
  const std::vector<DCHashAndRatio*> got = restored.getVector();
  ASSERT_EQ(3u, got.size());
  EXPECT_EQ(fingerprint(0x1000000000000000ULL), got[0]->hash);
  EXPECT_EQ(0.4375, got[0]->ratio);
  EXPECT_EQ(3, got[0]->refCounter);
  EXPECT_EQ(-1.0, got[1]->ratio);
  EXPECT_EQ(1, got[1]->refCounter);
  EXPECT_EQ(0.333333, got[2]->ratio);  // as printed, not as measured
  EXPECT_EQ(255, got[2]->refCounter);
}

TEST_F(SketchFileTest, EmptySketchCarriesTheStoredRatioAndKind) {
  const std::string name = path("partial.dat");
  DCKHeap empty(1);
  DCLogger writer(name);
  writer.kind = "partialscan";
  writer.averageCompressionRatio = 0.4f;
  ASSERT_TRUE(writer.saveState(empty));
  const std::string text = dztest::readFile(name);
  EXPECT_NE(std::string::npos, text.find(kTitle + " partialscan\n"));
  EXPECT_NE(std::string::npos, text.find("\nSketch size: 0\n"));
  // "Cannot estimate" is not written as a wrapped unsigned number.
  EXPECT_NE(std::string::npos, text.find("\nPotential unique estimation: 0\n"));
  EXPECT_NE(std::string::npos, text.find("\nAverage compression ratio: 0.4\n"));
  EXPECT_EQ(0u, writer.getRealNumberOfHashes());

  DCLogger reader(name, SketchReadMode::kLoad);
  ASSERT_TRUE(reader.loadPrologue());
  EXPECT_EQ("partialscan", reader.kind);
  EXPECT_FLOAT_EQ(0.4f, reader.averageCompressionRatio);
}

TEST_F(SketchFileTest, HeaderDecidesKindOrRejectsTheFile) {
  struct Case {
    std::string header;
    bool accepted;
    const char* kind;
  } cases[] = {
      {kTitle + " fullscan", true, "fullscan"},
      {kTitle + " partialscan", true, "partialscan"},
      {kTitle + " merge", true, "merge"},
      {kTitle, false, ""},
      {kTitle + " partialscan merge", false, ""},
      {kTitle + " fullscanx", false, ""},
      {kTitle + " fullscan\r", true, "fullscan"},
      {"x" + kTitle + " fullscan", false, ""},
      {"..:: Veda Dezevazir", false, ""},
      {"", false, ""},
      {kTitle + " fullscan" + std::string(200, ' '), false, ""},
  };
  for (const Case& c : cases) {
    const std::string name = path("h.dat");
    dztest::writeFile(name, join(replaced(goodLines(), 0, c.header)));
    DCLogger logger(name);
    logger.kind = "fullscan";
    testing::internal::CaptureStdout();
    const bool ok = logger.initInputFile();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(c.accepted, ok) << c.header;
    if (c.accepted) {
      EXPECT_EQ(c.kind, logger.kind) << c.header;
    } else {
      EXPECT_EQ("\nCorrupted header at " + name + "\n", out) << c.header;
      EXPECT_FALSE(logger.valid);
    }
  }
}

TEST_F(SketchFileTest, PrologueLinesAreFoundByLabelInAnyOrderWithCarriageReturns) {
  std::vector<std::string> lines = goodLines();
  std::vector<std::string> shuffled = {lines[0], lines[10], lines[9], lines[8], lines[3], lines[1], lines[7],
                                       lines[5], lines[4], lines[6], lines[2], lines[11], lines[12]};
  std::string text;
  for (const std::string& l : shuffled) text += l + "\r\n";
  dztest::writeFile(path("crlf.dat"), text);

  DCLogger logger(path("crlf.dat"));
  logger.sourceNames = "/dev/src";
  ASSERT_TRUE(logger.loadPrologue());
  EXPECT_EQ("/dev/src", logger.fileSourceNames);
  EXPECT_EQ(2u, logger.sketchSize);
  EXPECT_EQ(11u, logger.smallZeroBlocks);
  EXPECT_EQ(22u, logger.bigZeroBlocks);
  EXPECT_EQ(33u, logger.notZeroBlocks);
  EXPECT_FLOAT_EQ(0.5f, logger.averageCompressionRatio);
  EXPECT_EQ((std::vector<uint64_t>{4 * 8192, 9 * 8192}), logger.threadPositions);

  DCKHeap sketch(2);
  ASSERT_TRUE(logger.loadHashes(sketch, true));
  ASSERT_EQ(2u, sketch.numEntries());
  EXPECT_EQ(0.25, sketch.getVector()[0]->ratio);
  EXPECT_EQ(2, sketch.getVector()[1]->refCounter);
}

TEST_F(SketchFileTest, ResumeReadsTheResultFileFirstThenTheRecoveryFile) {
  const std::string name = path("out.dat");
  const std::string recovery = path("out.rdb");

  // Nothing to read: the run's saves go to the recovery file.
  DCLogger fresh(name);
  EXPECT_FALSE(fresh.loadPrologue());
  EXPECT_TRUE(fresh.valid);
  EXPECT_FALSE(fresh.saveToSketchName);
  DCKHeap sketch(2);
  fresh.sourceNames = "/dev/src";
  fresh.smallZeroBlocks = 5;
  ASSERT_TRUE(fresh.saveState(sketch));
  EXPECT_TRUE(exists(recovery));
  EXPECT_FALSE(exists(name));

  // Only the recovery file exists: it is read.
  DCLogger resumed(name);
  ASSERT_TRUE(resumed.loadPrologue());
  EXPECT_EQ(5u, resumed.smallZeroBlocks);

  // Both exist: the result file wins.
  dztest::writeFile(name, join(goodLines()));
  DCLogger completed(name);
  ASSERT_TRUE(completed.loadPrologue());
  EXPECT_EQ(11u, completed.smallZeroBlocks);
}

TEST_F(SketchFileTest, RecordOfAnotherSourceOrSketchSizeRestartsTheScan) {
  struct Case {
    const char* what;
    const char* sourceNames;
    uint64_t capacity;
    const char* command;
    uint64_t notZero;     // the entries' counters add up to 3
    bool consistent;      // before reading entries
    bool loaded;
  } cases[] = {
      {"same source and size", "/dev/src", 2, "scan", 33, true, true},
      {"other source", "/dev/other", 2, "scan", 33, false, false},
      {"source name with a trailing blank", "/dev/src ", 2, "scan", 33, false, false},
      {"more entries than the capacity", "/dev/src", 1, "scan", 33, false, false},
      // Fewer entries than the capacity: resumable only if the sketch never
      // dropped a fingerprint, which the counters tell.
      {"sketch filled with a smaller capacity", "/dev/src", 50000, "scan", 33, true, false},
      {"sketch that never dropped one", "/dev/src", 50000, "scan", 3, true, true},
      {"load takes any record", "/dev/other", 7, "load", 33, true, true},
  };
  const std::string name = path("c.dat");
  for (const Case& c : cases) {
    dztest::writeFile(name,
                      join(replaced(goodLines(), 5, "Number of Not Zero blocks: " + std::to_string(c.notZero))));
    DCLogger logger(name, std::string(c.command) == "load" ? SketchReadMode::kLoad : SketchReadMode::kFullScan);
    logger.sourceNames = c.sourceNames;
    ASSERT_TRUE(logger.loadPrologue()) << c.what;
    DCKHeap sketch(c.capacity);
    EXPECT_EQ(c.consistent, logger.isConsistent(sketch)) << c.what;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const bool loaded = logger.loadHashes(sketch, true);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(c.loaded, loaded) << c.what;
    EXPECT_FALSE(logger.inputStream.is_open()) << c.what;
    if (c.loaded) {
      EXPECT_EQ(2u, sketch.numEntries()) << c.what;
      EXPECT_EQ(std::string(c.command) == "load" ? 2u : c.capacity, sketch.getCapacity()) << c.what;
    } else {
      EXPECT_EQ(
          "\n\t Data source or heap size are inconsistent, ignoring given sketch file and starting "
          "from device start\n",
          out)
          << c.what;
      EXPECT_NE(err.find("Cannot resume from " + name + ": "), std::string::npos) << c.what << err;
      EXPECT_NE(err.find("; the scan starts over"), std::string::npos) << c.what << err;
      EXPECT_EQ(0u, sketch.numEntries()) << c.what;
      EXPECT_EQ(c.capacity, sketch.getCapacity()) << c.what;
      EXPECT_EQ(0u, logger.smallZeroBlocks + logger.bigZeroBlocks + logger.notZeroBlocks) << c.what;
      EXPECT_EQ((std::vector<uint64_t>{0, 0}), logger.threadPositions) << c.what;
    }
  }
}

TEST_F(SketchFileTest, ThreadCountMismatchRefusesAScanWithStatus130) {
  const std::string name = path("t.dat");
  dztest::writeFile(name, join(goodLines()));  // two positions
  myGlobals.threads = 4;
  // The reader reports; the program's top ends the process with the status.
  try {
    DCLogger logger(name);
    logger.loadPrologue();
    ADD_FAILURE() << "a scan with another thread count went on";
  } catch (const RunFailure& f) {
    EXPECT_EQ(130, f.status);
    EXPECT_STREQ("Original run was using 2 threads, Please use the same", f.what());
  }

  // A merge or a load does not resume, so the thread count does not matter.
  for (const char* command : {"merge", "load"}) {
    DCLogger logger(name, std::string(command) == "load" ? SketchReadMode::kLoad : SketchReadMode::kMergeInput);
    EXPECT_TRUE(logger.loadPrologue()) << command;
    EXPECT_EQ((std::vector<uint64_t>{0, 0, 0, 0}), logger.threadPositions) << command;
  }
}

TEST_F(SketchFileTest, DamagedFilesAreRejectedWithoutCrashing) {
  const std::vector<std::string> good = goodLines();
  auto firstLines = [&good](size_t n) { return join(std::vector<std::string>(good.begin(), good.begin() + n)); };
  const std::string buildMismatch = "Cannot use this file: NAME Build mismatch\n";
  const std::string damagedEntry = "Cannot use this file: NAME Damaged entry line\n";
  const std::string restart =
      "\n\t Damaged or truncated sketch file, ignoring given sketch file and starting from device start\n";
  const std::string hash = hexOf(fingerprint(200));
  struct Case {
    const char* what;
    std::string content;
    std::string err;            // expected on standard error; NAME stands for the file
    std::string out;            // expected on standard output
    bool entrySection = false;  // the prologue was fine, the entries are not
    bool directory = false;     // a directory in place of the file
  } cases[] = {
      {"empty file", "", "", "\nCorrupted header at NAME\n"},
      {"binary garbage", std::string("\x00\xff\x13\x88\n\n\x7f", 7) + std::string(5000, '\xee'), "",
       "\nCorrupted header at NAME\n"},
      {"a directory", "", "Cannot use this file: NAME Not a regular file\n", "", false, true},
      {"header only", join({good[0]}), buildMismatch, ""},
      {"cut after five lines", firstLines(5), buildMismatch, ""},
      {"cut in the build line", firstLines(10) + "Bui", buildMismatch, ""},
      {"other build", join(replaced(good, 10, "Build: 154")), buildMismatch, ""},
      {"build not a number", join(replaced(good, 10, "Build: x153")),
       "Cannot use this file: NAME Damaged line: Build: \n", ""},
      {"build line replaced by a foreign one", join(replaced(good, 10, "Comment: none")), buildMismatch, ""},
      {"line longer than 2047 characters", join(replaced(good, 1, "Original file names: " + std::string(3000, 'd'))),
       buildMismatch, ""},
      {"ratio not a number", join(replaced(good, 8, "Average compression ratio: abc")),
       "Cannot use this file: NAME Damaged line: Average compression ratio: \n", ""},
      {"ratio nan", join(replaced(good, 8, "Average compression ratio: nan")),
       "Cannot use this file: NAME Damaged line: Average compression ratio: \n", ""},
      {"ratio with trailing text", join(replaced(good, 8, "Average compression ratio: 0.5x")),
       "Cannot use this file: NAME Damaged line: Average compression ratio: \n", ""},
      {"ratio beyond float", join(replaced(good, 8, "Average compression ratio: 1e300")),
       "Cannot use this file: NAME Damaged line: Average compression ratio: \n", ""},
      {"sketch size with trailing text", join(replaced(good, 2, "Sketch size: 12abc")),
       "Cannot use this file: NAME Damaged line: Sketch size: \n", ""},
      {"counter of 2^64", join(replaced(good, 3, "Number of Small Zero blocks: 18446744073709551616")),
       "Cannot use this file: NAME Damaged line: Number of Small Zero blocks: \n", ""},
      {"negative counter", join(replaced(good, 5, "Number of Not Zero blocks: -1")),
       "Cannot use this file: NAME Damaged line: Number of Not Zero blocks: \n", ""},
      {"empty estimate", join(replaced(good, 6, "Potential unique estimation: ")),
       "Cannot use this file: NAME Damaged line: Potential unique estimation: \n", ""},
      {"position not a number", join(replaced(good, 9, "Threads Positions: 4 x")),
       "Cannot use this file: NAME Damaged line: Threads Positions: \n", ""},
      {"position beyond 64 bits in bytes", join(replaced(good, 9, "Threads Positions: 4 2251799813685248")),
       "Cannot use this file: NAME Damaged line: Threads Positions: \n", ""},
      // The sketch size line counts the entries written: fewer is a cut file.
      {"no entry lines", firstLines(11), "Cannot use this file: NAME Truncated: fewer entry lines than its sketch size\n",
       restart, true},
      {"cut after an entry line", firstLines(12),
       "Cannot use this file: NAME Truncated: fewer entry lines than its sketch size\n", restart, true},
      {"cut inside an entry line", firstLines(12) + hash.substr(0, 25), damagedEntry, restart, true},
      {"binary garbage after the prologue", firstLines(11) + std::string("\xee\x00 \x13 \x88\n", 7) + good[12] + "\n",
       damagedEntry, restart, true},
      {"entry ratio not a number", join(replaced(good, 12, hash + " abc 2")), damagedEntry, restart, true},
      {"entry counter beyond 64 bits", join(replaced(good, 12, hash + " 0.75 99999999999999999999")), damagedEntry,
       restart, true},
      {"fingerprint one digit short", join(replaced(good, 12, hash.substr(1) + " 0.75 2")), damagedEntry, restart,
       true},
      {"fingerprint not hex", join(replaced(good, 12, "x" + hash.substr(1) + " 0.75 2")), damagedEntry, restart, true},
      // Each prologue line under its own label, each label once; values as
      // the writer prints them.
      {"a label misspelled", join(replaced(good, 2, "Skech size: 2")),
       "Cannot use this file: NAME Damaged line: Sketch size: \n", ""},
      {"a label given twice", join(replaced(good, 4, "Number of Small Zero blocks: 11")),
       "Cannot use this file: NAME Damaged line: Number of Small Zero blocks: \n", ""},
      {"positions label damaged", join(replaced(good, 9, "Thread Positions: 4 9")),
       "Cannot use this file: NAME Damaged line: Threads Positions: \n", ""},
      {"average ratio in hex", join(replaced(good, 8, "Average compression ratio: 0x3f")),
       "Cannot use this file: NAME Damaged line: Average compression ratio: \n", ""},
      {"average ratio above a block's", join(replaced(good, 8, "Average compression ratio: 1.5")),
       "Cannot use this file: NAME Damaged line: Average compression ratio: \n", ""},
      {"counters beyond a source's bytes",
       join(replaced(good, 3, "Number of Small Zero blocks: 18446744073709551615")),
       "Cannot use this file: NAME Block counters out of range\n", ""},
      {"a partial scan with entries", join(replaced(good, 0, kTitle + " partialscan")),
       "Cannot use this file: NAME Damaged line: Sketch size: \n", ""},
      {"entry ratio in hex", join(replaced(good, 12, hash + " 0x3f 2")), damagedEntry, restart, true},
      {"entry ratio 1e30", join(replaced(good, 12, hash + " 1e30 2")), damagedEntry, restart, true},
      {"entry ratio -5", join(replaced(good, 12, hash + " -5 2")), damagedEntry, restart, true},
      {"entry ratio inf", join(replaced(good, 12, hash + " inf 2")), damagedEntry, restart, true},
      {"entry ratio just above a block's", join(replaced(good, 12, hash + " 1.03126 2")), damagedEntry, restart,
       true},
      {"entry counter 0", join(replaced(good, 12, hash + " 0.75 0")), damagedEntry, restart, true},
      {"entry counter 256", join(replaced(good, 12, hash + " 0.75 256")), damagedEntry, restart, true},
      {"entry line duplicated", join(replaced(good, 12, good[11])),
       "Cannot use this file: NAME Entry lines not in ascending order\n", restart, true},
      {"entry lines swapped", join(replaced(replaced(good, 12, good[11]), 11, good[12])),
       "Cannot use this file: NAME Entry lines not in ascending order\n", restart, true},
      {"an entry line more than declared", join(good) + hexOf(fingerprint(300)) + " 0.5 1\n",
       "Cannot use this file: NAME More entry lines than its sketch size\n", restart, true},
      {"entry line longer than 127 characters", join(replaced(good, 12, hash + " 0.75 2" + std::string(100, ' '))),
       damagedEntry, restart, true},
  };
  for (const Case& c : cases) {
    const std::string name = path(c.directory ? "dir.dat" : "bad.dat");
    if (c.directory) {
      ASSERT_EQ(0, ::mkdir(name.c_str(), 0755));
    } else {
      dztest::writeFile(name, c.content);
    }
    DCLogger logger(name);
    logger.sourceNames = "/dev/src";
    logger.smallZeroBlocks = 77;
    DCKHeap sketch(2);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    // What a scan does before it starts: the prologue, then the entries.
    const bool ok = logger.loadPrologue() && logger.loadHashes(sketch, true);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(ok) << c.what;
    auto named = [&](std::string s) {
      const size_t at = s.find("NAME");
      return at == std::string::npos ? s : s.replace(at, 4, name);
    };
    EXPECT_EQ(named(c.err), err) << c.what;
    EXPECT_EQ(named(c.out), out) << c.what;
    EXPECT_FALSE(logger.inputStream.is_open()) << c.what;
    EXPECT_EQ(0u, sketch.numEntries()) << c.what << ": no entry of a rejected file is kept";
    if (c.entrySection) {
      // The scan starts from the device start.
      EXPECT_EQ(0u, logger.smallZeroBlocks + logger.bigZeroBlocks + logger.notZeroBlocks) << c.what;
      EXPECT_EQ((std::vector<uint64_t>{0, 0}), logger.threadPositions) << c.what;
      EXPECT_FALSE(logger.valid) << c.what;
    } else {
      EXPECT_EQ(77u, logger.smallZeroBlocks) << c.what << ": a rejected file changes nothing";
    }
  }
}

TEST_F(SketchFileTest, ShortEntrySectionIsACutFile) {
  const std::vector<std::string> good = goodLines();
  const std::string name = path("short.dat");
  dztest::writeFile(name, join(std::vector<std::string>(good.begin(), good.begin() + 12)));  // one of two

  DCLogger load(name, SketchReadMode::kLoad);
  ASSERT_TRUE(load.loadPrologue());
  DCKHeap sketch(50000);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_FALSE(load.loadHashes(sketch, true));
  EXPECT_EQ("", testing::internal::GetCapturedStdout()) << "a load starts no scan";
  EXPECT_EQ("Cannot use this file: " + name + " Truncated: fewer entry lines than its sketch size\n",
            testing::internal::GetCapturedStderr());
  EXPECT_FALSE(load.valid);
  EXPECT_EQ(0u, sketch.numEntries());

}

TEST_F(SketchFileTest, DeviceOrFifoGivenAsSketchFileIsRejectedWithoutReadingIt) {
  // /dev/zero never ends a line; a FIFO without a writer would block the open.
  const std::string fifo = path("fifo");
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
  for (const std::string& name : {std::string("/dev/zero"), fifo}) {
    DCLogger logger(name);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(logger.loadPrologue());
    EXPECT_EQ("Cannot use this file: " + name + " Not a regular file\n", testing::internal::GetCapturedStderr());
    EXPECT_FALSE(logger.valid);
  }
}

TEST_F(SketchFileTest, SaveThatCannotOpenItsTemporaryLeavesTheOldFile) {
  const std::string name = path("keep.dat");
  dztest::writeFile(name, "previous good result\n");
  ASSERT_EQ(0, ::mkdir((name + ".tmp").c_str(), 0755));  // cannot be opened as a file

  DCKHeap sketch(2);
  sketch.insert(entry(1, 0.5, 1));
  DCLogger logger(name);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(logger.saveState(sketch));
  EXPECT_EQ("\n\t Failure while opening " + name + ".tmp\n", testing::internal::GetCapturedStdout());
  EXPECT_FALSE(logger.valid);
  EXPECT_EQ("previous good result\n", dztest::readFile(name));

  // Once the obstacle is gone, the next save succeeds and says so.
  ASSERT_EQ(0, ::rmdir((name + ".tmp").c_str()));
  EXPECT_TRUE(logger.saveState(sketch));
  EXPECT_EQ(1u, logger.getRealNumberOfHashes());
}

TEST_F(SketchFileTest, SaveThatCannotReplaceTheTargetKeepsItAndReports) {
  // A directory in the target's place cannot be replaced by a file.
  const std::string name = path("blocked.dat");
  ASSERT_EQ(0, ::mkdir(name.c_str(), 0755));
  dztest::writeFile(name + "/inside", "x");

  DCKHeap sketch(2);
  DCLogger logger(name);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(logger.saveState(sketch));
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(0u, out.find("\n\tFailure while writing " + name + " : ")) << out;
  EXPECT_FALSE(logger.valid);
  EXPECT_EQ("x", dztest::readFile(name + "/inside"));
}

TEST_F(SketchFileTest, AFailedReplacementLeavesTheOldTargetInPlace) {
  // The target must be there at every moment: a save that removed it before
  // a rename that then fails would leave no result at all.
  const std::string name = path("result.dat");
  dztest::writeFile(name, "previous result\n");
  DCKHeap sketch(2);
  DCLogger logger(name);
  testing::internal::CaptureStdout();
  gFailRenames = true;
  const bool saved = logger.saveState(sketch);
  gFailRenames = false;
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_FALSE(saved);
  EXPECT_EQ(0u, out.find("\n\tFailure while writing " + name + " : ")) << out;
  EXPECT_EQ("previous result\n", dztest::readFile(name));
}

TEST_F(SketchFileTest, ASaveAfterAFailedReadStillReportsSuccess) {
  const std::string name = path("corrupt.dat");
  dztest::writeFile(name, "not a sketch file\n");
  DCLogger logger(name);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(logger.loadPrologue());
  testing::internal::GetCapturedStdout();
  EXPECT_FALSE(logger.valid);

  DCKHeap sketch(2);
  logger.saveToSketchName = false;
  EXPECT_TRUE(logger.saveState(sketch));
  EXPECT_TRUE(exists(path("corrupt.rdb")));
}

TEST_F(SketchFileTest, ResultNamedLikeItsRecoveryFileSurvivesItsFinalSave) {
  const std::string name = path("state.rdb");
  DCKHeap sketch(2);
  sketch.insert(entry(1, 0.5, 1));
  DCLogger logger(name);
  ASSERT_EQ(name, logger.recoveryFileName);
  EXPECT_TRUE(logger.saveState(sketch));
  EXPECT_TRUE(exists(name));
  EXPECT_EQ(1u, logger.getRealNumberOfHashes());
}

TEST_F(SketchFileTest, RealNumberOfHashesCountsEntryLinesOfAnyLength) {
  struct Case {
    const char* what;
    std::string content;
    uint64_t expected;
  } cases[] = {
      {"two entries", join(goodLines()), 2},
      {"last line without newline", join(goodLines()) + "tail", 3},
      {"over-long entry line", join(goodLines()) + std::string(5000, 'a') + "\n", 3},
      {"shorter than the prologue", join({goodLines()[0]}), 0},
  };
  for (const Case& c : cases) {
    dztest::writeFile(path("n.dat"), c.content);
    EXPECT_EQ(c.expected, DCLogger(path("n.dat")).getRealNumberOfHashes()) << c.what;
  }
  EXPECT_EQ(0u, DCLogger(path("missing.dat")).getRealNumberOfHashes());
  ASSERT_EQ(0, ::mkdir(path("dir.dat").c_str(), 0755));
  EXPECT_EQ(0u, DCLogger(path("dir.dat")).getRealNumberOfHashes()) << "a read error is no crash";
}

}  // namespace
