// The scan pipeline in this process, with read errors and short reads
// injected through the swappable read call.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <unistd.h>

#include "cli.h"
#include "runcontrol/commands.h"
#include "runcontrol/run_globals.h"
#include "runcontrol/run_state.h"
#include "scan/pipeline.h"
#include "scan/requests.h"
#include "scan_fixtures.h"

namespace {

using scantest::Image;
using scantest::kBlock;

// Which reads fail: a read worker's chunks are larger than one block, a
// compression worker reads exactly one block.
enum class Target { kReader, kCompressor };

struct Fault {
  Target target = Target::kReader;
  int64_t offset = -1;          // -1: any offset
  std::atomic<int> remaining{0};  // how many more reads fail
  ssize_t shortLength = -1;     // >= 0: return this many bytes instead of an error
};
Fault gFault;

ssize_t faultyRead(int fd, void* buf, size_t count, off_t offset) {
  const bool isReader = count > kBlock;
  const bool matches = (gFault.target == Target::kReader) == isReader &&
                       (gFault.offset < 0 || gFault.offset == offset);
  if (matches && gFault.remaining.fetch_sub(1) > 0) {
    if (gFault.shortLength >= 0) return pread(fd, buf, static_cast<size_t>(gFault.shortLength), offset);
    errno = EIO;
    return -1;
  }
  return pread(fd, buf, count, offset);
}

class ScanFaults : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ::testing::GTEST_FLAG(death_test_style) = "threadsafe";
    readRequests = new concurrent_queue<readReq*>;
    hashRequests = new concurrent_queue<hashReq*>;
    readcmpRequests = new concurrent_queue<hashReq*>;
    cmpRequests = new concurrent_queue<hashReq*>;
    readRequests->setLogLevel(7);
    hashRequests->setLogLevel(7);
    readcmpRequests->setLogLevel(7);
    cmpRequests->setLogLevel(7);
  }

  void SetUp() override {
    myGlobals.resetForNextLine();
    myGlobals.command = "scan";
    myGlobals.input = dir_.file("img");
    myGlobals.sketch = dir_.file("out.dat");
    ioErrorCount = 0;
    ioAbortFlag = 0;
    gFault.target = Target::kReader;
    gFault.offset = -1;
    gFault.remaining = 0;
    gFault.shortLength = -1;
    gReadAt = &faultyRead;
  }

  void TearDown() override {
    gReadAt = &pread;
    readRequests->drain();
    readcmpRequests->drain();
    cmpRequests->drain();
    hashRequests->drain();
  }

  // Runs the scan command; fails the test instead of hanging.
  void scanWithin(int seconds) {
    auto done = std::async(std::launch::async, [] { scanCommand(); });
    if (done.wait_for(std::chrono::seconds(seconds)) != std::future_status::ready) {
      ADD_FAILURE() << "the scan did not end";
      std::_Exit(1);
    }
  }

  scantest::SketchFile result() { return scantest::readSketchFile(dir_.file("out.dat")); }

  dztest::TempDir dir_;
};

Image distinctBlocks(int n) {
  Image image;
  for (int i = 0; i < n; ++i) image.data(i);
  return image;
}

TEST_F(ScanFaults, ReaderErrorsUpToTheLimitSkipTheirBlocksAndAreReported) {
  // 300 blocks: the limit is 3 blocks. Two-block chunks, and the first fails.
  distinctBlocks(300).write(myGlobals.input);
  myGlobals.threads = 1;
  myGlobals.readChunkBlocks = 2;
  gFault.offset = 0;
  gFault.remaining = 1;
  testing::internal::CaptureStderr();
  scanWithin(60);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(ioErrorCount.load(), 2u);
  EXPECT_NE(err.find("16384 bytes of " + myGlobals.input + " could not be read; the estimates exclude them"),
            std::string::npos)
      << err;
  auto f = result();
  ASSERT_TRUE(f.ok);
  EXPECT_EQ(f.number("Number of Not Zero blocks"), 298u);
  EXPECT_EQ(f.number("Number of Small Zero blocks"), 0u);
}

TEST_F(ScanFaults, ErrorsAreCountedInBlocksSoAFailingChunkReachesTheLimit) {
  // One failing 1 MiB chunk is 128 blocks, far beyond 1 % of 300.
  distinctBlocks(300).write(myGlobals.input);
  myGlobals.threads = 1;
  gFault.offset = 0;
  gFault.remaining = 1;
  EXPECT_EXIT(scanCommand(), ::testing::ExitedWithCode(126), "Aborting run over current device");
}

TEST_F(ScanFaults, EveryReadFailingEndsWith126AndSavesNothing) {
  distinctBlocks(3000).write(myGlobals.input);
  gFault.remaining = 1 << 30;
  EXPECT_EXIT(scanCommand(), ::testing::ExitedWithCode(126), "Aborting run over current device");
  EXPECT_FALSE(result().ok) << "no sketch file for a failed scan";
}

