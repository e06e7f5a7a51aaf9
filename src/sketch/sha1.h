// SHA-1 (FIPS 180-4) with two compression paths: portable C++ and the x86
// SHA extensions. The faster path available on this CPU is chosen on first
// use; tests and benchmarks may force either one.
#ifndef DEZEVAZIR_SKETCH_SHA1_H_
#define DEZEVAZIR_SKETCH_SHA1_H_

#include <cstddef>
#include <cstdint>

// Runs the compression function over one 64-byte block.
void sha1_compress(uint32_t state[5], const unsigned char block[64]);

// Runs the compression function over `blocks` consecutive 64-byte blocks.
void sha1_compress_blocks(uint32_t state[5], const unsigned char* data, size_t blocks);

// SHA-1 of message[0, length): the five state words H0..H4 as numbers (the
// usual digest is these words written most significant byte first).
void sha1_hash(const unsigned char* message, uint64_t length, uint32_t hash[5]);

// SHA-1 of message[0, length) followed by suffix[0, suffixLength), without
// copying the message. suffixLength must be at most 64.
void sha1_hash_with_suffix(const unsigned char* message, uint64_t length,
                           const unsigned char* suffix, size_t suffixLength, uint32_t hash[5]);

// Two messages of the same length, each followed by the same suffix; on the
// SHA-extension path the two are computed interleaved, nearly at the cost of one.
void sha1_hash_pair_with_suffix(const unsigned char* messageA, const unsigned char* messageB,
                                uint64_t length, const unsigned char* suffix,
                                size_t suffixLength, uint32_t hashA[5], uint32_t hashB[5]);

// Four messages of the same length, each followed by the same suffix; on
// the SHA-extension path the four are computed interleaved.
void sha1_hash_quad_with_suffix(const unsigned char* const messages[4], uint64_t length,
                                const unsigned char* suffix, size_t suffixLength, uint32_t hashes[4][5]);

enum class Sha1Path { kPortable, kShaExtensions };

// True when this CPU can run the path.
bool sha1_path_available(Sha1Path path);
// Makes every later call use `path`; false (and nothing changes) when the CPU
// lacks it. Not meant to race with hashing threads.
bool sha1_select_path(Sha1Path path);
Sha1Path sha1_active_path();

#endif  // DEZEVAZIR_SKETCH_SHA1_H_
