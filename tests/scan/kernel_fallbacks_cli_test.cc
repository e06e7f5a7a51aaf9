// The built program as on an older kernel: without native AIO, with
// MADV_POPULATE_WRITE refused, without cachestat, without transparent huge
// pages (DZ_TEST_KERNEL_WITHOUT). Each fallback must write the sketch file
// of the normal run, byte for byte, whether the source is read directly or
// from the page cache.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "cli.h"
#include "page_cache.h"
#include "scan_fixtures.h"

namespace {

using dztest::runCli;
using dztest::TempDir;
using scantest::Image;

// Repeats, zero blocks and a tail shorter than a sector, over several chunks
// of every worker.
Image fallbackImage() {
  Image image;
  for (int i = 0; i < 2600; ++i) {
    if (i % 40 == 3) {
      image.zeros(1);
    } else {
      image.data(i % 900);
    }
  }
  image.tail(300);
  return image;
}

const char* const kWithheld[] = {"aio", "populate", "cachestat", "thp", "all"};

class KernelFallbacks : public ::testing::Test {
 protected:
  void SetUp() override {
    input_ = dir_.file("img");
    fallbackImage().write(input_);
    if (!scantest::evict(input_)) GTEST_SKIP() << "pages of " << input_ << " cannot be dropped";
    if (!scantest::takesDirectReads(input_)) GTEST_SKIP() << dir_.path() << " takes no direct reads";
  }

  // Scans the image in a fresh directory with the features of `withheld`
  // withheld, the source dropped from the cache or wholly in it first.
  // Returns the directory (run log and sketch file "img.dat").
  std::string scan(const std::string& withheld, bool cached, const std::string& tracer = "") {
    const std::string dir = dir_.file("run" + std::to_string(++runs_));
    EXPECT_EQ(::mkdir(dir.c_str(), 0700), 0);
    if (cached) {
      scantest::loadPages(input_, 0, 1 << 30);
    } else {
      EXPECT_TRUE(scantest::evict(input_));
    }
    std::map<std::string, std::string> env;
    if (!withheld.empty()) env["DZ_TEST_KERNEL_WITHOUT"] = withheld;
    std::vector<std::string> args = {"scan", "--input", input_, "--sketch", "img.dat"};
    std::string binary;
    if (!tracer.empty()) {
      args.insert(args.begin(), {"-f", "-qq", "-o", dir + "/trace", dztest::dezevazirPath()});
      binary = tracer;
      // LeakSanitizer cannot work under ptrace (the sanitizer builds).
      const char* asan = std::getenv("ASAN_OPTIONS");
      env["ASAN_OPTIONS"] = std::string(asan != nullptr ? asan : "") + ":detect_leaks=0";
    }
    const auto r = runCli(dir, args, env, binary);
    EXPECT_EQ(r.status, 0) << withheld << ": " << r.err;
    const std::string log = dztest::readFile(dir + "/ridoriDozu.log");
    const char* mode = cached ? "Read mode: buffered, from the page cache" : "Read mode: direct";
    EXPECT_NE(log.find(mode), std::string::npos) << withheld << ": " << log;
    return dir;
  }

  TempDir dir_;
  std::string input_;
  int runs_ = 0;
};

TEST_F(KernelFallbacks, EveryFallbackWritesTheSameSketchFile) {
  const std::string reference = dztest::readFile(scan("", false) + "/img.dat");
  ASSERT_NE(reference.find("Number of Not Zero blocks: "), std::string::npos) << reference;
  for (bool cached : {false, true}) {
    if (cached) {
      SCOPED_TRACE("from the page cache");
      EXPECT_EQ(dztest::readFile(scan("", true) + "/img.dat"), reference);
    }
    for (const char* withheld : kWithheld) {
      SCOPED_TRACE(std::string(withheld) + (cached ? ", from the page cache" : ", direct reads"));
      EXPECT_EQ(dztest::readFile(scan(withheld, cached) + "/img.dat"), reference);
    }
  }
}

// Without this, the comparison above could pass with every feature in use.
TEST_F(KernelFallbacks, WithheldFeaturesAreNotAskedForAndTheFallbacksAre) {
  const std::string strace = "/usr/bin/strace";
  if (::access(strace.c_str(), X_OK) != 0) GTEST_SKIP() << "no " << strace;
  // Containers may forbid tracing.
  const auto probe = runCli(dir_.path(), {"-f", "-qq", "-o", "/dev/null", "/bin/true"}, {}, strace);
  if (probe.status != 0) GTEST_SKIP() << "strace cannot trace here: " << probe.err;
  struct Call {
    const char* feature;
    std::vector<const char*> calls;  // any of these, as strace shows them
  };
  const Call uses[] = {
      {"aio", {"io_setup("}},
      {"populate", {"MADV_POPULATE_WRITE", ", 0x17)"}},
      {"cachestat", {"cachestat(", "syscall_0x1c3("}},
      {"thp", {"MADV_HUGEPAGE"}},
  };
  auto has = [](const std::string& trace, const Call& c) {
    for (const char* call : c.calls) {
      if (trace.find(call) != std::string::npos) return true;
    }
    return false;
  };
  const std::string normal = dztest::readFile(scan("", false, strace) + "/trace");
  for (const Call& c : uses) EXPECT_TRUE(has(normal, c)) << c.feature << " is not used in the normal run";

  for (const Call& c : uses) {
    SCOPED_TRACE(c.feature);
    const std::string trace = dztest::readFile(scan(c.feature, false, strace) + "/trace");
    EXPECT_FALSE(has(trace, c)) << trace;
    for (const Call& other : uses) {
      if (&other != &c) {
        EXPECT_TRUE(has(trace, other)) << other.feature << " withheld too";
      }
    }
    // Residency is then told by mincore, and the reads go one at a time.
    if (std::string(c.feature) == "cachestat") {
      EXPECT_NE(trace.find("mincore("), std::string::npos);
    }
    if (std::string(c.feature) == "aio") {
      EXPECT_EQ(trace.find("io_submit("), std::string::npos);
    }
  }
}

}  // namespace
