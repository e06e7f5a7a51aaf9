#include "base/run_state.h"

#include <algorithm>

Throttle* gThrottle = nullptr;
std::atomic<uint64_t> ioErrorCount{0};
uint64_t ioErrorLimit = 0;
std::atomic<int> ioAbortFlag{0};

int64_t Throttle::take(int64_t now, unsigned cap) {
  constexpr int64_t kSecondUs = 1000000;
  std::lock_guard<std::mutex> lock(mutex);
  // A later batch line may ask for more slots than the first parse made.
  if (slots.size() < cap) slots.resize(cap, 0);
  int64_t& last = slots[count++ % cap];
  // The time goes into the slot, not the turn's own: a chunk that waited
  // counts from when it went, or the next round could catch up on the wait.
  const int64_t release = last == 0 ? now : std::max(now, last + kSecondUs);
  last = release;
  return release;
}
