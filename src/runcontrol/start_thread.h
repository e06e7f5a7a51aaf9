// Starting the workers of a run.
#ifndef DEZEVAZIR_RUNCONTROL_START_THREAD_H_
#define DEZEVAZIR_RUNCONTROL_START_THREAD_H_

#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "base/exit_status.h"
#include "base/run_failure.h"

// Starts fn(args...) as one more thread of group. A thread that cannot be
// created (more asked for than the system allows) is a RunFailure with
// status 133.
template <typename Fn, typename... Args>
void startThread(std::vector<std::thread>& group, Fn fn, Args... args) {
  try {
    group.emplace_back(fn, args...);
  } catch (const std::system_error& e) {
    // The command's top ends the process at once (the threads already
    // started are still running).
    throw RunFailure(kExitUndefinedSetting,
                     std::string("Cannot start the worker threads (") + e.what() + "): use fewer --threads");
  }
}

#endif  // DEZEVAZIR_RUNCONTROL_START_THREAD_H_
