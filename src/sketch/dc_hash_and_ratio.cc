#include "sketch/dc_hash_and_ratio.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "base/run_globals.h"

namespace {

size_t fingerprintLength() { return myGlobals.hashLength > 0 ? static_cast<size_t>(myGlobals.hashLength) : 0; }

// atoi without its undefined overflow: out-of-range counts clamp to int.
int parseCount(const std::string& text) {
  long v = std::strtol(text.c_str(), nullptr, 10);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

}  // namespace

DCHashAndRatio::DCHashAndRatio(const std::vector<unsigned char>& fingerprint, double r, uint64_t pos)
    : hash(fingerprintLength(), 0), ratio(r), position(pos) {
  std::copy_n(fingerprint.begin(), std::min(fingerprint.size(), hash.size()), hash.begin());
  refreshKey();
}

void DCHashAndRatio::reuse(const std::vector<unsigned char>& fingerprint, double r, uint64_t pos) {
  hash.assign(fingerprintLength(), 0);
  std::copy_n(fingerprint.begin(), std::min(fingerprint.size(), hash.size()), hash.begin());
  ratio = r;
  refCounter = 1;
  position = pos;
  valid = true;
  refreshKey();
}

DCHashAndRatio::DCHashAndRatio(const std::string& hashText, const std::string& ratioText,
                               const std::string& countText)
    : hash(fingerprintLength(), 0) {
  bool hashOk = stringToByteArray(hashText);
  bool ratioOk = parseRatio(ratioText, ratio);
  refCounter = parseCount(countText);
  valid = hashOk && ratioOk;
}

bool DCHashAndRatio::stringToByteArray(const std::string& text) {
  const size_t len = fingerprintLength();
  if (len % 2 != 0) return false;
  if (hash.size() < len) hash.resize(len, 0);
  bool ok = true;
  for (size_t i = 0; i < len; ++i) {
    unsigned char hi, lo;
    // A short text counts as bad pairs rather than a read past its end.
    if (2 * i + 1 >= text.size() || !convertCharToByte(text[2 * i], hi) ||
        !convertCharToByte(text[2 * i + 1], lo)) {
      ok = false;
      continue;
    }
    hash[i] = static_cast<unsigned char>(hi << 4 | lo);
  }
  refreshKey();
  return ok;
}

bool DCHashAndRatio::parseRatio(const std::string& text, double& out) {
  std::istringstream is(text);
  double v;
  if (!(is >> v)) return false;
  out = v;
  return true;
}
