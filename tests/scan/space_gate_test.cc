// Bounded pushes that sleep on the gate, and batch pushes on the queue.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "base/concurrent_queue.h"
#include "scan/pipeline.h"
#include "scan/space_gate.h"

namespace {

using std::chrono::milliseconds;

TEST(SpaceGate, FullQueueHoldsItsProducerUntilHalfDrained) {
  concurrent_queue<int*> q;
  q.setLogLevel(7);
  SpaceGate gate;
  const size_t bound = 8;
  for (int i = 0; i < 9; ++i) q.push(new int(i));  // one over the bound

  auto producer = std::async(std::launch::async, [&] { boundedPush(&q, new int(99), bound, gate); });
  while (gate.waiting() == 0) std::this_thread::sleep_for(milliseconds(1));
  // Down to 5, still above half the bound: the producer keeps waiting.
  for (int i = 0; i < 4; ++i) {
    delete q.pop();
    gate.signal(q.size());
  }
  EXPECT_EQ(producer.wait_for(milliseconds(100)), std::future_status::timeout);
  delete q.pop();
  gate.signal(q.size());  // 4: half the bound
  ASSERT_EQ(producer.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(q.size(), 5u);
  q.drain();
}

TEST(SpaceGate, ManyProducersAndConsumersKeepTheBoundAndLoseNothing) {
  concurrent_queue<int*> q;
  q.setLogLevel(7);
  SpaceGate gate;
  constexpr int kProducers = 4, kConsumers = 3, kEach = 3000;
  constexpr size_t kBound = 16;

  std::atomic<size_t> largest{0};
  std::vector<std::thread> producers, consumers;
  std::vector<std::vector<int>> seen(kConsumers);
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kEach; ++i) {
        boundedPush(&q, new int(p * kEach + i), kBound, gate);
        size_t now = q.size(), was = largest.load();
        while (now > was && !largest.compare_exchange_weak(was, now)) {
        }
      }
    });
  }
  for (int c = 0; c < kConsumers; ++c) {
    consumers.emplace_back([&, c] {
      for (;;) {
        int* v = q.pop();
        gate.signal(q.size());
        if (*v < 0) {
          delete v;
          return;
        }
        seen[c].push_back(*v);
        delete v;
      }
    });
  }
  for (auto& t : producers) t.join();
  for (int c = 0; c < kConsumers; ++c) q.push(new int(-1));
  for (auto& t : consumers) t.join();

  // Producers test and push without a common lock, so each may add one.
  EXPECT_LE(largest.load(), kBound + kProducers);
  std::vector<int> all;
  for (const auto& s : seen) all.insert(all.end(), s.begin(), s.end());
  std::sort(all.begin(), all.end());
  ASSERT_EQ(all.size(), static_cast<size_t>(kProducers * kEach));
  for (int i = 0; i < kProducers * kEach; ++i) ASSERT_EQ(all[i], i);
}

TEST(QueueBatch, PushAllKeepsOrderWakesAWaitingConsumerOrFreesBelowLevelOne) {
  concurrent_queue<int*> q;
  q.setLogLevel(7);
  auto consumer = std::async(std::launch::async, [&] {
    std::vector<int> got;
    for (int i = 0; i < 3; ++i) {
      int* v = q.pop();
      got.push_back(*v);
      delete v;
    }
    return got;
  });
  std::this_thread::sleep_for(milliseconds(20));  // let it sleep in pop
  std::vector<int*> batch = {new int(1), new int(2), new int(3)};
  q.pushAll(batch);
  EXPECT_TRUE(batch.empty());
  ASSERT_EQ(consumer.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(consumer.get(), (std::vector<int>{1, 2, 3}));

  // Not accepted: freed (the leak checker of the sanitizer build notices
  // otherwise) and the queue stays empty.
  concurrent_queue<int*> closed;
  std::vector<int*> dropped = {new int(4), new int(5)};
  closed.pushAll(dropped);
  EXPECT_TRUE(dropped.empty());
  EXPECT_EQ(closed.size(), 0u);
}

}  // namespace
