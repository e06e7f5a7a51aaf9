// The blocking queue under the pipeline and the run log: acceptance level,
// ownership of what it refuses or still holds, and blocking pop.
#include "base/concurrent_queue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

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
