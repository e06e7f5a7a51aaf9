// What must be refused before a scan reads its first block, because it would
// otherwise fail or do harm only at the end of a scan of hours: a second run
// on the same sketch name, a sketch file that holds another source's result,
// a sketch or recovery file that cannot be created or would find no room.
// Each refused run must have read nothing (its run log's end line counts no
// reads) and written nothing.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "cli.h"
#include "scan_fixtures.h"

namespace {

using dztest::CliResult;
using dztest::readFile;
using dztest::runCli;
using dztest::TempDir;
using dztest::writeFile;

bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// 300 blocks, of which some repeat.
void writeImage(const std::string& path, int seed) {
  scantest::Image image;
  for (int i = 0; i < 300; ++i) image.data(seed * 1000 + i % 200);
  image.write(path);
}

// The run log's end line in dir says that the run read no block.
bool readNothing(const std::string& dir) {
  const std::string log = readFile(dir + "/ridoriDozu.log");
  return contains(log, "number of reads 0\n") && contains(log, "number of SHA1 0,");
}

// A scan in the background, ended by the test.
class BackgroundScan {
 public:
  BackgroundScan(const std::string& cwd, const std::vector<std::string>& args) {
    pid_ = fork();
    if (pid_ == 0) {
      const int null = open("/dev/null", O_RDWR);
      if (null < 0 || chdir(cwd.c_str()) != 0) _exit(250);
      dup2(null, 0);
      dup2(null, 1);
      dup2(null, 2);
      const std::string bin = dztest::dezevazirPath();
      std::vector<char*> argv{const_cast<char*>(bin.c_str())};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(bin.c_str(), argv.data());
      _exit(251);
    }
  }
  ~BackgroundScan() { kill(SIGKILL); }
  // Ends it as a crash would: no chance to clean up.
  void kill(int signo) {
    if (pid_ <= 0) return;
    ::kill(pid_, signo);
    int ws = 0;
    waitpid(pid_, &ws, 0);
    pid_ = -1;
  }
  // True while it runs (it has not ended yet).
  bool running() {
    if (pid_ <= 0) return false;
    if (waitpid(pid_, nullptr, WNOHANG) == 0) return true;
    pid_ = -1;
    return false;
  }

