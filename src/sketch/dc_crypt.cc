#include "sketch/dc_crypt.h"

#include <algorithm>
#include <cstring>

#include "base/run_globals.h"
#include "sketch/murmur3.h"
#include "sketch/sha1.h"

namespace {

constexpr size_t kMaxDigest = 20;  // five SHA-1 words
constexpr size_t kMurmurDigest = 16;
constexpr size_t kExtraBytes = 2;

size_t sha1WordsUsed(const FingerprintSettings& fs) { return static_cast<size_t>(std::clamp(fs.sha1Words, 0, 5)); }

// The SHA-1 branch's layout: each word least significant byte first.
size_t sha1Layout(const uint32_t h[5], unsigned char* out, const FingerprintSettings& fs) {
  const size_t words = sha1WordsUsed(fs);
  for (size_t i = 0; i < words; ++i) {
    out[4 * i + 0] = static_cast<unsigned char>(h[i]);
    out[4 * i + 1] = static_cast<unsigned char>(h[i] >> 8);
    out[4 * i + 2] = static_cast<unsigned char>(h[i] >> 16);
    out[4 * i + 3] = static_cast<unsigned char>(h[i] >> 24);
  }
  return 4 * words;
}

// The Murmur branch's layout: h1 then h2, each most significant byte first.
size_t murmurLayout(const uint64_t h[2], unsigned char* out) {
  for (int i = 0; i < 8; ++i) {
    out[i] = static_cast<unsigned char>(h[0] >> (56 - 8 * i));
    out[8 + i] = static_cast<unsigned char>(h[1] >> (56 - 8 * i));
  }
  return kMurmurDigest;
}

// The primitive on raw memory, without the work-buffer copy: the extra bytes
// are fed to the hash as a suffix of the data. Returns the result length.
size_t fingerprintRaw(const unsigned char* data, uint64_t length, const unsigned char* extra,
                      unsigned char result[kMaxDigest], const FingerprintSettings& fs) {
  const unsigned char* suffix = fs.appendExtra ? extra : nullptr;
  const size_t suffixLength = suffix != nullptr ? kExtraBytes : 0;
  if (fs.altHash) {
    uint64_t h[2];
    MurmurHash3_x64_128_with_suffix(data, length, suffix, suffixLength, 0, h);
    return murmurLayout(h, result);
  }
  uint32_t h[5];
  sha1_hash_with_suffix(data, length, suffix, suffixLength, h);
  return sha1Layout(h, result, fs);
}

// Copies at most `count` bytes of the result, never past either buffer.
void deliver(const unsigned char* result, size_t resultLength, uint64_t count,
             unsigned char* out, size_t outSize) {
  const size_t n = static_cast<size_t>(
      std::min<uint64_t>(count, std::min(resultLength, outSize)));
  std::memcpy(out, result, n);
}

}  // namespace

FingerprintSettings fingerprintSettingsOf(const RunGlobals& run) {
  FingerprintSettings fs;
  fs.hashLength = run.hashLength;
  fs.altHash = run.altHash;
  fs.appendExtra = run.randomBytes != 0;
  fs.sha1Words = run.sha1Words;
  return fs;
}

void DCCrypt::getTrancatedSHA1Hash(const unsigned char* data, uint64_t length,
                                   std::vector<unsigned char>& out, uint64_t count,
                                   const unsigned char* extra, const FingerprintSettings& fs) {
  unsigned char result[kMaxDigest];
  const size_t resultLength = fingerprintRaw(data, length, extra, result, fs);
  deliver(result, resultLength, count, out.data(), out.size());
}

void DCCrypt::getSHA1Hash(const unsigned char* data, uint64_t length,
                          std::vector<unsigned char>& out, const FingerprintSettings& fs) {
  uint32_t h[5];
  sha1_hash(data, length, h);
  unsigned char result[kMaxDigest];
  const size_t n = sha1Layout(h, result, fs);
  if (out.size() < n) out.resize(n);
  std::memcpy(out.data(), result, n);
}

void DCCrypt::getMurHash(const unsigned char* data, uint64_t length,
                         std::vector<unsigned char>& out) {
  uint64_t h[2];
  MurmurHash3_x64_128(data, length, 0, h);
  if (out.size() < kMurmurDigest) out.resize(kMurmurDigest);
  murmurLayout(h, out.data());
}

