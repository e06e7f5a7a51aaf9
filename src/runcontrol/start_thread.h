// Starting the workers of a run.
#ifndef DEZEVAZIR_RUNCONTROL_START_THREAD_H_
#define DEZEVAZIR_RUNCONTROL_START_THREAD_H_

#include <iostream>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "runcontrol/exit_status.h"
#include "scan/run_end.h"

// Starts fn(args...) as one more thread of group. A thread that cannot be
// created (more asked for than the system allows) ends the process with
// status 133; those already started are still running, so it ends at once.
template <typename Fn, typename... Args>
void startThread(std::vector<std::thread>& group, Fn fn, Args... args) {
  try {
    group.emplace_back(fn, args...);
  } catch (const std::system_error& e) {
    std::cerr << "Cannot start the worker threads (" << e.what() << "): use fewer --threads" << std::endl;
    endProcess(kExitUndefinedSetting);
  }
}

#endif  // DEZEVAZIR_RUNCONTROL_START_THREAD_H_
