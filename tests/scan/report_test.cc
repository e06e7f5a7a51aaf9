#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "cli.h"
#include "base/run_globals.h"
#include "scan/dscore.h"
#include "sketch/dc_hash_and_ratio.h"
#include "sketch/dc_kheap.h"
#include "sketchfile/dc_logger.h"

namespace {

// What a report reads: the sketch (entries by key and ratio, capacity), the
// record's counters and a merge's partial-scan totals.
struct Fixture {
  std::vector<uint64_t> keys;  // first eight fingerprint bytes
  std::vector<double> ratios;
  uint64_t capacity;
  uint64_t smallZero, bigZero, notZero;
  uint64_t partialBlocks, partialZero, partialCompressed;
};

const std::vector<double> kRatios = {0.25, 0.5, 0.5, 0.75};

// A full sketch of 4 whose keys span 3/16 of the key space: 16 unique blocks.
// Mostly unique data, so the compression-metadata overhead is negative.
const Fixture kSmallScan = {{1ULL << 60, 2ULL << 60, 3ULL << 60, 4ULL << 60}, kRatios, 4, 1000, 4096, 5000, 0, 0, 0};

// A merged result of about 38 TiB with partial-scan inputs: 2^24 unique
// blocks in the sketch. Gross is 38 % of the default machine, so E is the
// blend of Net and Gross, and Gross and the partition load overflow 32 bits.
const Fixture kLargeMerge = {{1ULL << 40, 2ULL << 40, 3ULL << 40, 4ULL << 40},
                             kRatios,
                             4,
                             1ULL << 28,
                             1ULL << 29,
                             1ULL << 32,
                             1ULL << 30,
                             1ULL << 27,
                             1ULL << 28};

// A file of three distinct blocks: the dedupe ratio caps at 1, and with it the
// data-reduction ratio, though the overheads exceed the data.
const Fixture kTinyUnique = {{1ULL << 60, 2ULL << 60, 3ULL << 60}, {0.25, 0.5, 0.75}, 4, 0, 0, 3, 0, 0, 0};

// A partial scan's record: no entries, the ratio comes from the caller.
const Fixture kPartial = {{}, {}, 1, 300, 0, 700, 0, 0, 0};
// An all-zero source: an empty sketch and no ratio from the caller.
const Fixture kAllZero = {{}, {}, 4, 100, 4096, 0, 0, 0, 0};
const Fixture kEmpty = {{}, {}, 1, 0, 0, 0, 0, 0, 0};

DCHashAndRatio* entry(uint64_t key, double ratio) {
  std::vector<unsigned char> fp(static_cast<size_t>(myGlobals.hashLength), 0);
  for (int i = 0; i < 8; ++i) fp[static_cast<size_t>(i)] = static_cast<unsigned char>(key >> (56 - 8 * i));
  return new DCHashAndRatio(fp, ratio, 0);
}

class ReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    myGlobals.command = "scan";
    myGlobals.hashSize = 4;
    myGlobals.storagever = 1202;
    myGlobals.machineBlocks = (57ULL << 40) / 8192;
    myGlobals.samplesCompressed = 0;
    myGlobals.samplesZero = 0;
    unsetenv("VERBOSE_OUTPUT");
    saved_ = std::cout.rdbuf(out_.rdbuf());
    std::cout.flags(std::ios::fmtflags{std::ios::dec | std::ios::skipws});
    std::cout.precision(6);
  }
  void TearDown() override {
    std::cout.rdbuf(saved_);
    unsetenv("VERBOSE_OUTPUT");
  }

  // An engine without a source whose sketch and record hold the fixture.
  std::unique_ptr<DSCore> engine(const Fixture& f) {
    auto core = std::make_unique<DSCore>(8192, f.capacity, 100000, 0, "", dir_.file("sketch.dat"));
    for (size_t i = 0; i < f.keys.size(); ++i) core->heap->insert(entry(f.keys[i], f.ratios[i]));
    core->heap->partialBlocks = f.partialBlocks;
    core->heap->partialZeroBlocks = f.partialZero;
    core->heap->partialCompressedBlocks = f.partialCompressed;
    core->logger->sourceNames = "/dev/sdq";
    core->logger->smallZeroBlocks = f.smallZero;
    core->logger->bigZeroBlocks = f.bigZero;
    core->logger->notZeroBlocks = f.notZero;
    return core;
  }

  std::string take() {
    std::string s = out_.str();
    out_.str("");
    return s;
  }

  dztest::TempDir dir_;
  std::ostringstream out_;
  std::streambuf* saved_ = nullptr;
};

