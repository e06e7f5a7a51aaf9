// Throughput of the whole block fingerprint (two halves and the final level)
// on 8192-byte blocks, for each SHA-1 path, and of the Murmur variant.
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "base/run_globals.h"
#include "sketch/dc_crypt.h"
#include "sketch/sha1.h"

namespace {

constexpr int kBlockSize = 8192;
constexpr int kBlocks = 256;  // 2 MiB of distinct blocks: stays in L2/L3 like a read chunk

std::vector<unsigned char> makeBlocks() {
  std::mt19937 rng(1);
  std::vector<unsigned char> data(static_cast<size_t>(kBlockSize) * kBlocks);
  for (auto& b : data) b = static_cast<unsigned char>(rng());
  return data;
}

void runFingerprints(benchmark::State& state, bool altHash, int randomBytes) {
  myGlobals.altHash = altHash;
  myGlobals.hashLength = altHash ? 16 : 20;
  myGlobals.randomBytes = randomBytes;
  FingerprintSettings settings;
  settings.altHash = altHash;
  settings.hashLength = altHash ? 16 : 20;
  settings.appendExtra = randomBytes != 0;
  const std::vector<unsigned char> data = makeBlocks();
  const unsigned char extra[2] = {0x12, 0x34};
  std::vector<unsigned char> out;
  size_t i = 0;
  for (auto _ : state) {
    DCCrypt::blockFingerprint(data.data() + i * kBlockSize, kBlockSize, extra, out, settings);
    benchmark::DoNotOptimize(out.data());
    i = (i + 1) % kBlocks;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBlockSize);
  myGlobals.altHash = false;
  myGlobals.hashLength = 20;
  myGlobals.randomBytes = 0;
}

void BM_BlockFingerprintSha1(benchmark::State& state, Sha1Path path, int randomBytes) {
  if (!sha1_select_path(path)) {
    state.SkipWithError("this CPU lacks the SHA extensions");
    return;
  }
  runFingerprints(state, false, randomBytes);
}

void BM_BlockFingerprintMurmur(benchmark::State& state) { runFingerprints(state, true, 0); }

// Two blocks at a time, as the hash workers fingerprint them; bytes count
// both blocks.
void BM_BlockFingerprintPairSha1(benchmark::State& state, Sha1Path path) {
  if (!sha1_select_path(path)) {
    state.SkipWithError("this CPU lacks the SHA extensions");
    return;
  }
  FingerprintSettings settings;
  const std::vector<unsigned char> data = makeBlocks();
  const unsigned char extra[2] = {0x12, 0x34};
  std::vector<unsigned char> outA, outB;
  size_t i = 0;
  for (auto _ : state) {
    DCCrypt::blockFingerprintPair(data.data() + i * kBlockSize, data.data() + (i + 1) * kBlockSize, kBlockSize,
                                  extra, outA, outB, settings);
    benchmark::DoNotOptimize(outA.data());
    benchmark::DoNotOptimize(outB.data());
    i = (i + 2) % kBlocks;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 2 * kBlockSize);
}
BENCHMARK_CAPTURE(BM_BlockFingerprintPairSha1, ShaExtensions, Sha1Path::kShaExtensions);
BENCHMARK_CAPTURE(BM_BlockFingerprintPairSha1, Portable, Sha1Path::kPortable);

BENCHMARK_CAPTURE(BM_BlockFingerprintSha1, ShaExtensions, Sha1Path::kShaExtensions, 0);
BENCHMARK_CAPTURE(BM_BlockFingerprintSha1, ShaExtensionsRandomBytes, Sha1Path::kShaExtensions, 1);
BENCHMARK_CAPTURE(BM_BlockFingerprintSha1, Portable, Sha1Path::kPortable, 0);
BENCHMARK_CAPTURE(BM_BlockFingerprintSha1, PortableRandomBytes, Sha1Path::kPortable, 1);
BENCHMARK(BM_BlockFingerprintMurmur);

}  // namespace
