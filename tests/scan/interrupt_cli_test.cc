// A full scan stopped by a signal saves its state and ends by that signal;
// the same command then resumes and ends with the sketch file of a scan
// that was never stopped.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "cli.h"
#include "scan_fixtures.h"

namespace {

using dztest::readFile;
using dztest::runCli;
using dztest::TempDir;

struct Stopped {
  int signal = 0;  // what ended the process, 0 when it exited
  int status = -1;
  std::string err;
};

// Runs a scan in dir and sends signo once the scan has been reading for a
// moment (its run log names the device size first).
Stopped scanAndSignal(const TempDir& dir, const std::vector<std::string>& args, int signo) {
  const std::string errPath = dir.file("err.txt");
  const pid_t pid = fork();
  if (pid == 0) {
    const int out = open("/dev/null", O_WRONLY);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0 || chdir(dir.path().c_str()) != 0) _exit(250);
    dup2(out, 1);
    dup2(err, 2);
    std::vector<char*> argv;
    const std::string bin = dztest::dezevazirPath();
    argv.push_back(const_cast<char*>(bin.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(bin.c_str(), argv.data());
    _exit(251);
  }
  for (int i = 0; i < 500 && readFile(dir.file("ridoriDozu.log")).find("Device size") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  kill(pid, signo);
  int ws = 0;
  waitpid(pid, &ws, 0);
  Stopped s;
  if (WIFSIGNALED(ws)) s.signal = WTERMSIG(ws);
  if (WIFEXITED(ws)) s.status = WEXITSTATUS(ws);
  s.err = readFile(errPath);
  return s;
}

TEST(Interrupt, SignalSavesTheStateAndTheResumedScanEndsAsAnUnbrokenOne) {
  TempDir dir;
  scantest::Image image;
  for (int i = 0; i < 4096; ++i) {
    image.data(i % 3000);
    if (i % 97 == 0) image.zeros(5);
  }
  image.write(dir.file("s.img"));
  // Throttled to 16 MiB/s, so that the signal finds it reading.
  const std::vector<std::string> common = {"scan", "--input", dir.file("s.img"), "-x", "16"};
  auto with = [&common](const std::string& sketch) {
    std::vector<std::string> a = common;
    a.push_back("-o");
    a.push_back(sketch);
    return a;
  };
  const dztest::CliResult whole = runCli(dir.path(), with(dir.file("whole.dat")));
  ASSERT_EQ(whole.status, 0) << whole.err;

  for (const int signo : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signo);
    const std::string sketch = dir.file("part" + std::to_string(signo) + ".dat");
    const std::string recovery = dir.file("part" + std::to_string(signo) + ".rdb");
    const Stopped stopped = scanAndSignal(dir, with(sketch), signo);
    EXPECT_EQ(stopped.signal, signo) << "ended by the signal itself (status " << stopped.status << ")";
    EXPECT_NE(stopped.err.find("Interrupted: state saved to " + recovery + "; run the same command again to resume"),
              std::string::npos)
        << stopped.err;
    ASSERT_FALSE(readFile(recovery).empty());
    const std::string log = readFile(dir.file("ridoriDozu.log"));
    EXPECT_NE(log.find("number of SHA1"), std::string::npos) << "the run log got its end line";

    const dztest::CliResult resumed = runCli(dir.path(), with(sketch));
    ASSERT_EQ(resumed.status, 0) << resumed.err;
    EXPECT_NE(resumed.err.find("Resuming " + recovery + ": "), std::string::npos) << resumed.err;
    EXPECT_EQ(readFile(sketch), readFile(dir.file("whole.dat"))) << "no block counted twice, none lost";
    EXPECT_TRUE(readFile(recovery).empty()) << "the recovery file is gone";
  }
}

TEST(Interrupt, CompletedResultIsSaidToBeReusedOrScannedAgainAfterAResize) {
  TempDir dir;
  scantest::Image image;
  for (int i = 0; i < 600; ++i) image.data(i % 400);
  image.write(dir.file("s.img"));
  const std::vector<std::string> args = {"scan", "--input", dir.file("s.img"), "-o", dir.file("s.dat")};
  const dztest::CliResult first = runCli(dir.path(), args);
  ASSERT_EQ(first.status, 0) << first.err;
  const dztest::CliResult again = runCli(dir.path(), args);
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(again.err, dir.file("s.dat") + " holds a completed scan of " + dir.file("s.img") +
                           "; nothing left to read. Remove it or give another --sketch to scan again.\n");

  ASSERT_EQ(::truncate(dir.file("s.img").c_str(), 300 * 8192), 0);
  const dztest::CliResult resized = runCli(dir.path(), args);
  ASSERT_EQ(resized.status, 0) << resized.err;
  EXPECT_NE(resized.err.find("it has 2457600 now: scanning it again"), std::string::npos) << resized.err;
  EXPECT_NE(readFile(dir.file("s.dat")).find("Number of Not Zero blocks: 300\n"), std::string::npos);
}

// The lines of a text, and back.
std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t from = 0;
  while (from < text.size()) {
    const std::size_t nl = text.find('\n', from);
    lines.push_back(text.substr(from, nl - from));
    from = nl + 1;
  }
  return lines;
}

std::string withoutLine(const std::string& text, const std::string& prefix) {
  std::string out;
  for (const std::string& l : linesOf(text)) {
    if (l.compare(0, prefix.size(), prefix) != 0) out += l + "\n";
  }
  return out;
}

std::string withField(const std::string& text, const std::string& label, const std::string& value) {
  std::string out;
  for (const std::string& l : linesOf(text)) out += (l.compare(0, label.size(), label) == 0 ? label + value : l) + "\n";
  return out;
}

// A recovery file resumes only the scan it was written for: the same source
// size and the same settings, with counters and positions inside the
// source. Anything else starts over, says why, and ends with the result of
// a scan of the source as it is.
TEST(Interrupt, RecoveryStateOfAnotherSizeOrSettingIsNotResumed) {
  TempDir dir;
  const std::string img = dir.file("s.img");
  const std::string sketch = dir.file("q.dat");
  const std::string recovery = dir.file("q.rdb");
  auto image = [&img](int blocks) {
    scantest::Image im;
    for (int i = 0; i < blocks; ++i) im.data(i);
    im.write(img);
  };
  image(3072);  // 24 MiB
  const Stopped stopped =
      scanAndSignal(dir, {"scan", "--input", img, "-o", sketch, "-x", "16"}, SIGINT);
  ASSERT_EQ(stopped.signal, SIGINT) << stopped.err;
  const std::string saved = readFile(recovery);
  ASSERT_NE(saved.find("\nScan state: size=25165824 segmentSize=16777216 blockSize=8192 randomBytes=0 altHash=0 "
                       "storagever=1202 unreadable=0\n"),
            std::string::npos)
      << saved;

  const std::map<std::string, std::string> backend = {{"DEDUPEINTERNAL", "1"}, {"ZIZUDIR3", "1"}};
  struct Case {
    const char* what;
    int blocks;  // the source's size now
    std::string recoveryText;
    std::vector<std::string> extra;
    std::string why;  // empty: resumed
  } cases[] = {
      {"truncated to 16 MiB", 2048, saved, {},
       "it was written when " + img + " had 25165824 bytes; it has 16777216 now"},
      {"grown to 32 MiB", 4096, saved, {}, "it has 33554432 now"},
      {"another --segmentSize", 3072, saved, {"--segmentSize", "8388608"},
       "it was written with --segmentSize 16777216, this run has 8388608"},
      {"another --randomBytes", 3072, saved, {"-u", "3"}, "it was written with --randomBytes 0, this run has 3"},
      {"another --altHash", 3072, saved, {"--altHash"}, "it was written with --altHash 0, this run has 1"},
      {"another --storagever", 3072, saved, {"--storagever", "1201"},
       "it was written with --storagever 1202, this run has 1201"},
      {"counters beyond the recorded size", 3072,
       withField(saved, "Number of Not Zero blocks: ", "2147483648"), {}, ""},
      // A recovery file of an earlier build records no scan state.
      {"an earlier build's file, counters beyond the source", 2048,
       withField(withoutLine(saved, "Scan state: "), "Number of Not Zero blocks: ", "2147483648"), {},
       "its counters hold more blocks than the 2048 of " + img},
      // Ten workers over 24 MiB: workers 0 to 8 have empty shares.
      {"an earlier build's file, a position outside its share", 3072,
       withField(withoutLine(saved, "Scan state: "), "Threads Positions: ", "5 0 0 0 0 0 0 0 0 0"), {},
       "the position of read worker 0 lies outside its share of " + img},
      {"an earlier build's file with another --segmentSize", 3072, withoutLine(saved, "Scan state: "),
       {"--segmentSize", "8388608"},
       "it does not record its --segmentSize, and only a run with the default 16777216 resumes such a file"},
      {"an earlier build's file, same size and settings", 3072, withoutLine(saved, "Scan state: "), {}, ""},
      {"the same size and settings", 3072, saved, {}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    image(c.blocks);
    std::remove(sketch.c_str());
    dztest::writeFile(recovery, c.recoveryText);
    std::vector<std::string> args = {"scan", "--input", img, "-o", sketch};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    const dztest::CliResult r = runCli(dir.path(), args, backend);
    ASSERT_EQ(r.status, 0) << r.err;
    const bool resumes = std::string(c.what).find("same size and settings") != std::string::npos;
    if (resumes) {
      EXPECT_NE(r.err.find("Resuming " + recovery), std::string::npos) << r.err;
    } else {
      EXPECT_EQ(r.err.find("Resuming"), std::string::npos) << r.err;
      EXPECT_TRUE(r.err.find("Cannot resume from " + recovery + ": ") != std::string::npos ||
                  r.err.find("Cannot use this file: " + sketch) != std::string::npos)
          << r.err;
      if (!c.why.empty()) {
        EXPECT_NE(r.err.find(c.why + "; the scan starts over"), std::string::npos) << r.err;
      }
    }
    EXPECT_NE(readFile(sketch).find("\nNumber of Not Zero blocks: " + std::to_string(c.blocks) + "\n"),
              std::string::npos)
        << "every block of the source as it is, once";
    EXPECT_EQ(readFile(sketch).find("Scan state"), std::string::npos) << "a result file as it always was";
  }
}

}  // namespace
