// Which merged sources share what, seen from outside: images built from
// block pools of known sizes are scanned and merged, and the overlap and
// the groups in the JSON and text reports are checked against the pools;
// hand-made full sketches check the estimates of sources larger than K.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cli.h"
#include "merge_fixtures.h"

namespace {

using dztest::CliResult;
using dztest::runCli;
using dztest::TempDir;
using mergetest::Entry;
using mergetest::fp;
using mergetest::SketchFile;
using nlohmann::json;

const std::map<std::string, std::string> kBackend = {{"DEDUPEINTERNAL", "1"}};

uint64_t splitmix64(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

// Block i of a pool: 64 bytes of its own, repeated (so it compresses, and
// scans quickly).
std::string block(uint64_t poolId, uint64_t i) {
  uint64_t state = poolId * 1000003 + i;
  std::string head;
  for (int w = 0; w < 8; ++w) {
    const uint64_t v = splitmix64(state);
    head.append(reinterpret_cast<const char*>(&v), sizeof v);
  }
  std::string b;
  for (int r = 0; r < 8192 / 64; ++r) b += head;
  return b;
}

struct Part {
  uint64_t pool;
  int blocks;
};

void writeImage(const std::string& path, const std::vector<Part>& parts) {
  std::ofstream out(path, std::ios::binary);
  for (const Part& p : parts) {
    for (int i = 0; i < p.blocks; ++i) out << block(p.pool, static_cast<uint64_t>(i));
  }
}

bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

// The report without its time line, which may differ from run to run.
std::string withoutTime(const std::string& out) { return out.substr(0, out.find("Time Consumed:")); }

class MergeOverlapCli : public ::testing::Test {
 protected:
  // a and b: 1000 distinct blocks each, 300 of them (30 %) in common; c
  // shares nothing; a2 is a's sketch file copied (the same source again).
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    const uint64_t kCommon = 1, kOwnA = 2, kOwnB = 3, kOwnC = 4;
    writeImage(file("a.img"), {{kCommon, 300}, {kOwnA, 700}});
    writeImage(file("b.img"), {{kOwnB, 700}, {kCommon, 300}});
    writeImage(file("c.img"), {{kOwnC, 500}});
    for (const char* name : {"a", "b", "c"}) {
      const CliResult r = runCli(dir_->path(), {"scan", "--input", file(std::string(name) + ".img"), "--sketch",
                                                file(std::string(name) + ".dat")});
      ASSERT_EQ(r.status, 0) << r.err;
    }
    std::ifstream in(file("a.dat"), std::ios::binary);
    std::ofstream(file("a2.dat"), std::ios::binary) << in.rdbuf();
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }

  static std::string file(const std::string& name) { return dir_->file(name); }

  static CliResult merge(const std::vector<std::string>& inputs, std::vector<std::string> extra = {},
                         std::map<std::string, std::string> env = kBackend) {
    std::string list;
    for (const std::string& in : inputs) list += (list.empty() ? "" : ",") + file(in);
    std::vector<std::string> args = {"merge", "--mergefiles", list, "--sketch", file("merged.dat")};
    args.insert(args.end(), extra.begin(), extra.end());
    return runCli(dir_->path(), args, env);
  }

  static TempDir* dir_;
};

TempDir* MergeOverlapCli::dir_ = nullptr;

TEST_F(MergeOverlapCli, JsonCarriesEveryPairTheBlocksOnlyInEachAndTheGroups) {
  const CliResult r = merge({"a.dat", "b.dat", "c.dat", "a2.dat"}, {"--json", "--groups", "3"});
  ASSERT_EQ(r.status, 0) << r.err;
  const json j = json::parse(r.out);
  const json& pairs = j["overlap"]["pairs"];
  ASSERT_EQ(pairs.size(), 6u);
  // Sources with fewer distinct blocks than K: every figure is a count.
  struct Want {
    std::string aFile, bFile;
    uint64_t shared;
    double jaccard, saving;
  } want[] = {
      {"a.dat", "b.dat", 300, 300.0 / 1700, 15.0},  {"a.dat", "c.dat", 0, 0, 0},   {"a.dat", "a2.dat", 1000, 1, 50},
      {"b.dat", "c.dat", 0, 0, 0},                  {"b.dat", "a2.dat", 300, 300.0 / 1700, 15.0},
      {"c.dat", "a2.dat", 0, 0, 0},
  };
  for (std::size_t i = 0; i < 6; ++i) {
    const json& p = pairs[i];
    EXPECT_EQ(p["a_file"], file(want[i].aFile)) << i;
    EXPECT_EQ(p["b_file"], file(want[i].bFile)) << i;
    EXPECT_EQ(p["shared_blocks"], want[i].shared) << i;
    EXPECT_EQ(p["shared_blocks_ci95"], json::array({want[i].shared, want[i].shared})) << i;
    EXPECT_NEAR(p["jaccard"].get<double>(), want[i].jaccard, 1e-12) << i;
    EXPECT_NEAR(p["saving_percent"].get<double>(), want[i].saving, 1e-9) << i;
  }
  EXPECT_EQ(pairs[0]["a"], file("a.img"));
  EXPECT_EQ(pairs[0]["b"], file("b.img"));

  const json& only = j["overlap"]["only_in"];
  ASSERT_EQ(only.size(), 4u);
  const uint64_t onlyWant[] = {0, 700, 500, 0};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(only[i]["blocks"], onlyWant[i]) << i;
    EXPECT_EQ(only[i]["blocks_ci95"], json::array({onlyWant[i], onlyWant[i]})) << i;
  }
  EXPECT_EQ(only[1]["source"], file("b.img"));
  EXPECT_EQ(j["overlap"]["partial_scans"], json::array());

