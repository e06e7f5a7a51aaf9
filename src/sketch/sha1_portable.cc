// Portable SHA-1 compression: the 80 rounds fully unrolled over a 16-word
// rolling message schedule, so the compiler keeps the working variables in
// registers and never materialises all 80 schedule words.
#include <cstddef>
#include <cstdint>

#include "sketch/sha1_paths.h"

namespace {

inline uint32_t rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

// Message words are big-endian regardless of the host.
inline uint32_t loadBigEndian(const unsigned char* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

}  // namespace

// W(i) for i < 16 is the loaded word; beyond that the schedule is rebuilt in
// place: W[t] = rotl(W[t-3] ^ W[t-8] ^ W[t-14] ^ W[t-16], 1), indices mod 16.
#define SHA1_W0(i) (w[i] = loadBigEndian(data + 4 * (i)))
#define SHA1_W(i)                                                                         \
  (w[(i) & 15] = rotl(w[((i) + 13) & 15] ^ w[((i) + 8) & 15] ^ w[((i) + 2) & 15] ^ w[(i) & 15], 1))

// One round with the variables renamed instead of shifted: e += f + k + W +
// rotl(a, 5); b = rotl(b, 30). The round function forms avoid NOT and let the
// adds start before the boolean part is ready.
#define SHA1_CH(a, b, c, d, e, wt)                                     \
  e += ((b & (c ^ d)) ^ d) + (wt) + 0x5A827999u + rotl(a, 5); \
  b = rotl(b, 30);
#define SHA1_PAR(a, b, c, d, e, wt, k)               \
  e += (b ^ c ^ d) + (wt) + (k) + rotl(a, 5); \
  b = rotl(b, 30);
#define SHA1_MAJ(a, b, c, d, e, wt)                                                 \
  e += (wt) + 0x8F1BBCDCu + rotl(a, 5) + (b & c) + (d & (b ^ c)); \
  b = rotl(b, 30);

void sha1_blocks_portable(uint32_t state[5], const unsigned char* data, size_t blocks) {
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
  uint32_t w[16];
  for (; blocks != 0; --blocks, data += 64) {
    const uint32_t a0 = a, b0 = b, c0 = c, d0 = d, e0 = e;
    SHA1_CH(a, b, c, d, e, SHA1_W0(0));
    SHA1_CH(e, a, b, c, d, SHA1_W0(1));
    SHA1_CH(d, e, a, b, c, SHA1_W0(2));
    SHA1_CH(c, d, e, a, b, SHA1_W0(3));
    SHA1_CH(b, c, d, e, a, SHA1_W0(4));
    SHA1_CH(a, b, c, d, e, SHA1_W0(5));
    SHA1_CH(e, a, b, c, d, SHA1_W0(6));
    SHA1_CH(d, e, a, b, c, SHA1_W0(7));
    SHA1_CH(c, d, e, a, b, SHA1_W0(8));
    SHA1_CH(b, c, d, e, a, SHA1_W0(9));
    SHA1_CH(a, b, c, d, e, SHA1_W0(10));
    SHA1_CH(e, a, b, c, d, SHA1_W0(11));
    SHA1_CH(d, e, a, b, c, SHA1_W0(12));
    SHA1_CH(c, d, e, a, b, SHA1_W0(13));
    SHA1_CH(b, c, d, e, a, SHA1_W0(14));
    SHA1_CH(a, b, c, d, e, SHA1_W0(15));
    SHA1_CH(e, a, b, c, d, SHA1_W(16));
    SHA1_CH(d, e, a, b, c, SHA1_W(17));
    SHA1_CH(c, d, e, a, b, SHA1_W(18));
    SHA1_CH(b, c, d, e, a, SHA1_W(19));

    SHA1_PAR(a, b, c, d, e, SHA1_W(20), 0x6ED9EBA1u);
    SHA1_PAR(e, a, b, c, d, SHA1_W(21), 0x6ED9EBA1u);
    SHA1_PAR(d, e, a, b, c, SHA1_W(22), 0x6ED9EBA1u);
    SHA1_PAR(c, d, e, a, b, SHA1_W(23), 0x6ED9EBA1u);
    SHA1_PAR(b, c, d, e, a, SHA1_W(24), 0x6ED9EBA1u);
    SHA1_PAR(a, b, c, d, e, SHA1_W(25), 0x6ED9EBA1u);
    SHA1_PAR(e, a, b, c, d, SHA1_W(26), 0x6ED9EBA1u);
    SHA1_PAR(d, e, a, b, c, SHA1_W(27), 0x6ED9EBA1u);
    SHA1_PAR(c, d, e, a, b, SHA1_W(28), 0x6ED9EBA1u);
    SHA1_PAR(b, c, d, e, a, SHA1_W(29), 0x6ED9EBA1u);
    SHA1_PAR(a, b, c, d, e, SHA1_W(30), 0x6ED9EBA1u);
    SHA1_PAR(e, a, b, c, d, SHA1_W(31), 0x6ED9EBA1u);
    SHA1_PAR(d, e, a, b, c, SHA1_W(32), 0x6ED9EBA1u);
    SHA1_PAR(c, d, e, a, b, SHA1_W(33), 0x6ED9EBA1u);
    SHA1_PAR(b, c, d, e, a, SHA1_W(34), 0x6ED9EBA1u);
    SHA1_PAR(a, b, c, d, e, SHA1_W(35), 0x6ED9EBA1u);
    SHA1_PAR(e, a, b, c, d, SHA1_W(36), 0x6ED9EBA1u);
    SHA1_PAR(d, e, a, b, c, SHA1_W(37), 0x6ED9EBA1u);
    SHA1_PAR(c, d, e, a, b, SHA1_W(38), 0x6ED9EBA1u);
    SHA1_PAR(b, c, d, e, a, SHA1_W(39), 0x6ED9EBA1u);

    SHA1_MAJ(a, b, c, d, e, SHA1_W(40));
    SHA1_MAJ(e, a, b, c, d, SHA1_W(41));
    SHA1_MAJ(d, e, a, b, c, SHA1_W(42));
    SHA1_MAJ(c, d, e, a, b, SHA1_W(43));
    SHA1_MAJ(b, c, d, e, a, SHA1_W(44));
    SHA1_MAJ(a, b, c, d, e, SHA1_W(45));
    SHA1_MAJ(e, a, b, c, d, SHA1_W(46));
    SHA1_MAJ(d, e, a, b, c, SHA1_W(47));
    SHA1_MAJ(c, d, e, a, b, SHA1_W(48));
    SHA1_MAJ(b, c, d, e, a, SHA1_W(49));
    SHA1_MAJ(a, b, c, d, e, SHA1_W(50));
    SHA1_MAJ(e, a, b, c, d, SHA1_W(51));
    SHA1_MAJ(d, e, a, b, c, SHA1_W(52));
    SHA1_MAJ(c, d, e, a, b, SHA1_W(53));
    SHA1_MAJ(b, c, d, e, a, SHA1_W(54));
    SHA1_MAJ(a, b, c, d, e, SHA1_W(55));
    SHA1_MAJ(e, a, b, c, d, SHA1_W(56));
    SHA1_MAJ(d, e, a, b, c, SHA1_W(57));
    SHA1_MAJ(c, d, e, a, b, SHA1_W(58));
    SHA1_MAJ(b, c, d, e, a, SHA1_W(59));

    SHA1_PAR(a, b, c, d, e, SHA1_W(60), 0xCA62C1D6u);
    SHA1_PAR(e, a, b, c, d, SHA1_W(61), 0xCA62C1D6u);
    SHA1_PAR(d, e, a, b, c, SHA1_W(62), 0xCA62C1D6u);
    SHA1_PAR(c, d, e, a, b, SHA1_W(63), 0xCA62C1D6u);
    SHA1_PAR(b, c, d, e, a, SHA1_W(64), 0xCA62C1D6u);
    SHA1_PAR(a, b, c, d, e, SHA1_W(65), 0xCA62C1D6u);
    SHA1_PAR(e, a, b, c, d, SHA1_W(66), 0xCA62C1D6u);
    SHA1_PAR(d, e, a, b, c, SHA1_W(67), 0xCA62C1D6u);
    SHA1_PAR(c, d, e, a, b, SHA1_W(68), 0xCA62C1D6u);
    SHA1_PAR(b, c, d, e, a, SHA1_W(69), 0xCA62C1D6u);
    SHA1_PAR(a, b, c, d, e, SHA1_W(70), 0xCA62C1D6u);
    SHA1_PAR(e, a, b, c, d, SHA1_W(71), 0xCA62C1D6u);
    SHA1_PAR(d, e, a, b, c, SHA1_W(72), 0xCA62C1D6u);
    SHA1_PAR(c, d, e, a, b, SHA1_W(73), 0xCA62C1D6u);
    SHA1_PAR(b, c, d, e, a, SHA1_W(74), 0xCA62C1D6u);
    SHA1_PAR(a, b, c, d, e, SHA1_W(75), 0xCA62C1D6u);
    SHA1_PAR(e, a, b, c, d, SHA1_W(76), 0xCA62C1D6u);
    SHA1_PAR(d, e, a, b, c, SHA1_W(77), 0xCA62C1D6u);
    SHA1_PAR(c, d, e, a, b, SHA1_W(78), 0xCA62C1D6u);
    SHA1_PAR(b, c, d, e, a, SHA1_W(79), 0xCA62C1D6u);

    a += a0;
    b += b0;
    c += c0;
    d += d0;
    e += e0;
  }
  state[0] = a;
  state[1] = b;
  state[2] = c;
  state[3] = d;
  state[4] = e;
}
