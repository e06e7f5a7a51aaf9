// The program's command line, batch files and run log, seen from outside:
// the built binary runs in a fresh directory and its exit status, output
// and files are checked.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "cli.h"
#include "runcontrol/build_id.h"

namespace {

using dztest::CliResult;
using dztest::readFile;
using dztest::runCli;
using dztest::TempDir;
using dztest::writeFile;

const std::string kStubBin = DEZEVAZIR_STUB_BIN;
const std::string kCaption = "Veda Dezevazir odazirera Version: 1.03 Build 153:\n";
const std::string kTimestamp = R"( \d\d/\d\d/\d{4}\.\d{6} \d\d:\d\d:\d\d )";
const std::string kTimeLine = "Time Consumed:                    \\d\\d:\\d\\d:\\d\\d\n";

enum Env { kPlain, kSupport, kBackend, kBoth };

std::map<std::string, std::string> envFor(Env env) {
  std::map<std::string, std::string> m;
  if (env == kSupport || env == kBoth) m["ZIZUDIR3"] = "1";
  if (env == kBackend || env == kBoth) m["DEDUPEINTERNAL"] = "1";
  return m;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

bool searches(const std::string& text, const std::string& pattern) {
  return std::regex_search(text, std::regex(pattern));
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define DZ_TEST_SANITIZER_ALLOCATOR 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define DZ_TEST_SANITIZER_ALLOCATOR 1
#endif
#endif

// Every table case runs under a memory cap: refusing a command line needs
// little, and a limiter sized from an unchecked -x (4000000000 slots take
// 16 GB) must fail fast instead of filling the machine. The address space is
// capped through the shell; a sanitizer reserves far more address space than
// any cap, so there its own allocation limit stands in.
constexpr int kMemoryCapMiB = 4096;

CliResult runMemoryCapped(const std::string& cwd, const std::vector<std::string>& args,
                          std::map<std::string, std::string> env, const std::string& binary) {
#ifdef DZ_TEST_SANITIZER_ALLOCATOR
  for (const char* var : {"ASAN_OPTIONS", "TSAN_OPTIONS"}) {
    const char* given = std::getenv(var);
    env[var] = std::string(given != nullptr ? std::string(given) + ":" : "") +
               "max_allocation_size_mb=" + std::to_string(kMemoryCapMiB);
  }
  return runCli(cwd, args, env, binary);
#else
  const std::string capped = "ulimit -v " + std::to_string(kMemoryCapMiB * 1024) + " && exec \"$0\" \"$@\"";
  std::vector<std::string> wrapped = {"-c", capped, binary.empty() ? dztest::dezevazirPath() : binary};
  wrapped.insert(wrapped.end(), args.begin(), args.end());
  return runCli(cwd, wrapped, env, "/bin/sh");
#endif
}

// One program start. Files named in `files` are created empty in the
// working directory beforehand ("name/" makes a directory).
struct CliCase {
  const char* name;
  std::vector<std::string> args;
  Env env;
  int status;
  std::string err = "";  // regex the whole of stderr must match
  std::string out = "";  // regex stdout must contain ("" = no check)
  std::string notOut = "";  // regex stdout must not contain ("" = no check)
  std::string sketch = "";  // auto-generated sketch name, "" = none may be generated
  bool stub = false;     // run the driver with stand-in commands
  std::vector<std::string> files = {"abc", "a", "b"};
};

// Names the case in failure messages instead of a byte dump.
void PrintTo(const CliCase& c, std::ostream* os) { *os << c.name; }

const std::string kParseError = "Unable to parse command line: ";
const std::string kBadCommand =
    kParseError + "invalid option value - Invalid - Available commands are: scan, partialscan, load or merge\n";
const std::string kNoDevice = kParseError + "invalid option value: Device to scan not given or cannot open\n";
const std::string kGitLine = std::string("Git commit: ") + kBuildId + "\n";
const std::string kNoSource = "Device to scan not given: use --input\n";
const std::string kVersionText = std::string("dezevazir 1.03 (build 153)\nGit commit: ") + kBuildId + "\n";

// A second positional word, as the parse refuses it.
std::string secondWordText(const std::string& word, const std::string& command) {
  return "the word " + word + " is not understood: one command word is taken (here " + command +
         "); a sketch file goes with --sketch (-o), merge inputs with --mergefiles a,b\n";
}

// Text to match literally in a regular expression.
std::string literal(const std::string& text) {
  static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
  return std::regex_replace(text, special, R"(\$&)");
}

const std::vector<CliCase> kCliCases = {
    // Help and parse errors: status 123, the groups on stdout.
    {"no arguments show the general group", {}, kPlain, 123, "", "^" + kCaption + "  -h \\[ --help \\]",
     "Support options|Backend options|Git commit"},
    {"help shows the support group and build id", {"--help"}, kSupport, 123, "",
     "\n\nSupport options:\n[\\s\\S]*--threads[\\s\\S]*" + kGitLine, "Backend options"},
    {"help shows the backend group", {"-h"}, kBackend, 123, "", "Backend options:\n[\\s\\S]*--hashRequestsMaxQ ",
     "Support options|Git commit"},
    {"help wins over checks", {"--help", "--updatebw", "0", "--mergefiles", "x", "bogus"}, kPlain, 123, "", kCaption},
    // Nothing is sized or computed from values that help or an error leaves
    // unchecked: no limiter for -x, no queue bounds, no machine capacity.
    {"help with a maxMBPs beyond the limit", {"-h", "-x", "4000000000"}, kPlain, 123, "",
     "^" + kCaption + "  -h \\[ --help \\]"},
    {"parse error with a maxMBPs beyond the limit", {"-x", "4294967295", "bogus"}, kPlain, 123, kBadCommand,
     "^" + kCaption},
    {"help with a queue bound times threads beyond int", {"-h", "-p", "5000000"}, kBoth, 123, "",
     "Backend options:\n[\\s\\S]*--hashRequestsMaxQ "},
    {"help with the largest machineSize", {"-h", "-M", "2147483647"}, kSupport, 123, "", kGitLine},
    {"option of a disabled group", {"--threads", "4", "load"}, kPlain, 123,
     kParseError + "unrecognised option --threads\n", kCaption, "Git commit"},
    {"backend option needs DEDUPEINTERNAL", {"--hashRequestsMaxQ", "4", "load"}, kSupport, 123,
     kParseError + "unrecognised option --hashRequestsMaxQ\n", "Support options:\n", "Git commit|Backend"},
    {"second positional word", {"scan", "load"}, kPlain, 123, literal(kParseError + secondWordText("load", "scan")),
     kCaption},
    // A file given without its option: the word and where it belongs.
    {"sketch file as a second word", {"load", "x.dat"}, kPlain, 123,
     literal(kParseError + secondWordText("x.dat", "load")), kCaption},
    {"merge inputs as two words", {"merge", "--mergefiles", "a", "b"}, kPlain, 123,
     literal(kParseError + secondWordText("b", "merge")), kCaption},
    {"ambiguous abbreviation", {"--merge", "x", "load"}, kPlain, 123, kParseError + "option --merge is ambiguous.*\n",
     kCaption},
    {"missing option value", {"load", "--loglevel"}, kPlain, 123, kParseError + ".*--loglevel.*\n", kCaption},
    {"malformed number", {"load", "-s", "ten"}, kPlain, 123, kParseError + ".*--updatebw.*\n", kCaption},
    {"unknown command", {"bogus"}, kPlain, 123, kBadCommand, kCaption},
    {"scan without device", {"scan"}, kPlain, 123, kNoDevice, kCaption},
    // A source named but not there: its name and the reason, not the help.
    {"partialscan of a missing device", {"partialscan", "-d", "missing"}, kPlain, 100,
     "Error reading: missing: No such file or directory\n", "", kCaption},
    {"run log cannot be opened", {"load"}, kPlain, 10, "Error opening logfile: ridoriDozu.log\n", "", "", "", false,
     {"ridoriDozu.log/"}},

    // The command word batch, given or set by --batchfile, skips the device
    // test and leaves the command scan: a scan without a source ends before
    // its engine is built.
    {"word batch without a device", {"batch"}, kPlain, 100, kNoSource, "", "Time Consumed", "file_0.dat"},
    {"empty batch file name leaves a scan without a device", {"load", "--batchfile", ""}, kPlain, 100, kNoSource,
     "", "Time Consumed", "file_0.dat"},

    // Merge files.
    {"merge without merge files", {"merge"}, kPlain, 124, "Missing merge files need at least 2\n"},
    {"one merge file", {"merge", "--mergefiles", "a"}, kPlain, 132, "Missing merge files need at least 2\n"},
    {"empty merge file name", {"merge", "--mergefiles", "a,,b"}, kPlain, 125, "Cannot read mergefile: : No such file or directory\n"},
    {"missing merge file", {"merge", "--mergefiles", "a,nope,b"}, kPlain, 125, "Cannot read mergefile: nope: No such file or directory\n"},
    // Only a regular file can be a sketch file (a FIFO would block its reader).
    {"merge file that is a device", {"merge", "--mergefiles", "/dev/null,/dev/null"}, kPlain, 125,
     "Cannot read mergefile: /dev/null: it is neither a regular file nor a block device\n"},
    {"merge files with another command", {"--mergefiles", "a,b", "-d", "abc"}, kPlain, 127,
     "Mergefiles must be used with merge command only\n"},

    // Ranges.
    {"updatebw 0 (through its prefix)", {"load", "--upd", "0"}, kPlain, 130,
     "Valid values are between 1 to 9999 for --updatebw \\(-s\\), given 0\n"},
    {"updatebw 10000", {"load", "-s", "10000"}, kPlain, 130,
     "Valid values are between 1 to 9999 for --updatebw \\(-s\\), given 10000\n"},
    {"updatebw 0", {"load", "-s", "0"}, kPlain, 130,
     "Valid values are between 1 to 9999 for --updatebw \\(-s\\), given 0\n"},
    // The parser takes a negative number for an unsigned option as a huge
    // one; the message quotes what was typed.
    {"negative updatebw", {"load", "-s", "-1"}, kPlain, 130,
     "Valid values are between 1 to 9999 for --updatebw \\(-s\\), given -1\n"},
    {"negative maxMBPs", {"load", "-x", "-5"}, kPlain, 133, "Invalid maxMBPs given: -5: must not be negative\n"},
    {"negative threads", {"load", "-p", "-3"}, kSupport, 133, "Invalid threads given: -3: must not be negative\n"},
    {"negative loglevel", {"load", "--loglevel=-1"}, kPlain, 133,
     "Invalid loglevel given: -1: must not be negative\n"},
    {"negative minSecsRecovery", {"load", "-T", "-1"}, kBackend, 133,
     "Invalid minSecsRecovery given: -1: must not be negative\n"},
    {"storagever 1199", {"load", "--storagever", "1199"}, kSupport, 131, "Invalid Storage Ver given\n"},
    {"storagever 1203", {"load", "--storagever", "1203"}, kSupport, 131, "Invalid Storage Ver given\n"},
    {"threads 0", {"load", "-p", "0"}, kSupport, 133, "Invalid threads given: need at least 1\n"},
    {"recoverBlocks 0", {"load", "-r", "0"}, kBackend, 133, "Invalid recoverBlocks given: need at least 1\n"},
    {"hashSize 0", {"load", "--hashSize", "0"}, kBackend, 133, "Invalid hashSize given: need at least 1\n"},
    {"segmentSize not a block multiple", {"load", "--segmentSize", "8193"}, kBackend, 133,
     "Invalid segmentSize given: need a positive multiple of 8192\n"},
    {"segmentSize 0", {"load", "--segmentSize", "0"}, kBackend, 133,
     "Invalid segmentSize given: need a positive multiple of 8192\n"},
    {"negative maxNumSamples", {"load", "-t", "-1"}, kBackend, 133,
     "Invalid maxNumSamples given: must not be negative\n"},
    {"readcmp queue bound 0", {"load", "--readcmpRequestsMaxQ", "0"}, kBackend, 133,
     "Invalid readcmpRequestsMaxQ given: need at least 1\n"},
    {"read queue bound 0", {"load", "--readRequestsMaxQ", "0"}, kBackend, 133,
     "Invalid readRequestsMaxQ given: need at least 1\n"},
    {"hash queue bound 0", {"load", "--hashRequestsMaxQ", "0"}, kBackend, 133,
     "Invalid hashRequestsMaxQ given: need at least 1\n"},
    {"maxMBPs beyond any device", {"load", "-x", "1000001"}, kPlain, 133,
     "Invalid maxMBPs given: at most 1000000\n"},
    {"loglevel that does not fit the signed level", {"load", "--loglevel", "2147483648"}, kPlain, 133,
     "Invalid loglevel given: at most 2147483647\n"},
    {"machineSize 0", {"load", "-M", "0"}, kSupport, 133, "Invalid machineSize given: need at least 1\n"},
    {"threads above 1024", {"load", "-p", "1025"}, kBoth, 133, "Invalid threads given: at most 1024\n"},
    {"queue bound times threads overflows", {"load", "-p", "1024", "--hashRequestsMaxQ", "3000000"}, kBoth, 133,
     "Invalid hashRequestsMaxQ given: hashRequestsMaxQ times threads exceeds 2147483647\n"},

    // Runs (stand-in commands): names, commands and what reaches the run.
    {"scan names its sketch by the input's CRC", {"scan", "--input", "abc"}, kPlain, 0, "",
     "RUN scan command=scan input=abc sketch=file_352441C2.dat .*\n" + kTimeLine, "", "file_352441C2.dat", true},
    {"command word in capitals", {"SCAN", "-d", "abc"}, kPlain, 0, "", "RUN scan command=scan ", "",
     "file_352441C2.dat", true},
    {"partialscan name", {"Partialscan", "-d", "abc"}, kPlain, 0, "", "RUN partialscan ", "",
     "file_partialscan_352441C2.dat", true},
    // A load has nothing to name its sketch after: none is generated, and
    // the load says that it needs --sketch.
    {"load of an empty input", {"load"}, kPlain, 0, "", "RUN load command=load input= sketch= ", "", "", true},
    {"load names the sketch after its input", {"load", "-d", "abc"}, kPlain, 0, "",
     "RUN load command=load input=abc sketch=file_352441C2.dat ", "", "file_352441C2.dat", true},
    {"merge writes merge_out", {"merge", "--mergefiles", "a,b", "--mergeall"}, kPlain, 0, "",
     "RUN merge .*sketch=merge_out .*merge=2 ", "", "merge_out", true},
    {"sketch given", {"scan", "-d", "abc", "-o", "mine.dat"}, kPlain, 0, "", "RUN scan .*sketch=mine.dat ", "", "",
     true},
    {"word batch keeps scan without a device test", {"batch"}, kPlain, 0, "", "RUN scan command=scan input= ", "",
     "file_0.dat", true},
    {"batch file that cannot be opened", {"load", "--batchfile", "nofile"}, kPlain, 123,
     "Cannot open batch file nofile: No such file or directory\n", "", "RUN|Time Consumed", "", true},
    // A device or FIFO could block or never end a line.
    {"batch file that is a device", {"load", "--batchfile", "/dev/zero"}, kPlain, 123,
     "Cannot use batch file /dev/zero: it is neither a regular file nor a block device\n", "", "RUN|Time Consumed",
     "", true},
    {"single line starting with # is skipped", {"#", "--batchfile", ""}, kPlain, 0, "", "", "RUN|Time Consumed",
     "file_0.dat", true},
    {"start-up settings reach the run", {"load", "-x", "3", "--loglevel", "5", "-p", "2", "--altHash"}, kBoth, 0, "",
     "threads=2 loglevel=5 hashLength=16 .*td=5 logq=5 qlevel=7 bounds=4,20,1000,0 throttle=3 ", "", "",
     true},
    {"updatebw bounds accepted", {"load", "-s", "1"}, kPlain, 0, "", "updatebw=1 ", "", "", true},
    {"updatebw upper bound accepted", {"load", "-s", "9999"}, kPlain, 0, "", "updatebw=9999 ", "", "",
     true},
    {"hashRequestsMaxQ through its prefix", {"load", "--hashRequestsMaxQ", "7"}, kBackend, 0, "",
     "bounds=20,100,70,0 ", "", "", true},
};

class CliTable : public ::testing::TestWithParam<CliCase> {};

TEST_P(CliTable, StatusOutputErrorsAndSketchName) {
  const CliCase& c = GetParam();
  TempDir dir;
  for (const std::string& f : c.files) {
    if (f.back() == '/') {
      ASSERT_EQ(0, mkdir(dir.file(f).c_str(), 0755));
    } else {
      writeFile(dir.file(f), "");
    }
  }
  const CliResult r = runMemoryCapped(dir.path(), c.args, envFor(c.env), c.stub ? kStubBin : "");
  EXPECT_EQ(c.status, r.status);
  EXPECT_TRUE(std::regex_match(r.err, std::regex(c.err))) << "stderr: " << r.err;
  if (!c.out.empty()) {
    EXPECT_TRUE(searches(r.out, c.out)) << "stdout: " << r.out;
  }
  if (!c.notOut.empty()) {
    EXPECT_FALSE(searches(r.out, c.notOut)) << "stdout: " << r.out;
  }
  const std::string autoName = "Result data filename not given, auto-generating: ";
  if (c.sketch.empty()) {
    EXPECT_EQ(std::string::npos, r.out.find(autoName)) << r.out;
  } else {
    EXPECT_NE(std::string::npos, r.out.find(autoName + c.sketch + "\n")) << r.out;
  }
}

INSTANTIATE_TEST_SUITE_P(CommandLine, CliTable, ::testing::ValuesIn(kCliCases),
                         [](const ::testing::TestParamInfo<CliCase>& info) {
                           std::string n = info.param.name;
                           for (char& ch : n) {
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           }
                           return n;
                         });

// Batch files: one run per usable line.
class Batch : public ::testing::Test {
 protected:
  TempDir dir;
  void SetUp() override {
    writeFile(dir.file("abc"), "");
    writeFile(dir.file("my file"), "");
  }
  CliResult run(const std::string& batch, std::vector<std::string> extra = {}, Env env = kPlain,
                std::map<std::string, std::string> more = {}) {
    writeFile(dir.file("b.txt"), batch);
    std::vector<std::string> args = {"--batchfile", "b.txt"};
    args.insert(args.end(), extra.begin(), extra.end());
    auto e = envFor(env);
    e.insert(more.begin(), more.end());
    return runCli(dir.path(), args, e, kStubBin);
  }
  std::vector<std::string> runLines(const std::string& out) {
    std::vector<std::string> runs;
    for (const std::string& l : lines(out)) {
      if (l.rfind("RUN ", 0) == 0) runs.push_back(l);
    }
    return runs;
  }
};

TEST_F(Batch, CommentCountsAndGetsTheEchoLine) {
  const CliResult r = run("# one usable line below\nscan -d abc\n");
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.err);
  // The first parse names no sketch; the line does.
  EXPECT_EQ(kStubBin + " scan -d abc\n"
                "Result data filename not given, auto-generating: file_352441C2.dat\n",
            r.out.substr(0, r.out.find("RUN")));
  ASSERT_EQ(1u, runLines(r.out).size());
  EXPECT_TRUE(searches(r.out, "RUN scan command=scan input=abc sketch=file_352441C2.dat .*\n" + kTimeLine + "$"));
}

TEST_F(Batch, WindowsLineEndingsDoNotReachTheLastWord) {
  // A batch file saved with CRLF: the device test would fail on "abc\r".
  const CliResult r = run("# made on another system\r\nscan -d abc\r\n");
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.err);
  ASSERT_EQ(1u, runLines(r.out).size());
  EXPECT_TRUE(searches(r.out, "RUN scan command=scan input=abc sketch=file_352441C2.dat "));
}

TEST_F(Batch, BadLinesAreReportedByFileLineNumberAndSkipped) {
  // Line 3 is not a comment ('#' after blanks): words "#" and "x".
  const CliResult r = run("\n# comment\n  # x\nbogus\n--help\nload -o l.dat\n");
  // The other lines ran; the batch says that some did not.
  EXPECT_EQ(123, r.status);
  EXPECT_EQ(kParseError + secondWordText("x", "#") + "Error parsing line #3\n" +
                kBadCommand + "Error parsing line #4\nError parsing line #5\n",
            r.err);
  const auto runs = runLines(r.out);
  ASSERT_EQ(1u, runs.size());
  EXPECT_TRUE(searches(runs[0], "^RUN load command=load input= sketch=l.dat "));
  // Blank and comment lines get no echo; the others do.
  EXPECT_FALSE(searches(r.out, "b.txt\\s*\n|# comment"));
  EXPECT_TRUE(searches(r.out, "stub_commands   # x\n"));
  EXPECT_EQ(r.out.find("Time Consumed"), r.out.rfind("Time Consumed"));
}

TEST_F(Batch, EachLineStartsFromTheDefaultsAndClearsTheSketch) {
  const CliResult r = run(
      "load -s 5\n"
      "scan -d abc -o keep.dat -p 4\n"
      "scan -d abc\n"
      "partialscan -d abc --loglevel 1\n",
      {"-o", "first.dat", "-p", "2", "-x", "2"}, kSupport);
  EXPECT_EQ(0, r.status) << r.err;
  const auto runs = runLines(r.out);
  ASSERT_EQ(4u, runs.size());
  // Line 1 keeps the program line's sketch; later lines name their own.
  EXPECT_TRUE(searches(runs[0], "^RUN load .*sketch=first.dat updatebw=5 threads=10 "));
  EXPECT_TRUE(searches(runs[1], "^RUN scan .*sketch=keep.dat updatebw=10 threads=4 "));
  EXPECT_TRUE(searches(runs[2], "^RUN scan .*sketch=file_352441C2.dat updatebw=10 threads=10 "));
  EXPECT_TRUE(searches(runs[3], "^RUN partialscan .*sketch=file_partialscan_352441C2.dat .*loglevel=1 "));
  for (const std::string& line : runs) {
    // Levels, bounds and the limiter come from the program's own line; what
    // a run left in the queues and the I/O-error state are gone.
    EXPECT_TRUE(searches(line, " td=3 logq=3 qlevel=7 bounds=4,20,1000,0 throttle=2 queued=0000 ioErrors=0,0$"))
        << line;
  }
  const std::regex timeLine(kTimeLine);
  EXPECT_EQ(4, std::distance(std::sregex_iterator(r.out.begin(), r.out.end(), timeLine), std::sregex_iterator()));
}

TEST_F(Batch, ShellWordSplitting) {
  const CliResult r = run("scan -d \"my file\"\nscan -d my\\ file -o 'a b'\n");
  EXPECT_EQ(0, r.status) << r.err;
  const auto runs = runLines(r.out);
  ASSERT_EQ(2u, runs.size());
  EXPECT_TRUE(searches(runs[0], "input=my file sketch=file_"));
  EXPECT_TRUE(searches(runs[1], "input=my file sketch=a b "));
}

TEST_F(Batch, SingleLineIsParsedWithoutEcho) {
  const CliResult r = run("scan -d abc");
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("Result data filename not given, auto-generating: file_352441C2.dat\n",
            r.out.substr(0, r.out.find("RUN")));
}

TEST_F(Batch, ValidationFailureEndsTheWholeProgram) {
  struct Case {
    const char* line;
    Env env;
    int status;
  } cases[] = {{"load --updatebw 0", kPlain, 130},
               {"merge", kPlain, 124},
               {"load --hashSize 0", kBackend, 133},
               {"load --storagever 1", kSupport, 131}};
  for (const Case& c : cases) {
    const CliResult r = run(std::string("load\n") + c.line + "\nload\n", {}, c.env);
    EXPECT_EQ(c.status, r.status) << c.line;
    EXPECT_EQ(1u, runLines(r.out).size()) << c.line;
  }
}

// A run that fails ends the whole batch at once with its own status (the
// lines after it do not run); a refused line is skipped and the batch ends
// 123 after the others ran.
TEST_F(Batch, FailedRunEndsTheBatchAtOnceAndARefusedLineAtTheEnd) {
  writeFile(dir.file("junk.dat"), "not a sketch file\n");
  writeFile(dir.file("merged.dat"),
            "..:: Veda Dezevazir Odazirera ::.. merge\nOriginal file names: a b\nSketch size: 0\n"
            "Number of Small Zero blocks: 0\nNumber of Big Zero blocks: 0\nNumber of Not Zero blocks: 0\n"
            "Potential unique estimation: 0\nUnique estimation after split: 0\n"
            "Average compression ratio: 0.5\nThreads Positions: 0\nBuild: 153\n");
  const struct {
    const char* line;
    int status;
  } cases[] = {{"load -o missing.dat", 134},
               {"load -o merged.dat", 135},
               {"merge --mergefiles junk.dat,junk.dat -o m.dat", 128},
               {"scan -d missing.img", 123},
               {"load -o x.dat y.dat", 123}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    writeFile(dir.file("b.txt"), std::string(c.line) + "\n--version\n");
    const CliResult r = runCli(dir.path(), {"--batchfile", "b.txt"});
    EXPECT_EQ(c.status, r.status) << r.err;
    // The next line ran only after a refused one.
    EXPECT_EQ(c.status == 123, r.out.find(" --version\n" + kVersionText) != std::string::npos) << r.out;
  }
}

TEST_F(Batch, LineNamingAnotherBatchFileIsAScanWithoutADevice) {
  // Batch files do not nest: the line's --batchfile makes its command word
  // batch, so the line is a scan, and with no --input it ends the program.
  // Like every line without --sketch, it gets a generated name.
  writeFile(dir.file("b.txt"), "load --batchfile nested.txt\nload -o l.dat\n");
  writeFile(dir.file("nested.txt"), "load -o nested.dat\n");
  const CliResult r = runCli(dir.path(), {"--batchfile", "b.txt"});
  EXPECT_EQ(100, r.status);
  EXPECT_EQ(kNoSource, r.err);
  EXPECT_EQ(dztest::dezevazirPath() +
                " load --batchfile nested.txt\nResult data filename not given, auto-generating: file_0.dat\n",
            r.out);
}

TEST_F(Batch, LineNamingAnotherBatchFileGetsItsOwnName) {
  const CliResult r = run("scan -d abc --batchfile x\n");
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_TRUE(searches(r.out, "RUN scan command=scan input=abc sketch=file_352441C2.dat ")) << r.out;
}

// The run log "ridoriDozu.log".
class RunLog : public ::testing::Test {
 protected:
  TempDir dir;
  std::vector<std::string> logLines() { return lines(readFile(dir.file("ridoriDozu.log"))); }
  CliResult run(std::vector<std::string> args, const std::string& action = "") {
    std::map<std::string, std::string> env;
    if (!action.empty()) env["DZ_STUB_ACTION"] = action;
    return runCli(dir.path(), args, env, kStubBin);
  }
  static std::string endLine(int sha1, int cmps, int reads) {
    return "^" + kTimestamp + " number of SHA1 " + std::to_string(sha1) + ", number of CMPS " +
           std::to_string(cmps) + ", number of reads " + std::to_string(reads) + "$";
  }
};

TEST_F(RunLog, StartLineCarriesTheCommandLineAndEndLineTheCounters) {
  const CliResult r = run({"load", "--loglevel", "2"}, "log");
  ASSERT_EQ(0, r.status);
  const auto log = logLines();
  ASSERT_EQ(4u, log.size()) << readFile(dir.file("ridoriDozu.log"));
  EXPECT_TRUE(std::regex_match(log[0], std::regex("^" + kTimestamp +
                                                  " starting Veda Dezevazir Odazirera: \\(1\\.03 153\\) - " +
                                                  kStubBin + " load --loglevel 2 $")))
      << log[0];
  EXPECT_TRUE(std::regex_match(log[1], std::regex("^" + kTimestamp + " stub line at level 1$"))) << log[1];
  EXPECT_TRUE(std::regex_match(log[2], std::regex("^" + kTimestamp + " stub line at level 2$"))) << log[2];
  EXPECT_TRUE(std::regex_match(log[3], std::regex(endLine(3, 2, 1)))) << log[3];
  // Level 1 is echoed to standard error as it is, without timestamp.
  EXPECT_EQ("stub line at level 1\n", r.err);
}

TEST_F(RunLog, LevelFiltering) {
  struct Case {
    const char* level;
    std::vector<int> kept;
  } cases[] = {{"0", {}}, {"1", {1}}, {"3", {1, 2, 3}}, {"5", {1, 2, 3, 4, 5}}};
  for (const Case& c : cases) {
    const CliResult r = run({"load", "--loglevel", c.level}, "log");
    ASSERT_EQ(0, r.status);
    const auto log = logLines();
    // Exactly the start line, the kept levels and the end line.
    ASSERT_EQ(c.kept.size() + 2, log.size()) << "loglevel " << c.level;
    EXPECT_TRUE(searches(log.front(), " starting Veda Dezevazir Odazirera: "));
    for (size_t i = 0; i < c.kept.size(); ++i) {
      EXPECT_TRUE(searches(log[i + 1], "  stub line at level " + std::to_string(c.kept[i]) + "$")) << log[i + 1];
    }
    EXPECT_TRUE(std::regex_match(log.back(), std::regex(endLine(3, 2, 1)))) << log.back();
    // Level 1 reaches standard error even when the log filters it out.
    EXPECT_EQ("stub line at level 1\n", r.err);
  }
}

TEST_F(RunLog, OneLogPerProgramStartAlsoInBatchMode) {
  writeFile(dir.file("b.txt"), "load\nload\n");
  ASSERT_EQ(0, run({"--batchfile", "b.txt"}, "log").status);
  ASSERT_EQ(0, run({"--batchfile", "b.txt"}, "log").status);
  const auto log = logLines();
  // One start line, two runs' level 1..3 lines, and the end line with the
  // counters of the last line (each batch line starts them at 0).
  ASSERT_EQ(1u + 6 + 1, log.size());
  EXPECT_TRUE(searches(log[0], " - " + kStubBin + " --batchfile b.txt $"));
  EXPECT_TRUE(std::regex_match(log.back(), std::regex(endLine(3, 2, 1)))) << log.back();
}

TEST_F(RunLog, ParseFailureLeavesAtMostTheStartLine) {
  EXPECT_EQ(123, run({"--bogus"}).status);
  const auto log = logLines();
  ASSERT_LE(log.size(), 1u);
  if (!log.empty()) {
    EXPECT_TRUE(searches(log[0], " starting Veda Dezevazir Odazirera: "));
  }
}

TEST_F(RunLog, LinesFromConcurrentThreadsStayWhole) {
  ASSERT_EQ(0, run({"load"}, "threads").status);
  const auto log = logLines();
  ASSERT_EQ(2u + 800, log.size());
  std::map<std::string, int> perThread;
  for (size_t i = 1; i + 1 < log.size(); ++i) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(log[i], m, std::regex("^" + kTimestamp + " thread (\\d) line (\\d+) ([a-d])\\3{199}$")))
        << log[i];
    ++perThread[m[1]];
  }
  for (const auto& [thread, count] : perThread) EXPECT_EQ(200, count) << thread;
}

