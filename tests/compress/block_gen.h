// Deterministic test blocks for the compressor's tests and benchmark.
#ifndef DEZEVAZIR_TESTS_COMPRESS_BLOCK_GEN_H_
#define DEZEVAZIR_TESTS_COMPRESS_BLOCK_GEN_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace dztest {

typedef std::vector<unsigned char> Bytes;

// xorshift64*: the same stream on every platform.
class TestRng {
 public:
  explicit TestRng(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
  uint64_t next() {
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    return state_ * 0x2545F4914F6CDD1Dull;
  }
  unsigned below(unsigned n) { return static_cast<unsigned>((next() >> 32) % n); }

 private:
  uint64_t state_;
};

inline Bytes randomBytes(size_t n, uint64_t seed) {
  TestRng rng(seed);
  Bytes b(n);
  for (auto& c : b) c = static_cast<unsigned char>(rng.next() >> 56);
  return b;
}

// Bytes in which no two consecutive bytes occur twice (a de Bruijn sequence
// of order 2 over 256 symbols, n <= 65,537): nothing in them can match.
inline Bytes distinctPairs(size_t n) {
  Bytes b;
  // Lyndon words of length 1 and 2 in lexicographic order.
  for (unsigned a = 0; a < 256 && b.size() < n + 1; a++) {
    b.push_back(static_cast<unsigned char>(a));
    for (unsigned c = a + 1; c < 256; c++) {
      b.push_back(static_cast<unsigned char>(a));
      b.push_back(static_cast<unsigned char>(c));
    }
  }
  b.push_back(0);  // closes the cycle: the pair (255, 0)
  b.resize(n);
  return b;
}

// Bytes 'a' .. 'a' + k - 1 in which no three consecutive bytes occur twice
// (a de Bruijn sequence of order 3, n <= k^3): nothing in them can match,
// yet a small k leaves their literals skewed enough for Huffman codes to
// beat a stored block.
inline Bytes distinctTriples(size_t n, unsigned k) {
  // The Lyndon words of length 1 and 3 over k values, in lexicographic
  // order (Duval's successor rule).
  Bytes b;
  std::vector<int> w(1, -1);
  while (!w.empty() && b.size() < n) {
    w.back()++;
    if (3 % w.size() == 0) {
      for (int v : w) b.push_back(static_cast<unsigned char>('a' + v));
    }
    const size_t m = w.size();
    while (w.size() < 3) w.push_back(w[w.size() - m]);
    while (!w.empty() && w.back() == static_cast<int>(k) - 1) w.pop_back();
  }
  b.resize(n);
  return b;
}

// English-like text: words of a small vocabulary, punctuation, line breaks.
inline Bytes textLike(size_t n, uint64_t seed) {
  static const char* const kWords[] = {
      "the",     "storage", "array",   "block",  "data",     "compress", "of",     "and",
      "to",      "in",      "device",  "sketch", "estimate", "ratio",    "is",     "for",
      "unique",  "hash",    "with",    "zero",   "physical", "space",    "a",      "each",
      "scan",    "report",  "sample",  "window", "match",    "literal",  "length", "distance",
      "quenara", "tool",    "measure", "saving", "that",     "it",       "on",     "by"};
  const unsigned kCount = sizeof(kWords) / sizeof(kWords[0]);
  TestRng rng(seed);
  std::string s;
  while (s.size() < n) {
    s += kWords[rng.below(kCount)];
    const unsigned r = rng.below(20);
    s += r == 0 ? ". " : r == 1 ? ",\n" : r == 2 ? "\n" : " ";
    if (rng.below(50) == 0) s += std::to_string(rng.below(100000));
  }
  return Bytes(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(n));
}

// Runs of one byte value, 1 to 300 bytes long.
inline Bytes runs(size_t n, uint64_t seed) {
  TestRng rng(seed);
  Bytes b;
  while (b.size() < n) {
    const unsigned char v = static_cast<unsigned char>(rng.below(256));
    b.insert(b.end(), 1 + rng.below(300), v);
  }
  b.resize(n);
  return b;
}

// Text, random bytes, runs and copies of earlier data at near and far
// distances, in segments of varying length.
inline Bytes mixed(size_t n, uint64_t seed) {
  TestRng rng(seed);
  Bytes b;
  while (b.size() < n) {
    const size_t len = 16 + rng.below(3000);
    Bytes part;
    switch (rng.below(4)) {
      case 0: part = textLike(len, rng.next()); break;
      case 1: part = randomBytes(len, rng.next()); break;
      case 2: part = runs(len, rng.next()); break;
      default:
        if (b.size() > 4) {
          const size_t from = rng.below(static_cast<unsigned>(b.size() - 3));
          for (size_t i = 0; i < len; i++) part.push_back(b[from + (i % (b.size() - from))]);
        }
    }
    b.insert(b.end(), part.begin(), part.end());
  }
  b.resize(n);
  return b;
}

// Bytes whose counts follow the Fibonacci numbers 1, 2, 3, 5, 8, ... (with
// the end-of-block code's single count, the whole Fibonacci series), in a
// shuffled order: the most skewed histogram, whose Huffman tree is one long
// chain, deeper than deflate's 15-bit limit from 17 symbols on.
inline Bytes fibonacciHistogram(size_t n, uint64_t seed) {
  Bytes b;
  uint64_t f0 = 1, f1 = 2;
  for (int sym = 0; b.size() < n; sym++) {
    b.insert(b.end(), static_cast<size_t>(f0), static_cast<unsigned char>('A' + sym));
    const uint64_t f2 = f0 + f1;
    f0 = f1;
    f1 = f2;
  }
  b.resize(n);
  TestRng rng(seed);
  for (size_t i = n; i > 1; i--) std::swap(b[i - 1], b[rng.below(static_cast<unsigned>(i))]);
  return b;
}

}  // namespace dztest

#endif  // DEZEVAZIR_TESTS_COMPRESS_BLOCK_GEN_H_
