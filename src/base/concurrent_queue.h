// Blocking FIFO of owned pointers. Pop waits while empty; producers bound the
// length themselves (they read size() without the lock).
#ifndef DEZEVAZIR_BASE_CONCURRENT_QUEUE_H_
#define DEZEVAZIR_BASE_CONCURRENT_QUEUE_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

template <typename T>
class concurrent_queue {
 public:
  std::deque<T> queue;
  int level = 0;
  std::mutex mutex;
  std::condition_variable cond;
  int maxSize = 0;

  // Below acceptance level 1 the element is freed instead of queued.
  void push(T item) {
    bool queued = false;
    {
      // level is read under the mutex that setLogLevel writes it under.
      std::lock_guard<std::mutex> lock(mutex);
      if (level >= 1) {
        queue.push_back(item);
        count.store(queue.size(), std::memory_order_relaxed);
        queued = true;
      }
    }
    if (!queued) {
      delete item;
      return;
    }
    cond.notify_one();
  }

  // Queues regardless of the acceptance level (the end-of-execution marker
  // must reach the log sweeper whatever the levels are).
  void pushUnfiltered(T item) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      queue.push_back(item);
      count.store(queue.size(), std::memory_order_relaxed);
    }
    cond.notify_one();
  }

  // Queues all of items in order under one lock and empties items. Wakes a
  // single consumer: a consumer pops on without sleeping while elements
  // remain, so a burst costs one wake-up rather than one per element; with
  // wakeAll, every waiting consumer (work for all of them at once). Below
  // acceptance level 1 the elements are freed instead.
  void pushAll(std::vector<T>& items, bool wakeAll = false) {
    if (items.empty()) return;
    bool queued = false;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (level >= 1) {
        queue.insert(queue.end(), items.begin(), items.end());
        count.store(queue.size(), std::memory_order_relaxed);
        queued = true;
      }
    }
    if (!queued) {
      for (T item : items) delete item;
    } else if (wakeAll) {
      cond.notify_all();
    } else {
      cond.notify_one();
    }
    items.clear();
  }

  T pop() {
    std::unique_lock<std::mutex> lock(mutex);
    cond.wait(lock, [this] { return !queue.empty(); });
    T item = queue.front();
    queue.pop_front();
    count.store(queue.size(), std::memory_order_relaxed);
    return item;
  }

  // Like pop, but gives up after the timeout and returns false.
  template <typename Rep, typename Period>
  bool popFor(T& out, const std::chrono::duration<Rep, Period>& timeout) {
    std::unique_lock<std::mutex> lock(mutex);
    if (!cond.wait_for(lock, timeout, [this] { return !queue.empty(); })) return false;
    out = queue.front();
    queue.pop_front();
    count.store(queue.size(), std::memory_order_relaxed);
    return true;
  }

  // Takes up to max elements in order into out, waiting while the queue is
  // empty; stops early after an element for which last(element) is true
  // (an end marker, meant for one consumer only). Returns the number taken.
  // A consumer that takes work in batches locks the queue and wakes up once
  // per batch instead of once per element.
  template <typename Last>
  size_t popSome(std::vector<T>& out, size_t max, Last last) {
    std::unique_lock<std::mutex> lock(mutex);
    cond.wait(lock, [this] { return !queue.empty(); });
    return takeLocked(out, max, last);
  }

  // Like popSome, but gives up after the timeout and returns 0.
  template <typename Last, typename Rep, typename Period>
  size_t popSomeFor(std::vector<T>& out, size_t max, Last last, const std::chrono::duration<Rep, Period>& timeout) {
    std::unique_lock<std::mutex> lock(mutex);
    if (!cond.wait_for(lock, timeout, [this] { return !queue.empty(); })) return 0;
    return takeLocked(out, max, last);
  }

  // Lock-free read, as the producers use it for their bounds.
  size_t size() const { return count.load(std::memory_order_relaxed); }

  void setLogLevel(int l) {
    std::lock_guard<std::mutex> lock(mutex);
    level = l;
  }

  // Deletes everything still queued (the driver does this after each run).
  void drain() {
    std::lock_guard<std::mutex> lock(mutex);
    for (T item : queue) delete item;
    queue.clear();
    count.store(0, std::memory_order_relaxed);
  }

 private:
  template <typename Last>
  size_t takeLocked(std::vector<T>& out, size_t max, Last last) {
    size_t n = 0;
    while (n < max && !queue.empty()) {
      T item = queue.front();
      queue.pop_front();
      out.push_back(item);
      ++n;
      if (last(item)) break;
    }
    count.store(queue.size(), std::memory_order_relaxed);
    return n;
  }

  std::atomic<size_t> count{0};
};

#endif  // DEZEVAZIR_BASE_CONCURRENT_QUEUE_H_
