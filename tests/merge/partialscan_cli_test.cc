// The partial scan seen from outside: the built program samples a generated
// image, and its estimates are compared with the image's truth.
#include <gtest/gtest.h>

#include <boost/format.hpp>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "cli.h"
#include "compress/dc_compr.h"
#include "merge_fixtures.h"

namespace {

using dztest::CliResult;
using dztest::runCli;
using dztest::TempDir;
using mergetest::ReadBack;
using mergetest::readSketch;

constexpr size_t kBlock = 8192;
const std::map<std::string, std::string> kBackend = {{"DEDUPEINTERNAL", "1"}};
const char kDashes[] = "------------------------------------------\n";
const std::string kTimeLine = "Time Consumed:                    ##:##:##\n";
const std::string kEstimateLines =
    "Estimated Compression Savings:    ~~#.###%\n"
    "Estimated Zero Blocks:            ~~#.###%\n";

// Matches text against a shape in which '#' stands for a digit and '~' for
// a digit, a blank or a minus sign (a sample of incompressible blocks
// expands, so its savings are negative); every other character stands for
// itself.
bool matchesShape(const std::string& text, const std::string& shape) {
  if (text.size() != shape.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (shape[i] == '#' ? !digit : shape[i] == '~' ? !(digit || text[i] == ' ' || text[i] == '-') : text[i] != shape[i]) return false;
  }
  return true;
}

uint64_t next(uint64_t& s) {
  uint64_t z = (s += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

// One block of a mix that spans the whole range of ratios: zero (30 %),
// random bytes (25 %), words from a small vocabulary (20 %), half random
// and half constant (15 %), a short repeated pattern (10 %).
void fillBlock(uint64_t& s, unsigned char* b) {
  static const char* const kWords[] = {"block ", "device ", "sketch ", "merge ", "zero ", "array ", "ratio "};
  const uint64_t kind = next(s) % 100;
  std::memset(b, 0, kBlock);
  if (kind < 30) return;
  if (kind < 55 || (kind >= 75 && kind < 90)) {
    const size_t randomBytes = kind < 55 ? kBlock : kBlock / 2;
    for (size_t i = 0; i < randomBytes; i += 8) {
      const uint64_t v = next(s);
      std::memcpy(b + i, &v, 8);
    }
    std::memset(b + randomBytes, 'q', kBlock - randomBytes);
  } else if (kind < 75) {
    for (size_t i = 0; i < kBlock;) {
      const char* w = kWords[next(s) % 7];
      for (; *w != '\0' && i < kBlock; ++w) b[i++] = static_cast<unsigned char>(*w);
    }
  } else {
    for (size_t i = 0; i < kBlock; ++i) b[i] = static_cast<unsigned char>("abcabd"[i % 6]);
  }
}

struct Truth {
  double meanRatio = 0;  // over the non-zero blocks
  double zeroShare = 0;  // percent of all blocks
};

// Writes `blocks` blocks (block 0 zero) and measures every non-zero one
// with the array's compressor.
Truth writeImage(const std::string& path, size_t blocks) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::vector<unsigned char> b(kBlock);
  DCCompr compr(DCCompr::levelFor(1202));  // the default storage version
  uint64_t s = 12345;
  double sum = 0;
  size_t nonZero = 0;
  for (size_t i = 0; i < blocks; ++i) {
    fillBlock(s, b.data());
    if (i == 0) std::fill(b.begin(), b.end(), 0);
    out.write(reinterpret_cast<const char*>(b.data()), kBlock);
    if (std::all_of(b.begin(), b.end(), [](unsigned char c) { return c == 0; })) continue;
    compr.processBlock(b.data(), kBlock);
    compr.reset();
    sum += compr.ratio;
    ++nonZero;
  }
  return {sum / static_cast<double>(nonZero), 100.0 * static_cast<double>(blocks - nonZero) / blocks};
}

double percentAfter(const std::string& out, const std::string& label) {
  const size_t at = out.find(label);
  if (at == std::string::npos) return NAN;
  return std::stod(out.substr(at + label.size()));
}

std::string estimateLines(const std::string& out) {
  return out.substr(0, out.find("Time Consumed:"));
}

bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

class PartialScanCli : public ::testing::Test {
 protected:
  CliResult partialScan(const std::string& image, const std::string& sketch, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"partialscan", "--input", image, "--sketch", dir_.file(sketch)};
    args.insert(args.end(), extra.begin(), extra.end());
    return runCli(dir_.path(), args, kBackend);
  }
  TempDir dir_;
};

// 3400 non-zero samples drawn uniformly with replacement, ratios within
// [0, 1.01]: the sample mean's standard error is at most 0.51 / sqrt(3400),
// 0.9 points, so 3 points is more than 3 standard errors. The zero share
// comes from about 4900 draws at p = 0.3: standard error
// sqrt(0.3 * 0.7 / 4900), 0.65 points, so 2 points is 3 standard errors. The
// seed is fixed, so the run is the same every time.
TEST_F(PartialScanCli, EstimatesLieNearTheImagesTruth) {
  const std::string image = dir_.file("image.bin");
  // 4096 blocks: fewer than 8192, where every draw used to be turned into
  // block 0 (a zero block here).
  const Truth truth = writeImage(image, 4096);

  const CliResult r = partialScan(image, "p.dat", {"--randomBytes", "7"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(matchesShape(r.out, kEstimateLines + kDashes + kTimeLine)) << r.out;
  EXPECT_NEAR(percentAfter(r.out, "Estimated Compression Savings:"), 100.0 - 100.0 * truth.meanRatio, 3.0);
  EXPECT_NEAR(percentAfter(r.out, "Estimated Zero Blocks:"), truth.zeroShare, 2.0);

  // Its sketch file holds no entries, the zero share as small-zero blocks
  // and the mean ratio.
  ReadBack f = readSketch(dir_.file("p.dat"));
  EXPECT_EQ(f.header, "..:: Veda Dezevazir Odazirera ::.. partialscan");
  EXPECT_EQ(f.fields["Original file names"], image);
  EXPECT_EQ(f.fields["Sketch size"], "0");
  EXPECT_TRUE(f.entries.empty());
  const double zeros = std::stod(f.fields["Number of Small Zero blocks"]);
  EXPECT_EQ(zeros + std::stod(f.fields["Number of Not Zero blocks"]), 4096.0);
  EXPECT_NEAR(zeros * 100.0 / 4096.0, percentAfter(r.out, "Estimated Zero Blocks:"), 0.05);
  EXPECT_NEAR(100.0 - 100.0 * std::stod(f.fields["Average compression ratio"]),
              percentAfter(r.out, "Estimated Compression Savings:"), 0.001);

  // The same seed samples the same blocks; another seed others.
  CliResult again = partialScan(image, "q.dat", {"--randomBytes", "7"});
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(estimateLines(again.out), estimateLines(r.out));
  EXPECT_EQ(dztest::readFile(dir_.file("q.dat")), dztest::readFile(dir_.file("p.dat")));
  CliResult other = partialScan(image, "o.dat", {"--randomBytes", "8"});
  ASSERT_EQ(other.status, 0) << other.err;
  EXPECT_NE(dztest::readFile(dir_.file("o.dat")), dztest::readFile(dir_.file("p.dat")));

  // A load of that file reports its ratio and zero share.
  const CliResult load = runCli(dir_.path(), {"load", "--sketch", dir_.file("p.dat")});
  ASSERT_EQ(load.status, 0) << load.err;
  const float ratio = std::stof(f.fields["Average compression ratio"]);
  EXPECT_EQ(load.out.substr(0, load.out.find("Estimated Zero Blocks:")),
            (boost::format("Estimated Compression Savings:    %7.3f%%\n") % (100 - 100 * static_cast<double>(ratio)))
                .str());
  EXPECT_NEAR(percentAfter(load.out, "Estimated Zero Blocks:"), zeros * 100.0 / 4096.0, 0.001);
}

// Two-block sources, sampled some 7000 times with a fixed seed: each block
// is drawn about half of the time, the last one too, and a block that is
// zero but for one byte late in it is no zero sample.
TEST_F(PartialScanCli, TwoBlockSources) {
  auto zeroBut = [](size_t at) {
    std::string b(kBlock, '\0');
    b[at] = 'x';
    return b;
  };
  const struct {
    const char* name;
    std::string image;
    double lowest, highest;  // zero share
  } cases[] = {
      {"data, then zeros", std::string(kBlock, 'd') + std::string(kBlock, '\0'), 45, 55},
      {"zero but for the last byte, or for one three quarters in", zeroBut(kBlock - 1) + zeroBut(3 * kBlock / 4), 0,
       0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string image = dir_.file("two.bin");
    dztest::writeFile(image, c.image);
    const CliResult r = partialScan(image, "p.dat", {"--randomBytes", "7"});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_TRUE(matchesShape(r.out, kEstimateLines + kDashes + kTimeLine)) << r.out;
    const double zeroShare = percentAfter(r.out, "Estimated Zero Blocks:");
    EXPECT_GE(zeroShare, c.lowest);
    EXPECT_LE(zeroShare, c.highest);
  }
}

TEST_F(PartialScanCli, AllZeroSourceIsTooSparseAndSavesNothing) {
  const std::string image = dir_.file("zeros.bin");
  std::ofstream(image, std::ios::binary) << std::string(64 * kBlock, '\0');

  const CliResult r = partialScan(image, "p.dat");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(matchesShape(r.out, "Device too Sparse - cannot estimate\n" + std::string(kDashes) + kTimeLine))
      << r.out;
  EXPECT_FALSE(exists(dir_.file("p.dat")));
}

// Sample counts away from the default. Fewer samples than workers: all but
// the last worker have nothing to do. None: nothing is measured, so no
// savings are claimed, and the saved file still loads. More than the
// default: the sparse limit grows with them, so a device with few zeros is
// still estimated. A worker's share whose ratios would overflow its
// accumulator is refused.
TEST_F(PartialScanCli, SampleCountsAwayFromTheDefault) {
  const std::string image = dir_.file("image.bin");
  writeImage(image, 256);
  const std::string estimate = kEstimateLines + kDashes + kTimeLine;
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out;  // shape, as for matchesShape
    std::string err;
  } cases[] = {
      {{"--maxNumSamples", "3"}, 0, estimate, ""},
      {{"--maxNumSamples", "0"}, 0,
       "Estimated Compression Savings:      0.000%\n"
       "Estimated Zero Blocks:              0.000%\n" +
           std::string(kDashes) + kTimeLine,
       ""},
      {{"--maxNumSamples", "25000"}, 0, estimate, ""},
      {{"--maxNumSamples", "40000", "--threads", "1"}, 133, "",
       "Invalid maxNumSamples given: at most 19522 samples per thread\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[1]);
    std::remove(dir_.file("p.dat").c_str());
    // A fixed seed keeps the few-sample case repeatable.
    std::vector<std::string> args = {"partialscan", "--input", image, "--sketch", dir_.file("p.dat"),
                                     "--randomBytes", "7"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const CliResult r = runCli(dir_.path(), args, {{"DEDUPEINTERNAL", "1"}, {"ZIZUDIR3", "1"}});
    EXPECT_EQ(r.status, c.status);
    EXPECT_TRUE(matchesShape(r.out, c.out)) << r.out;
    EXPECT_EQ(r.err, c.err);
    if (c.status == 0) {
      const CliResult load = runCli(dir_.path(), {"load", "--sketch", dir_.file("p.dat")});
      EXPECT_EQ(load.status, 0) << load.err;
      EXPECT_EQ(load.out.substr(0, 30), "Estimated Compression Savings:") << load.out;
    }
  }
}

}  // namespace
