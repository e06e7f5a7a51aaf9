// The merge command seen from outside: hand-made sketch files are merged by
// the built program, and its merged sketch file, report, messages and exit
// status are checked.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "cli.h"
#include "merge_fixtures.h"

namespace {

using dztest::CliResult;
using dztest::readFile;
using dztest::runCli;
using dztest::TempDir;
using mergetest::Entry;
using mergetest::fp;
using mergetest::readSketch;
using mergetest::ReadBack;
using mergetest::SketchFile;

const std::map<std::string, std::string> kBackend = {{"DEDUPEINTERNAL", "1"}};

bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

class MergeCli : public ::testing::Test {
 protected:
  std::string path(const std::string& name) const { return dir_.file(name); }

  std::string write(const std::string& name, const SketchFile& f) const {
    f.write(path(name));
    return path(name);
  }

  CliResult merge(const std::vector<std::string>& inputs, std::vector<std::string> extra = {},
                  const std::map<std::string, std::string>& env = kBackend) const {
    std::string list;
    for (const std::string& in : inputs) list += (list.empty() ? "" : ",") + in;
    std::vector<std::string> args = {"merge", "--mergefiles", list, "--sketch", path("merged")};
    args.insert(args.end(), extra.begin(), extra.end());
    return runCli(dir_.path(), args, env);
  }

  ReadBack merged() const { return readSketch(path("merged")); }

  TempDir dir_;
};

SketchFile fullScan(const std::string& names, std::vector<Entry> entries, uint64_t s, uint64_t b, uint64_t n) {
  SketchFile f;
  f.names = names;
  f.entries = std::move(entries);
  f.smallZero = s;
  f.bigZero = b;
  f.notZero = n;
  return f;
}

TEST_F(MergeCli, FileWithItselfDoublesCountersAndRaisesEachReferenceCounterOnce) {
  const SketchFile f = fullScan("/dev/sdb",
                                {{fp(1), "0.25", 1}, {fp(2), "0.5", 3}, {fp(3), "0.75", 255}, {fp(4), "1", 1},
                                 {fp(5), "0.5", 2}},
                                7, 4096, 1000);
  const std::string in = write("a.dat", f);

  const CliResult r = merge({in, in});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "Warning: merge input " + in + " is the same file as " + in + ": its source is counted twice\n");
  EXPECT_NE(r.out.find("Estimated Dedupe Savings:"), std::string::npos) << r.out;

  ReadBack m = merged();
  EXPECT_EQ(m.header, "..:: Veda Dezevazir Odazirera ::.. merge");
  EXPECT_EQ(m.fields["Original file names"], "/dev/sdb /dev/sdb");
  EXPECT_EQ(m.fields["Sketch size"], "5");
  EXPECT_EQ(m.fields["Number of Small Zero blocks"], "14");
  EXPECT_EQ(m.fields["Number of Big Zero blocks"], "8192");
  EXPECT_EQ(m.fields["Number of Not Zero blocks"], "2000");
  EXPECT_EQ(m.fields["Average compression ratio"], "0.6");
  ASSERT_EQ(m.entries.size(), 5u);
  const int raised[] = {2, 4, 255, 2, 3};
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(m.entries[i].hash, f.entries[i].hash);
    EXPECT_EQ(m.entries[i].ratio, f.entries[i].ratio);
    EXPECT_EQ(m.entries[i].count, raised[i]) << i;
  }
}

// Inputs that count a source twice are named, each with the earlier input
// it repeats; the merged file is the same as without the warning.
TEST_F(MergeCli, InputsThatCountASourceTwiceAreNamedAndMergedAsBefore) {
  const std::string a = write("a.dat", fullScan("/dev/sdb", {{fp(1), "0.25", 1}, {fp(2), "0.5", 3}}, 1, 0, 100));
  const std::string other = write("c.dat", fullScan("/dev/sdb", {{fp(3), "0.5", 1}}, 0, 0, 50));
  const std::string disjoint = write("d.dat", fullScan("/dev/sdc", {{fp(4), "0.5", 1}}, 0, 0, 50));
  ASSERT_EQ(::link(a.c_str(), path("hard.dat").c_str()), 0);
  ASSERT_EQ(::symlink("a.dat", path("soft.dat").c_str()), 0);

  ASSERT_EQ(merge({a, a}).status, 0);
  const std::string itself = readFile(path("merged"));
  for (const std::string& again : {path("hard.dat"), path("soft.dat"), std::string("./") + "a.dat"}) {
    SCOPED_TRACE(again);
    const CliResult r = merge({a, disjoint, again, other});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "Warning: merge input " + again + " is the same file as " + a +
                         ": its source is counted twice\n"
                         "Warning: merge input " + other + " holds the same source names (/dev/sdb) as " + a +
                         ": if it is the same source, it is counted twice\n");
    ASSERT_EQ(merge({a, again}).status, 0);
    EXPECT_EQ(readFile(path("merged")), itself);
  }
  const CliResult distinct = merge({a, disjoint});
  ASSERT_EQ(distinct.status, 0);
  EXPECT_EQ(distinct.err, "");
}