  // Three arrays: a with its copy, b, c; no other split stores as little.
  const json& groups = j["groups"];
  ASSERT_EQ(groups.size(), 3u);
  EXPECT_EQ(groups[0]["files"], json::array({file("a.dat"), file("a2.dat")}));
  EXPECT_EQ(groups[0]["unique_blocks"], 1000);
  EXPECT_NEAR(groups[0]["savings_percent"].get<double>(), 50.0, 1e-9);
  EXPECT_EQ(groups[1]["sources"], json::array({file("b.img")}));
  EXPECT_EQ(groups[1]["unique_blocks"], 1000);
  EXPECT_EQ(groups[2]["unique_blocks"], 500);
  EXPECT_EQ(groups[2]["savings_percent"], 0.0);
  EXPECT_EQ(j["groups_search"], "exact");
}

TEST_F(MergeOverlapCli, SummaryStaysAsItIsAndGroupsFollowIt) {
  const std::vector<std::string> inputs = {"a.dat", "b.dat", "c.dat", "a2.dat"};
  const CliResult plain = merge(inputs);
  ASSERT_EQ(plain.status, 0) << plain.err;
  EXPECT_EQ(plain.out.find("Shared blocks"), std::string::npos);
  EXPECT_EQ(plain.out.find("Group"), std::string::npos);

  const CliResult grouped = merge(inputs, {"--groups", "3"});
  ASSERT_EQ(grouped.status, 0) << grouped.err;
  const std::string report = withoutTime(plain.out);
  ASSERT_EQ(grouped.out.compare(0, report.size(), report), 0) << grouped.out;
  std::istringstream lines(withoutTime(grouped.out).substr(report.size()));
  std::vector<std::string> got;
  for (std::string line; std::getline(lines, line);) got.push_back(line);
  ASSERT_EQ(got.size(), 3u) << grouped.out;
  EXPECT_EQ(got[0], "Group 1 of 3 (best split): 1000 unique blocks, savings  50.000%: " + file("a.img") + " (" +
                        file("a.dat") + "), " + file("a.img") + " (" + file("a2.dat") + ")");
  EXPECT_EQ(got[1], "Group 2 of 3 (best split): 1000 unique blocks, savings   0.000%: " + file("b.img"));
  EXPECT_EQ(got[2], "Group 3 of 3 (best split): 500 unique blocks, savings   0.000%: " + file("c.img"));
}