struct ReportCase {
  const char* name;
  const Fixture& fixture;
  double cr;
  const char* verbose;  // VERBOSE_OUTPUT, or nullptr for unset
  double ratio;         // data-reduction ratio returned
  const char* text;
};

// Expected figures worked out by hand from the counters and the sketch.
const ReportCase kReportCases[] = {
    {"small scan, detailed", kSmallScan, -1.0, "1", 0.0395,
     R"(--------------------------------------------------------
Source name:                       /dev/sdq
Total hashes in sketch:            4
Total blocks seen:                 10096
Small zero blocks:                 1000
Not zero blocks:                   5000
----
Average compression ratio:         0.5
Unique estimation:                 16
Potential dedup ratio:             0.00283333
Unique estimation after split:     16
Split dedup ratio:                 0.00283333
----
Metadata DR overhead:              100
Metadata CR overhead:              -43
Reserved vol overhead:             162
----
Pesimistic Physical gross:         67500643   -   514 GB
Physical Net:                      237   -   0 GB
Physical Effective:                237   -   0 GB
----
Quenara:
QN simulation dedupe ratio:         0.0195
QN simulation compression ratio:    1
QN simulation data reduction ratio: 0.0395
)"},
    {"small scan, summary", kSmallScan, -1.0, nullptr, 0.0395,
     R"(Estimated Dedupe Savings:          98.050%
Estimated Compression Savings:      0.000%
Data Reduction Savings:            96.050%
------------------------------------------
Zeroes Detected Savings:           40.571%
Total Data efficiency Savings:     97.653%
)"},
    {"large merge, detailed", kLargeMerge, -1.0, "", 0.1830099605074023,
     R"(--------------------------------------------------------
Source name:                       /dev/sdq
Total hashes in sketch:            4
Total blocks seen:                 5100273664
Small zero blocks:                 268435456
Not zero blocks:                   4294967296
----
Average compression ratio:         0.253846
Unique estimation:                 16777216
Potential dedup ratio:             0.00367647
Unique estimation after split:     16777216
Split dedup ratio:                 0.00367647
----
Metadata DR overhead:              51002736
Metadata CR overhead:              -3018096
Reserved vol overhead:             14729265
----
Pesimistic Physical gross:         2929436513   -   22349 GB
Physical Net:                      344518706   -   2628 GB
Physical Effective:                1031653606   -   7870 GB
----
Quenara:
QN simulation dedupe ratio:         0.2025
QN simulation compression ratio:    0.903753
QN simulation data reduction ratio: 0.18301
)"},
    {"large merge, summary", kLargeMerge, -1.0, nullptr, 0.1830099605074023,
     R"(Estimated Dedupe Savings:          79.750%
Estimated Compression Savings:      9.625%
Data Reduction Savings:            81.699%
------------------------------------------
Zeroes Detected Savings:            8.696%
Total Data efficiency Savings:     83.290%
)"},
    {"tiny unique file, summary", kTinyUnique, -1.0, nullptr, 1,
     R"(Estimated Dedupe Savings:           0.000%
Estimated Compression Savings:      0.000%
Data Reduction Savings:             0.000%
------------------------------------------
Zeroes Detected Savings:            0.000%
Total Data efficiency Savings:      0.000%
)"},
    {"partial scan, summary", kPartial, 0.4, nullptr, 0.433,
     R"(Estimated Compression Savings:     60.000%
Estimated Zero Blocks:             30.000%
------------------------------------------
)"},
    {"partial scan, detailed", kPartial, 0.4, "", 0.433,
     R"(--------------------------------------------------------
Source name:                       /dev/sdq
Total hashes in sketch:            0
Total blocks seen:                 1000
Small zero blocks:                 300
Not zero blocks:                   700
----
Average compression ratio:         0.4
Unique estimation:                 1000
Potential dedup ratio:             1.001
)"},
    // No data: nothing to deduplicate or compress, every block a zero
    // saving (small and big zero alike).
    {"all-zero source", kAllZero, -1.0, nullptr, 1.5,
     R"(Estimated Dedupe Savings:           0.000%
Estimated Compression Savings:      0.000%
Data Reduction Savings:             0.000%
------------------------------------------
Zeroes Detected Savings:          100.000%
Total Data efficiency Savings:    100.000%
)"},
    {"empty record", kEmpty, 0.4, nullptr, 1,
     R"(Estimated Compression Savings:     60.000%
Estimated Zero Blocks:              0.000%
------------------------------------------
)"},
};