 private:
  pid_t pid_ = -1;
};

// Waits up to 20 s for the scan of cwd's run log to be reading.
bool waitUntilReading(const std::string& cwd) {
  for (int i = 0; i < 2000; ++i) {
    if (contains(readFile(cwd + "/ridoriDozu.log"), "Device size: ")) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

class SketchNameInUse : public ::testing::Test {
 protected:
  void SetUp() override {
    ::mkdir(dir.file("first").c_str(), 0755);
    ::mkdir(dir.file("second").c_str(), 0755);
    writeImage(dir.file("a.img"), 1);
    writeImage(dir.file("b.img"), 2);
    scantest::Image slow;
    for (int i = 0; i < 2048; ++i) slow.data(i);
    slow.write(dir.file("slow.img"));
  }
  std::vector<std::string> scanOf(const std::string& image, const std::string& command = "scan") const {
    return {command, "-d", dir.file(image), "-o", dir.file("q.dat")};
  }
  TempDir dir;
};

// Two scans of a.img and b.img with -o q.dat at once, two scans of one
// source, and a partial scan onto the name of a running scan: the second
// run is refused at once, and the first one's lock dies with it.
TEST_F(SketchNameInUse, SecondRunIsRefusedAtOnceAndADeadRunsLockNeverBlocks) {
  // 16 MiB capped at 1 MiB/s: the first scan reads for seconds.
  std::vector<std::string> slow = scanOf("slow.img");
  slow.insert(slow.end(), {"-x", "1"});
  BackgroundScan first(dir.file("first"), slow);
  ASSERT_TRUE(waitUntilReading(dir.file("first")));

  const struct {
    const char* what;
    std::vector<std::string> args;
  } cases[] = {
      {"scan of another source", scanOf("b.img")},
      {"scan of the same source", scanOf("a.img")},
      {"partial scan", scanOf("b.img", "partialscan")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const CliResult r = runCli(dir.file("second"), c.args);
    EXPECT_EQ(r.status, 133) << r.err;
    EXPECT_EQ(r.err, dir.file("q.dat") + " is in use by another run\n");
    EXPECT_TRUE(readNothing(dir.file("second")));
  }
  ASSERT_TRUE(first.running()) << "the refused runs left the first one alone";

  first.kill(SIGKILL);
  ASSERT_TRUE(exists(dir.file("q.rdb.lock"))) << "a crash leaves its lock file";
  const CliResult after = runCli(dir.file("second"), scanOf("b.img"));
  EXPECT_EQ(after.status, 0) << after.err;
  EXPECT_TRUE(contains(after.out, "Savings"));
  EXPECT_FALSE(exists(dir.file("q.rdb.lock"))) << "a run takes its lock file with it";
}

// An interrupted scan leaves its recovery file, not its lock file.
TEST_F(SketchNameInUse, InterruptedScanTakesItsLockFileWithIt) {
  std::vector<std::string> slow = scanOf("slow.img");
  slow.insert(slow.end(), {"-x", "1"});
  BackgroundScan first(dir.file("first"), slow);
  ASSERT_TRUE(waitUntilReading(dir.file("first")));
  ASSERT_TRUE(exists(dir.file("q.rdb.lock")));
  first.kill(SIGINT);
  EXPECT_TRUE(exists(dir.file("q.rdb")));
  EXPECT_FALSE(exists(dir.file("q.rdb.lock")));
}

// Another process that holds an exclusive lock on the recovery file (here
// the test, as `flock -x q.rdb` would) keeps a scan from starting.
TEST_F(SketchNameInUse, RecoveryFileLockedByAnotherProcessIsRefused) {
  const int fd = ::open(dir.file("q.rdb").c_str(), O_RDONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  const CliResult r = runCli(dir.file("second"), scanOf("a.img"));
  EXPECT_EQ(r.status, 133) << r.err;
  EXPECT_EQ(r.err, dir.file("q.dat") + " is in use by another run\n");
  EXPECT_TRUE(readNothing(dir.file("second")));
  EXPECT_FALSE(exists(dir.file("q.rdb.lock")));
  ::close(fd);
}

// The runs of a batch take the lock one after another.
TEST_F(SketchNameInUse, BatchLinesOnOneNameRunOneAfterAnother) {
  writeFile(dir.file("b.txt"), "scan -d " + dir.file("a.img") + " -o " + dir.file("q.dat") + "\npartialscan -d " +
                                   dir.file("b.img") + " -o " + dir.file("p.dat") + "\nscan -d " +
                                   dir.file("b.img") + " -o " + dir.file("p.dat") + "\n");
  const CliResult r = runCli(dir.file("second"), {"--batchfile", dir.file("b.txt")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(contains(r.err, "in use")) << r.err;
  EXPECT_FALSE(exists(dir.file("q.rdb.lock")));
  EXPECT_FALSE(exists(dir.file("p.rdb.lock")));
}

// A batch line holding --batchfile (batch files do not nest) is a scan of its
// --input that gets its own generated name, instead of reading the whole
// source and failing at the end for want of a name.
TEST(BatchLineNamingABatchFile, GetsAGeneratedName) {
  TempDir dir;
  writeImage(dir.file("src.img"), 1);
  writeFile(dir.file("b.txt"), "scan -d src.img --batchfile x\n");
  const CliResult r = runCli(dir.path(), {"--batchfile", "b.txt"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.out, "Result data filename not given, auto-generating: file_")) << r.out;
  const std::string name = r.out.substr(r.out.find("file_"), r.out.find(".dat") + 4 - r.out.find("file_"));
  EXPECT_TRUE(scantest::readSketchFile(dir.file(name)).ok) << name;
}

class OtherScanUnderTheName : public ::testing::Test {
 protected:
  void SetUp() override {
    writeImage(dir.file("a.img"), 1);
    writeImage(dir.file("b.img"), 2);
    ASSERT_EQ(run({"scan", "-d", "a.img", "-o", "full.dat"}).status, 0);
    ASSERT_EQ(run({"partialscan", "-d", "a.img", "-o", "part.dat"}).status, 0);
  }
  CliResult run(const std::vector<std::string>& args) { return runCli(dir.path(), args); }
  TempDir dir;
};

// A sketch file that holds a completed scan of another source (or, for a
// partial scan, a full scan of any source) is kept: the run is refused
// before it reads.
TEST_F(OtherScanUnderTheName, IsRefusedBeforeReading) {
  const struct {
    const char* what;
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {"scan over another source's scan", {"scan", "-d", "b.img", "-o", "full.dat"},
       "full.dat holds the scan of a.img; remove it or give another --sketch\n"},
      {"scan over another source's partial scan", {"scan", "-d", "b.img", "-o", "part.dat"},
       "part.dat holds the scan of a.img; remove it or give another --sketch\n"},
      {"partial scan over a full scan of its source", {"partialscan", "-d", "a.img", "-o", "full.dat"},
       "full.dat holds the scan of a.img; remove it or give another --sketch\n"},
      {"partial scan over another source's partial scan", {"partialscan", "-d", "b.img", "-o", "part.dat"},
       "part.dat holds the scan of a.img; remove it or give another --sketch\n"},
  };
  const std::string full = readFile(dir.file("full.dat"));
  const std::string part = readFile(dir.file("part.dat"));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const CliResult r = run(c.args);
    EXPECT_EQ(r.status, 133) << r.err;
    EXPECT_EQ(r.err, c.err);
    EXPECT_TRUE(readNothing(dir.path()));
    EXPECT_EQ(readFile(dir.file("full.dat")), full);
    EXPECT_EQ(readFile(dir.file("part.dat")), part);
  }
}

// What is no other source's result goes on as before.
TEST_F(OtherScanUnderTheName, OwnResultsAndAnotherSourcesRecoveryFileAreNotRefused) {
  // Its own completed scan: reported again without reading.
  CliResult r = run({"scan", "-d", "a.img", "-o", "full.dat"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.err, "full.dat holds a completed scan of a.img; nothing left to read")) << r.err;
  // The same source under another spelling.
  r = run({"scan", "-d", "./a.img", "-o", "full.dat"});
  EXPECT_EQ(r.status, 0) << r.err;
  // A partial scan again over its own.
  r = run({"partialscan", "-d", "a.img", "-o", "part.dat"});
  EXPECT_EQ(r.status, 0) << r.err;
  // Another source's recovery file: the scan starts over and says so.
  ::rename(dir.file("full.dat").c_str(), dir.file("other.rdb").c_str());
  r = run({"scan", "-d", "b.img", "-o", "other.dat"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.err, "Cannot resume from other.rdb: it was written for ./a.img; the scan starts over"))
      << r.err;
  EXPECT_TRUE(contains(readFile(dir.file("other.dat")), "Original file names: b.img\n"));
}

// Runs dezevazir as an unprivileged user when the test runs as root, so
// that directory permissions hold; empty when that is not possible.
std::vector<std::string> unprivileged(const std::vector<std::string>& args, std::string& binary) {
  if (::geteuid() != 0) {
    binary = dztest::dezevazirPath();
    return args;
  }
  binary = "/usr/bin/setpriv";
  if (::access(binary.c_str(), X_OK) != 0) return {};
  std::vector<std::string> all = {"--reuid=65534", "--regid=65534", "--clear-groups", dztest::dezevazirPath()};
  all.insert(all.end(), args.begin(), args.end());
  return all;
}

// A sketch or recovery file that cannot be created where it goes ends the
// run with 136 and the reason, having read nothing: a directory that does
// not exist, or one the user may not write.
TEST(UncreatableOutputs, EndWith136HavingReadNothing) {
  TempDir dir;
  ::chmod(dir.path().c_str(), 0777);
  writeImage(dir.file("s.img"), 1);
  // ro/ may not be written; ro/w.d/ may, but the recovery file of
  // ro/w.d/s goes to ro/w.rdb.
  ::mkdir(dir.file("ro").c_str(), 0555);
  ::mkdir(dir.file("ro/w.d").c_str(), 0777);
  ::chmod(dir.file("ro").c_str(), 0555);
  ::chmod(dir.file("ro/w.d").c_str(), 0777);
  const struct {
    const char* what;
    std::vector<std::string> args;
    bool asUser;
    std::string err;
  } cases[] = {
      {"scan into a missing directory", {"scan", "-d", "s.img", "-o", "/nonexistent-dir/x.dat"}, false,
       "Cannot write the sketch file /nonexistent-dir/x.dat: cannot create /nonexistent-dir/x.dat.tmp: No such "
       "file or directory; nothing was read\n"},
      {"partial scan into a missing directory", {"partialscan", "-d", "s.img", "-o", "gone/p.dat"}, false,
       "Cannot write the sketch file gone/p.dat: cannot create gone/p.dat.tmp: No such file or directory; "
       "nothing was read\n"},
      {"scan into a directory it may not write", {"scan", "-d", "s.img", "-o", "ro/x.dat"}, true,
       "Cannot write the sketch file ro/x.dat: cannot create ro/x.dat.tmp: Permission denied; nothing was "
       "read\n"},
      {"recovery file in a directory it may not write", {"scan", "-d", "s.img", "-o", "ro/w.d/s"}, true,
       "Cannot write the sketch file ro/w.rdb: cannot create ro/w.rdb.tmp: Permission denied; nothing was "
       "read\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string binary;
    const std::vector<std::string> args = c.asUser ? unprivileged(c.args, binary) : c.args;
    if (args.empty()) continue;  // no way to run without privileges here
    ::unlink(dir.file("ridoriDozu.log").c_str());
    const CliResult r = runCli(dir.path(), args, {}, binary);
    EXPECT_EQ(r.status, 136) << r.err;
    EXPECT_EQ(r.err, c.err);
    EXPECT_FALSE(contains(r.out, "MB:")) << "no progress bar: " << r.out;
    EXPECT_TRUE(readNothing(dir.path()));
  }
  EXPECT_FALSE(exists(dir.file("ro/w.d/s.tmp")));
  EXPECT_FALSE(exists(dir.file("ro/w.d/s")));
  ::chmod(dir.file("ro").c_str(), 0755);  // for the clean-up
}

// A file system too small for the saves ends the run the same way. A tmpfs
// of four pages, mounted in a private namespace: a scan of 300 blocks needs
// two sketch files of up to about 20 KB each. The same file system holds a
// partial scan's record, until it is full.
TEST(UncreatableOutputs, FullFileSystemEndsWith136HavingReadNothing) {
  if (system("unshare -rm true > /dev/null 2>&1") != 0) GTEST_SKIP() << "no private mount namespace here";
  TempDir dir;
  writeImage(dir.file("s.img"), 1);
  ::mkdir(dir.file("mnt").c_str(), 0755);
  auto inSmallFs = [&](const std::string& fill, const std::vector<std::string>& args) {
    std::vector<std::string> all = {"-rm",
                                    "sh",
                                    "-c",
                                    "mount -t tmpfs -o size=16k tmpfs mnt && " + fill + "exec \"$@\"",
                                    "sh",
                                    dztest::dezevazirPath()};
    all.insert(all.end(), args.begin(), args.end());
    ::unlink(dir.file("ridoriDozu.log").c_str());
    return runCli(dir.path(), all, {}, "/usr/bin/unshare");
  };
  CliResult r = inSmallFs("", {"scan", "-d", "s.img", "-o", "mnt/x.dat"});
  EXPECT_EQ(r.status, 136) << r.err;
  EXPECT_TRUE(contains(r.err, "Cannot write the sketch file mnt/x.dat: No space left on device: its file system has "
                              "16384 bytes free, the saves of this run need up to "))
      << r.err;
  EXPECT_TRUE(contains(r.err, "; nothing was read\n")) << r.err;
  EXPECT_TRUE(readNothing(dir.path()));

  r = inSmallFs("", {"partialscan", "-d", "s.img", "-o", "mnt/p.dat"});
  EXPECT_EQ(r.status, 0) << r.err;

  r = inSmallFs("dd if=/dev/zero of=mnt/fill bs=4096 2> /dev/null; ", {"partialscan", "-d", "s.img", "-o", "mnt/p.dat"});
  EXPECT_EQ(r.status, 136) << r.err;
  EXPECT_TRUE(contains(r.err, "Cannot write the sketch file mnt/p.dat: No space left on device: its file system has "
                              "0 bytes free"))
      << r.err;
  EXPECT_TRUE(readNothing(dir.path()));
}

}  // namespace
