// Scans leave the page cache as they found it: direct reads where the file
// system takes them, else buffered reads that drop the pages they brought
// in; a source nearly all cached is read from the cache. Run in this
// process, with the read call watched (and made to refuse direct reads
// where a case asks for it).
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "in_process_scan.h"
#include "page_cache.h"
#include "runcontrol/commands.h"
#include "base/run_globals.h"
#include "base/run_log.h"
#include "scan/pipeline.h"
#include "scan_fixtures.h"

namespace {

using scantest::Image;
using scantest::kBlock;

struct Watch {
  std::atomic<int> refuseDirect{0};  // direct reads still to refuse with EINVAL
  std::atomic<int> directTried{0};   // direct reads asked for, refused ones included
};
Watch gWatch;

ssize_t watchedRead(int fd, void* buf, size_t count, off_t offset) {
  if ((fcntl(fd, F_GETFL) & O_DIRECT) != 0) {
    ++gWatch.directTried;
    if (gWatch.refuseDirect.fetch_sub(1) > 0) {
      errno = EINVAL;
      return -1;
    }
  }
  return pread(fd, buf, count, offset);
}

// Pages a scan brought into the cache. A few may come in for reasons of
// their own (a sample read by two workers at once).
constexpr size_t kSlackPages = 16;

// Pages that were resident in `from` and are not in `to`.
size_t pagesLeft(const std::vector<bool>& from, const std::vector<bool>& to) {
  if (from.size() != to.size()) return from.size() + to.size();
  size_t n = 0;
  for (size_t i = 0; i < from.size(); ++i) n += from[i] && !to[i] ? 1 : 0;
  return n;
}

// Counters, fields and entries of two sketch files, apart from the source
// name.
void expectSameSketch(const scantest::SketchFile& a, const scantest::SketchFile& b) {
  ASSERT_TRUE(a.ok);
  ASSERT_TRUE(b.ok);
  for (const auto& field : a.fields) {
    if (field.first == "Original file names") continue;
    EXPECT_EQ(b.fields.count(field.first) ? b.fields.at(field.first) : "(none)", field.second) << field.first;
  }
  ASSERT_EQ(a.entries.size(), b.entries.size());
  for (size_t i = 0; i < a.entries.size(); ++i) {
    EXPECT_EQ(a.entries[i].hash, b.entries[i].hash) << i;
    EXPECT_EQ(a.entries[i].ratio, b.entries[i].ratio) << i;
    EXPECT_EQ(a.entries[i].count, b.entries[i].count) << i;
  }
}

// Data blocks with repeats and zero runs, and a tail shorter than a sector.
Image mixedImage(int blocks) {
  Image image;
  for (int i = 0; i < blocks; ++i) {
    if (i % 50 == 7) {
      image.zeros(1);
    } else {
      image.data(i % 700);
    }
  }
  image.tail(100);
  return image;
}

class PageCacheScan : public scantest::InProcessScan {
 protected:
  void SetUp() override {
    InProcessScan::SetUp();
    gWatch.refuseDirect = 0;
    gWatch.directTried = 0;
    gReadAt = &watchedRead;
    LogLinesQ = new concurrent_queueOrig;
    LogLinesQ->setLogLevel(6);
    td.level = 2;
  }

  void TearDown() override {
    InProcessScan::TearDown();
    gNoCachestat = false;
    td.level = 0;
    runLog();
    delete LogLinesQ;
    LogLinesQ = nullptr;
  }

  // The run-log lines queued since the last call.
  std::string runLog() {
    std::string text;
    std::string* line = nullptr;
    while (LogLinesQ->popFor(line, std::chrono::milliseconds(0))) {
      text += *line + "\n";
      delete line;
    }
    return text;
  }

  // Skips the test where the directory's file system cannot show the
  // difference: no direct reads, or pages that cannot be dropped.
  void requireDirectReadsAndEviction() {
    const std::string probe = dir_.file("probe");
    Image().data(1).write(probe);
    if (!scantest::evict(probe)) GTEST_SKIP() << "pages of " << probe << " cannot be dropped";
    if (!scantest::takesDirectReads(probe)) GTEST_SKIP() << dir_.path() << " takes no direct reads";
  }

  // Runs command as the driver starts a run: fresh counters, and a sketch
  // file of its own, so that no run resumes from an earlier one. Returns
  // the sketch file's name.
  std::string run(const std::string& command) {
    myGlobals.samplesCompressed = 0;
    myGlobals.samplesZero = 0;
    myGlobals.cmpRequestsDone = 0;
    myGlobals.readsIssued = 0;
    myGlobals.sha1Done = 0;
    ioErrorCount = 0;
    ioAbortFlag = 0;
    myGlobals.command = command;
    myGlobals.sketch = dir_.file("run" + std::to_string(++runs_) + ".dat");
    if (command == "scan") {
      scanWithin(60);
    } else {
      runWithin(60, [] { partialScanCommand(); });
    }
    return myGlobals.sketch;
  }

