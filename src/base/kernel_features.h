// Kernel features the scan uses where the kernel has them, and a way for the
// tests to run the program as on a kernel without them.
#ifndef DEZEVAZIR_BASE_KERNEL_FEATURES_H_
#define DEZEVAZIR_BASE_KERNEL_FEATURES_H_

// Each has a fallback that reads the same blocks and gives the same result;
// only the cost differs.
enum class KernelFeature {
  kNativeAio,       // io_setup and friends (Linux 2.6; may be configured out)
  kPopulateWrite,   // madvise MADV_POPULATE_WRITE (Linux 5.14)
  kCachestat,       // cachestat (Linux 6.5)
  kHugePages,       // transparent huge pages (may be configured out or off)
};

// True when the environment variable DZ_TEST_KERNEL_WITHOUT lists the
// feature ("aio", "populate", "cachestat", "thp", comma separated, or "all"):
// the program then behaves as on a kernel that lacks or refuses it. The
// fallbacks cannot otherwise be reached on a recent kernel, and the tests
// compare their results with the normal ones. Read once, at the first call.
bool kernelFeatureWithheld(KernelFeature feature);

#endif  // DEZEVAZIR_BASE_KERNEL_FEATURES_H_
