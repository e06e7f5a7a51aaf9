// The one way a run that cannot go on ends the process.
#ifndef DEZEVAZIR_RUNCONTROL_END_RUN_H_
#define DEZEVAZIR_RUNCONTROL_END_RUN_H_

#include <boost/thread/thread.hpp>

#include "base/run_failure.h"

// The run log's sweeper, set by the driver: ending the run joins it once it
// has written the end line.
extern boost::thread* gLogSweeper;

// Prints the failure's message, writes the run log's end line and exits with
// the failure's status (without static destructors: workers may still run).
[[noreturn]] void endRun(const RunFailure& failure);

// Writes the run log's end line, then ends the process by signo with its
// default action, so the caller's shell sees 128 + signo.
[[noreturn]] void endBySignal(int signo);

// Runs one command, ending the process through endRun if it fails.
template <typename Fn>
void runOrEnd(Fn command) {
  try {
    command();
  } catch (const RunFailure& failure) {
    endRun(failure);
  }
}

#endif  // DEZEVAZIR_RUNCONTROL_END_RUN_H_
