// The blocking queue under the pipeline and the run log: acceptance level,
// ownership of what it refuses or still holds, and blocking pop.
#include "base/concurrent_queue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "base/run_log.h"

namespace {

// Counts destructions, so ownership mistakes show as wrong counts.
struct Tracked {
  static int alive;
  int id;
  explicit Tracked(int i) : id(i) { ++alive; }
  ~Tracked() { --alive; }
};
int Tracked::alive = 0;

TEST(ConcurrentQueue, BelowLevelOneFreesInsteadOfQueueing) {
  concurrent_queue<Tracked*> q;
  q.push(new Tracked(1));  // level is 0 until set
  EXPECT_EQ(0u, q.size());
  EXPECT_EQ(0, Tracked::alive);
  q.setLogLevel(7);
  q.push(new Tracked(2));
  EXPECT_EQ(1u, q.size());
  q.drain();
  EXPECT_EQ(0, Tracked::alive);
}

TEST(ConcurrentQueue, FirstInFirstOutAndUnfilteredPush) {
  concurrent_queue<Tracked*> q;
  q.pushUnfiltered(new Tracked(1));  // bypasses the level
  q.setLogLevel(1);
  q.push(new Tracked(2));
  for (int expected : {1, 2}) {
    Tracked* t = q.pop();
    EXPECT_EQ(expected, t->id);
    delete t;
  }
  Tracked* none = nullptr;
  EXPECT_FALSE(q.popFor(none, std::chrono::milliseconds(10)));
  EXPECT_EQ(0, Tracked::alive);
}

TEST(ConcurrentQueue, PopWaitsForAPushFromAnotherThread) {
  concurrent_queue<Tracked*> q;
  q.setLogLevel(7);
  std::thread producer([&q] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    q.push(new Tracked(9));
  });
  Tracked* t = q.pop();
  EXPECT_EQ(9, t->id);
  delete t;
  producer.join();
}

// Batches keep the order, take at most max, and stop right after an
// element the caller marks as the last for it (an end marker is meant for
// one consumer only, so the next batch must find the second one).
TEST(ConcurrentQueue, PopSomeTakesBatchesInOrderAndStopsAfterTheLast) {
  concurrent_queue<Tracked*> q;
  q.setLogLevel(7);
  std::vector<Tracked*> items;
  for (int id : {1, 2, 3, 4, 0, 0, 5}) items.push_back(new Tracked(id));
  q.pushAll(items);
  auto isEnd = [](const Tracked* t) { return t->id == 0; };
  const std::vector<std::vector<int>> want = {{1, 2, 3}, {4, 0}, {0}, {5}};
  for (const auto& ids : want) {
    std::vector<Tracked*> batch;
    EXPECT_EQ(ids.size(), q.popSome(batch, 3, isEnd));
    std::vector<int> got;
    for (Tracked* t : batch) {
      got.push_back(t->id);
      delete t;
    }
    EXPECT_EQ(got, ids);
  }
  EXPECT_EQ(0u, q.size());
  std::vector<Tracked*> none;
  EXPECT_EQ(0u, q.popSomeFor(none, 3, isEnd, std::chrono::milliseconds(10)));
  EXPECT_TRUE(none.empty());
  EXPECT_EQ(0, Tracked::alive);
}

// A batch waits for the first element like pop does.
TEST(ConcurrentQueue, PopSomeWaitsForAPushFromAnotherThread) {
  concurrent_queue<Tracked*> q;
  q.setLogLevel(7);
  std::thread producer([&q] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    q.push(new Tracked(9));
  });
  std::vector<Tracked*> batch;
  EXPECT_EQ(1u, q.popSome(batch, 8, [](const Tracked*) { return false; }));
  ASSERT_EQ(1u, batch.size());
  EXPECT_EQ(9, batch[0]->id);
  delete batch[0];
  producer.join();
}

TEST(LogLineQueue, KeepsLinesUpToItsLevelOnly) {
  concurrent_queueOrig q;
  q.setLogLevel(3);
  q.push(new std::string("kept 3"), 3);
  q.push(new std::string("dropped 4"), 4);
  q.push(new std::string("kept 1"), 1);
  ASSERT_EQ(2u, q.size());
  std::string* a = q.pop();
  std::string* b = q.pop();
  EXPECT_EQ("kept 3", *a);
  EXPECT_EQ("kept 1", *b);
  delete a;
  delete b;
  q.setLogLevel(0);
  q.push(new std::string("dropped at level 0"), 0);
  EXPECT_EQ(0u, q.size());
}

}  // namespace
