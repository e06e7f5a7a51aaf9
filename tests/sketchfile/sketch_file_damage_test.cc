// A real sketch file, written by a scan of a sample image, damaged in one
// way per row of a table, and given to every command that reads sketch
// files. None of them may use it: load refuses it (134), merge refuses it
// as an input (128) and a scan that would resume from it starts over, so
// that its result is the clean scan's to the byte. A damaged file that is
// reported, merged or resumed from gives estimates that no scan made, with
// nothing to tell the user.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "cli.h"

namespace {

using dztest::CliResult;
using dztest::runCli;
using dztest::TempDir;

using Lines = std::vector<std::string>;

const std::map<std::string, std::string> kBackend = {{"DEDUPEINTERNAL", "1"}};
// The sketch holds 50 entries, so that every damage has a short file to act
// on and the sketch is full (a scan resumes only from a full sketch).
const std::vector<std::string> kScanArgs = {"scan", "--input", "s.img", "-o", "m.dat", "--hashSize", "50"};
constexpr size_t kPrologueLines = 11;
constexpr size_t kEntries = 50;
// An entry line in the middle of the entry section.
constexpr size_t kEntry = kPrologueLines + 20;

bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

Lines linesOf(const std::string& text) {
  Lines lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string textOf(const Lines& lines) {
  std::string s;
  for (const std::string& l : lines) s += l + "\n";
  return s;
}

// Replaces the ratio (which = 1) or the counter (which = 2) of an entry line.
void setEntryPart(Lines& lines, size_t i, int which, const std::string& text) {
  const size_t first = lines[i].find(' ');
  const size_t last = lines[i].rfind(' ');
  if (which == 1) {
    lines[i].replace(first + 1, last - first - 1, text);
  } else {
    lines[i].replace(last + 1, std::string::npos, text);
  }
}

// Replaces the value of the labelled line `label`.
void setField(Lines& lines, const std::string& label, const std::string& value) {
  for (size_t i = 1; i < kPrologueLines; ++i) {
    if (lines[i].compare(0, label.size(), label) == 0) lines[i] = label + value;
  }
}

struct Damage {
  const char* what;
  std::function<void(Lines&)> apply;
};

std::function<void(Lines&)> ratio(const std::string& text) {
  return [text](Lines& l) { setEntryPart(l, kEntry, 1, text); };
}

std::function<void(Lines&)> counter(const std::string& text) {
  return [text](Lines& l) { setEntryPart(l, kEntry, 2, text); };
}

const std::vector<Damage>& damages() {
  static const std::vector<Damage> kDamages = {
      {"a prologue label misspelled", [](Lines& l) { l[2].replace(0, 12, "Skech size: "); }},
      {"an entry line twice", [](Lines& l) { l[kEntry + 1] = l[kEntry]; }},
      {"entries out of ascending order", [](Lines& l) { std::swap(l[kEntry], l[kEntry + 1]); }},
      {"sketch size 0 with entries present", [](Lines& l) { setField(l, "Sketch size: ", "0"); }},
      {"more entries declared than present (a tenth left)",
       [](Lines& l) { l.resize(kPrologueLines + kEntries / 10); }},
      {"fewer entries declared than present",
       [](Lines& l) { setField(l, "Sketch size: ", std::to_string(kEntries / 2)); }},
      {"ratio 1e30", ratio("1e30")},
      {"ratio -5", ratio("-5")},
      // -1 alone means "not measured".
      {"ratio -0.5", ratio("-0.5")},
      {"ratio -1.5", ratio("-1.5")},
      {"ratio in hex", ratio("0x3f")},
      {"ratio inf", ratio("inf")},
      {"ratio nan", ratio("nan")},
      // A block never compresses to more than itself plus its 256-byte header.
      {"ratio above (8192 + 256) / 8192", ratio("1.04")},
      {"counter 0", counter("0")},
      {"counter 256", counter("256")},
      {"counter 18446744073709551615", counter("18446744073709551615")},
      {"counter in hex", counter("0x2")},
      {"small zero blocks 18446744073709551615",
       [](Lines& l) { setField(l, "Number of Small Zero blocks: ", "18446744073709551615"); }},
      // Self-contradictory counters: every entry is a not-zero block, and
      // every sighting an entry counts is one.
      {"more entries than not-zero blocks", [](Lines& l) { setField(l, "Number of Not Zero blocks: ", "49"); }},
      {"not-zero blocks below the sum of the entries' counters",
       [](Lines& l) {
         setEntryPart(l, kEntry, 2, "2");
         setField(l, "Number of Not Zero blocks: ", "50");
       }},
      {"thread positions label damaged", [](Lines& l) { l[9].replace(0, 19, "Thread Positions: "); }},
  };
  return kDamages;
}

// One sample image and its clean sketch file, shared by the tests.
class DamagedSketchFile : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir();
    const CliResult sample =
        runCli(dir_->path(), {"--size", "8M", "--seed", "1", "--out", "s.img"}, {}, DZ_MKSAMPLE_BIN);
    ASSERT_EQ(sample.status, 0) << sample.err;
    const CliResult scan = runCli(dir_->path(), kScanArgs, kBackend);
    ASSERT_EQ(scan.status, 0) << scan.err;
    clean_ = new std::string(dztest::readFile(dir_->file("m.dat")));
    ASSERT_EQ(std::rename(dir_->file("m.dat").c_str(), dir_->file("good.dat").c_str()), 0);
  }
  static void TearDownTestSuite() {
    delete clean_;
    delete dir_;
  }