TEST_F(RunLog, MarkerTextInALineEndsTheLog) {
  const CliResult r = run({"load"}, "marker");
  EXPECT_EQ(0, r.status);
  const auto log = logLines();
  ASSERT_EQ(2u, log.size());
  EXPECT_TRUE(std::regex_match(log.back(), std::regex(endLine(0, 0, 0)))) << log.back();
}

TEST_F(RunLog, WriteFailureIsReportedOnceAndTheProgramStillEnds) {
  ASSERT_EQ(0, symlink("/dev/full", dir.file("ridoriDozu.log").c_str()));
  const CliResult r = run({"load"}, "log");
  EXPECT_EQ(0, r.status);
  // The sweeper and the run write to standard error independently.
  EXPECT_TRUE(r.err == "stub line at level 1\nError writing logfile: ridoriDozu.log\n" ||
              r.err == "Error writing logfile: ridoriDozu.log\nstub line at level 1\n")
      << r.err;
  EXPECT_TRUE(searches(r.out, "RUN load "));
}

// --version: two exact lines for scripts and packages, status 0, whatever
// else the line holds, and no run.

TEST(Version, BuildIdIsACommitOrUnknown) {
  EXPECT_TRUE(std::regex_match(kBuildId, std::regex("[0-9a-f]{40}|unknown"))) << kBuildId;
}

