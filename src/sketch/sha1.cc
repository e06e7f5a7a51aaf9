// SHA-1 padding and the choice between the compression paths.
#include "sketch/sha1.h"

#include <atomic>
#include <cstring>

#include "sketch/sha1_paths.h"

namespace {

using BlocksFn = void (*)(uint32_t*, const unsigned char*, size_t);

// Null until the first call runs CPUID (not a static initialiser, so calls
// from other static initialisers are safe).
std::atomic<BlocksFn> activeBlocks{nullptr};

BlocksFn currentBlocks() {
  BlocksFn fn = activeBlocks.load(std::memory_order_relaxed);
  if (fn == nullptr) {
    fn = sha1_shaext_supported() ? &sha1_blocks_shaext : &sha1_blocks_portable;
    BlocksFn expected = nullptr;
    // A concurrent sha1_select_path wins over the automatic choice.
    if (!activeBlocks.compare_exchange_strong(expected, fn, std::memory_order_relaxed)) fn = expected;
  }
  return fn;
}

inline void storeBigEndian64(unsigned char* p, uint64_t v) {
  for (int i = 7; i >= 0; --i, v >>= 8) p[i] = static_cast<unsigned char>(v);
}

const uint32_t kInitialState[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};

}  // namespace

void sha1_compress(uint32_t state[5], const unsigned char block[64]) {
  currentBlocks()(state, block, 1);
}

void sha1_compress_blocks(uint32_t state[5], const unsigned char* data, size_t blocks) {
  if (blocks != 0) currentBlocks()(state, data, blocks);
}

void sha1_hash(const unsigned char* message, uint64_t length, uint32_t hash[5]) {
  sha1_hash_with_suffix(message, length, nullptr, 0, hash);
}

namespace {

// Builds the final blocks: the message's last partial block, the suffix, 0x80,
// zeros and the 64-bit bit length. rest (< 64) + suffix (<= 64) + 9 bytes fit
// in three blocks. Returns the number of blocks written.
size_t buildTail(const unsigned char* partial, size_t rest, const unsigned char* suffix,
                 size_t suffixLength, uint64_t totalLength, unsigned char tail[192]) {
  if (rest != 0) std::memcpy(tail, partial, rest);
  if (suffixLength != 0) std::memcpy(tail + rest, suffix, suffixLength);
  size_t used = rest + suffixLength;
  tail[used++] = 0x80;
  // Zeros up to 8 bytes short of a block boundary, then the bit length.
  const size_t padded = (used + 8 + 63) / 64 * 64;
  std::memset(tail + used, 0, padded - 8 - used);
  storeBigEndian64(tail + padded - 8, totalLength * 8);
  return padded / 64;
}

}  // namespace

void sha1_hash_with_suffix(const unsigned char* message, uint64_t length,
                           const unsigned char* suffix, size_t suffixLength, uint32_t hash[5]) {
  const BlocksFn blocksFn = currentBlocks();
  std::memcpy(hash, kInitialState, sizeof kInitialState);

  // Whole blocks straight from the caller's memory; only the tail is copied.
  const uint64_t whole = length / 64;
  if (whole != 0) blocksFn(hash, message, static_cast<size_t>(whole));
  unsigned char tail[192];
  const size_t tailBlocks = buildTail(message + whole * 64, static_cast<size_t>(length % 64),
                                      suffix, suffixLength, length + suffixLength, tail);
  blocksFn(hash, tail, tailBlocks);
}

void sha1_hash_pair_with_suffix(const unsigned char* messageA, const unsigned char* messageB,
                                uint64_t length, const unsigned char* suffix,
                                size_t suffixLength, uint32_t hashA[5], uint32_t hashB[5]) {
  const BlocksFn blocksFn = currentBlocks();
  if (blocksFn != &sha1_blocks_shaext) {
    sha1_hash_with_suffix(messageA, length, suffix, suffixLength, hashA);
    sha1_hash_with_suffix(messageB, length, suffix, suffixLength, hashB);
    return;
  }
  std::memcpy(hashA, kInitialState, sizeof kInitialState);
  std::memcpy(hashB, kInitialState, sizeof kInitialState);
  const uint64_t whole = length / 64;
  const size_t rest = static_cast<size_t>(length % 64);
  if (whole != 0) sha1_blocks_shaext_x2(hashA, messageA, hashB, messageB, static_cast<size_t>(whole));
  // Equal lengths give equal tail block counts, so the tails pair up too.
  unsigned char tailA[192], tailB[192];
  const size_t tailBlocks =
      buildTail(messageA + whole * 64, rest, suffix, suffixLength, length + suffixLength, tailA);
  buildTail(messageB + whole * 64, rest, suffix, suffixLength, length + suffixLength, tailB);
  sha1_blocks_shaext_x2(hashA, tailA, hashB, tailB, tailBlocks);
}

void sha1_hash_quad_with_suffix(const unsigned char* const messages[4], uint64_t length,
                                const unsigned char* suffix, size_t suffixLength, uint32_t hashes[4][5]) {
  const BlocksFn blocksFn = currentBlocks();
  if (blocksFn != &sha1_blocks_shaext) {
    sha1_hash_pair_with_suffix(messages[0], messages[1], length, suffix, suffixLength, hashes[0], hashes[1]);
    sha1_hash_pair_with_suffix(messages[2], messages[3], length, suffix, suffixLength, hashes[2], hashes[3]);
    return;
  }
  for (int i = 0; i < 4; ++i) std::memcpy(hashes[i], kInitialState, sizeof kInitialState);
  const uint64_t whole = length / 64;
  const size_t rest = static_cast<size_t>(length % 64);
  if (whole != 0) {
    sha1_blocks_shaext_x4(hashes[0], messages[0], hashes[1], messages[1], hashes[2], messages[2], hashes[3],
                          messages[3], static_cast<size_t>(whole));
  }
  unsigned char tails[4][192];
  size_t tailBlocks = 0;
  for (int i = 0; i < 4; ++i) {
    tailBlocks = buildTail(messages[i] + whole * 64, rest, suffix, suffixLength, length + suffixLength, tails[i]);
  }
  sha1_blocks_shaext_x4(hashes[0], tails[0], hashes[1], tails[1], hashes[2], tails[2], hashes[3], tails[3],
                        tailBlocks);
}

bool sha1_path_available(Sha1Path path) {
  return path == Sha1Path::kPortable || sha1_shaext_supported();
}

bool sha1_select_path(Sha1Path path) {
  if (!sha1_path_available(path)) return false;
  activeBlocks.store(path == Sha1Path::kPortable ? &sha1_blocks_portable : &sha1_blocks_shaext,
                     std::memory_order_relaxed);
  return true;
}

Sha1Path sha1_active_path() {
  return currentBlocks() == &sha1_blocks_portable ? Sha1Path::kPortable : Sha1Path::kShaExtensions;
}