  void SetUp() override {
    ASSERT_NE(clean_, nullptr);
    const Lines lines = linesOf(*clean_);
    ASSERT_EQ(lines.size(), kPrologueLines + kEntries) << *clean_;
    ASSERT_EQ(lines[2], "Sketch size: 50");
    ASSERT_EQ(lines[9].compare(0, 19, "Threads Positions: "), 0);
  }

  // Writes m.dat damaged as d describes, and removes what earlier runs left.
  void writeDamaged(const Damage& d) const {
    Lines lines = linesOf(*clean_);
    d.apply(lines);
    ASSERT_NE(textOf(lines), *clean_) << "the damage changed nothing";
    dztest::writeFile(path("m.dat"), textOf(lines));
    std::remove(path("m.rdb").c_str());
    std::remove(path("out.dat").c_str());
  }

  static std::string path(const std::string& name) { return dir_->file(name); }

  static TempDir* dir_;
  static std::string* clean_;
};

TempDir* DamagedSketchFile::dir_ = nullptr;
std::string* DamagedSketchFile::clean_ = nullptr;

TEST_F(DamagedSketchFile, LoadRefusesItWith134) {
  for (const Damage& d : damages()) {
    SCOPED_TRACE(d.what);
    writeDamaged(d);
    const CliResult r = runCli(dir_->path(), {"load", "-o", "m.dat"});
    EXPECT_EQ(r.status, 134);
    EXPECT_NE(r.err.find("Cannot read given sketch"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("Savings"), std::string::npos) << r.out;
  }
}

TEST_F(DamagedSketchFile, MergeRefusesItAsAnInputWith128) {
  for (const Damage& d : damages()) {
    SCOPED_TRACE(d.what);
    writeDamaged(d);
    const CliResult r = runCli(dir_->path(), {"merge", "--mergefiles", "good.dat,m.dat", "-o", "out.dat"});
    EXPECT_EQ(r.status, 128);
    EXPECT_NE(r.err.find("Error processing: m.dat"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("Savings"), std::string::npos) << r.out;
    EXPECT_FALSE(exists(path("out.dat")));
  }
}

TEST_F(DamagedSketchFile, ScanStartsOverInsteadOfResumingFromIt) {
  for (const Damage& d : damages()) {
    SCOPED_TRACE(d.what);
    writeDamaged(d);
    const CliResult r = runCli(dir_->path(), kScanArgs, kBackend);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.err.find("Cannot use this file: m.dat") != std::string::npos ||
                (r.out + r.err).find("ignoring given sketch file") != std::string::npos)
        << "nothing says the file was not used\n"
        << r.out << r.err;
    EXPECT_EQ(dztest::readFile(path("m.dat")), *clean_) << "the result is not a clean scan's";
  }
}

}  // namespace