TEST(Version, PrintsOnlyTheVersionWhateverElseTheLineAsks) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    Env env;
  } cases[] = {
      {"alone", {"--version"}, kPlain},
      {"through a prefix", {"--vers"}, kPlain},
      {"with help, all groups enabled", {"--help", "--version"}, kBoth},
      {"scan without a device", {"scan", "--version"}, kPlain},
      {"unknown command word", {"bogus", "--version"}, kPlain},
      {"merge with one file", {"merge", "--mergefiles", "a", "--version"}, kPlain},
      {"out-of-range values", {"load", "--updatebw", "0", "--storagever", "1", "--version"}, kSupport},
      {"scan of a real input", {"scan", "-d", "abc", "--version"}, kPlain},
      {"batch file", {"--batchfile", "b.txt", "--version"}, kPlain},
  };
  for (const Case& c : cases) {
    TempDir dir;
    writeFile(dir.file("abc"), std::string(8192, 'x'));
    writeFile(dir.file("a"), "");
    writeFile(dir.file("b.txt"), "load -o never.dat\n");
    const CliResult r = runCli(dir.path(), c.args, envFor(c.env));
    EXPECT_EQ(0, r.status) << c.name;
    EXPECT_EQ(kVersionText, r.out) << c.name;
    EXPECT_EQ("", r.err) << c.name;
    // Nothing ran: no sketch, recovery or temporary file beside the log.
    for (const char* f : {"file_352441C2.dat", "file_352441C2.rdb", "never.dat", "merge_out", "file_0.dat"}) {
      EXPECT_FALSE(std::filesystem::exists(dir.file(f))) << c.name << ": " << f;
    }
  }
}

