// mksample: writes a deterministic sample image with a chosen mix of block
// kinds and prints its exact ground truth as "key: value" lines.
//
//   mksample --size 2G --seed 7 --out image.bin [--random P] [--dup P]
//            [--text P] [--runs P] [--halfzero P] [--zero P] [--bigzero P]
//
// --bigzero is the percentage of whole 16 MiB segments (aligned on the image)
// written as zeros; the other percentages share the blocks of the remaining
// segments (--random takes what the others leave). Every generated non-zero
// block carries its own content id in its first bytes, so two blocks are equal
// exactly when the generator meant them to be, and the distinct count is exact.
// Duplicated blocks come in groups of 2, 3, 5, 10 or 50 copies spread over the
// image. A tail shorter than one block is filled with non-zero bytes and is no
// block.
//
// The counts follow the scan's rules: a zero block of an all-zero aligned whole
// segment is big-zero; zero blocks after the last non-zero block of a final
// partial segment reach no segment end and are counted nowhere.

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint64_t kBlock = 8192;
constexpr uint64_t kSegment = 16 << 20;
constexpr uint64_t kBlocksPerSegment = kSegment / kBlock;

uint64_t splitmix64(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

// xoshiro256**: fast, and 256 bits of state keep random blocks apart.
class Rng {
 public:
  explicit Rng(uint64_t seed) {
    for (uint64_t& w : s_) w = splitmix64(seed);
  }
  uint64_t next() {
    uint64_t result = rotl(s_[1] * 5, 7) * 9;
    uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return result;
  }
  // Uniform in [0, 1).
  double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
  uint64_t below(uint64_t n) { return next() % n; }

 private:
  static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  uint64_t s_[4];
};

enum Kind { kRandom, kDup, kText, kRuns, kHalfZero, kZero, kKinds };
const char* const kKindNames[kKinds] = {"random", "dup", "text", "runs", "halfzero", "zero"};

struct Options {
  uint64_t size = 0;
  uint64_t seed = 1;
  std::string out;
  double percent[kKinds] = {-1, 20, 10, 10, 5, 15};  // random: the rest
  double bigzero = 10;
};

struct Truth {
  uint64_t blocks = 0, zero = 0, bigZero = 0, uncountedZero = 0, notZero = 0, distinct = 0;
  uint64_t perKind[kKinds] = {};
};

void put64(unsigned char* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

void fillRandom(unsigned char* b, uint64_t n, Rng& r) {
  for (uint64_t i = 0; i + 8 <= n; i += 8) put64(b + i, r.next());
}

// Content of one non-zero block, a pure function of (seed, id, kind). The id
// (never 0) goes into the first bytes, so the block is never all zero and
// blocks of different ids always differ.
void makeBlock(unsigned char* b, uint64_t seed, uint64_t id, Kind kind) {
  uint64_t st = seed ^ (id * 0xD1B54A32D192ED03ULL);
  Rng r(splitmix64(st));
  switch (kind) {
    case kText: {
      static const char* const kWords[] = {
          "the",    "array",   "block",  "stores", "data",   "with",  "less",   "space",  "when",
          "blocks", "repeat",  "and",    "zeros",  "are",    "never", "kept",   "for",    "each",
          "volume", "report",  "shows",  "how",    "much",   "would", "be",     "saved",  "by",
          "dedupe", "compress", "a",     "of",     "in",     "to",    "is",     "that",   "on",
          "sample", "device",  "scan",   "hash",   "table",  "index", "page",   "file",   "log",
          "error",  "value",   "record", "field",  "user",   "name",  "date",   "time",   "size"};
      constexpr size_t kCount = sizeof(kWords) / sizeof(kWords[0]);
      int n = std::snprintf(reinterpret_cast<char*>(b), kBlock, "#%llu ", static_cast<unsigned long long>(id));
      uint64_t pos = static_cast<uint64_t>(n);
      while (pos < kBlock) {
        uint64_t v = r.next();
        const char* w = kWords[v % kCount];
        size_t len = std::strlen(w);
        for (size_t i = 0; i < len && pos < kBlock; ++i) b[pos++] = static_cast<unsigned char>(w[i]);
        if (pos < kBlock) b[pos++] = ((v >> 32) % 13 == 0) ? '\n' : ((v >> 40) % 9 == 0 ? ',' : ' ');
      }
      return;
    }
    case kRuns: {
      uint64_t pos = 0;
      while (pos < kBlock) {
        uint64_t v = r.next();
        uint64_t len = std::min<uint64_t>(1 + (v & 255), kBlock - pos);
        std::memset(b + pos, static_cast<int>((v >> 8) & 0xFF), len);
        pos += len;
      }
      put64(b, id);
      return;
    }
    case kHalfZero:
      fillRandom(b, kBlock / 2, r);
      std::memset(b + kBlock / 2, 0, kBlock / 2);
      put64(b, id);
      return;
    default:
      fillRandom(b, kBlock, r);
      put64(b, id);
      return;
  }
}

bool parseSize(const char* s, uint64_t& out) {
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(s, &end, 10);
  if (errno != 0 || end == s) return false;
  uint64_t mult = 1;
  if (*end == 'K' || *end == 'k') mult = 1ULL << 10, ++end;
  else if (*end == 'M' || *end == 'm') mult = 1ULL << 20, ++end;
  else if (*end == 'G' || *end == 'g') mult = 1ULL << 30, ++end;
  else if (*end == 'T' || *end == 't') mult = 1ULL << 40, ++end;
  if (*end != '\0') return false;
  out = v * mult;
  return true;
}

bool parsePercent(const char* s, double& out) {
  char* end = nullptr;
  out = std::strtod(s, &end);
  return end != s && *end == '\0' && out >= 0 && out <= 100;
}

int usage(const char* msg) {
  std::fprintf(stderr,
               "mksample: %s\nusage: mksample --size N[K|M|G|T] --out PATH [--seed N] [--random P] [--dup P]\n"
               "         [--text P] [--runs P] [--halfzero P] [--zero P] [--bigzero P]\n",
               msg);
  return 2;
}

// Groups of duplicated blocks: each slot holds one content with the copies it
// still has to give, so copies of one content spread over the image.
class DupPool {
 public:
  explicit DupPool(Rng& r) : r_(r) {}
  // Returns the id to write; sets fresh when the id is new.
  uint64_t take(uint64_t& nextId, bool& fresh) {
    static const uint64_t kRepeats[] = {2, 3, 5, 10, 50};
    Slot& s = slots_[r_.below(kSlots)];
    fresh = s.left == 0;
    if (fresh) {
      s.id = nextId++;
      s.left = kRepeats[r_.below(5)];
    }
    --s.left;
    return s.id;
  }

 private:
  struct Slot {
    uint64_t id = 0;
    uint64_t left = 0;
  };
  static constexpr int kSlots = 64;
  Rng& r_;
  Slot slots_[kSlots];
};

}  // namespace

int main(int argc, char** argv) {
  Options o;
  bool haveSize = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (i + 1 >= argc) return usage(("missing value for " + a).c_str());
    const char* v = argv[++i];
    bool ok = true;
    if (a == "--size") ok = haveSize = parseSize(v, o.size);
    else if (a == "--seed") ok = parseSize(v, o.seed);
    else if (a == "--out") o.out = v;
    else if (a == "--bigzero") ok = parsePercent(v, o.bigzero);
    else {
      int k = 0;
      while (k < kKinds && a != std::string("--") + kKindNames[k]) ++k;
      if (k == kKinds) return usage(("unknown option " + a).c_str());
      ok = parsePercent(v, o.percent[k]);
    }
    if (!ok) return usage(("bad value for " + a).c_str());
  }
  if (!haveSize || o.out.empty()) return usage("--size and --out are required");

  // Cumulative thresholds for the block kinds; random fills up to 100 unless
  // it was given.
  double given = 0;
  for (int k = 1; k < kKinds; ++k) given += o.percent[k];
  if (o.percent[kRandom] < 0) o.percent[kRandom] = std::max(0.0, 100 - given);
  double total = given + o.percent[kRandom];
  if (total <= 0) return usage("the block percentages add up to 0");
  double cumulative[kKinds];
  double acc = 0;
  for (int k = 0; k < kKinds; ++k) cumulative[k] = (acc += o.percent[k] / total);

  FILE* f = std::fopen(o.out.c_str(), "wb");
  if (f == nullptr) {
    std::perror(o.out.c_str());
    return 1;
  }

  Rng mix(o.seed);
  DupPool dups(mix);
  Truth t;
  uint64_t nextId = 1;
  std::vector<unsigned char> seg(kSegment);
  const uint64_t wholeBlocks = o.size / kBlock;

  for (uint64_t first = 0; first < wholeBlocks; first += kBlocksPerSegment) {
    uint64_t n = std::min(kBlocksPerSegment, wholeBlocks - first);
    bool wholeSegment = n == kBlocksPerSegment;
    bool allZero = mix.unit() * 100 < o.bigzero;
    uint64_t zerosSinceData = 0, zerosInSegment = 0;
    for (uint64_t j = 0; j < n; ++j) {
      unsigned char* b = seg.data() + j * kBlock;
      Kind kind = kZero;
      if (!allZero) {
        double u = mix.unit();
        int k = 0;
        while (k < kKinds - 1 && u >= cumulative[k]) ++k;
        kind = static_cast<Kind>(k);
      }
      ++t.perKind[kind];
      if (kind == kZero) {
        std::memset(b, 0, kBlock);
        ++zerosSinceData;
        ++zerosInSegment;
        continue;
      }
      zerosSinceData = 0;
      ++t.notZero;
      if (kind == kDup) {
        bool fresh = false;
        uint64_t id = dups.take(nextId, fresh);
        if (fresh) ++t.distinct;
        makeBlock(b, o.seed, id, (id & 1) ? kRandom : kText);
      } else {
        ++t.distinct;
        makeBlock(b, o.seed, nextId++, kind);
      }
    }
    t.zero += zerosInSegment;
    if (wholeSegment && zerosInSegment == n) t.bigZero += n;
    if (!wholeSegment) t.uncountedZero = zerosSinceData;
    if (std::fwrite(seg.data(), 1, n * kBlock, f) != n * kBlock) {
      std::perror(o.out.c_str());
      return 1;
    }
  }
  uint64_t tail = o.size % kBlock;
  if (tail > 0) {
    std::memset(seg.data(), 0x5A, tail);
    if (std::fwrite(seg.data(), 1, tail, f) != tail) {
      std::perror(o.out.c_str());
      return 1;
    }
  }
  if (std::fclose(f) != 0) {
    std::perror(o.out.c_str());
    return 1;
  }

  t.blocks = wholeBlocks;
  auto line = [](const char* key, uint64_t v) { std::printf("%s: %llu\n", key, static_cast<unsigned long long>(v)); };
  line("size", o.size);
  line("seed", o.seed);
  line("blocks", t.blocks);
  line("zero_blocks", t.zero);
  line("big_zero_blocks", t.bigZero);
  line("small_zero_blocks", t.zero - t.bigZero - t.uncountedZero);
  line("uncounted_zero_blocks", t.uncountedZero);
  line("not_zero_blocks", t.notZero);
  line("distinct_nonzero_blocks", t.distinct);
  for (int k = 0; k < kKinds - 1; ++k) line((std::string(kKindNames[k]) + "_blocks").c_str(), t.perKind[k]);
  line("tail_bytes", tail);
  return 0;
}