TEST_F(ScanFaults, CompressorErrorsAreCountedAndTheMeasurementEnds) {
  distinctBlocks(300).write(myGlobals.input);
  myGlobals.hashSize = 4;
  gFault.target = Target::kCompressor;
  gFault.remaining = 2;
  scanWithin(60);
  EXPECT_EQ(ioErrorCount.load(), 2u);
  auto f = result();
  ASSERT_TRUE(f.ok);
  ASSERT_EQ(f.entries.size(), 4u);
  int unmeasured = 0;
  double sum = 0;
  for (const auto& e : f.entries) {
    if (e.ratio == "-1") {
      ++unmeasured;
    } else {
      sum += std::stod(e.ratio);
    }
  }
  EXPECT_EQ(unmeasured, 2);
  // The two without a ratio stay out of the mean instead of pulling it down by -1 each.
  EXPECT_NEAR(std::stod(f.fields["Average compression ratio"]), sum / 2, 1e-5);
}

TEST_F(ScanFaults, ErrorBeyondTheLimitEndsTheRunWith126) {
  struct Case {
    const char* name;
    Target target;
  };
  for (const Case& c : {Case{"read worker", Target::kReader}, Case{"compression worker", Target::kCompressor}}) {
    SCOPED_TRACE(c.name);
    // Fewer than 100 blocks: the limit is 0, the first error ends the run.
    distinctBlocks(50).write(myGlobals.input);
    gFault.target = c.target;
    gFault.remaining = 1;
    EXPECT_EXIT(scanCommand(), ::testing::ExitedWithCode(126),
                "Aborting run over current device due to a high number \\(>1%\\) of samples returned from the "
                "storage with I/O error.");
  }
}

TEST_F(ScanFaults, ShortReadIsReadOnNotCutShort) {
  // A read may return less than asked without the source ending: the rest
  // of the chunk is read, and every block counts.
  Image image;
  for (int i = 0; i < 4096; ++i) image.data(i % 64);
  image.write(myGlobals.input);
  myGlobals.threads = 2;
  myGlobals.readRequestsMaxQ = 1;
  gFault.offset = 1 << 20;
  gFault.remaining = 1;
  gFault.shortLength = 100;
  scanWithin(60);
  auto f = result();
  ASSERT_TRUE(f.ok);
  EXPECT_EQ(f.number("Number of Not Zero blocks"), 4096u);
}

TEST_F(ScanFaults, SourceThatShrinksEndsWith100AndNoResult) {
  // Two workers behind a queue bound of one chunk each: worker 0's source
  // ends at 1 MiB (as if truncated) while worker 1 is still producing.
  Image image;
  for (int i = 0; i < 4096; ++i) image.data(i % 64);
  image.write(myGlobals.input);
  myGlobals.threads = 2;
  myGlobals.readRequestsMaxQ = 1;
  gFault.offset = 1 << 20;
  gFault.remaining = 1 << 30;
  gFault.shortLength = 0;
  EXPECT_EXIT(scanWithin(60), ::testing::ExitedWithCode(100),
              "Error reading: .*img: it became shorter than its 33554432 bytes");
  EXPECT_FALSE(result().ok) << "no result that looks complete";
}

TEST_F(ScanFaults, KeptBlockThatCannotBeReadBackMeansTheSourceShrank) {
  distinctBlocks(300).write(myGlobals.input);
  myGlobals.hashSize = 4;
  gFault.target = Target::kCompressor;
  gFault.remaining = 1;
  gFault.shortLength = 0;
  EXPECT_EXIT(scanWithin(60), ::testing::ExitedWithCode(100), "it became shorter");
}

TEST_F(ScanFaults, BlocksReferencedInTheirChunkOrCopiedGiveTheSameSketch) {
  // Data in every chunk, repeats across chunks, zero runs between; the two
  // extra bytes join every fingerprint.
  Image image;
  for (int i = 0; i < 700; ++i) {
    image.data(i % 90);
    if (i % 7 == 0) image.zeros(3);
  }
  image.write(myGlobals.input);
  myGlobals.threads = 2;
  myGlobals.hashSize = 24;
  myGlobals.randomBytes = 9;

  myGlobals.sketch = dir_.file("referenced.dat");
  scanWithin(60);
  EXPECT_EQ(gPinnedChunks.load(), 0) << "every chunk reference was dropped";
  auto referenced = scantest::readSketchFile(myGlobals.sketch);

  // With the limit on kept-alive chunks already reached, every block is
  // copied.
  const int limit = chunkPinLimit();
  gPinnedChunks = limit;
  myGlobals.sketch = dir_.file("copied.dat");
  scanWithin(60);
  EXPECT_EQ(gPinnedChunks.load(), limit);
  gPinnedChunks = 0;
  auto copied = scantest::readSketchFile(myGlobals.sketch);

  ASSERT_TRUE(referenced.ok);
  ASSERT_TRUE(copied.ok);
  EXPECT_EQ(referenced.number("Number of Not Zero blocks"), 700u);
  EXPECT_EQ(copied.number("Number of Not Zero blocks"), 700u);
  ASSERT_EQ(referenced.entries.size(), 24u);
  ASSERT_EQ(copied.entries.size(), 24u);
  for (size_t i = 0; i < 24; ++i) {
    EXPECT_EQ(copied.entries[i].hash, referenced.entries[i].hash) << i;
    EXPECT_EQ(copied.entries[i].ratio, referenced.entries[i].ratio) << i;
    EXPECT_EQ(copied.entries[i].count, referenced.entries[i].count) << i;
  }
}

}  // namespace