  int runs_ = 0;
};

TEST_F(PageCacheScan, DirectReadsRefusedFromTheFirstReadOnAreReadBuffered) {
  requireDirectReadsAndEviction();
  if (HasFatalFailure() || IsSkipped()) return;
  mixedImage(3000).write(myGlobals.input);
  myGlobals.threads = 1;
  myGlobals.hashSize = 64;
  myGlobals.randomBytes = 5;

  ASSERT_TRUE(scantest::evict(myGlobals.input));
  const auto direct = scantest::readSketchFile(run("scan"));
  const std::string directLog = runLog();
  EXPECT_NE(directLog.find("Read mode: direct"), std::string::npos) << directLog;
  EXPECT_GT(gWatch.directTried.load(), 0);

  // Unwatched, the ratio measurement's reads are started ahead, several at
  // a time: the same blocks, and the same sketch.
  {
    SCOPED_TRACE("direct reads started ahead");
    ASSERT_TRUE(scantest::evict(myGlobals.input));
    gReadAt = &pread;
    const auto ahead = scantest::readSketchFile(run("scan"));
    gReadAt = &watchedRead;
    const std::string log = runLog();
    EXPECT_NE(log.find("Read mode: direct"), std::string::npos) << log;
    expectSameSketch(direct, ahead);
  }

  struct Case {
    const char* name;
    int refused;
  };
  for (const Case& c : {Case{"only the first direct read refused", 1}, Case{"every direct read refused", 1 << 30}}) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(scantest::evict(myGlobals.input));
    gWatch.refuseDirect = c.refused;
    gWatch.directTried = 0;
    const auto buffered = scantest::readSketchFile(run("scan"));
    const std::string log = runLog();
    EXPECT_NE(log.find("Read mode: buffered, dropping pages read"), std::string::npos) << log;
    EXPECT_EQ(log.find("Read mode: direct"), std::string::npos) << log;
    EXPECT_EQ(gWatch.directTried.load(), 1) << "after the refusal the whole run reads buffered";
    EXPECT_EQ(ioErrorCount.load(), 0u) << "a refused direct read is no read error";
    expectSameSketch(direct, buffered);
    EXPECT_LE(scantest::residentCount(myGlobals.input), kSlackPages) << "the pages read were dropped";
  }
}

TEST_F(PageCacheScan, ScansLeaveEveryPageAsResidentAsTheyFoundIt) {
  requireDirectReadsAndEviction();
  if (HasFatalFailure() || IsSkipped()) return;
  const Image image = mixedImage(4096);
  image.write(myGlobals.input);
  const off_t size = static_cast<off_t>(image.size());
  myGlobals.threads = 2;

  struct Prepare {
    const char* name;
    void (*load)(const std::string& path, off_t size);
    bool directOnly;
  };
  const Prepare states[] = {
      {"dropped before", [](const std::string&, off_t) {}, false},
      {"cached before", [](const std::string& path, off_t size) { scantest::loadPages(path, 0, size); }, false},
      // Some pages of a cached source are always being reclaimed.
      {"cached but for one page in 256",
       [](const std::string& path, off_t size) {
         for (off_t at = 0; at < size; at += 256 * 4096) scantest::loadPages(path, at + 4096, at + 256 * 4096);
       },
       false},
      // Chunks of the scan start and end in the middle of cached runs.
      {"every other 192 KiB cached",
       [](const std::string& path, off_t size) {
         for (off_t at = 0; at < size; at += 2 * (192 << 10)) scantest::loadPages(path, at, at + (192 << 10));
       },
       false},
      // A buffered read of the marked page would read ahead into the part
      // that is not cached, and the next reads would find that cached. Only
      // direct reads are safe from that: buffered ones (where the source
      // refuses direct reads) are not yet.
      {"first quarter read by a sequential reader",
       [](const std::string& path, off_t size) {
         scantest::loadPages(path, 0, size / 4, true);
         scantest::settle(path);
       },
       true},
  };
  struct Mode {
    const char* name;
    int refused;
    const char* logged;
    bool watched;  // unwatched, direct reads of the ratio measurement are started ahead
  };
  const Mode modes[] = {{"direct", 0, "Read mode: direct", true},
                        {"direct, reads started ahead", 0, "Read mode: direct", false},
                        {"buffered", 1 << 30, "Read mode: buffered, dropping pages read", true}};
  // Kernels before 6.5 have no cachestat: the cache is inspected with
  // mincore there.
  for (bool mincoreOnly : {false, true}) {
    gNoCachestat = mincoreOnly;
    for (const char* command : {"scan", "partialscan"}) {
      for (const Mode& mode : modes) {
        for (const Prepare& state : states) {
          if (state.directOnly && mode.refused != 0) continue;
          SCOPED_TRACE(std::string(command) + ", " + mode.name + ", " + state.name +
                       (mincoreOnly ? ", mincore" : ", cachestat"));
          ASSERT_TRUE(scantest::evict(myGlobals.input));
          state.load(myGlobals.input, size);
          const std::vector<bool> before = scantest::residency(myGlobals.input);
          gWatch.refuseDirect = mode.refused;
          gReadAt = mode.watched ? &watchedRead : &pread;
          EXPECT_TRUE(scantest::readSketchFile(run(command)).ok);
          const std::vector<bool> after = scantest::residency(myGlobals.input);
          EXPECT_LE(pagesLeft(after, before), kSlackPages) << "pages brought in";
          // Pages also leave the cache on their own, a few a second on a
          // busy machine; a scan that dropped what it found cached would
          // take out far more.
          EXPECT_LE(pagesLeft(before, after), before.size() / 32) << "pages taken out";
          // A source nine tenths in the cache or more (this one is far
          // smaller than 640 MiB) is read from it: no direct read is asked
          // for, and none refused.
          const std::string log = runLog();
          const auto missing = static_cast<size_t>(std::count(before.begin(), before.end(), false));
          const bool fromCache = missing <= before.size() / 10;
          EXPECT_NE(log.find(fromCache ? "Read mode: buffered, from the page cache" : mode.logged), std::string::npos)
              << log;
        }
      }
    }
  }
}

