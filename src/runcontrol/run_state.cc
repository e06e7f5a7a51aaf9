#include "runcontrol/run_state.h"

Throttle* gThrottle = nullptr;
std::atomic<int> ioErrorCount{0};
uint64_t ioErrorLimit = 0;
std::atomic<int> ioAbortFlag{0};
