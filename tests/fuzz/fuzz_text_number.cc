// The strict number readers of the sketch file against what they promise:
// every counter, size and ratio of a file goes through them, and a reader
// that lets a wrapped, hex or infinite value through gives the estimates
// numbers no scan ever wrote.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>

#include "sketchfile/text_number.h"

namespace {

[[noreturn]] void fail(const char* what, std::string_view text) {
  std::fprintf(stderr, "text_number: %s for \"%.*s\" (%zu bytes)\n", what, static_cast<int>(text.size()),
               text.data(), text.size());
  std::abort();
}

bool allDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char ch : s) {
    if (ch < '0' || ch > '9') return false;
  }
  return true;
}

// The digits without leading zeros ("0" for all zeros): what std::to_string
// writes for the same value.
std::string_view canonicalDigits(std::string_view s) {
  const std::size_t nz = s.find_first_not_of('0');
  return nz == std::string_view::npos ? std::string_view("0") : s.substr(nz);
}

// Fits in 64 bits, judged on the digits alone (no arithmetic to overflow).
bool fitsU64(std::string_view digits) {
  static constexpr std::string_view kMax = "18446744073709551615";
  const std::string_view c = canonicalDigits(digits);
  return c.size() < kMax.size() || (c.size() == kMax.size() && c <= kMax);
}

// [+-]? digits [. digits] [(e|E) [+-]? digits], with at least one digit
// before the exponent: the decimal notation a number written by the
// program (or by hand) takes. Hex floats, "inf" and "nan" are not.
bool isDecimalNotation(std::string_view s) {
  std::size_t i = 0;
  auto digits = [&] {
    const std::size_t from = i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
    return i - from;
  };
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  std::size_t mantissa = digits();
  if (i < s.size() && s[i] == '.') {
    ++i;
    mantissa += digits();
  }
  if (mantissa == 0) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    if (digits() == 0) return false;
  }
  return i == s.size();
}

void checkU64(std::string_view text) {
  const uint64_t untouched = 0x5a5a5a5a5a5a5a5aULL;
  uint64_t v = untouched;
  const bool ok = parseDecimalU64(text, v);
  const bool expected = allDigits(text) && fitsU64(text);
  if (ok != expected) fail(ok ? "parseDecimalU64 accepted a non-number" : "parseDecimalU64 refused a number", text);
  if (!ok) {
    if (v != untouched) fail("parseDecimalU64 changed its output on refusal", text);
    return;
  }
  if (std::to_string(v) != canonicalDigits(text)) fail("parseDecimalU64 value does not round-trip", text);
}

void checkInt(std::string_view text) {
  int v = 0x5a5a5a5a;
  const bool ok = parseDecimalInt(text, v);
  const bool negative = !text.empty() && text[0] == '-';
  const std::string_view digits = negative ? text.substr(1) : text;
  bool expected = allDigits(digits) && fitsU64(digits);
  std::string canonical;
  if (expected) {
    canonical = std::string(negative ? "-" : "") + std::string(canonicalDigits(digits));
    if (canonical == "-0") canonical = "0";
    // In range exactly when the canonical text is no longer, or as long and
    // not above, the limit's text.
    const std::string limit = negative ? std::to_string(std::numeric_limits<int>::min())
                                       : std::to_string(std::numeric_limits<int>::max());
    expected = canonical.size() < limit.size() || (canonical.size() == limit.size() && canonical <= limit);
  }
  if (ok != expected) fail(ok ? "parseDecimalInt accepted a non-int" : "parseDecimalInt refused an int", text);
  if (!ok) {
    if (v != 0x5a5a5a5a) fail("parseDecimalInt changed its output on refusal", text);
    return;
  }
  if (std::to_string(v) != canonical) fail("parseDecimalInt value does not round-trip", text);
}

void checkDouble(std::string_view text) {
  double v = 0.0;
  const bool ok = parseFiniteDouble(text, v);
  if (isFiniteNumber(text) != ok) fail("isFiniteNumber disagrees with parseFiniteDouble", text);
  if (!ok) {
    if (isWrittenRatio(text)) fail("isWrittenRatio accepted what parseFiniteDouble refuses", text);
    return;
  }
  if (!std::isfinite(v)) fail("parseFiniteDouble gave a value that is not finite", text);
  if (!isDecimalNotation(text)) fail("parseFiniteDouble accepted a number not in decimal notation", text);
  // A ratio as the writer prints one is a number of a block's range.
  if (isWrittenRatio(text) && !(v == -1.0 || (v >= 0.0 && v <= kMaxBlockRatio))) {
    fail("isWrittenRatio accepted a ratio out of range", text);
  }
  // Every decimal integer that parseDecimalU64 takes is a double too.
  uint64_t u = 0;
  if (parseDecimalU64(text, u) && v != static_cast<double>(u)) {
    fail("parseFiniteDouble and parseDecimalU64 read different values", text);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  checkU64(text);
  checkInt(text);
  checkDouble(text);
  return 0;
}
