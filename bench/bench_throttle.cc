// Does a scan keep to its throughput cap (--maxMBPs)? Runs full scans in
// this process, one per cap, times every read of the source and finds the
// bytes read in every 10 s window of each scan: the cap holds when no window
// reads more than 10 s at the cap, and none that lies within the scan reads
// less than 95 % of that.
//
//   build/bench/bench_throttle [SECONDS [CAP...]]   (default: 25 s; 50 200 1000 MiB/s)
//
// The source is a sparse file the size of SECONDS at the cap, and its reads
// are answered with zero blocks without going to the device, so that the
// cap and not the device or the fingerprinting sets the pace. On a busy
// machine the low side may fail for want of CPU; the high side must not.
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/run_globals.h"
#include "base/run_state.h"
#include "runcontrol/commands.h"
#include "scan/pipeline.h"
#include "scan/requests.h"

namespace {

constexpr int64_t kMiB = 1 << 20;
constexpr double kWindowS = 10.0;

struct Read {
  int64_t ns;
  int64_t bytes;
};

std::vector<Read> gReads;
std::atomic<size_t> gReadCount{0};

int64_t steadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Zeros for the whole request, as a hole of the file would give.
ssize_t zeroRead(int /*fd*/, void* buf, size_t count, off_t /*offset*/) {
  std::memset(buf, 0, count);
  const size_t i = gReadCount.fetch_add(1);
  if (i < gReads.size()) gReads[i] = {steadyNs(), static_cast<int64_t>(count)};
  return static_cast<ssize_t>(count);
}

struct Windows {
  double maxRate = 0;  // MiB/s
  double minRate = 1e300;
  double seconds = 0;
  double mib = 0;
};

// Every window of kWindowS seconds that starts at a read (the busiest ones
// start there) gives the high side; every one that ends at a read and lies
// within the scan, the low side.
Windows measure(const std::vector<Read>& reads) {
  Windows w;
  if (reads.empty()) return w;
  const int64_t span = static_cast<int64_t>(kWindowS * 1e9);
  const int64_t first = reads.front().ns;
  w.seconds = static_cast<double>(reads.back().ns - first) / 1e9;
  std::vector<int64_t> prefix(reads.size() + 1, 0);
  for (size_t i = 0; i < reads.size(); ++i) prefix[i + 1] = prefix[i] + reads[i].bytes;
  w.mib = static_cast<double>(prefix.back()) / kMiB;
  size_t j = 0;
  for (size_t i = 0; i < reads.size(); ++i) {
    // Reads in [t_i, t_i + span).
    if (j < i) j = i;
    while (j < reads.size() && reads[j].ns < reads[i].ns + span) ++j;
    const double rate = static_cast<double>(prefix[j] - prefix[i]) / kMiB / kWindowS;
    if (rate > w.maxRate) w.maxRate = rate;
  }
  size_t k = 0;
  for (size_t i = 0; i < reads.size(); ++i) {
    // Reads in (t_i - span, t_i], for windows that begin after the scan's first read.
    if (reads[i].ns - span < first) continue;
    while (reads[k].ns <= reads[i].ns - span) ++k;
    const double rate = static_cast<double>(prefix[i + 1] - prefix[k]) / kMiB / kWindowS;
    if (rate < w.minRate) w.minRate = rate;
  }
  return w;
}

bool scanAtCap(const std::string& dir, unsigned cap, double seconds) {
  const std::string source = dir + "/source.img";
  const int64_t bytes = static_cast<int64_t>(cap * seconds) * kMiB;
  const int fd = ::open(source.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
  if (fd < 0 || ::ftruncate(fd, bytes) != 0) {
    std::perror(source.c_str());
    return false;
  }
  ::close(fd);

  myGlobals.resetForNextLine();
  myGlobals.command = "scan";
  myGlobals.input = source;
  myGlobals.sketch = dir + "/cap" + std::to_string(cap) + ".dat";
  myGlobals.maxMBPs = cap;
  ioErrorCount = 0;
  ioAbortFlag = 0;
  delete gThrottle;
  gThrottle = new Throttle;
  gThrottle->slots.assign(cap, 0);

  gReads.assign(static_cast<size_t>(bytes / kMiB) * 2 + 1024, Read{});
  gReadCount.store(0);
  gReadAt = &zeroRead;
  scanCommand();
  gReadAt = &pread;
  readRequests->drain();
  readcmpRequests->drain();
  cmpRequests->drain();
  hashRequests->drain();
  const size_t count = std::min(gReadCount.load(), gReads.size());
  std::vector<Read> reads(gReads.begin(), gReads.begin() + static_cast<long>(count));
  std::sort(reads.begin(), reads.end(), [](const Read& a, const Read& b) { return a.ns < b.ns; });
  ::unlink(source.c_str());

  const Windows w = measure(reads);
  const double asked = cap;
  const bool under = w.maxRate <= asked;
  const bool near = w.minRate >= 0.95 * asked;
  std::printf("cap %5u MiB/s: %.0f MiB in %.1f s (%.1f MiB/s); 10 s windows: highest %.2f MiB/s (%.2f %%), "
              "lowest %.2f MiB/s (%.2f %%): %s\n",
              cap, w.mib, w.seconds, w.mib / std::max(w.seconds, 1e-9), w.maxRate, 100 * w.maxRate / asked,
              w.minRate, 100 * w.minRate / asked,
              under && near ? "holds" : !under ? "ABOVE THE CAP" : "below 95 % of the cap");
  std::fflush(stdout);
  return under && near;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 25.0;
  std::vector<unsigned> caps;
  for (int i = 2; i < argc; ++i) caps.push_back(static_cast<unsigned>(std::atoi(argv[i])));
  if (caps.empty()) caps = {50, 200, 1000};
  if (seconds < kWindowS + 1) {
    std::fprintf(stderr, "need more than %.0f seconds per scan\n", kWindowS + 1);
    return 2;
  }

  readRequests = new concurrent_queue<readReq*>;
  hashRequests = new concurrent_queue<hashReq*>;
  readcmpRequests = new concurrent_queue<hashReq*>;
  cmpRequests = new concurrent_queue<hashReq*>;
  for (auto* q : {readcmpRequests, hashRequests, cmpRequests}) q->setLogLevel(7);
  readRequests->setLogLevel(7);

  char dirTemplate[] = "/tmp/bench_throttle.XXXXXX";
  const char* dir = ::mkdtemp(dirTemplate);
  if (dir == nullptr) {
    std::perror("mkdtemp");
    return 2;
  }
  bool all = true;
  for (unsigned cap : caps) all = scanAtCap(dir, cap, seconds) && all;
  const std::string cleanup = std::string("rm -rf ") + dir;
  if (std::system(cleanup.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", dir);
  return all ? 0 : 1;
}
