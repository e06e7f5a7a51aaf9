// Strict number parsing for the sketch file: the whole text must be the
// number, and a value that does not fit is an error, never a wrapped or
// clamped value. A file that fails here is treated as damaged.
#ifndef DEZEVAZIR_SKETCHFILE_TEXT_NUMBER_H_
#define DEZEVAZIR_SKETCHFILE_TEXT_NUMBER_H_

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>

// Unsigned decimal digits only; no sign, no blanks.
inline bool parseDecimalU64(std::string_view text, uint64_t& out) {
  if (text.empty()) return false;
  uint64_t v = 0;
  for (char ch : text) {
    if (ch < '0' || ch > '9') return false;
    const uint64_t d = static_cast<uint64_t>(ch - '0');
    if (v > (std::numeric_limits<uint64_t>::max() - d) / 10) return false;
    v = v * 10 + d;
  }
  out = v;
  return true;
}

// Optional '-' then decimal digits, within int.
inline bool parseDecimalInt(std::string_view text, int& out) {
  const bool negative = !text.empty() && text[0] == '-';
  uint64_t magnitude = 0;
  if (!parseDecimalU64(negative ? text.substr(1) : text, magnitude)) return false;
  const uint64_t limit = negative ? uint64_t{1} + std::numeric_limits<int>::max()
                                  : uint64_t{0} + std::numeric_limits<int>::max();
  if (magnitude > limit) return false;
  out = negative ? static_cast<int>(-static_cast<int64_t>(magnitude)) : static_cast<int>(magnitude);
  return true;
}

// A finite decimal floating-point number filling the whole text.
inline bool parseFiniteDouble(std::string_view text, double& out) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return false;
  // Decimal notation only: strtod also reads hex floats, "inf" and "nan".
  for (char ch : text) {
    if (!((ch >= '0' && ch <= '9') || ch == '.' || ch == '-' || ch == '+' || ch == 'e' || ch == 'E')) return false;
  }
  // strtod needs a terminated copy; the numbers of a sketch file are short,
  // so the copy rarely needs the heap.
  char small[64];
  std::string large;
  const char* begin = small;
  if (text.size() < sizeof small) {
    text.copy(small, text.size());
    small[text.size()] = '\0';
  } else {
    large.assign(text);
    begin = large.c_str();
  }
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(begin, &end);
  if (end != begin + text.size() || errno == ERANGE || !std::isfinite(v)) return false;
  out = v;
  return true;
}

// Whether parseFiniteDouble accepts the text. Plain decimals (an optional
// '-', digits with at most one '.', at least one digit, as the program
// writes ratios) are recognised without strtod, which a merge would
// otherwise call for every line of every input; at 64 characters or fewer
// they are always finite.
inline bool isFiniteNumber(std::string_view text) {
  std::size_t i = !text.empty() && text[0] == '-' ? 1 : 0;
  bool plain = i < text.size() && text.size() <= 64;
  bool digit = false;
  bool dot = false;
  for (; plain && i < text.size(); ++i) {
    const char ch = text[i];
    if (ch >= '0' && ch <= '9') {
      digit = true;
    } else if (ch == '.' && !dot) {
      dot = true;
    } else {
      plain = false;
    }
  }
  if (plain && digit) return true;
  double ignored;
  return parseFiniteDouble(text, ignored);
}

// The largest ratio a block can have: a block that does not compress is
// stored, with at most 256 bytes of framing on its 8192.
constexpr double kMaxBlockRatio = (8192.0 + 256.0) / 8192.0;

// Whether text is a ratio as the program writes one ("%g" of a value in
// [0, kMaxBlockRatio], or -1 for "not measured"): an optional '-', digits,
// an optional '.' with digits, an optional exponent "e" sign digits. Hex,
// "inf", "nan", blanks and anything beyond the range were never written by
// the program. Plain "0.x" ratios, nearly every line of a file, are judged
// without strtod.
inline bool isWrittenRatio(std::string_view text) {
  const std::size_t n = text.size();
  if (n == 0 || n > 64) return false;
  std::size_t i = text[0] == '-' ? 1 : 0;
  const std::size_t intStart = i;
  while (i < n && text[i] >= '0' && text[i] <= '9') ++i;
  if (i == intStart) return false;
  const std::size_t intEnd = i;
  if (i < n && text[i] == '.') {
    const std::size_t fracStart = ++i;
    while (i < n && text[i] >= '0' && text[i] <= '9') ++i;
    if (i == fracStart) return false;
  }
  bool exponent = false;
  if (i < n && text[i] == 'e') {
    exponent = true;
    ++i;
    if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
    const std::size_t expStart = i;
    while (i < n && text[i] >= '0' && text[i] <= '9') ++i;
    if (i == expStart) return false;
  }
  if (i != n) return false;
  if (!exponent && intStart == 0 && intEnd == 1 && text[0] == '0') return true;  // 0 or 0.x
  double v = 0.0;
  if (!parseFiniteDouble(text, v)) return false;
  return v == -1.0 || (v >= 0.0 && v <= kMaxBlockRatio);
}

#endif  // DEZEVAZIR_SKETCHFILE_TEXT_NUMBER_H_