TEST_F(MergeOverlapCli, DetailedReportEndsWithThePairsLargestFirst) {
  std::map<std::string, std::string> env = kBackend;
  env["VERBOSE_OUTPUT"] = "";
  const CliResult r = merge({"a.dat", "c.dat", "b.dat"}, {}, env);
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string& out = r.out;
  const std::size_t table = out.find("Shared blocks by pair of sources, estimated:");
  ASSERT_NE(table, std::string::npos) << out;
  EXPECT_LT(out.find("QN simulation data reduction ratio:"), table);
  const std::string rows = out.substr(table);
  const std::size_t ab = rows.find("  300            [300 - 300]                   0.1765   15.000%   " +
                                   file("a.img") + "  +  " + file("b.img") + "\n");
  const std::size_t ac = rows.find("  0              [0 - 0]                       0.0000    0.000%   " +
                                   file("a.img") + "  +  " + file("c.img") + "\n");
  const std::size_t cb = rows.find(file("c.img") + "  +  " + file("b.img"));
  ASSERT_NE(ab, std::string::npos) << rows;
  ASSERT_NE(ac, std::string::npos) << rows;
  ASSERT_NE(cb, std::string::npos) << rows;
  EXPECT_LT(ab, ac);
  EXPECT_LT(ac, cb) << "equal figures keep the input order";
  EXPECT_NE(rows.find("Blocks in one source only, estimated:"), std::string::npos);
  EXPECT_NE(rows.find("  700            [700 - 700]                  " + file("a.img") + "\n"), std::string::npos)
      << rows;
}

TEST_F(MergeOverlapCli, PartialScansTakeNoPartAndAreNamed) {
  SketchFile partial;
  partial.kind = "partialscan";
  partial.names = "/dev/partial";
  partial.smallZero = 10;
  partial.notZero = 90;
  partial.ratio = "0.5";
  partial.write(file("p.dat"));

  const CliResult r = merge({"a.dat", "p.dat", "b.dat"}, {"--json", "--groups", "2"});
  ASSERT_EQ(r.status, 0) << r.err;
  const json j = json::parse(r.out);
  ASSERT_EQ(j["overlap"]["pairs"].size(), 1u);
  EXPECT_EQ(j["overlap"]["pairs"][0]["shared_blocks"], 300);
  EXPECT_EQ(j["overlap"]["only_in"].size(), 2u);
  EXPECT_EQ(j["overlap"]["partial_scans"],
            json::parse("[{\"source\": \"/dev/partial\", \"file\": \"" + file("p.dat") + "\"}]"));
  EXPECT_EQ(j["groups"].size(), 2u);

  // Three groups of two full scans cannot be: refused before anything is written.
  ::remove(file("merged.dat").c_str());
  const CliResult three = merge({"a.dat", "p.dat", "b.dat"}, {"--groups", "3"});
  EXPECT_EQ(three.status, 133);
  EXPECT_NE(three.err.find("Invalid groups given: only 2 of the merge files are full scans"), std::string::npos)
      << three.err;
  EXPECT_FALSE(exists(file("merged.dat")));
}

TEST_F(MergeOverlapCli, GroupsOutsideOneToTheInputsAreRefused) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"merge", "--mergefiles", file("a.dat") + "," + file("b.dat"), "--groups", "0"},
       "Invalid groups given: need 1 to the number of merge files (2)"},
      {{"merge", "--mergefiles", file("a.dat") + "," + file("b.dat"), "--groups", "3"},
       "Invalid groups given: need 1 to the number of merge files (2)"},
      {{"merge", "--mergefiles", file("a.dat") + "," + file("b.dat"), "--groups=-1"},
       "Invalid groups given: need 1 to the number of merge files (2)"},
      {{"load", "--sketch", file("a.dat"), "--groups", "1"}, "Invalid groups given: only with the merge command"},
  };
  for (const Case& c : cases) {
    const CliResult r = runCli(dir_->path(), c.args, kBackend);
    EXPECT_EQ(r.status, 133) << c.message;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "") << c.message;
  }
}

