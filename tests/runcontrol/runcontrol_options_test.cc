// boostOptions in-process: what lands in myGlobals, and the small helpers of
// the run frame. Paths that end the process are covered by the CLI tests.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "cli.h"
#include "runcontrol/command_lines.h"
#include "runcontrol/elapsed.h"
#include "runcontrol/options.h"
#include "base/run_globals.h"
#include "runcontrol/sketch_name.h"

namespace {

// Parses `args` (after a program name) with the given groups unlocked.
// A scan of input parsed with standard error left alone (for death tests).
void parseUncaptured(const std::string& input) {
  std::vector<std::string> args = {"dezevazir", "scan", "--input", input};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  boostOptions(static_cast<int>(args.size()), argv.data());
}

bool parse(std::vector<std::string> args, bool support = false, bool backend = false) {
  if (support) setenv("ZIZUDIR3", "", 1);
  else unsetenv("ZIZUDIR3");
  if (backend) setenv("DEDUPEINTERNAL", "1", 1);
  else unsetenv("DEDUPEINTERNAL");
  args.insert(args.begin(), "dezevazir");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const bool ok = boostOptions(static_cast<int>(args.size()), argv.data());
  testing::internal::GetCapturedStdout();
  testing::internal::GetCapturedStderr();
  return ok;
}

class Options : public ::testing::Test {
 protected:
  void SetUp() override {
    myGlobals.resetForNextLine();
    myGlobals.sketch.clear();
    myGlobals.batchfile.clear();
  }
};

TEST_F(Options, ValuesLandInTheirFieldsThroughLongShortAndPrefixNames) {
  ASSERT_TRUE(parse({"-x", "5", "--inp", "in", "-o", "s.dat", "--upd", "7", "LOAD", "--logl", "4", "--mergea",
                     "-p", "3", "-M", "1", "--storagever", "1200", "--mergeAllThreshold", "0.5", "-m", "-r", "9",
                     "-u", "11", "-T", "12", "--segmentSize", "16384", "--hashS", "13", "-t", "14",
                     "--readcmpRequestsMaxQ", "15", "--readRequestsMaxQ", "16", "--hashRequestsMaxQ", "17"},
                    true, true));
  const RunGlobals& g = myGlobals;
  EXPECT_EQ(5u, g.maxMBPs);
  EXPECT_EQ("in", g.input);
  EXPECT_EQ("s.dat", g.sketch);
  EXPECT_EQ(7u, g.updatebw);
  EXPECT_EQ("load", g.command);
  EXPECT_EQ(4u, g.loglevel);
  EXPECT_TRUE(g.mergeall);
  EXPECT_EQ(3u, g.threads);
  EXPECT_EQ(1, g.machineSize);
  EXPECT_EQ(uint64_t{1} << 27, g.machineBlocks);  // 1 TiB in 8 KiB blocks
  EXPECT_EQ(1200u, g.storagever);
  EXPECT_FLOAT_EQ(0.5f, g.mergeAllThreshold);
  EXPECT_TRUE(g.altHash);
  EXPECT_EQ(16, g.hashLength);
  EXPECT_EQ(9, g.recoverBlocks);
  EXPECT_EQ(11, g.randomBytes);
  EXPECT_EQ(12u, g.minSecsRecovery);
  EXPECT_EQ(16384, g.segmentSize);
  EXPECT_EQ(13, g.hashSize);
  EXPECT_EQ(14, g.maxNumSamples);
  EXPECT_EQ(15, g.readcmpRequestsMaxQ);
  EXPECT_EQ(16, g.readRequestsMaxQ);
  EXPECT_EQ(17, g.hashRequestsMaxQ);
}

TEST_F(Options, DefaultsOverwriteFieldsButOptionsWithoutDefaultLeaveThem) {
  RunGlobals& g = myGlobals;
  g.updatebw = 99;
  g.hashSize = 98;
  g.readcmpRequestsMaxQ = 97;
  g.machineBlocks = 1;
  g.segmentSize = 3 * 8192;
  g.maxNumSamples = 96;
  g.mergeAllThreshold = 0.25f;
  ASSERT_TRUE(parse({"load"}, true, true));
  EXPECT_EQ(10u, g.updatebw);
  EXPECT_EQ(50000, g.hashSize);
  EXPECT_EQ(2, g.readcmpRequestsMaxQ);
  EXPECT_EQ(7650410496u, g.machineBlocks);  // the notifier runs on the default
  EXPECT_EQ(3 * 8192, g.segmentSize);
  EXPECT_EQ(96, g.maxNumSamples);
  EXPECT_FLOAT_EQ(0.25f, g.mergeAllThreshold);
  EXPECT_EQ(20, g.hashLength);
}

TEST_F(Options, MachineBlocksOfTheLargestMachineSize) {
  // The notifier runs before help and before the range checks, so it must
  // hold for any int: 2^31 - 1 TiB is under 2^58 blocks, though its bytes
  // would not fit in 64 bits.
  const uint64_t largest = uint64_t{2147483647} << 27;
  EXPECT_FALSE(parse({"-h", "-M", "2147483647"}, true));
  EXPECT_EQ(largest, myGlobals.machineBlocks);
  myGlobals.machineBlocks = 0;
  ASSERT_TRUE(parse({"load", "-M", "2147483647"}, true));
  EXPECT_EQ(largest, myGlobals.machineBlocks);
}

TEST_F(Options, DisabledGroupsLeaveTheirFieldsAlone) {
  myGlobals.threads = 4;
  myGlobals.hashSize = 5;
  ASSERT_TRUE(parse({"load"}));
  EXPECT_EQ(4u, myGlobals.threads);
  EXPECT_EQ(5, myGlobals.hashSize);
}

TEST_F(Options, HelpAndParseErrorsReturnFalseWithoutTouchingTheCommand) {
  EXPECT_FALSE(parse({}));
  EXPECT_FALSE(parse({"merge", "--help"}));
  EXPECT_FALSE(parse({"merge", "-d"}));
  // On a batch line a source that cannot be opened makes the line unusable;
  // on the program's own line it ends the program as an unreadable source.
  setBatchLine(true);
  EXPECT_FALSE(parse({"scan", "--input", "/nonexistent/device"}));
  setBatchLine(false);
  EXPECT_EXIT(parseUncaptured("/nonexistent/device"), ::testing::ExitedWithCode(100),
              "Error reading: /nonexistent/device: No such file or directory");
  EXPECT_EQ("scan", myGlobals.command);
  EXPECT_EQ("", myGlobals.sketch);
}

TEST_F(Options, BatchFileMakesTheCommandWordIrrelevant) {
  ASSERT_TRUE(parse({"nonsense", "--batchfile", "b.txt"}));
  EXPECT_EQ("scan", myGlobals.command);
  EXPECT_EQ("b.txt", myGlobals.batchfile);
  EXPECT_EQ("", myGlobals.sketch);  // each batch line names its own
  // The word "batch" alone is accepted and runs the preset command.
  myGlobals.batchfile.clear();
  ASSERT_TRUE(parse({"batch", "-d", "/nonexistent/device"}));
  EXPECT_EQ("scan", myGlobals.command);
}

TEST_F(Options, ScanTestOpensItsDevice) {
  dztest::TempDir dir;
  dztest::writeFile(dir.file("dev"), "");
  ASSERT_TRUE(parse({"Scan", "-d", dir.file("dev")}));
  EXPECT_EQ("scan", myGlobals.command);
  EXPECT_EQ(autoSketchName("scan", dir.file("dev")), myGlobals.sketch);
}

TEST(RunGlobalsReset, RestoresEverythingButSketchAndBatchfile) {
  RunGlobals& g = myGlobals;
  g.sketch = "keep.dat";
  g.batchfile = "b.txt";
  g.input = "x";
  g.command = "merge";
  g.threads = 1;
  g.hashLength = 16;
  g.mergeall = true;
  g.machineSize = 1;
  g.machineBlocks = 1;
  g.sha1Done = 5;
  g.samplesZero = 6;
  g.html = "page.html";
  g.resetForNextLine();
  EXPECT_EQ("keep.dat", g.sketch);
  EXPECT_EQ("b.txt", g.batchfile);
  EXPECT_EQ("", g.input);
  EXPECT_EQ("scan", g.command);
  EXPECT_EQ(10u, g.threads);
  EXPECT_EQ(20, g.hashLength);
  EXPECT_FALSE(g.mergeall);
  EXPECT_EQ(57, g.machineSize);
  EXPECT_EQ(7650410496u, g.machineBlocks);
  EXPECT_EQ(0u, g.sha1Done);
  EXPECT_EQ(0u, g.samplesZero);
  EXPECT_EQ("", g.html) << "a batch line's page is that line's only";
}

TEST(SketchName, CrcOfTheInputInUpperCaseHexWithoutLeadingZeros) {
  EXPECT_EQ("file_352441C2.dat", autoSketchName("scan", "abc"));
  EXPECT_EQ("file_partialscan_352441C2.dat", autoSketchName("partialscan", "abc"));
  EXPECT_EQ("file_81E4DAEF.dat", autoSketchName("load", "/dev/sda"));
  EXPECT_EQ("file_42BDD5.dat", autoSketchName("scan", "dev257"));  // CRC 0x0042BDD5
  EXPECT_EQ("file_0.dat", autoSketchName("scan", ""));
  EXPECT_EQ("merge_out", autoSketchName("merge", "abc"));
}

TEST(TimeConsumed, PaddedLabelAndHoursMinutesSeconds) {
  EXPECT_EQ("Time Consumed:                    00:00:00", timeConsumedLine(0));
  EXPECT_EQ("Time Consumed:                    01:01:01", timeConsumedLine(3661));
  EXPECT_EQ("Time Consumed:                    100:00:00", timeConsumedLine(360000));
}

TEST(CommandLines, SkippedLines) {
  struct Case {
    const char* line;
    bool skipped;
  } cases[] = {{"", true},          {" \t\v\f\r", true}, {"#", true},       {"# scan", true},
               {"  # x", false},    {"scan", false},     {"\tscan", false}, {"scan # not a comment", false}};
  for (const Case& c : cases) EXPECT_EQ(c.skipped, isSkippedLine(c.line)) << '"' << c.line << '"';
}

TEST(CommandLines, ShellWordSplitting) {
  using W = std::vector<std::string>;
  EXPECT_EQ(W({"scan", "-d", "/dev/x"}), splitCommandLine("  scan\t-d   /dev/x "));
  EXPECT_EQ(W({"-d", "a b", "c d", "e f"}), splitCommandLine("-d \"a b\" 'c d' e\\ f"));
  EXPECT_EQ(W({"#", "x"}), splitCommandLine("  # x"));
}

TEST(CommandLines, ProgramArgumentsMakeOneLine) {
  std::vector<std::string> args = {"prog", "scan", "-d", "a b"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  EXPECT_EQ(std::vector<std::string>({"scan -d a b "}), buildCommandLines(4, argv.data(), ""));
}

TEST(CommandLines, BatchFileKeepsEveryLineSoNumbersCountFileLines) {
  dztest::TempDir dir;
  dztest::writeFile(dir.file("b.txt"), "load\n\n# c\n  \nscan -d x");
  char prog[] = "prog";
  char* argv[] = {prog, nullptr};
  EXPECT_EQ(std::vector<std::string>({"load", "", "# c", "  ", "scan -d x"}),
            buildCommandLines(1, argv, dir.file("b.txt")));
  EXPECT_TRUE(buildCommandLines(1, argv, dir.file("missing.txt")).empty());
}

}  // namespace
