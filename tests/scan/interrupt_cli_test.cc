// A full scan stopped by a signal saves its state and ends by that signal;
// the same command then resumes and ends with the sketch file of a scan
// that was never stopped.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
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

}  // namespace