TEST_F(MergeCli, TwoDisjointFullSketchesKeepTheKSmallestOfBoth) {
  // K = 8: one input holds the odd keys 1..15, the other the even keys 2..16.
  std::vector<Entry> odd, even;
  for (uint64_t k = 1; k <= 16; ++k) (k % 2 ? odd : even).push_back({fp(k), k % 2 ? "0.25" : "0.75", 1});
  // Every entry is one of its input's not-zero blocks.
  const std::string a = write("a.dat", fullScan("/dev/a", odd, 1, 2, 8));
  const std::string b = write("b.dat", fullScan("/dev/b", even, 10, 20, 25));

  const CliResult r = merge({a, b}, {"--hashSize", "8"});
  ASSERT_EQ(r.status, 0) << r.err;

  ReadBack m = merged();
  EXPECT_EQ(m.fields["Original file names"], "/dev/a /dev/b");
  EXPECT_EQ(m.fields["Sketch size"], "8");
  EXPECT_EQ(m.fields["Number of Small Zero blocks"], "11");
  EXPECT_EQ(m.fields["Number of Big Zero blocks"], "22");
  EXPECT_EQ(m.fields["Number of Not Zero blocks"], "33");
  EXPECT_EQ(m.fields["Average compression ratio"], "0.5");
  ASSERT_EQ(m.entries.size(), 8u);
  for (uint64_t k = 1; k <= 8; ++k) {
    EXPECT_EQ(m.entries[k - 1].hash, fp(k));
    EXPECT_EQ(m.entries[k - 1].ratio, k % 2 ? "0.25" : "0.75");
    EXPECT_EQ(m.entries[k - 1].count, 1);
  }
}

TEST_F(MergeCli, InputMustHoldEveryEntryItDeclaresAsForALoad) {
  // Cut to a tenth of its entries: a load refuses it, and so does a merge.
  const std::string good = write("good.dat", fullScan("/dev/good", {{fp(1), "0.5", 1}, {fp(2), "0.5", 1}}, 0, 0, 2));
  SketchFile f = fullScan("/dev/short", {}, 0, 0, 50000);
  f.declared = 50000;
  for (size_t i = 0; i < 5000; ++i) f.entries.push_back({fp(100 + i), "0.5", 1});
  const std::string in = write("short.dat", f);

  for (const std::vector<std::string>& options : {std::vector<std::string>{}, {"--mergeall"}}) {
    const CliResult r = merge({in, good}, options);
    EXPECT_EQ(r.status, 128);
    EXPECT_EQ(r.err, "Cannot use this file: " + in + " Truncated: fewer entry lines than its sketch size\n" +
                         "Error processing: " + in + "\n");
    EXPECT_FALSE(exists(path("merged")));
  }
}