// The help and the version run nothing: the previous run's log stays as it
// was, and no log is made where there was none.
TEST(Version, HelpAndVersionLeaveTheRunLogAlone) {
  const struct {
    std::vector<std::string> args;
    int status;
  } cases[] = {{{"--version"}, 0},
               {{"--vers", "scan"}, 0},
               {{"--json", "--version"}, 0},
               {{"--help"}, 123},
               {{}, 123},
               {{"-h", "load", "-o", "x.dat"}, 123}};
  const std::string previous = " 01/01/2026.000001 00:00:00  starting Veda Dezevazir Odazirera: (1.03 153) - x \n";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.empty() ? "no arguments" : c.args[0]);
    TempDir dir;
    writeFile(dir.file("ridoriDozu.log"), previous);
    EXPECT_EQ(c.status, runCli(dir.path(), c.args).status);
    EXPECT_EQ(previous, readFile(dir.file("ridoriDozu.log")));
    ::unlink(dir.file("ridoriDozu.log").c_str());
    EXPECT_EQ(c.status, runCli(dir.path(), c.args).status);
    EXPECT_FALSE(std::filesystem::exists(dir.file("ridoriDozu.log")));
  }
}

// `cd / && dezevazir --version` as a user who cannot write there. Run as
// nobody when the tests run as root (root may write anywhere).
TEST(Version, WorksWhereTheRunLogCannotBeWritten) {
  TempDir dir;
  ASSERT_EQ(0, ::chmod(dir.path().c_str(), 0555));
  std::vector<std::string> prefix;
  std::string runner;
  if (::geteuid() == 0) {
    if (::access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "needs setpriv to run as nobody";
    runner = "/usr/bin/setpriv";
    prefix = {"--reuid=nobody", "--regid=nogroup", "--clear-groups"};
  }
  for (const std::string& cwd : {dir.path(), std::string("/")}) {
    for (const char* ask : {"--version", "--help"}) {
      std::vector<std::string> args = prefix;
      if (!runner.empty()) args.push_back(dztest::dezevazirPath());
      args.push_back(ask);
      const CliResult r = runCli(cwd, args, {}, runner);
      SCOPED_TRACE(cwd + " " + ask);
      EXPECT_EQ(std::string(ask) == "--version" ? 0 : 123, r.status) << r.err;
      EXPECT_EQ("", r.err);
      EXPECT_NE(std::string::npos, r.out.find(std::string(ask) == "--version" ? kVersionText : kCaption)) << r.out;
    }
  }
  // The same user is refused a run there, as before: the log is needed.
  if (!runner.empty()) {
    std::vector<std::string> args = prefix;
    args.push_back(dztest::dezevazirPath());
    args.push_back("load");
    EXPECT_EQ(10, runCli(dir.path(), args, {}, runner).status);
  }
  ::chmod(dir.path().c_str(), 0755);
}

TEST(Version, BatchLineAskingForTheVersionIsSkippedWithoutAnError) {
  TempDir dir;
  writeFile(dir.file("b.txt"), "load -o one.dat\n--version\nload -o two.dat\n");
  const CliResult r = runCli(dir.path(), {"--batchfile", "b.txt"}, {}, kStubBin);
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.err);
  EXPECT_NE(std::string::npos, r.out.find(" --version\n" + kVersionText + kStubBin + " load -o two.dat\n"))
      << r.out;
  EXPECT_TRUE(searches(r.out, "RUN load .*sketch=one.dat [\\s\\S]*RUN load .*sketch=two.dat "));
}

}  // namespace
