// The throughput limiter's turns: when each chunk may go, worked out from
// given times (no clock, no sleeping).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "base/run_state.h"

namespace {

constexpr int64_t kMs = 1000;
constexpr int64_t kSecond = 1000 * kMs;
// A steady clock well after boot, as the read workers see it.
constexpr int64_t kStart = 3600 * kSecond;

TEST(ThrottleTest, EachSlotWaitsTheRestOfTheSecondSinceItsLastChunkWent) {
  Throttle t;
  t.slots.assign(3, 0);
  // Unused slots let the first three chunks go at once.
  EXPECT_EQ(kStart, t.take(kStart, 3));
  EXPECT_EQ(kStart + 1 * kMs, t.take(kStart + 1 * kMs, 3));
  EXPECT_EQ(kStart + 2 * kMs, t.take(kStart + 2 * kMs, 3));
  // 300 ms after the first: the fourth waits the 700 ms that remain of that
  // second, not 300 ms.
  EXPECT_EQ(kStart + kSecond, t.take(kStart + 300 * kMs, 3));
  EXPECT_EQ(kStart + kSecond + 1 * kMs, t.take(kStart + 300 * kMs, 3));
  EXPECT_EQ(kStart + kSecond + 2 * kMs, t.take(kStart + 301 * kMs, 3));
  // The seventh counts from when the fourth went, not from when it asked.
  EXPECT_EQ(kStart + 2 * kSecond, t.take(kStart + 400 * kMs, 3));
  // A slot last used more than a second ago lets its chunk go at once.
  EXPECT_EQ(kStart + 5 * kSecond, t.take(kStart + 5 * kSecond, 3));
  EXPECT_EQ(8u, t.count);
}

TEST(ThrottleTest, ALaterLineWithAHigherCapGetsItsSlots) {
  Throttle t;
  t.slots.assign(1, 0);
  EXPECT_EQ(kStart, t.take(kStart, 1));
  EXPECT_EQ(kStart + kSecond, t.take(kStart, 1));
  // Turn 2 of 4 slots: a slot not used yet.
  EXPECT_EQ(kStart, t.take(kStart, 4));
  EXPECT_EQ(4u, t.slots.size());
}

// Whatever the order and spacing of the turns, no second holds more than
// cap chunks, and while turns come faster than the cap allows, every second
// holds that many.
TEST(ThrottleTest, NoSecondHoldsMoreThanTheCapAndABusyOneHoldsIt) {
  for (unsigned cap : {1u, 7u, 50u, 200u}) {
    Throttle t;
    t.slots.assign(cap, 0);
    std::mt19937 rng(cap);
    std::uniform_int_distribution<int64_t> gap(0, 3 * kSecond / cap);
    std::vector<int64_t> released;
    int64_t now = kStart;
    const int turns = static_cast<int>(cap) * 20;
    for (int i = 0; i < turns; ++i) {
      now += gap(rng);
      const int64_t go = t.take(now, cap);
      ASSERT_GE(go, now);
      released.push_back(go);
      // A worker's next turn comes after its chunk went; ten workers.
      if (i % 10 == 9) now = std::max(now, go);
    }
    std::sort(released.begin(), released.end());
    for (size_t i = cap; i < released.size(); ++i) {
      ASSERT_GE(released[i] - released[i - cap], kSecond) << "cap " << cap << " chunk " << i;
    }
  }
  // Turns far faster than the cap: the chunks go cap per second exactly.
  Throttle t;
  t.slots.assign(50, 0);
  std::vector<int64_t> released;
  for (int i = 0; i < 500; ++i) released.push_back(t.take(kStart + i, 50));
  EXPECT_EQ(kStart + 9 * kSecond + 49, released.back());
  for (size_t i = 50; i < released.size(); ++i) EXPECT_EQ(released[i - 50] + kSecond, released[i]);
}

}  // namespace