TEST_F(MergeCli, UnusableInputEndsTheMergeBeforeAnythingIsWritten) {
  // Reduces well enough to pass the mergeall test (see below).
  std::vector<Entry> reducing;
  for (uint64_t k = 1; k <= 50; ++k) reducing.push_back({fp(k << 50), "0.2", 1});
  const std::string good = write("good.dat", fullScan("/dev/good", reducing, 0, 0, 20000));
  SketchFile mergedBefore = fullScan("/dev/x /dev/y", {{fp(3), "0.5", 2}}, 0, 0, 2);
  mergedBefore.kind = "merge";
  SketchFile otherBuild = fullScan("/dev/z", {{fp(3), "0.5", 1}}, 0, 0, 2);
  otherBuild.build = 152;
  // Entries after one whose ratio is no number.
  const SketchFile damaged =
      fullScan("/dev/d", {{fp(3), "0.5", 1}, {fp(4), "abc", 1}, {fp(5), "0.5", 1}, {fp(6), "0.5", 1}}, 0, 0, 4);
  const std::string damagedEntry = "Cannot use this file: " + path("bad.dat") + " Damaged entry line\n";

  struct Case {
    const char* name;
    std::string content;
    std::string err;  // before "Error processing: "
    std::string out;
    std::vector<std::string> options;
  } cases[] = {
      {"a merge result", mergedBefore.text(), "Cannot use merge files as input for merge \n", "", {}},
      {"another build", otherBuild.text(), "Cannot use this file: " + path("bad.dat") + " Build mismatch\n", "", {}},
      {"no sketch file", "just text\n", "", "\nCorrupted header at " + path("bad.dat") + "\n", {}},
      {"a damaged entry line", damaged.text(), damagedEntry, "", {}},
      // mergeall first has the input's own report computed, which reads its entries.
      {"a damaged entry line with mergeall", damaged.text(), damagedEntry, "", {"--mergeall"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    dztest::writeFile(path("bad.dat"), c.content);
    const CliResult r = merge({good, path("bad.dat")}, c.options);
    EXPECT_EQ(r.status, 128);
    EXPECT_EQ(r.err, c.err + "Error processing: " + path("bad.dat") + "\n");
    EXPECT_EQ(r.out, c.out);
    EXPECT_FALSE(exists(path("merged")));
  }
}

TEST_F(MergeCli, InputThatIsNoRegularFileIsRefusedWith125) {
  ASSERT_EQ(::mkdir(path("d1").c_str(), 0755), 0);
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
  const std::string a = write("a.dat", fullScan("/dev/a", {{fp(1), "0.5", 1}, {fp(2), "0.5", 1}}, 0, 0, 2));
  struct Case {
    std::string input;
    const char* kind;
  } cases[] = {{path("d1"), "a directory"},
               {"/dev/null", "neither a regular file nor a block device"},
               // Refused without opening it for a read that would wait for a writer.
               {path("fifo"), "neither a regular file nor a block device"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    const CliResult r = merge({a, c.input});
    EXPECT_EQ(r.status, 125);
    EXPECT_EQ(r.err, "Cannot read mergefile: " + c.input + ": it is " + c.kind + "\n");
    EXPECT_FALSE(exists(path("merged")));
  }
}

SketchFile partialScan(const std::string& names, const std::string& ratio, uint64_t zero, uint64_t notZero) {
  SketchFile f;
  f.kind = "partialscan";
  f.names = names;
  f.ratio = ratio;
  f.smallZero = zero;
  f.notZero = notZero;
  return f;
}

TEST_F(MergeCli, MergeallLeavesOutInputsThatReduceTooLittle) {
  // 50 keys spread over the lowest 50 / 16384 of the key space: about 16000
  // distinct blocks among 20000, each compressing to a fifth.
  std::vector<Entry> entries;
  for (uint64_t k = 1; k <= 50; ++k) entries.push_back({fp(k << 50), "0.2", 1});
  const std::string full = write("full.dat", fullScan("/dev/full", entries, 0, 0, 20000));
  const std::string poor = write("poor.dat", partialScan("/dev/poor", "0.98", 0, 1000000));
  const std::string good = write("good.dat", partialScan("/dev/good", "0.3", 1000, 999000));

  // Without mergeall every input takes part.
  CliResult r = merge({full, poor, good});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(merged().fields["Original file names"], "/dev/full /dev/poor /dev/good");

  r = merge({full, poor, good}, {"--mergeall"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string message =
      "Cannot add /dev/poor (" + poor + ") Data reduction savings are below threshold of 10%";
  EXPECT_EQ(r.err, message + "\n");
  EXPECT_NE(readFile(path("ridoriDozu.log")).find(message), std::string::npos);
  EXPECT_EQ(merged().fields["Original file names"], "/dev/full /dev/good");
}

// Reads "label value" from a detailed report.
double reportValue(const std::string& out, const std::string& label) {
  const size_t at = out.find(label);
  if (at == std::string::npos) return NAN;
  return std::stod(out.substr(at + label.size()));
}

TEST_F(MergeCli, PartialScansJoinTheTotalsAndTheirRatioTheMergedEstimate) {
  std::vector<Entry> entries;
  for (uint64_t k = 1; k <= 200; ++k) entries.push_back({fp(k << 48), k % 2 ? "0.2" : "0.4", 1});
  const std::string full = write("full.dat", fullScan("/dev/full", entries, 100, 2048, 5000));
  const std::string part = write("part.dat", partialScan("/dev/part", "0.8", 250, 750));

  std::map<std::string, std::string> env = kBackend;
  env["VERBOSE_OUTPUT"] = "";
  const CliResult r = merge({full, part}, {}, env);
  ASSERT_EQ(r.status, 0) << r.err;

  // The merged file holds the full scan's counters only.
  ReadBack m = merged();
  EXPECT_EQ(m.fields["Original file names"], "/dev/full /dev/part");
  EXPECT_EQ(m.fields["Number of Small Zero blocks"], "100");
  EXPECT_EQ(m.fields["Number of Big Zero blocks"], "2048");
  EXPECT_EQ(m.fields["Number of Not Zero blocks"], "5000");
  EXPECT_EQ(m.entries.size(), 200u);

  // The report weighs the sketch's ratio (0.3) over the full scan's unique
  // blocks and the partial scan's 1000 blocks at 0.8 (800 compressed).
  const double u2 = reportValue(r.out, "Unique estimation after split:     ");
  ASSERT_FALSE(std::isnan(u2)) << r.out;
  const double expected = (0.3 * u2 + 800.0) / (1000.0 + u2);
  EXPECT_NEAR(reportValue(r.out, "Average compression ratio:         "), expected, 1e-5 * expected) << r.out;
  EXPECT_EQ(reportValue(r.out, "Total blocks seen:                 "), 7148.0);
}

TEST_F(MergeCli, PartialScansAloneGiveTheirBlendedRatioAndZeroShare) {
  const std::string a = write("a.dat", partialScan("/dev/a", "0.8", 250, 750));
  const std::string b = write("b.dat", partialScan("/dev/b", "0.4", 0, 1000));
  const CliResult r = merge({a, b}, {}, kBackend);
  ASSERT_EQ(r.status, 0) << r.err;
  // No sketch entries: compressed blocks (800 + 400) over all 2000 blocks,
  // and the partial scans' 250 zero blocks over the same 2000.
  EXPECT_NE(r.out.find("Estimated Compression Savings:     40.000%"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Estimated Zero Blocks:             12.500%"), std::string::npos) << r.out;
}

}  // namespace
