// The scan's hash stage alone: W hash workers (hashThreadFnc) take the
// same 128 MiB of data blocks off the hash queue, fingerprint them and offer
// them to a sketch of K = 50000 that has already seen 200,000 distinct
// blocks, so that about a fifth of the offers pass its lock-free filter,
// as in the middle of a large scan. Blocks are handed over a chunk (128
// blocks) at a time, as the scan loop does.
//
// Reported: blocks per second of wall-clock (how fast the stage goes with W
// workers on this host) and CPU seconds per GiB of all threads (what it
// costs). The stage's limit on a host with more cores: cores x GiB per
// CPU-second, as long as the workers do not wait for each other; the rate
// with 1, 2, 4 and 10 workers on the same data shows where they start to.
#include <benchmark/benchmark.h>

#include <time.h>

#include <cstdint>
#include <random>
#include <thread>
#include <vector>

#include "base/run_globals.h"
#include "scan/dscore.h"
#include "scan/pipeline.h"
#include "scan/requests.h"
#include "sketch/dc_hash_and_ratio.h"
#include "sketch/dc_kheap.h"

namespace {

constexpr int kBlockSize = 8192;
constexpr size_t kBlocks = 16384;  // 128 MiB
constexpr uint64_t kCapacity = 50000;
constexpr int kChunkBlocks = 128;

// Blocks of pseudo-random bytes, every one distinct.
const std::vector<unsigned char>& blockData() {
  static const std::vector<unsigned char> data = [] {
    std::vector<unsigned char> d(kBlocks * kBlockSize);
    std::mt19937_64 rng(23);
    for (size_t i = 0; i < d.size(); i += 8) {
      const uint64_t r = rng();
      for (int j = 0; j < 8; ++j) d[i + j] = static_cast<unsigned char>(r >> (8 * j));
    }
    return d;
  }();
  return data;
}

// A sketch whose top sits where it does after 200,000 distinct blocks.
DCKHeap* seenSketch() {
  auto* sketch = new DCKHeap(kCapacity);
  std::mt19937_64 rng(2024);
  std::vector<unsigned char> fp(20);
  for (int i = 0; i < 200000; ++i) {
    for (size_t j = 0; j < fp.size(); j += 4) {
      const uint64_t r = rng();
      for (size_t k = 0; k < 4; ++k) fp[j + k] = static_cast<unsigned char>(r >> (8 * k));
    }
    if (!sketch->surelyAbove(fp)) sketch->insert(new DCHashAndRatio(fp, -1.0, static_cast<uint64_t>(i)));
  }
  return sketch;
}

const unsigned char kExtra[2] = {0, 0};

double processCpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void BM_HashStage(benchmark::State& state) {
  const int workers = static_cast<int>(state.range(0));
  myGlobals.resetForNextLine();
  if (hashRequests == nullptr) {
    hashRequests = new concurrent_queue<hashReq*>;
    hashRequests->setLogLevel(7);
  }
  const std::vector<unsigned char>& data = blockData();
  double cpu = 0;
  for (auto _ : state) {
    state.PauseTiming();
    delete TopHashes_;
    TopHashes_ = seenSketch();
    // Each request owns a copy of its block, as when the scan loop copies.
    std::vector<std::vector<hashReq*>> chunks;
    for (size_t b = 0; b < kBlocks; b += kChunkBlocks) {
      std::vector<hashReq*> c;
      for (size_t i = b; i < b + kChunkBlocks && i < kBlocks; ++i) {
        auto* buf = new unsigned char[kBlockSize + 2]();
        std::copy_n(data.data() + i * kBlockSize, kBlockSize, buf);
        c.push_back(new hashReq(buf, kBlockSize, std::vector<unsigned char>(20, 0), kExtra, i * kBlockSize));
      }
      chunks.push_back(std::move(c));
    }
    state.ResumeTiming();

    const double cpu0 = processCpuSeconds();
    std::vector<std::thread> threads;
    for (int w = 0; w < workers; ++w) threads.emplace_back(hashThreadFnc, w);
    for (auto& c : chunks) hashRequests->pushAll(c);
    for (int w = 0; w < workers; ++w) hashRequests->push(new hashReq());
    for (auto& t : threads) t.join();
    cpu += processCpuSeconds() - cpu0;
  }
  delete TopHashes_;
  TopHashes_ = nullptr;
  gHashReqPool.clear();
  const double bytes = static_cast<double>(state.iterations()) * kBlocks * kBlockSize;
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kBlocks));
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  // CPU seconds of all threads per GiB hashed.
  state.counters["cpu_s_per_GiB"] = cpu / (bytes / (1024.0 * 1024 * 1024));
}
BENCHMARK(BM_HashStage)->Arg(1)->Arg(2)->Arg(4)->Arg(10)->Iterations(5)->MeasureProcessCPUTime()->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
