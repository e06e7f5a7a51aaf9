// What a run learns of a sketch file before it reads its source: the
// file's kind and sources, read quietly, and how large the file can grow.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/run_globals.h"
#include "cli.h"
#include "sketch/dc_kheap.h"
#include "sketchfile/dc_logger.h"
#include "sketchfile/file_size.h"
#include "sketchfile/record_peek.h"

namespace {

using dztest::TempDir;
using dztest::writeFile;

const std::string kTitle = "..:: Veda Dezevazir Odazirera ::..";

TEST(RecordPeek, TellsKindAndSourcesOfOurFilesOnly) {
  TempDir dir;
  const struct {
    const char* what;
    std::string content;
    bool ours;
    std::string kind;
    std::string sources;
  } cases[] = {
      {"full scan", kTitle + " fullscan\nOriginal file names: /dev/sdb\nSketch size: 0\n", true, "fullscan",
       "/dev/sdb"},
      {"merge, names after another label", kTitle + " merge\nSketch size: 0\nOriginal file names: a.img b.img\n",
       true, "merge", "a.img b.img"},
      {"partial scan, CRLF", kTitle + " partialscan\r\nOriginal file names: p.img\r\n", true, "partialscan",
       "p.img"},
      {"another kind word", kTitle + " fullscan2\nOriginal file names: x\n", false, "", ""},
      {"text before the title", "#" + kTitle + " fullscan\nOriginal file names: x\n", false, "", ""},
      {"no source names line", kTitle + " fullscan\nSketch size: 0\n", false, "", ""},
      {"empty file", "", false, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    writeFile(dir.file("f.dat"), c.content);
    RecordIdentity id;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(peekRecord(dir.file("f.dat"), id), c.ours);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(id.kind, c.kind);
    EXPECT_EQ(id.sourceNames, c.sources);
  }
  RecordIdentity id;
  EXPECT_FALSE(peekRecord(dir.file("missing.dat"), id));
  EXPECT_FALSE(peekRecord(dir.path(), id)) << "a directory";
}

// The bound holds for the longest file the writer can make: every number
// at its widest, every ratio printed at its longest, every counter 255.
TEST(SketchFileSize, BoundHoldsForTheWidestRecord) {
  TempDir dir;
  myGlobals.threads = 64;
  myGlobals.hashLength = 20;
  const std::string names(300, 'n');
  const uint64_t entries = 500;
  DCKHeap sketch(entries);
  for (uint64_t k = 1; k <= entries; ++k) {
    std::vector<unsigned char> fp(20, 0xff);
    for (int i = 0; i < 8; ++i) fp[i] = static_cast<unsigned char>(k >> (56 - 8 * i));
    auto* e = new DCHashAndRatio(fp, -1.234567891e-05, 0);
    e->refCounter = 255;
    sketch.insert(e);
  }
  DCLogger record(dir.file("w.dat"));
  record.sourceNames = names;
  record.smallZeroBlocks = record.bigZeroBlocks = record.notZeroBlocks = UINT64_MAX / 8192 / 3;
  for (uint64_t& p : record.threadPositions) p = UINT64_MAX;
  ASSERT_TRUE(record.saveState(sketch));
  struct stat st;
  ASSERT_EQ(::stat(dir.file("w.dat").c_str(), &st), 0);
  EXPECT_LE(static_cast<uint64_t>(st.st_size), sketchformat::maxFileBytes(entries, names.size(), 64, 20));
  myGlobals.threads = 10;
}

}  // namespace
