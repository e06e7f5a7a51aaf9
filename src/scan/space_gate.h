// Lets the producers of a bounded queue sleep until its consumers have
// drained it to half its bound, instead of waking every few milliseconds to
// look. Ten readers polling a full read queue cost the scan tens of
// thousands of wake-ups a second on a machine with two cores, and waking a
// producer for every single free place makes it and the consumer take turns
// element by element.
#ifndef DEZEVAZIR_SCAN_SPACE_GATE_H_
#define DEZEVAZIR_SCAN_SPACE_GATE_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>

class SpaceGate {
 public:
  // Returns at once while size() <= bound; otherwise waits until size() is
  // at most bound / 2. Every producer of one gate passes the same bound.
  template <typename Size>
  void waitForRoom(Size size, size_t bound) {
    if (size() <= bound) return;
    const size_t low = bound / 2;
    std::unique_lock<std::mutex> lock(mutex_);
    low_.store(low, std::memory_order_relaxed);
    // Pairs with the read-modify-write in signal(): whichever of the two
    // comes later in waiters_' order sees the other's effects, so either
    // the test below sees what the consumer took or the consumer sees this
    // waiter. Also publishes low_.
    waiters_.fetch_add(1, std::memory_order_acq_rel);
    // The timed wait only guards against a consumer that never signals.
    while (size() > low) cond_.wait_for(lock, kSafetyWait);
    waiters_.fetch_sub(1, std::memory_order_relaxed);
  }

  // Called by a consumer after a pop, with the queue's size after it. Costs
  // one uncontended read-modify-write when nobody waits.
  void signal(size_t sizeNow) {
    // A read-modify-write, not a load: it reads the latest count of waiters
    // (a plain load could miss a producer that has just announced itself).
    if (waiters_.fetch_add(0, std::memory_order_acq_rel) == 0) return;
    if (sizeNow > low_.load(std::memory_order_relaxed)) return;
    // Taking the mutex orders this wake-up after the waiters' last test.
    { std::lock_guard<std::mutex> lock(mutex_); }
    cond_.notify_all();
  }

  // Producers asleep in waitForRoom.
  int waiting() const { return waiters_.load(std::memory_order_acquire); }

 private:
  static constexpr std::chrono::milliseconds kSafetyWait{20};

  std::mutex mutex_;
  std::condition_variable cond_;
  std::atomic<int> waiters_{0};
  std::atomic<size_t> low_{0};
};

#endif  // DEZEVAZIR_SCAN_SPACE_GATE_H_
