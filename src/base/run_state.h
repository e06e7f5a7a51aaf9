// Run-wide state the driver owns and the pipeline uses: the throughput
// limiter and the I/O-error counter with its abort threshold.
#ifndef DEZEVAZIR_BASE_RUN_STATE_H_
#define DEZEVAZIR_BASE_RUN_STATE_H_

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

// Read workers take one turn per chunk when maxMBPs is not 0, before they
// read it. One slot per MiB/s of the cap: the chunk maxMBPs turns back must
// have gone a whole second before this one may go, so no second of the scan
// reads more than maxMBPs chunks of 1 MiB.
struct Throttle {
  // Steady-clock microseconds at which the slot's last chunk was let go; 0
  // for a slot not used yet.
  std::vector<int64_t> slots;
  unsigned count = 0;
  std::mutex mutex;

  // Takes the next turn at now (steady-clock microseconds, after boot):
  // returns when its chunk may go, which is now or one second after the
  // slot's last chunk went, whichever is later. Waits for nothing itself.
  int64_t take(int64_t now, unsigned cap);
};

extern Throttle* gThrottle;

// Blocks that could not be read, in the run so far; reset to 0 before every
// run. Counted in blocks, as the limit is.
extern std::atomic<uint64_t> ioErrorCount;
// 1 % of the source's blocks; set by the scan command.
extern uint64_t ioErrorLimit;
// One-shot: the abort message is logged once.
extern std::atomic<int> ioAbortFlag;

#endif  // DEZEVAZIR_BASE_RUN_STATE_H_
