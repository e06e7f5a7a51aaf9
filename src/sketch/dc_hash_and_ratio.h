// One sketch entry: a block fingerprint with its measured compression ratio,
// a saturating sighting counter and the sample's source position.
#ifndef DEZEVAZIR_SKETCH_DC_HASH_AND_RATIO_H_
#define DEZEVAZIR_SKETCH_DC_HASH_AND_RATIO_H_

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "base/run_globals.h"

namespace dc_hex {
// Each character's hex digit value, 0xff for characters that are none.
struct Table {
  unsigned char value[256];
};
constexpr Table buildTable() {
  Table t{};
  for (int c = 0; c < 256; ++c) t.value[c] = 0xff;
  for (int d = 0; d < 10; ++d) t.value['0' + d] = static_cast<unsigned char>(d);
  for (int d = 0; d < 6; ++d) {
    t.value['a' + d] = static_cast<unsigned char>(10 + d);
    t.value['A' + d] = static_cast<unsigned char>(10 + d);
  }
  return t;
}
inline constexpr Table kTable = buildTable();
}  // namespace dc_hex

class DCHashAndRatio {
 public:
  std::vector<unsigned char> hash;  // myGlobals.hashLength bytes
  double ratio = -1.0;              // -1.0: not measured yet
  int refCounter = 1;               // 1..255, saturating
  uint64_t position = 0;
  // False when the text constructor met a fingerprint that is not hex or a
  // ratio that is not a number. The entry is still usable (bad hex pairs
  // stay zero, a bad ratio stays -1.0); the file reader decides what to do.
  bool valid = true;

  // Copies the first hashLength bytes (missing bytes stay zero).
  DCHashAndRatio(const std::vector<unsigned char>& fingerprint, double ratio, uint64_t position);
  // From the sketch-file text form: hex fingerprint, ratio, counter (as by
  // atoi). Never throws on bad text; see `valid`.
  DCHashAndRatio(const std::string& hashText, const std::string& ratioText,
                 const std::string& countText);

  // Makes this entry what the first constructor makes of the arguments,
  // reusing its memory (an entry the sketch let go of, offered anew).
  void reuse(const std::vector<unsigned char>& fingerprint, double ratio, uint64_t position);

  void incrementRefCounter() {
    if (refCounter < 255) ++refCounter;
  }
  // First eight fingerprint bytes, most significant first.
  uint64_t extractHashAsULong() const { return keyOf(hash); }
  // The same, as kept with the entry since hash was last set through a
  // member of this class, so that ordering entries reads no fingerprint
  // bytes unless their first eight are equal. Code that changes hash in
  // place calls refreshKey afterwards.
  uint64_t key() const { return key_; }
  void refreshKey() { key_ = keyOf(hash); }
  // The same for any fingerprint bytes (missing bytes count as zero).
  static uint64_t keyOf(const std::vector<unsigned char>& bytes);
  // Reads hashLength bytes from hex text, high nibble first. A pair that is
  // not hex leaves its byte unchanged and makes the result false; an odd
  // hashLength returns false without touching the bytes.
  bool stringToByteArray(const std::string& text);
  // A hex digit's value; false (out untouched) for any other character.
  // By table: a merge reads forty digits of every line of every input, and
  // tests by range mispredict on a random mix of digits and letters.
  static bool convertCharToByte(char c, unsigned char& out) {
    const unsigned char v = dc_hex::kTable.value[static_cast<unsigned char>(c)];
    if (v > 15) return false;
    out = v;
    return true;
  }
  // Stream extraction of a double; false (out untouched) when the text does
  // not start with a number.
  static bool parseRatio(const std::string& text, double& out);

 private:
  uint64_t key_ = 0;
};

// The eight bytes at p as a number, p[0] most significant.
inline uint64_t loadBigEndian64(const unsigned char* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  v = __builtin_bswap64(v);
#endif
  return v;
}

inline uint64_t DCHashAndRatio::keyOf(const std::vector<unsigned char>& bytes) {
  if (bytes.size() >= 8) return loadBigEndian64(bytes.data());
  uint64_t key = 0;
  for (size_t i = 0; i < bytes.size(); ++i) key |= static_cast<uint64_t>(bytes[i]) << (56 - 8 * i);
  return key;
}

// Strict weak order: unsigned lexicographic comparison of the first
// hashLength fingerprint bytes.
//
// Inline, and the first eight bytes compared as one number kept with each
// entry: the sketch's heap compares dozens of times per stored fingerprint,
// the first eight bytes nearly always decide, and the fingerprint bytes lie
// elsewhere in memory than the entry.
struct DCHashAndRatioComparator {
  bool operator()(const DCHashAndRatio* a, const DCHashAndRatio* b) const {
    const size_t length = myGlobals.hashLength > 0 ? static_cast<size_t>(myGlobals.hashLength) : 0;
    const size_t n = std::min({length, a->hash.size(), b->hash.size()});
    const unsigned char* x = a->hash.data();
    const unsigned char* y = b->hash.data();
    if (n >= 8) {
      // Both hold at least eight bytes: their keys are those bytes.
      const uint64_t kx = a->key();
      const uint64_t ky = b->key();
      if (kx != ky) return kx < ky;
      return n > 8 && std::memcmp(x + 8, y + 8, n - 8) < 0;
    }
    // memcmp compares as unsigned char, which is the order we need.
    return n != 0 && std::memcmp(x, y, n) < 0;
  }
};

#endif  // DEZEVAZIR_SKETCH_DC_HASH_AND_RATIO_H_
