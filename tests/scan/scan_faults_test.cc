// The scan pipeline in this process, with read errors and short reads
// injected through the swappable read call.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <unistd.h>

#include "in_process_scan.h"
#include "page_cache.h"
#include "runcontrol/commands.h"
#include "runcontrol/json_report.h"
#include "base/interrupt.h"
#include "base/run_globals.h"
#include "base/run_state.h"
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
  std::atomic<int> direct{0};   // faults injected into direct (O_DIRECT) reads
  // Bad sectors: every read, by any worker and every time, that touches a
  // byte of [badFrom, badTo) fails with EIO, as a checksum failure or a
  // medium error does.
  int64_t badFrom = -1;
  int64_t badTo = -1;
  // >= 0: the source ends at this byte (it shrank); reads return what is
  // before it.
  int64_t endsAt = -1;
  // >= 0: a read at or beyond this byte stops the scan as SIGINT does.
  int64_t interruptAt = -1;
};
Fault gFault;

ssize_t faultyRead(int fd, void* buf, size_t count, off_t offset) {
  const int64_t from = offset;
  const int64_t to = offset + static_cast<int64_t>(count);
  if (gFault.interruptAt >= 0 && from >= gFault.interruptAt) gInterruptSignal.store(SIGINT);
  if (gFault.badFrom >= 0 && from < gFault.badTo && to > gFault.badFrom) {
    if ((fcntl(fd, F_GETFL) & O_DIRECT) != 0) ++gFault.direct;
    errno = EIO;
    return -1;
  }
  if (gFault.endsAt >= 0 && to > gFault.endsAt) {
    return from >= gFault.endsAt ? 0 : pread(fd, buf, static_cast<size_t>(gFault.endsAt - from), offset);
  }
  const bool isReader = count > kBlock;
  const bool matches = (gFault.target == Target::kReader) == isReader &&
                       (gFault.offset < 0 || gFault.offset == offset);
  if (matches && gFault.remaining.fetch_sub(1) > 0) {
    if ((fcntl(fd, F_GETFL) & O_DIRECT) != 0) ++gFault.direct;
    if (gFault.shortLength >= 0) return pread(fd, buf, static_cast<size_t>(gFault.shortLength), offset);
    errno = EIO;
    return -1;
  }
  return pread(fd, buf, count, offset);
}

class ScanFaults : public scantest::InProcessScan {
 protected:
  void SetUp() override {
    InProcessScan::SetUp();
    gFault.target = Target::kReader;
    gFault.offset = -1;
    gFault.remaining = 0;
    gFault.shortLength = -1;
    gFault.direct = 0;
    gFault.badFrom = gFault.badTo = gFault.endsAt = gFault.interruptAt = -1;
    gReadAt = &faultyRead;
  }
};

Image distinctBlocks(int n) {
  Image image;
  for (int i = 0; i < n; ++i) image.data(i);
  return image;
}

void badBlocks(int64_t first, int64_t count) {
  gFault.badFrom = first * static_cast<int64_t>(kBlock);
  gFault.badTo = (first + count) * static_cast<int64_t>(kBlock);
}

TEST_F(ScanFaults, AnUnreadableBlockCostsOnlyItselfAndIsReported) {
  // One bad block inside a chunk of 128, read directly or buffered: its
  // chunk is read again block by block, and only the bad one is lost.
  distinctBlocks(300).write(myGlobals.input);
  myGlobals.threads = 1;
  badBlocks(5, 1);
  testing::internal::CaptureStderr();
  scanWithin(60);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(ioErrorCount.load(), 1u);
  EXPECT_NE(err.find("8192 bytes of " + myGlobals.input + " could not be read; the estimates exclude them"),
            std::string::npos)
      << err;
  auto f = result();
  ASSERT_TRUE(f.ok);
  EXPECT_EQ(f.number("Number of Not Zero blocks"), 299u);
  EXPECT_EQ(f.number("Number of Small Zero blocks"), 0u);
}