namespace {

size_t fingerprintLengthOf(const FingerprintSettings& fs) {
  return static_cast<size_t>(std::clamp(fs.hashLength, 0, static_cast<int>(kMaxDigest)));
}

// The SHA-1 words of a block's two halves, each laid out, truncated to the
// fingerprint length in its zeroed 20-byte slot, and every 4-byte group
// reversed (a SHA-1 half becomes its standard digest).
void arrangeHalves(const uint32_t first[5], const uint32_t second[5], unsigned char halves[2 * kMaxDigest],
                   const FingerprintSettings& fs) {
  const size_t hashLength = fingerprintLengthOf(fs);
  std::memset(halves, 0, 2 * kMaxDigest);
  unsigned char result[kMaxDigest];
  const uint32_t* words[2] = {first, second};
  for (int i = 0; i < 2; ++i) {
    const size_t n = sha1Layout(words[i], result, fs);
    deliver(result, n, hashLength, halves + i * kMaxDigest, kMaxDigest);
  }
}

void reverseGroups(unsigned char halves[2 * kMaxDigest]) {
  for (size_t g = 0; g < 2 * kMaxDigest; g += 4) {
    std::swap(halves[g], halves[g + 3]);
    std::swap(halves[g + 1], halves[g + 2]);
  }
}

// The final fingerprint keeps the primitive's byte order.
void finalFingerprint(const unsigned char* result, size_t n, std::vector<unsigned char>& out,
                      const FingerprintSettings& fs) {
  const size_t hashLength = fingerprintLengthOf(fs);
  out.assign(hashLength, 0);
  deliver(result, n, hashLength, out.data(), out.size());
}

}  // namespace

void DCCrypt::blockFingerprint(const unsigned char* buf, int len, const unsigned char* extra,
                               std::vector<unsigned char>& out, const FingerprintSettings& fs) {
  const size_t hashLength = fingerprintLengthOf(fs);
  const uint64_t half = len > 0 ? static_cast<uint64_t>(len) / 2 : 0;

  // Each half into a zeroed 20-byte slot, truncated to the fingerprint length.
  // The second half starts at len / 2 (byte 4096 of an 8192-byte block).
  unsigned char halves[2 * kMaxDigest] = {};
  unsigned char result[kMaxDigest];
  if (fs.altHash) {
    for (int i = 0; i < 2; ++i) {
      const size_t n = fingerprintRaw(buf + i * half, half, extra, result, fs);
      deliver(result, n, hashLength, halves + i * kMaxDigest, kMaxDigest);
    }
  } else {
    // Both halves at once: the SHA-extension path interleaves them.
    const unsigned char* suffix = fs.appendExtra ? extra : nullptr;
    uint32_t h[2][5];
    sha1_hash_pair_with_suffix(buf, buf + half, half, suffix, suffix != nullptr ? kExtraBytes : 0,
                               h[0], h[1]);
    arrangeHalves(h[0], h[1], halves, fs);
  }
  reverseGroups(halves);
  const size_t n = fingerprintRaw(halves, sizeof halves, extra, result, fs);
  finalFingerprint(result, n, out, fs);
}

void DCCrypt::blockFingerprintPair(const unsigned char* bufA, const unsigned char* bufB, int len,
                                   const unsigned char* extra, std::vector<unsigned char>& outA,
                                   std::vector<unsigned char>& outB, const FingerprintSettings& fs) {
  if (fs.altHash) {
    blockFingerprint(bufA, len, extra, outA, fs);
    blockFingerprint(bufB, len, extra, outB, fs);
    return;
  }
  const uint64_t half = len > 0 ? static_cast<uint64_t>(len) / 2 : 0;
  const unsigned char* suffix = fs.appendExtra ? extra : nullptr;
  const size_t suffixLength = suffix != nullptr ? kExtraBytes : 0;
  // The four halves at once, then both final fingerprints at once.
  const unsigned char* const messages[4] = {bufA, bufA + half, bufB, bufB + half};
  uint32_t h[4][5];
  sha1_hash_quad_with_suffix(messages, half, suffix, suffixLength, h);
  unsigned char halvesA[2 * kMaxDigest];
  unsigned char halvesB[2 * kMaxDigest];
  arrangeHalves(h[0], h[1], halvesA, fs);
  arrangeHalves(h[2], h[3], halvesB, fs);
  reverseGroups(halvesA);
  reverseGroups(halvesB);
  uint32_t f[2][5];
  sha1_hash_pair_with_suffix(halvesA, halvesB, sizeof halvesA, suffix, suffixLength, f[0], f[1]);
  unsigned char result[kMaxDigest];
  finalFingerprint(result, sha1Layout(f[0], result, fs), outA, fs);
  finalFingerprint(result, sha1Layout(f[1], result, fs), outB, fs);
}
