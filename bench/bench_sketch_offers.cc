// Offers per second to a full sketch of K = 50000, done the way the hash
// workers do it: build an entry from the fingerprint, probe, then insert it
// or free it. Linked into bench_fingerprint, which provides main().
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "sketch/dc_hash_and_ratio.h"
#include "sketch/dc_kheap.h"

namespace {

constexpr uint64_t kCapacity = 50000;

std::vector<unsigned char> randomFingerprint(std::mt19937_64& rng) {
  std::vector<unsigned char> fp(20);
  for (size_t i = 0; i < fp.size(); i += 4) {
    uint64_t r = rng();
    for (size_t j = 0; j < 4; ++j) fp[i + j] = static_cast<unsigned char>(r >> (8 * j));
  }
  return fp;
}

void offer(DCKHeap& sketch, const std::vector<unsigned char>& fp, uint64_t pos) {
  auto* e = new DCHashAndRatio(fp, -1.0, pos);
  if (sketch.probe(e)) {
    sketch.insert(e);
  } else {
    delete e;
  }
}

// A sketch that has already seen two million distinct blocks, so its top
// sits low in the key space as it does mid-scan, and fresh fingerprints to
// offer (mostly above the top, a few below).
struct FullSketch {
  DCKHeap sketch{kCapacity};
  std::vector<std::vector<unsigned char>> pool;
  FullSketch() {
    std::mt19937_64 rng(2024);
    for (uint64_t i = 0; i < 2000000; ++i) offer(sketch, randomFingerprint(rng), i);
    for (int i = 0; i < (1 << 16); ++i) pool.push_back(randomFingerprint(rng));
  }
};

FullSketch& fullSketch() {
  static FullSketch s;
  return s;
}

void BM_SketchOfferFull(benchmark::State& state) {
  FullSketch& f = fullSketch();
  size_t i = static_cast<size_t>(state.thread_index()) * 7919;
  for (auto _ : state) {
    offer(f.sketch, f.pool[i & (f.pool.size() - 1)], i);
    ++i;
  }
  state.SetItemsProcessed(state.iterations());
}
// One thread: CPU time, which a busy machine does not inflate. Two threads
// share the mutex: wall time is what counts there.
BENCHMARK(BM_SketchOfferFull);
BENCHMARK(BM_SketchOfferFull)->Threads(2)->UseRealTime();

// A scan's own mix: 200,000 distinct fingerprints offered to an empty
// sketch, four for each slot, the way the hash workers offer them (the
// lock-free filter first, then insert). Most offers here are stored and
// push an older entry out, which is the costly path.
void BM_SketchFillAndTurnOver(benchmark::State& state) {
  static const std::vector<std::vector<unsigned char>> offers = [] {
    std::mt19937_64 rng(77);
    std::vector<std::vector<unsigned char>> v;
    for (uint64_t i = 0; i < 4 * kCapacity; ++i) v.push_back(randomFingerprint(rng));
    return v;
  }();
  for (auto _ : state) {
    DCKHeap sketch(kCapacity);
    uint64_t pos = 0;
    for (const auto& fp : offers) {
      if (!sketch.surelyAbove(fp)) sketch.insert(new DCHashAndRatio(fp, -1.0, pos));
      ++pos;
    }
    benchmark::DoNotOptimize(sketch.numEntries());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(offers.size()));
}
BENCHMARK(BM_SketchFillAndTurnOver)->Unit(benchmark::kMillisecond);

}  // namespace