TEST_F(ScanFaults, ExactlyOnePercentUnreadableEndsNormallyOneMoreEnds126) {
  // 300 blocks: 1 % is 3 blocks, spread over two chunks.
  distinctBlocks(300).write(myGlobals.input);
  myGlobals.threads = 1;
  badBlocks(126, 3);
  scanWithin(60);
  EXPECT_EQ(ioErrorCount.load(), 3u);
  ASSERT_TRUE(result().ok);
  EXPECT_EQ(result().number("Number of Not Zero blocks"), 297u);

  badBlocks(126, 4);
  EXPECT_EXIT(scanCommand(), ::testing::ExitedWithCode(126), "Aborting run over current device");
}

TEST_F(ScanFaults, UnreadableBlocksCountOverTheWholeScanAcrossAnInterruption) {
  // Three bad blocks (1 % of 300), then a stop far beyond them: the
  // recovery file keeps the three, and the resumed run reports them and
  // holds them against the limit.
  // A death test's child runs this test again from its start, with a
  // directory of its own: both work in the parent's.
  if (std::getenv("DZ_SHARED_TEST_DIR") == nullptr) setenv("DZ_SHARED_TEST_DIR", dir_.path().c_str(), 1);
  const std::string shared = std::getenv("DZ_SHARED_TEST_DIR");
  myGlobals.input = shared + "/img";
  myGlobals.sketch = shared + "/out.dat";
  distinctBlocks(300).write(myGlobals.input);
  myGlobals.threads = 1;
  myGlobals.readChunkBlocks = 2;
  myGlobals.readRequestsMaxQ = 1;
  badBlocks(3, 3);
  gFault.interruptAt = 200 * static_cast<int64_t>(kBlock);
  EXPECT_EXIT(scanCommand(), ::testing::KilledBySignal(SIGINT), "Interrupted: state saved to");
  const std::string recovery = dztest::readFile(shared + "/out.rdb");
  EXPECT_NE(recovery.find(" unreadable=3\n"), std::string::npos) << recovery;
  gFault.interruptAt = -1;

  // The bad blocks lie behind the saved positions: not read again.
  gRunJson = RunJson();
  gRunJson.wanted = true;
  testing::internal::CaptureStderr();
  scanWithin(60);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Resuming "), std::string::npos) << err;
  EXPECT_EQ(ioErrorCount.load(), 3u);
  EXPECT_NE(err.find("24576 bytes of " + myGlobals.input + " could not be read"), std::string::npos) << err;
  EXPECT_EQ(gRunJson.body["blocks"]["unreadable"], 3u);
  gRunJson = RunJson();
  const scantest::SketchFile f = scantest::readSketchFile(myGlobals.sketch);
  ASSERT_TRUE(f.ok);
  EXPECT_EQ(f.number("Number of Not Zero blocks"), 297u);

  // One more bad block after the resume passes the limit of the whole scan.
  dztest::writeFile(shared + "/out.rdb", recovery);
  std::remove(myGlobals.sketch.c_str());
  ioErrorCount = 0;
  badBlocks(250, 1);
  EXPECT_EXIT(scanCommand(), ::testing::ExitedWithCode(126), "Aborting run over current device");
  unsetenv("DZ_SHARED_TEST_DIR");
}

TEST_F(ScanFaults, SourceThatShrinksByLessThanABlockInItsLastChunkEndsWith100) {
  distinctBlocks(300).write(myGlobals.input);
  myGlobals.threads = 1;
  gFault.endsAt = 300 * static_cast<int64_t>(kBlock) - 100;
  EXPECT_EXIT(scanWithin(60), ::testing::ExitedWithCode(100), "it became shorter than its 2457600 bytes");
}

