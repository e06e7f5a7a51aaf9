#include "runcontrol/end_run.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>

#include "base/run_lock.h"
#include "base/run_log.h"

boost::thread* gLogSweeper = nullptr;

namespace {

// The end-of-execution marker; then the sweeper writes the end line and
// ends, and is joined (a thread left unjoined is a leak).
void endLog() {
  if (LogLinesQ == nullptr) return;
  LogLinesQ->pushUnfiltered(new std::string(kEndOfExecution));
  if (gLogSweeper != nullptr && gLogSweeper->joinable() &&
      gLogSweeper->get_id() != boost::this_thread::get_id()) {
    gLogSweeper->join();
    return;
  }
  for (int i = 0; i < 500 && !logEnded(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

}  // namespace

void endBySignal(int signo) {
  removeHeldRunLockFile();
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  endLog();
  ::signal(signo, SIG_DFL);
  ::raise(signo);
  ::_exit(128 + signo);
}

void endRun(const RunFailure& failure) {
  std::ostream& out = failure.stream == RunFailure::Stream::kOutput ? std::cout : std::cerr;
  // An empty message: what went wrong was said as it happened.
  if (*failure.what() != '\0') out << failure.what() << std::endl;
  removeHeldRunLockFile();
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  endLog();
  _exit(failure.status);
}
