#include "runcontrol/end_run.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>

#include "runcontrol/run_log.h"

void endRun(const RunFailure& failure) {
  std::ostream& out = failure.stream == RunFailure::Stream::kOutput ? std::cout : std::cerr;
  out << failure.what() << std::endl;
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  if (LogLinesQ != nullptr) {
    LogLinesQ->pushUnfiltered(new std::string(kEndOfExecution));
    for (int i = 0; i < 500 && !logEnded(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  _exit(failure.status);
}