TEST_F(ScanFaults, NothingBeyondTheLastWholeBlockIsReadOnADeviceOfLargerSectors) {
  // A device of 4096-byte sectors whose size is no multiple of 4096: the
  // piece beyond its last whole sector cannot be read. The scan counts
  // whole blocks only, and never asks for that piece.
  Image image;
  for (int i = 0; i < 301; ++i) image.data(i);
  image.tail(512);
  image.write(myGlobals.input);
  gFault.badFrom = static_cast<int64_t>(image.size() / 4096 * 4096);
  gFault.badTo = INT64_MAX;
  for (unsigned threads : {1u, 3u}) {
    SCOPED_TRACE(threads);
    myGlobals.threads = threads;
    std::remove(dir_.file("out.dat").c_str());
    ioErrorCount = 0;
    testing::internal::CaptureStderr();
    scanWithin(60);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(ioErrorCount.load(), 0u);
    EXPECT_EQ(err.find("could not be read"), std::string::npos) << err;
    ASSERT_TRUE(result().ok);
    EXPECT_EQ(result().number("Number of Not Zero blocks"), 301u);
  }
}

TEST_F(ScanFaults, EveryReadFailingEndsWith126AndSavesNothing) {
  distinctBlocks(3000).write(myGlobals.input);
  badBlocks(0, 3000);
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
    // A read worker's read fails at a bad block; a compression worker's
    // re-read of a kept block fails once.
    if (c.target == Target::kReader) {
      badBlocks(10, 1);
    } else {
      gFault.remaining = 1;
    }
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

TEST_F(ScanFaults, FaultsOfReadsOfAnUncachedSourceAreHandledAsThoseOfACachedOne) {
  // An uncached source is read directly, and the blocks of the ratio
  // measurement (most of them) read ahead into the cache and dropped again.
  struct Case {
    const char* name;
    int blocks;
    Target target;
    int64_t offset;
    int remaining;
    ssize_t shortLength;
    int readChunkBlocks;
    int hashSize;
    uint64_t errors;
    uint64_t notZero;
    int unmeasured;
  };
  const Case cases[] = {
      {"read worker error", 300, Target::kReader, 0, 1, -1, 2, 50000, 1, 299, 0},
      {"compression worker errors", 300, Target::kCompressor, -1, 2, -1, 128, 4, 2, 300, 2},
      {"short read of whole sectors", 4096, Target::kReader, 1 << 20, 1, 12288, 128, 50000, 0, 4096, 0},
      // A direct read cannot end inside a sector there: the descriptor
      // refuses the length, and the range is read buffered.
      {"short read inside a sector", 4096, Target::kReader, 1 << 20, 1, 100, 128, 50000, 0, 4096, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Image image;
    for (int i = 0; i < c.blocks; ++i) image.data(i % 64);
    image.write(myGlobals.input);
    // Dropped from the cache, so that the workers read it directly.
    if (!scantest::evict(myGlobals.input) || !scantest::takesDirectReads(myGlobals.input)) {
      GTEST_SKIP() << "no direct reads of an uncached file in " << dir_.path();
    }
    myGlobals.sketch = dir_.file(std::string(c.name) + ".dat");
    myGlobals.threads = 2;
    myGlobals.readChunkBlocks = c.readChunkBlocks;
    myGlobals.hashSize = c.hashSize;
    ioErrorCount = 0;
    gFault.target = c.target;
    gFault.offset = c.offset;
    gFault.remaining = c.remaining;
    gFault.shortLength = c.shortLength;
    gFault.direct = 0;
    gFault.badFrom = gFault.badTo = -1;
    // The read worker's error is a bad block: the chunk's read again block
    // by block fails there too.
    if (c.target == Target::kReader && c.shortLength < 0) badBlocks(1, 1);
    scanWithin(60);
    if (c.target == Target::kReader) {
      EXPECT_GT(gFault.direct.load(), 0) << "the faults reached direct reads";
    }
    EXPECT_EQ(ioErrorCount.load(), c.errors);
    const auto f = scantest::readSketchFile(myGlobals.sketch);
    ASSERT_TRUE(f.ok);
    EXPECT_EQ(f.number("Number of Not Zero blocks"), c.notZero);
    int unmeasured = 0;
    for (const auto& e : f.entries) unmeasured += e.ratio == "-1" ? 1 : 0;
    EXPECT_EQ(unmeasured, c.unmeasured);
  }
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
