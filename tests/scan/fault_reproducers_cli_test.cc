// The reproducers of faults found by attacking the tool from outside: each
// runs the built program as a user would and checks that it fails loudly
// (message and status) or is right, and never writes to its source.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "cli.h"
#include "scan_fixtures.h"

namespace {

using dztest::CliResult;
using dztest::readFile;
using dztest::runCli;
using dztest::TempDir;
using dztest::writeFile;
using scantest::Image;

const std::map<std::string, std::string> kBackend = {{"DEDUPEINTERNAL", "1"}};
const std::map<std::string, std::string> kSupport = {{"ZIZUDIR3", "1"}};

bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

Image smallImage() {
  Image image;
  for (int i = 0; i < 300; ++i) image.data(i % 200);
  image.zeros(20);
  return image;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A name the run would write that is its source, or no regular file, is
// refused before anything is read or written.
TEST(SourceNeverWritten, OutputNamesThatAreTheSourceOrNoRegularFileAreRefused) {
  TempDir dir;
  ASSERT_EQ(::mkfifo(dir.file("fifo.dat").c_str(), 0600), 0);
  struct Case {
    const char* what;
    std::string source;  // file name in dir
    std::vector<std::string> args;
    std::string named;  // the name the message gives
  } cases[] = {
      {"recovery name is the source", "d.rdb", {"scan", "--input", dir.file("d.rdb"), "-o", dir.file("d.dat")},
       dir.file("d.rdb")},
      {"sketch name is the source", "d.img", {"scan", "--input", dir.file("d.img"), "-o", dir.file("d.img")},
       dir.file("d.img")},
      // The lock file goes at the end of the run.
      {"lock file name is the source", "d.rdb.lock",
       {"scan", "--input", dir.file("d.rdb.lock"), "-o", dir.file("d.dat")}, dir.file("d.rdb.lock")},
      {"partial scan over its source", "p.img", {"partialscan", "-d", dir.file("p.img"), "-o", dir.file("p.img")},
       dir.file("p.img")},
      {"partial scan with the source as recovery name", "q.rdb",
       {"partialscan", "-d", dir.file("q.rdb"), "-o", dir.file("q.dat")}, dir.file("q.rdb")},
      // A save writes the temporary first and would truncate it.
      {"temporary of the sketch name is the source", "d.dat.tmp",
       {"scan", "--input", dir.file("d.dat.tmp"), "-o", dir.file("d.dat")}, dir.file("d.dat.tmp")},
      {"temporary of the recovery name is the source", "d.rdb.tmp",
       {"scan", "--input", dir.file("d.rdb.tmp"), "-o", dir.file("d.dat")}, dir.file("d.rdb.tmp")},
      {"sketch name a device node", "e.img", {"scan", "--input", dir.file("e.img"), "-o", "/dev/null"}, "/dev/null"},
      {"sketch name a FIFO", "f.img", {"scan", "--input", dir.file("f.img"), "-o", dir.file("fifo.dat")},
       dir.file("fifo.dat")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string source = dir.file(c.source);
    smallImage().write(source);
    const std::string before = readFile(source);
    const CliResult r = runCli(dir.path(), c.args);
    EXPECT_EQ(r.status, 133) << r.err;
    EXPECT_TRUE(contains(r.err, "Refusing to write " + c.named)) << r.err;
    EXPECT_EQ(readFile(source), before) << "the source is untouched";
    EXPECT_FALSE(exists(dir.file("d.dat")));
  }
}

TEST(SourceNeverWritten, RecoveryFileThatCouldNotBeReadIsNotRemoved) {
  TempDir dir;
  smallImage().write(dir.file("s.img"));
  writeFile(dir.file("s.rdb"), "not a sketch file, but somebody's\n");
  const CliResult r = runCli(dir.path(), {"scan", "--input", dir.file("s.img"), "-o", dir.file("s.dat")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.out, "Corrupted header at " + dir.file("s.rdb"))) << r.out;
  EXPECT_EQ(readFile(dir.file("s.rdb")), "not a sketch file, but somebody's\n");
  EXPECT_TRUE(exists(dir.file("s.dat")));
}

// Names given for reading never block on a FIFO.
TEST(NothingBlocks, FifosAreRefusedWhereverANameIsRead) {
  TempDir dir;
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo(dir.file("r.rdb").c_str(), 0600), 0);
  smallImage().write(dir.file("s.img"));
  struct Case {
    const char* what;
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {"source", {"scan", "--input", dir.file("fifo"), "-o", dir.file("a.dat")}, 100,
       "Error reading: " + dir.file("fifo") + ": is neither a regular file nor a block device"},
      {"sketch of a load", {"load", "-o", dir.file("fifo")}, 134, "Not a regular file"},
      {"recovery file of a scan", {"scan", "--input", dir.file("s.img"), "-o", dir.file("r.dat")}, 133,
       "Refusing to write " + dir.file("r.rdb")},
      {"batch file", {"--batchfile", dir.file("fifo")}, 123, "Cannot use batch file " + dir.file("fifo")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const CliResult r = runCli(dir.path(), c.args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_TRUE(contains(r.err, c.err)) << r.err;
  }
}

// A save that fails during the scan (checked beforehand, the sketch and
// recovery files could be created) stops the scan with the reason. A file
// size limit makes the saves fail: with SIGXFSZ ignored, a write beyond it
// fails with EFBIG. The limit is in blocks of 512 bytes.
CliResult underFileSizeLimit(const std::string& dir, const std::string& blocks, const std::vector<std::string>& args,
                             const std::map<std::string, std::string>& env = {}) {
  std::vector<std::string> all = {"-c", "trap '' XFSZ; ulimit -f " + blocks + " && exec \"$@\"", "sh",
                                  dztest::dezevazirPath()};
  all.insert(all.end(), args.begin(), args.end());
  return runCli(dir, all, env, "/bin/sh");
}

TEST(FailedSave, RecoveryPointThatCannotBeWrittenEndsWith136) {
  TempDir dir;
  Image image;
  for (int i = 0; i < 2048; ++i) image.data(i);
  image.write(dir.file("s.img"));
  const std::string sketch = dir.file("s.dat");
  // A recovery file of 2000 entries takes over 100 KB.
  const CliResult r = underFileSizeLimit(
      dir.path(), "64", {"scan", "--input", dir.file("s.img"), "-o", sketch, "--hashSize", "2000", "-T", "0", "-r", "50"},
      kBackend);
  EXPECT_EQ(r.status, 136) << r.err;
  // The recovery file if a recovery point came first, else the result.
  EXPECT_TRUE(contains(r.err, "Cannot write the sketch file " + dir.file("s.")) &&
              contains(r.err, ": File too large; the scan was stopped"))
      << r.err;
  EXPECT_FALSE(contains(r.out, "Savings")) << "no report of a scan cut short";
  EXPECT_FALSE(exists(dir.file("s.rdb.tmp")));
  EXPECT_FALSE(exists(dir.file("s.dat.tmp")));
}

TEST(FailedSave, FinalSaveThatCannotBeWrittenEndsWith136) {
  TempDir dir;
  smallImage().write(dir.file("s.img"));
  const CliResult r = underFileSizeLimit(dir.path(), "8", {"scan", "--input", dir.file("s.img"), "-o", dir.file("s.dat")});
  EXPECT_EQ(r.status, 136) << r.err;
  EXPECT_TRUE(contains(r.err, "Cannot write the sketch file " + dir.file("s.dat") +
                                  ": File too large; the scan was stopped"))
      << r.err;
  EXPECT_FALSE(exists(dir.file("s.dat")));
}

// Damaged sketch files: what a load and a resume make of them.
class DamagedSketch : public ::testing::Test {
 protected:
  void SetUp() override {
    smallImage().write(dir_.file("s.img"));
    const CliResult r = runCli(dir_.path(), {"scan", "--input", dir_.file("s.img"), "-o", dir_.file("r.dat")});
    ASSERT_EQ(r.status, 0) << r.err;
    lines_ = splitLines(readFile(dir_.file("r.dat")));
    ASSERT_GT(lines_.size(), 20u);
  }
  static std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> out;
    size_t from = 0;
    for (size_t nl; (nl = text.find('\n', from)) != std::string::npos; from = nl + 1) {
      out.push_back(text.substr(from, nl - from));
    }
    return out;
  }
  void writeWith(size_t line, const std::string& text) {
    std::vector<std::string> l = lines_;
    l[line] = text;
    std::string all;
    for (const std::string& s : l) all += s + "\n";
    writeFile(dir_.file("m.dat"), all);
  }
  TempDir dir_;
  std::vector<std::string> lines_;
};

TEST_F(DamagedSketch, LoadRefusesWhatTheWriterNeverWrites) {
  // Line 3 is the sketch size, line 20 the ninth entry (1-based, as sed and awk count).
  const std::string entry = lines_[19];
  const std::string fingerprint = entry.substr(0, entry.find(' '));
  struct Case {
    const char* what;
    size_t line;
    std::string text;
  } cases[] = {
      {"label misspelled", 2, "Skech size: " + lines_[2].substr(13)},
      {"entry ratio 1e30", 19, fingerprint + " 1e30 1"},
      {"small-zero counter 2^64-1", 3, "Number of Small Zero blocks: 18446744073709551615"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    writeWith(c.line, c.text);
    const CliResult r = runCli(dir_.path(), {"load", "-o", dir_.file("m.dat")});
    EXPECT_EQ(r.status, 134) << r.err;
    EXPECT_TRUE(contains(r.err, "Cannot read given sketch")) << r.err;
    EXPECT_FALSE(contains(r.out, "Savings")) << r.out;
  }
}

TEST_F(DamagedSketch, ResumeFromADamagedPositionsLabelStartsOver) {
  const CliResult clean = runCli(dir_.path(), {"load", "-o", dir_.file("r.dat")});
  ASSERT_EQ(clean.status, 0);
  // As a recovery file: its positions would be used, its counters kept.
  writeWith(9, "Thread Positions: " + lines_[9].substr(19));
  ASSERT_EQ(::rename(dir_.file("m.dat").c_str(), dir_.file("x.rdb").c_str()), 0);
  const CliResult r = runCli(dir_.path(), {"scan", "--input", dir_.file("s.img"), "-o", dir_.file("x.dat")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.err, "Damaged line: Threads Positions")) << r.err;
  EXPECT_EQ(readFile(dir_.file("x.dat")), readFile(dir_.file("r.dat"))) << "every block counted once";
}

// Command lines and batch files never abort the program.
TEST(CommandLines, UnsplittableAndOverlongBatchLinesAreParseErrors) {
  TempDir dir;
  writeFile(dir.file("b.txt"), "load -o C:\\x.dat\nload -o x.dat \\\nload -o " + std::string(70000, 'y') +
                                   "\n# a comment\n");
  const CliResult r = runCli(dir.path(), {"--batchfile", dir.file("b.txt")});
  // Refused lines make the batch end 123, as a refused command line does.
  EXPECT_EQ(r.status, 123) << r.err;
  for (const char* n : {"1", "2", "3"}) {
    EXPECT_TRUE(contains(r.err, std::string("Error parsing line #") + n + "\n")) << r.err;
  }
}

TEST(CommandLines, ThreadCountBeyondTheLimitIsRefusedUpFront) {
  TempDir dir;
  smallImage().write(dir.file("s.img"));
  const CliResult r = runCli(dir.path(), {"scan", "--input", dir.file("s.img"), "--threads", "1048576"}, kSupport);
  EXPECT_EQ(r.status, 133);
  EXPECT_EQ(r.err, "Invalid threads given: at most 1024\n");
}

// A source without data: every figure known, none wrapped or nan.
TEST(AllZeroSource, ReportsEveryBlockAsAZeroSavingOnScanAndLoad) {
  TempDir dir;
  {
    // A sparse file of two 16 MiB segments and a few blocks more.
    const int fd = ::open(dir.file("z.img").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, (32 << 20) + 5 * 8192), 0);
    ::close(fd);
  }
  const std::string summary =
      "Estimated Dedupe Savings:           0.000%\n"
      "Estimated Compression Savings:      0.000%\n"
      "Data Reduction Savings:             0.000%\n"
      "------------------------------------------\n"
      "Zeroes Detected Savings:          100.000%\n"
      "Total Data efficiency Savings:    100.000%\n";
  const CliResult scan = runCli(dir.path(), {"scan", "--input", dir.file("z.img"), "-o", dir.file("z.dat")});
  ASSERT_EQ(scan.status, 0) << scan.err;
  EXPECT_TRUE(contains(scan.out, summary)) << scan.out;
  const CliResult load = runCli(dir.path(), {"load", "-o", dir.file("z.dat")});
  ASSERT_EQ(load.status, 0) << load.err;
  EXPECT_TRUE(contains(load.out, summary)) << load.out;
  const CliResult verbose = runCli(dir.path(), {"load", "-o", dir.file("z.dat")}, {{"VERBOSE_OUTPUT", ""}});
  EXPECT_TRUE(contains(verbose.out, "Unique estimation:                 0\n")) << verbose.out;
  EXPECT_FALSE(contains(verbose.out, "nan")) << verbose.out;
  EXPECT_FALSE(contains(verbose.out, "18446744073709551615")) << verbose.out;
}

// The capacity of the sketch that wrote a file is read off its counters.
TEST(LoadCapacity, LoadGivesTheSameReportWithOrWithoutTheScansHashSize) {
  TempDir dir;
  Image image;
  for (int i = 0; i < 6000; ++i) image.data(i % 4000);
  image.write(dir.file("s.img"));
  const CliResult scan =
      runCli(dir.path(), {"scan", "--input", dir.file("s.img"), "-o", dir.file("h.dat"), "--hashSize", "2000"},
             kBackend);
  ASSERT_EQ(scan.status, 0) << scan.err;
  const CliResult plain = runCli(dir.path(), {"load", "-o", dir.file("h.dat")});
  const CliResult given = runCli(dir.path(), {"load", "-o", dir.file("h.dat"), "--hashSize", "2000"}, kBackend);
  ASSERT_EQ(plain.status, 0) << plain.err;
  EXPECT_EQ(plain.out, given.out);
  EXPECT_TRUE(contains(scan.out, plain.out.substr(0, plain.out.find("Time Consumed")))) << scan.out << plain.out;
}

}  // namespace
