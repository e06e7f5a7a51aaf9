// One sketch entry: a block fingerprint with its measured compression ratio,
// a saturating sighting counter and the sample's source position.
#ifndef DEZEVAZIR_SKETCH_DC_HASH_AND_RATIO_H_
#define DEZEVAZIR_SKETCH_DC_HASH_AND_RATIO_H_

#include <cstdint>
#include <string>
#include <vector>

class DCHashAndRatio {
 public:
  std::vector<unsigned char> hash;  // myGlobals.hashLength bytes
  double ratio = -1.0;              // -1.0: not measured yet
  int refCounter = 1;               // 1..255, saturating
  uint64_t position = 0;

  DCHashAndRatio(const std::vector<unsigned char>& fingerprint, double ratio, uint64_t position);
  // From the sketch-file text form: hex fingerprint, ratio, counter.
  DCHashAndRatio(const std::string& hashText, const std::string& ratioText,
                 const std::string& countText);

  void incrementRefCounter();
  // First eight fingerprint bytes, most significant first.
  uint64_t extractHashAsULong() const;
  // Reads hashLength bytes from hex text; false if any pair is not hex.
  bool stringToByteArray(const std::string& text);
  static bool convertCharToByte(char c, unsigned char& out);
};

// Strict weak order: unsigned lexicographic comparison of fingerprints.
struct DCHashAndRatioComparator {
  bool operator()(const DCHashAndRatio* a, const DCHashAndRatio* b) const;
};

#endif  // DEZEVAZIR_SKETCH_DC_HASH_AND_RATIO_H_