TEST_F(MergeOverlapCli, PageShowsTheMatrixOfPairsAndTheGroupsWithTheJsonFigures) {
  const std::string page = file("merge.html");
  const CliResult r = merge({"a.dat", "b.dat", "c.dat", "a2.dat"}, {"--json", "--groups", "3", "--html", page});
  ASSERT_EQ(r.status, 0) << r.err;
  const json run = json::parse(r.out);
  const std::string html = dztest::readFile(page);
  const std::size_t overlap = html.find("<section id=\"overlap\">");
  const std::size_t groups = html.find("<section id=\"groups\">");
  ASSERT_NE(overlap, std::string::npos);
  ASSERT_NE(groups, std::string::npos);
  // The heat map: four sources a side, the shared blocks in the cells.
  const std::string section = html.substr(overlap, groups - overlap);
  EXPECT_NE(section.find("aria-label=\"Shared distinct blocks of every pair of sources\""), std::string::npos);
  for (const char* cellText : {">300<", ">1000<", ">0<"}) EXPECT_NE(section.find(cellText), std::string::npos) << cellText;
  // Every figure of overlap and groups is on the page with its JSON value.
  std::set<std::string> pointers;
  for (std::size_t i = 0; i < 6; ++i) {
    const std::string at = "/overlap/pairs/" + std::to_string(i);
    for (const char* f : {"/shared_blocks", "/shared_blocks_ci95/0", "/shared_blocks_ci95/1", "/jaccard", "/saving_percent"}) {
      pointers.insert(at + f);
    }
  }
  for (std::size_t i = 0; i < 4; ++i) {
    for (const char* f : {"/blocks", "/blocks_ci95/0", "/blocks_ci95/1"}) pointers.insert("/overlap/only_in/" + std::to_string(i) + f);
  }
  for (std::size_t g = 0; g < 3; ++g) {
    for (const char* f : {"/unique_blocks", "/savings_percent"}) pointers.insert("/groups/" + std::to_string(g) + f);
  }
  for (const std::string& p : pointers) {
    const std::string attrs = "data-figure=\"" + p + "\" data-value=\"" + run.at(json::json_pointer(p)).dump() + "\"";
    EXPECT_NE(html.find(attrs), std::string::npos) << attrs;
  }
}

// Sketch files of sources larger than their sketches: K = 2000 smallest of
// pools of random fingerprints, a and b sharing 30 % of 10000 blocks.
TEST(MergeOverlapEstimate, FullSketchesGiveSharedBlocksInsideTheirInterval) {
  TempDir dir;
  uint64_t seed = 77;
  auto pool = [&seed](std::size_t n) {
    std::vector<uint64_t> p(n);
    for (uint64_t& k : p) k = splitmix64(seed);
    return p;
  };
  const std::vector<uint64_t> common = pool(3000), ownA = pool(7000), ownB = pool(7000);
  auto sketch = [&](const std::string& name, std::vector<const std::vector<uint64_t>*> parts) {
    std::vector<uint64_t> keys;
    for (const auto* p : parts) keys.insert(keys.end(), p->begin(), p->end());
    std::sort(keys.begin(), keys.end());
    SketchFile f;
    f.names = name;
    // The counters fall short of the not-zero blocks: the sketch dropped
    // fingerprints, it is full.
    f.notZero = keys.size() + 100;
    keys.resize(2000);
    for (uint64_t k : keys) f.entries.push_back(Entry{fp(k), "0.5", 1});
    f.write(dir.file(name + ".dat"));
  };
  sketch("a", {&common, &ownA});
  sketch("b", {&common, &ownB});
  const CliResult r = runCli(dir.path(),
                             {"merge", "--mergefiles", dir.file("a.dat") + "," + dir.file("b.dat"), "--sketch",
                              dir.file("m.dat"), "--json"},
                             kBackend);
  ASSERT_EQ(r.status, 0) << r.err;
  const json p = json::parse(r.out)["overlap"]["pairs"][0];
  const uint64_t shared = p["shared_blocks"];
  const uint64_t low = p["shared_blocks_ci95"][0], high = p["shared_blocks_ci95"][1];
  EXPECT_LE(low, 3000u);
  EXPECT_GE(high, 3000u);
  EXPECT_LT(low, shared);
  EXPECT_GT(high, shared);
  EXPECT_NEAR(static_cast<double>(shared), 3000, 300);
}

}  // namespace
