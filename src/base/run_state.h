// Run-wide state the driver owns and the pipeline uses: the throughput
// limiter and the I/O-error counter with its abort threshold.
#ifndef DEZEVAZIR_BASE_RUN_STATE_H_
#define DEZEVAZIR_BASE_RUN_STATE_H_

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

// Read workers take one turn per chunk when maxMBPs is not 0.
struct Throttle {
  std::vector<uint32_t> slots;  // wall-clock ms of the chunk maxMBPs turns ago
  unsigned count = 0;
  std::mutex mutex;
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
