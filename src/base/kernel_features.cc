#include "base/kernel_features.h"

#include <cstdlib>
#include <sstream>
#include <string>

namespace {

constexpr int kFeatures = 4;

struct Withheld {
  bool feature[kFeatures] = {};

  Withheld() {
    const char* list = std::getenv("DZ_TEST_KERNEL_WITHOUT");
    if (list == nullptr) return;
    static const char* const kNames[kFeatures] = {"aio", "populate", "cachestat", "thp"};
    std::istringstream words(list);
    std::string word;
    while (std::getline(words, word, ',')) {
      for (int i = 0; i < kFeatures; ++i) {
        if (word == kNames[i] || word == "all") feature[i] = true;
      }
    }
  }
};

}  // namespace

bool kernelFeatureWithheld(KernelFeature feature) {
  static const Withheld withheld;
  return withheld.feature[static_cast<int>(feature)];
}
