// Block fingerprints. Stateless: every function may be called from any
// number of threads at once.
//
// The byte layouts are defined on the numeric hash words, so the same
// fingerprint results on any host byte order:
//   SHA-1 branch:  H0..H(sha1Words-1), each least significant byte first.
//   Murmur branch (altHash): h1 then h2, each most significant byte first.
#ifndef DEZEVAZIR_SKETCH_DC_CRYPT_H_
#define DEZEVAZIR_SKETCH_DC_CRYPT_H_

#include <cstdint>
#include <vector>

// What a fingerprint is made of; the run's settings, handed down.
struct FingerprintSettings {
  int hashLength = 20;       // bytes kept (16 with altHash)
  bool altHash = false;      // MurmurHash3 instead of SHA-1
  bool appendExtra = false;  // the two extra bytes join the hashed data (randomBytes set)
  int sha1Words = 5;         // SHA-1 words in its layout
};

struct RunGlobals;

// A run's fingerprint settings, from the settings the top hands down.
FingerprintSettings fingerprintSettingsOf(const RunGlobals& run);

class DCCrypt {
 public:
  // The fingerprint primitive. Hashes data[0, length), followed by the two
  // bytes at `extra` when fs.appendExtra is set (nothing is appended when
  // `extra` is null), with MurmurHash3 when fs.altHash is set and SHA-1
  // otherwise. Writes the first `count` bytes of the result
  // into `out`, which the caller has sized and zeroed; bytes past `count`,
  // past the result or past out.size() are left alone.
  static void getTrancatedSHA1Hash(const unsigned char* data, uint64_t length,
                                   std::vector<unsigned char>& out, uint64_t count,
                                   const unsigned char* extra, const FingerprintSettings& fs);

  // SHA-1 of the data in the SHA-1 branch's layout: fs.sha1Words × 4
  // bytes. `out` is grown to that size if it is smaller.
  static void getSHA1Hash(const unsigned char* data, uint64_t length,
                          std::vector<unsigned char>& out, const FingerprintSettings& fs);

  // The 16 bytes of MurmurHash3_x64_128(data, seed 0) in the Murmur branch's
  // layout. `out` is grown to 16 bytes if it is smaller.
  static void getMurHash(const unsigned char* data, uint64_t length,
                         std::vector<unsigned char>& out);

  // The fingerprint of one sampled block of `len` bytes: each half is
  // fingerprinted, every 4-byte group of the two 20-byte results is reversed,
  // and the 40-byte concatenation is fingerprinted again. `out` becomes
  // fs.hashLength bytes.
  static void blockFingerprint(const unsigned char* buf, int len, const unsigned char* extra,
                               std::vector<unsigned char>& out, const FingerprintSettings& fs);

  // The fingerprints of two blocks of the same length, as blockFingerprint
  // gives them. The SHA-extension path computes the four halves interleaved,
  // which is faster than two blocks one after the other.
  static void blockFingerprintPair(const unsigned char* bufA, const unsigned char* bufB, int len,
                                   const unsigned char* extra, std::vector<unsigned char>& outA,
                                   std::vector<unsigned char>& outB, const FingerprintSettings& fs);
};

#endif  // DEZEVAZIR_SKETCH_DC_CRYPT_H_