TEST_F(ReportTest, TextsAndRatioForKnownInputs) {
  for (const ReportCase& c : kReportCases) {
    SCOPED_TRACE(c.name);
    auto core = engine(c.fixture);
    if (c.verbose != nullptr) setenv("VERBOSE_OUTPUT", c.verbose, 1);
    else unsetenv("VERBOSE_OUTPUT");
    EXPECT_DOUBLE_EQ(core->printReport(c.cr, true), c.ratio);
    EXPECT_EQ(take(), c.text);
    // Asked silently, the same ratio and no output.
    EXPECT_DOUBLE_EQ(core->printReport(c.cr, false), c.ratio);
    EXPECT_EQ(take(), "");
  }
}

TEST_F(ReportTest, PartitionLoadOfEmptySketchIsZero) {
  EXPECT_EQ(engine(kPartial)->getGrossPartitionLoad(), 0);
  // Raised to a whole number of partition units (2191 blocks).
  EXPECT_EQ(engine(kSmallScan)->getGrossPartitionLoad(), 2191);
  EXPECT_EQ(engine(kLargeMerge)->getGrossPartitionLoad(), 455728);
}

TEST_F(ReportTest, SingleEntrySketchShowsUnestimatedUniqueCount) {
  Fixture one = kSmallScan;
  one.keys.resize(1);
  one.ratios.resize(1);
  auto core = engine(one);
  setenv("VERBOSE_OUTPUT", "1", 1);
  core->printReport(-1.0, true);
  std::string text = take();
  EXPECT_NE(text.find("\nUnique estimation:                 18446744073709551615\n"), std::string::npos) << text;
  // The split estimate falls back to the not-zero count.
  EXPECT_NE(text.find("\nUnique estimation after split:     5000\n"), std::string::npos) << text;
}

TEST_F(ReportTest, PartialValuesAreRecordedAndSaved) {
  struct Case {
    uint64_t blocks;
    unsigned compressed, zero;
    uint64_t smallZero;
  } cases[] = {
      {100, 3, 1, 25},
      {100, 0, 0, 0},                     // no samples at all
      {(1ULL << 25) - 1, 0, 1, (1ULL << 25) - 1},  // single precision rounds up to 2^25
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.blocks);
    myGlobals.samplesCompressed = c.compressed;
    myGlobals.samplesZero = c.zero;
    auto core = engine(kEmpty);
    core->devSize = c.blocks * 8192 + 100;  // a tail shorter than a block is no block
    core->setPartialVals(0.4f);
    EXPECT_EQ(core->logger->smallZeroBlocks, c.smallZero);
    EXPECT_EQ(core->logger->notZeroBlocks, c.blocks - c.smallZero);

    std::string file = dztest::readFile(dir_.file("sketch.dat"));
    EXPECT_NE(file.find("\nSketch size: 0\n"), std::string::npos) << file;
    EXPECT_NE(file.find("\nNumber of Small Zero blocks: " + std::to_string(c.smallZero) + "\n"), std::string::npos)
        << file;
    EXPECT_NE(file.find("\nAverage compression ratio: 0.4\n"), std::string::npos) << file;
    EXPECT_EQ(file.substr(file.size() - 11), "Build: 153\n") << "no entry lines";
  }
}

}  // namespace
