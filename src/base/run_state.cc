#include "base/run_state.h"

#include <algorithm>

Throttle* gThrottle = nullptr;
std::atomic<uint64_t> ioErrorCount{0};
uint64_t ioErrorLimit = 0;
std::atomic<int> ioAbortFlag{0};

Throttle::Turn Throttle::take(int64_t now, unsigned cap) {
  constexpr int64_t kSecondUs = 1000000;
  std::unique_lock<std::mutex> lock(mutex);
  // A later batch line may ask for more slots than the first parse made.
  if (slots.size() < cap) slots.resize(cap, 0);
  const size_t slot = count++ % cap;
  doneCond.wait(lock, [&] { return slots[slot] != kPending; });
  const int64_t last = slots[slot];
  slots[slot] = kPending;
  return {slot, last == 0 ? now : std::max(now, last + kSecondUs)};
}

void Throttle::done(const Turn& turn, int64_t at) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    slots[turn.slot] = at;
  }
  doneCond.notify_all();
}
