// Throughput of DCCompr::processBlock + reset on 8192-byte blocks at both
// levels, and of zlib level 1 with a sync flush on the same blocks.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "block_gen.h"
#include "compress/dc_compr.h"
#include "base/run_globals.h"
#include "zlib_oracle.h"

// Counts every allocation, to show that a block costs one (the scratch
// buffer) and nothing else. (GCC takes malloc inside a replaced operator new
// and free inside the matching delete for a mismatch.)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
static std::atomic<long> g_allocations{0};

void* operator new(size_t n) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t n) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }

namespace {

constexpr size_t kBlock = 8192;
constexpr int kBlocks = 64;  // distinct blocks cycled through, 512 KiB

// Text-like and random blocks, plus two kinds a scan meets often: runs of
// byte values, and random data in the first half of a block with zeros
// after it (a partly written block), whose many distinct literals make the
// tree building count.
enum Kind { kText = 0, kRandom = 1, kRuns = 2, kHalfZero = 3 };

dztest::Bytes makeBlock(Kind kind, uint64_t seed) {
  switch (kind) {
    case kText: return dztest::textLike(kBlock, seed);
    case kRuns: return dztest::runs(kBlock, seed);
    case kHalfZero: {
      dztest::Bytes b = dztest::randomBytes(kBlock / 2, seed);
      b.resize(kBlock, 0);
      return b;
    }
    default: return dztest::randomBytes(kBlock, seed);
  }
}

const std::vector<dztest::Bytes>& blocks(Kind kind) {
  static const std::vector<dztest::Bytes>* sets[4] = {};
  if (sets[kind] == nullptr) {
    auto* v = new std::vector<dztest::Bytes>;
    for (int i = 0; i < kBlocks; i++) v->push_back(makeBlock(kind, 1000 * (kind + 1) + i));
    sets[kind] = v;
  }
  return *sets[kind];
}

// storagever 1202 selects level 110 (buffered), 1201 level 111 (direct).
void BM_DCCompr(benchmark::State& state, unsigned storagever, Kind kind) {
  myGlobals.storagever = storagever;
  std::vector<dztest::Bytes> set = blocks(kind);
  DCCompr compr(DCCompr::levelFor(myGlobals.storagever));
  double ratio_sum = 0;
  long blocks_done = 0;
  const long allocations_before = g_allocations.load();
  for (auto _ : state) {
    dztest::Bytes& b = set[static_cast<size_t>(blocks_done % kBlocks)];
    compr.processBlock(b.data(), b.size());
    compr.reset();
    ratio_sum += compr.ratio;
    blocks_done++;
  }
  state.SetBytesProcessed(static_cast<int64_t>(blocks_done) * static_cast<int64_t>(kBlock));
  state.counters["ratio"] = ratio_sum / static_cast<double>(blocks_done);
  state.counters["allocs_per_block"] =
      static_cast<double>(g_allocations.load() - allocations_before) /
      static_cast<double>(blocks_done);
}
BENCHMARK_CAPTURE(BM_DCCompr, text_level110, 1202u, kText);
BENCHMARK_CAPTURE(BM_DCCompr, text_level111, 1201u, kText);
BENCHMARK_CAPTURE(BM_DCCompr, random_level110, 1202u, kRandom);
BENCHMARK_CAPTURE(BM_DCCompr, random_level111, 1201u, kRandom);
BENCHMARK_CAPTURE(BM_DCCompr, runs_level110, 1202u, kRuns);
BENCHMARK_CAPTURE(BM_DCCompr, halfzero_level110, 1202u, kHalfZero);

void BM_ZlibLevel1(benchmark::State& state, Kind kind) {
  const std::vector<dztest::Bytes>& set = blocks(kind);
  zoracle::Level1Stream zlib;
  std::vector<unsigned char> out(kBlock + 256);
  double ratio_sum = 0;
  long blocks_done = 0;
  for (auto _ : state) {
    const dztest::Bytes& b = set[static_cast<size_t>(blocks_done % kBlocks)];
    ratio_sum += static_cast<double>(zlib.compress(b.data(), b.size(), out.data(), out.size())) /
                 static_cast<double>(kBlock);
    blocks_done++;
  }
  state.SetBytesProcessed(static_cast<int64_t>(blocks_done) * static_cast<int64_t>(kBlock));
  state.counters["ratio"] = ratio_sum / static_cast<double>(blocks_done);
}
BENCHMARK_CAPTURE(BM_ZlibLevel1, text, kText);
BENCHMARK_CAPTURE(BM_ZlibLevel1, random, kRandom);

}  // namespace

BENCHMARK_MAIN();
