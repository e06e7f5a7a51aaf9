#include "base/run_state.h"

Throttle* gThrottle = nullptr;
std::atomic<uint64_t> ioErrorCount{0};
uint64_t ioErrorLimit = 0;
std::atomic<int> ioAbortFlag{0};
