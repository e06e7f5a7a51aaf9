// The throughput limiter's turns: when each chunk may go, worked out from
// given times (no clock, no sleeping).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <thread>
#include <vector>

#include "base/run_state.h"

namespace {

constexpr int64_t kMs = 1000;
constexpr int64_t kSecond = 1000 * kMs;
// A steady clock well after boot, as the read workers see it.
constexpr int64_t kStart = 3600 * kSecond;

// Takes a turn whose chunk is read by its time plus `late`.
int64_t turnAt(Throttle& t, int64_t now, unsigned cap, int64_t late = 0) {
  const Throttle::Turn turn = t.take(now, cap);
  t.done(turn, std::max(now, turn.release) + late);
  return turn.release;
}

TEST(ThrottleTest, EachSlotWaitsTheRestOfTheSecondSinceItsLastChunkWasRead) {
  Throttle t;
  t.slots.assign(3, 0);
  // Unused slots let the first three chunks go at once.
  EXPECT_EQ(kStart, turnAt(t, kStart, 3));
  EXPECT_EQ(kStart + 1 * kMs, turnAt(t, kStart + 1 * kMs, 3));
  EXPECT_EQ(kStart + 2 * kMs, turnAt(t, kStart + 2 * kMs, 3));
  // 300 ms after the first: the fourth waits the 700 ms that remain of that
  // second, not 300 ms; its read ends 4 ms later.
  EXPECT_EQ(kStart + kSecond, turnAt(t, kStart + 300 * kMs, 3, 4 * kMs));
  EXPECT_EQ(kStart + kSecond + 1 * kMs, turnAt(t, kStart + 300 * kMs, 3));
  EXPECT_EQ(kStart + kSecond + 2 * kMs, turnAt(t, kStart + 301 * kMs, 3));
  // The seventh counts from when the fourth was read, not from when it
  // asked or was due.
  EXPECT_EQ(kStart + 2 * kSecond + 4 * kMs, turnAt(t, kStart + 400 * kMs, 3));
  // A slot last used more than a second ago lets its chunk go at once.
  EXPECT_EQ(kStart + 5 * kSecond, turnAt(t, kStart + 5 * kSecond, 3));
  EXPECT_EQ(8u, t.count);
}

// The next turn of a slot whose chunk has not been read yet counts from when
// its read ends, whether it asked before or after.
TEST(ThrottleTest, ATurnOfASlotStillReadingCountsFromWhenItsReadEnds) {
  Throttle t;
  t.slots.assign(1, 0);
  const Throttle::Turn first = t.take(kStart, 1);
  EXPECT_EQ(kStart, first.release);
  int64_t second = 0;
  std::thread next([&] { second = t.take(kStart + 1 * kMs, 1).release; });
  t.done(first, kStart + 5 * kMs);
  next.join();
  EXPECT_EQ(kStart + kSecond + 5 * kMs, second);
}

TEST(ThrottleTest, ALaterLineWithAHigherCapGetsItsSlots) {
  Throttle t;
  t.slots.assign(1, 0);
  EXPECT_EQ(kStart, turnAt(t, kStart, 1));
  EXPECT_EQ(kStart + kSecond, turnAt(t, kStart, 1));
  // Turn 2 of 4 slots: a slot not used yet.
  EXPECT_EQ(kStart, turnAt(t, kStart, 4));
  EXPECT_EQ(4u, t.slots.size());
}

// Whatever the spacing of the turns and however late the workers wake or
// long the reads take, no second holds more than cap reads, and while turns
// come faster than the cap allows, every second holds that many.
TEST(ThrottleTest, NoSecondHoldsMoreThanTheCapAndABusyOneHoldsIt) {
  for (unsigned cap : {1u, 7u, 50u, 200u}) {
    Throttle t;
    t.slots.assign(cap, 0);
    std::mt19937 rng(cap);
    std::uniform_int_distribution<int64_t> gap(0, 3 * kSecond / cap);
    std::uniform_int_distribution<int64_t> late(0, 20 * kMs);
    std::vector<int64_t> read;
    int64_t now = kStart;
    const int turns = static_cast<int>(cap) * 20;
    for (int i = 0; i < turns; ++i) {
      now += gap(rng);
      const Throttle::Turn turn = t.take(now, cap);
      ASSERT_GE(turn.release, now);
      const int64_t at = turn.release + late(rng);
      t.done(turn, at);
      read.push_back(at);
      // A worker's next turn comes after its chunk was read; ten workers.
      if (i % 10 == 9) now = std::max(now, at);
    }
    std::sort(read.begin(), read.end());
    for (size_t i = cap; i < read.size(); ++i) {
      ASSERT_GE(read[i] - read[i - cap], kSecond) << "cap " << cap << " chunk " << i;
    }
  }
  // Turns far faster than the cap: the chunks go cap per second exactly.
  Throttle t;
  t.slots.assign(50, 0);
  std::vector<int64_t> released;
  for (int i = 0; i < 500; ++i) released.push_back(turnAt(t, kStart + i, 50));
  EXPECT_EQ(kStart + 9 * kSecond + 49, released.back());
  for (size_t i = 50; i < released.size(); ++i) EXPECT_EQ(released[i - 50] + kSecond, released[i]);
}

}  // namespace
