// Run-wide state the driver owns and the pipeline uses: the throughput
// limiter and the I/O-error counter with its abort threshold.
#ifndef DEZEVAZIR_BASE_RUN_STATE_H_
#define DEZEVAZIR_BASE_RUN_STATE_H_

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

// Read workers take one turn per chunk when maxMBPs is not 0, around its
// read. One slot per MiB/s of the cap: the read of the chunk maxMBPs turns
// back must have ended a whole second before this one may start, so no
// second of the scan reads more than maxMBPs chunks of 1 MiB.
struct Throttle {
  // A slot whose chunk has a turn but has not been read yet.
  static constexpr int64_t kPending = -1;

  // Steady-clock microseconds at which the read of the slot's last chunk
  // ended; 0 for a slot not used yet.
  std::vector<int64_t> slots;
  unsigned count = 0;
  std::mutex mutex;
  std::condition_variable doneCond;

  struct Turn {
    size_t slot;
    int64_t release;  // when the read may start (steady-clock microseconds)
  };

  // Takes the next turn at now (steady-clock microseconds, after boot): the
  // read may start now, or one second after the read of the slot's last
  // chunk ended, whichever is later. Waits while that chunk has a turn but
  // has not been read yet; waits for nothing else.
  Turn take(int64_t now, unsigned cap);
  // The turn's chunk has been read, at `at`; the slot's next turn counts
  // from then, so a late wake-up or a slow read makes the next second
  // longer, never shorter.
  void done(const Turn& turn, int64_t at);
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
