#include "scan/run_end.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <thread>

#include "runcontrol/run_log.h"

void endProcess(int status) {
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  // The abort line was queued just before; let the sweeper reach it.
  if (LogLinesQ != nullptr) {
    for (int i = 0; i < 100 && LogLinesQ->size() != 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  _exit(status);
}