TEST_F(PageCacheScan, SourceNotAWholeNumberOfSectorsIsReadToItsLastBlock) {
  requireDirectReadsAndEviction();
  if (HasFatalFailure() || IsSkipped()) return;
  struct Case {
    int blocks;  // 100: one chunk; 300: two chunks and a shorter one
    size_t tail;
  };
  const Case cases[] = {{100, 100}, {300, 100}, {300, 4095}, {300, 4096 + 100}, {300, kBlock - 1}};
  myGlobals.threads = 1;
  myGlobals.hashSize = 32;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.blocks) + " blocks and " + std::to_string(c.tail) + " bytes");
    Image image;
    for (int i = 0; i < c.blocks; ++i) image.data(i);
    image.tail(c.tail);
    image.write(myGlobals.input);

    // Read from the cache, as every read was before direct reads.
    scantest::loadPages(myGlobals.input, 0, static_cast<off_t>(image.size()));
    const std::string cached = dztest::readFile(run("scan"));
    ASSERT_TRUE(scantest::evict(myGlobals.input));
    gWatch.directTried = 0;
    const std::string directName = run("scan");
    EXPECT_GT(gWatch.directTried.load(), 0);

    EXPECT_FALSE(cached.empty());
    EXPECT_EQ(dztest::readFile(directName), cached);
    const auto f = scantest::readSketchFile(directName);
    ASSERT_TRUE(f.ok);
    EXPECT_EQ(f.number("Number of Not Zero blocks"), static_cast<uint64_t>(c.blocks));
    EXPECT_EQ(ioErrorCount.load(), 0u);
    runLog();
  }
}

// A tmpfs of its own: its files are always wholly in the page cache, and
// are read from there (older kernels refuse direct reads of them at open).
TEST_F(PageCacheScan, TmpfsSourceIsReadFromTheCacheWithTheSameSketch) {
  const std::string mnt = dir_.file("mnt");
  ASSERT_EQ(::mkdir(mnt.c_str(), 0700), 0);
  if (::mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=16m") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
  }
  const Image image = mixedImage(600);
  image.write(myGlobals.input);
  const std::string onTmpfs = mnt + "/img";
  image.write(onTmpfs);
  myGlobals.threads = 1;
  myGlobals.hashSize = 64;

  const auto reference = scantest::readSketchFile(run("scan"));
  runLog();
  myGlobals.input = onTmpfs;
  const auto tmpfs = scantest::readSketchFile(run("scan"));
  const std::string log = runLog();
  ::umount(mnt.c_str());

  EXPECT_NE(log.find("Read mode: buffered, from the page cache"), std::string::npos) << log;
  expectSameSketch(reference, tmpfs);
}

}  // namespace
