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

// Read workers take one turn per chunk when maxMBPs is not 0, before they
// read it. One slot per MiB/s of the cap: the chunk maxMBPs turns back must
// have gone a whole second before this one may go, so no second of the scan
// reads more than maxMBPs chunks of 1 MiB.
struct Throttle {
  // A slot whose chunk waits for its time to go.
  static constexpr int64_t kPending = -1;

  // Steady-clock microseconds at which the slot's last chunk went; 0 for a
  // slot not used yet.
  std::vector<int64_t> slots;
  unsigned count = 0;
  std::mutex mutex;
  std::condition_variable wentCond;

  struct Turn {
    size_t slot;
    int64_t release;  // when the chunk may go (steady-clock microseconds)
  };

  // Takes the next turn at now (steady-clock microseconds, after boot): the
  // chunk may go now, or one second after the slot's last chunk went,
  // whichever is later. Waits while that chunk has a turn but has not gone
  // yet; waits for nothing else.
  Turn take(int64_t now, unsigned cap);
  // The turn's chunk went at `at`; the slot's next turn counts from then, so
  // a worker that woke late does not pass its delay on as a shorter second.
  void went(const Turn& turn, int64_t at);
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
