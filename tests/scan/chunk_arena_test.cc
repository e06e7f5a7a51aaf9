// The chunk arena hands out distinct, page-aligned, writable slots, the one
// given back last first; it refuses buffers that are not its own, and says
// when it has none left (the caller then maps a buffer of its own).
#include "scan/chunk_arena.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <vector>

namespace {

constexpr size_t kChunk = size_t{1} << 20;

TEST(ChunkArena, HandsOutEachSlotOnceUntilGivenBack) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  ChunkArena arena(kChunk, 5, true);
  std::vector<unsigned char*> taken;
  for (int i = 0; i < 5; ++i) {
    unsigned char* b = arena.take();
    ASSERT_NE(b, nullptr) << i;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(b) % page, 0u) << "direct reads need page-aligned buffers";
    // Writable end to end, and no slot overlaps another: each keeps its fill.
    std::memset(b, i + 1, kChunk);
    taken.push_back(b);
  }
  EXPECT_EQ(std::set<unsigned char*>(taken.begin(), taken.end()).size(), 5u);
  for (size_t i = 0; i < taken.size(); ++i) {
    EXPECT_EQ(taken[i][0], i + 1);
    EXPECT_EQ(taken[i][kChunk - 1], i + 1);
  }
  EXPECT_EQ(arena.out(), 5u);
  EXPECT_EQ(arena.take(), nullptr) << "every slot is out";

  EXPECT_TRUE(arena.give(taken[3]));
  EXPECT_TRUE(arena.give(taken[1]));
  EXPECT_EQ(arena.out(), 3u);
  EXPECT_EQ(arena.take(), taken[1]) << "the slot given back last comes first";
  EXPECT_EQ(arena.take(), taken[3]);
  for (unsigned char* b : taken) EXPECT_TRUE(arena.give(b));
  EXPECT_EQ(arena.out(), 0u);
}

TEST(ChunkArena, RefusesBuffersNotItsOwn) {
  ChunkArena arena(kChunk, 2, false);
  unsigned char* b = arena.take();
  ASSERT_NE(b, nullptr);
  std::vector<unsigned char> heap(kChunk);
  EXPECT_FALSE(arena.give(heap.data()));
  EXPECT_FALSE(arena.give(b + 4096)) << "inside a slot, not its start";
  EXPECT_FALSE(arena.give(b + 2 * kChunk)) << "past the last slot";
  EXPECT_FALSE(arena.give(nullptr));
  EXPECT_EQ(arena.out(), 1u);
  EXPECT_TRUE(arena.give(b));
}

TEST(ChunkArena, WithoutSlotsHandsOutNothing) {
  ChunkArena none(kChunk, 0, true);
  EXPECT_EQ(none.take(), nullptr);
  EXPECT_EQ(none.out(), 0u);
  unsigned char byte = 0;
  EXPECT_FALSE(none.give(&byte));
}

}  // namespace
