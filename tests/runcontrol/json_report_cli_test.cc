// The --json report: one JSON object per run on standard output, read with
// a real JSON parser and compared with the text report of the same sketch
// file; its intervals checked against generated images' known truth.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "cli.h"

namespace {

using dztest::CliResult;
using dztest::runCli;
using dztest::TempDir;
using nlohmann::json;

const std::map<std::string, std::string> kBackend = {{"DEDUPEINTERNAL", "1"}};

// mksample's "key: value" truth lines.
std::map<std::string, double> makeImage(const TempDir& dir, const std::string& name, const std::string& size,
                                        int seed, const std::vector<std::string>& extra = {}) {
  std::string cmd = std::string(DZ_MKSAMPLE_BIN) + " --size " + size + " --seed " + std::to_string(seed) + " --out " +
                    dir.file(name);
  for (const std::string& e : extra) cmd += " " + e;
  std::map<std::string, double> truth;
  FILE* p = popen(cmd.c_str(), "r");
  char line[256];
  while (p != nullptr && std::fgets(line, sizeof line, p) != nullptr) {
    std::string l(line);
    const size_t colon = l.find(':');
    if (colon != std::string::npos) truth[l.substr(0, colon)] = std::atof(l.c_str() + colon + 1);
  }
  if (p != nullptr) pclose(p);
  return truth;
}

json onlyObject(const CliResult& r) {
  EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << "exactly one line: " << r.out;
  return json::parse(r.out);
}

// The value the text report prints after label, as a number.
double textFigure(const std::string& text, const std::string& label) {
  const size_t at = text.find(label);
  if (at == std::string::npos) return NAN;
  return std::atof(text.c_str() + at + label.size());
}

double rounded(double v) { return std::round(v * 1000) / 1000; }

TEST(JsonReport, ScanLoadAndMergeCarryTheTextReportsFigures) {
  TempDir dir;
  makeImage(dir, "a.img", "24M", 3);
  makeImage(dir, "b.img", "16M", 4);
  const CliResult scan = runCli(dir.path(), {"scan", "--input", dir.file("a.img"), "-o", dir.file("a.dat"), "--json"});
  ASSERT_EQ(scan.status, 0) << scan.err;
  const json s = onlyObject(scan);
  EXPECT_EQ(s["command"], "scan");
  EXPECT_EQ(s["version"], "1.03 (build 153)");
  EXPECT_EQ(s["sources"], json::array({dir.file("a.img")}));
  EXPECT_EQ(s["sketch_file"], dir.file("a.dat"));
  EXPECT_EQ(s["block_size"], 8192);
  EXPECT_TRUE(s["elapsed_seconds"].is_number());
  // Everything else went to standard error, the text report included.
  EXPECT_NE(scan.err.find("Estimated Dedupe Savings:"), std::string::npos);
  EXPECT_NE(scan.err.find("Time Consumed:"), std::string::npos);
  const json& b = s["blocks"];
  EXPECT_EQ(b["seen"].get<uint64_t>(),
            b["zero_small"].get<uint64_t>() + b["zero_big"].get<uint64_t>() + b["not_zero"].get<uint64_t>());
  EXPECT_EQ(b["seen"], 24 * 128);
  EXPECT_EQ(b["unreadable"], 0);

  ASSERT_EQ(runCli(dir.path(), {"scan", "--input", dir.file("b.img"), "-o", dir.file("b.dat")}).status, 0);
  struct Case {
    const char* what;
    std::vector<std::string> args;
  } cases[] = {
      {"load", {"load", "-o", dir.file("a.dat")}},
      {"merge", {"merge", "--mergefiles", dir.file("a.dat") + "," + dir.file("b.dat"), "-o", dir.file("m.dat")}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const CliResult text = runCli(dir.path(), c.args);
    std::vector<std::string> withJson = c.args;
    withJson.push_back("--json");
    const CliResult js = runCli(dir.path(), withJson);
    ASSERT_EQ(text.status, 0) << text.err;
    ASSERT_EQ(js.status, 0) << js.err;
    const json j = onlyObject(js);
    EXPECT_EQ(j["command"], c.what);
    const json& p = j["savings_percent"];
    EXPECT_EQ(rounded(p["dedupe"]), textFigure(text.out, "Estimated Dedupe Savings:"));
    EXPECT_EQ(rounded(p["compression"]), textFigure(text.out, "Estimated Compression Savings:"));
    EXPECT_EQ(rounded(p["data_reduction"]), textFigure(text.out, "Data Reduction Savings:"));
    EXPECT_EQ(rounded(p["zeroes"]), textFigure(text.out, "Zeroes Detected Savings:"));
    EXPECT_EQ(rounded(p["total"]), textFigure(text.out, "Total Data efficiency Savings:"));
    // The detailed report's figures are the same numbers.
    const CliResult verbose = runCli(dir.path(), c.args, {{"VERBOSE_OUTPUT", ""}});
    EXPECT_EQ(j["estimates"]["unique_blocks"].get<double>(), textFigure(verbose.out, "Unique estimation:"));
    EXPECT_EQ(j["detail"]["overheads_blocks"]["reserved_volume"].get<double>(),
              textFigure(verbose.out, "Reserved vol overhead:"));
    EXPECT_EQ(j["detail"]["physical"]["net"]["blocks"].get<double>(), textFigure(verbose.out, "Physical Net:"));
    uint64_t entries = 0;
    for (const json& h : j["histograms"]["references"]) entries += h["entries"].get<uint64_t>();
    EXPECT_EQ(entries, j["sketch"]["entries"].get<uint64_t>()) << "every kept entry in one reference bucket";
  }
}

TEST(JsonReport, BatchModeWritesOneObjectPerRunAndEverythingElseToStandardError) {
  TempDir dir;
  makeImage(dir, "a.img", "8M", 5);
  dztest::writeFile(dir.file("b.txt"), "scan -d " + dir.file("a.img") + " -o " + dir.file("a.dat") + "\nload -o " +
                                           dir.file("a.dat") + "\nload -o C:\\x\n");
  const CliResult r = runCli(dir.path(), {"--batchfile", dir.file("b.txt"), "--json"});
  // Line 3 was refused: the batch ends 123 once the others have run.
  ASSERT_EQ(r.status, 123) << r.err;
  std::istringstream lines(r.out);
  std::string line;
  std::vector<std::string> commands;
  while (std::getline(lines, line)) commands.push_back(json::parse(line)["command"]);
  EXPECT_EQ(commands, (std::vector<std::string>{"scan", "load"}));
  EXPECT_NE(r.err.find("Error parsing line #3"), std::string::npos);
}

// --json on the batch file's lines, not the program's: standard output is
// still JSON Lines and nothing else; the echo of each line, the help after
// a refused line and the version go to standard error.
TEST(JsonReport, BatchLinesWithTheirOwnJsonLeaveOnlyJsonOnStandardOutput) {
  TempDir dir;
  makeImage(dir, "a.img", "8M", 5);
  const std::string scan = "scan -d " + dir.file("a.img") + " -o " + dir.file("a.dat") + " --json";
  const std::string load = "load -o " + dir.file("a.dat") + " --json";
  dztest::writeFile(dir.file("b.txt"),
                    scan + "\n" + load + "\nload " + dir.file("a.dat") + " --json\n--version --json\n");
  const CliResult r = runCli(dir.path(), {"--batchfile", dir.file("b.txt")});
  // Line 3 was refused.
  ASSERT_EQ(r.status, 123) << r.err;
  std::istringstream lines(r.out);
  std::string line;
  std::vector<std::string> commands;
  while (std::getline(lines, line)) {
    ASSERT_TRUE(json::accept(line)) << "not JSON: " << line;
    commands.push_back(json::parse(line)["command"]);
  }
  EXPECT_EQ(commands, (std::vector<std::string>{"scan", "load"}));
  const std::string program = dztest::dezevazirPath();
  for (const std::string& echo : {scan, load}) {
    EXPECT_NE(r.err.find(program + " " + echo + "\n"), std::string::npos) << r.err;
  }
  EXPECT_NE(r.err.find("Error parsing line #3\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Veda Dezevazir odazirera Version: 1.03 Build 153:"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("dezevazir 1.03 (build 153)\nGit commit: "), std::string::npos) << r.err;
}

// Under --json standard output holds JSON or nothing: the help, the version
// and the help after a refused command line go to standard error.
TEST(JsonReport, HelpVersionAndRefusalsKeepOffStandardOutput) {
  TempDir dir;
  const struct {
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {{"--version", "--json"}, 0, "dezevazir 1.03 (build 153)\nGit commit: "},
      {{"--json", "--help"}, 123, "Veda Dezevazir odazirera Version: 1.03 Build 153:\n"},
      {{"--js", "-h"}, 123, "Veda Dezevazir odazirera Version: 1.03 Build 153:\n"},
      {{"--js", "scan"}, 123, "Unable to parse command line: invalid option value: Device to scan not given"},
      {{"--json", "bogus"}, 123, "Unable to parse command line: invalid option value - Invalid"},
      {{"--json", "load", "x.dat"}, 123, "Unable to parse command line: the word x.dat is not understood"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1 % c.args.size()]);
    const CliResult r = runCli(dir.path(), c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.find(c.err), 0u) << r.err;
  }
}

// A merge that counts one source twice says so, on standard error and in
// its object's warnings, and merges as before.
TEST(JsonReport, MergeWarnsOfInputsThatCountASourceTwice) {
  TempDir dir;
  makeImage(dir, "a.img", "8M", 6);
  makeImage(dir, "b.img", "8M", 7);
  for (const auto& scan : std::vector<std::vector<std::string>>{{"a.img", "a.dat"}, {"a.img", "again.dat"},
                                                                {"b.img", "b.dat"}}) {
    ASSERT_EQ(runCli(dir.path(), {"scan", "-d", scan[0], "-o", scan[1]}).status, 0);
  }
  const std::string sameFile = "Warning: merge input a.dat is the same file as a.dat: its source is counted twice";
  const std::string sameNames =
      "Warning: merge input again.dat holds the same source names (a.img) as a.dat: if it is the same source, it "
      "is counted twice";
  const struct {
    std::string inputs;
    std::vector<std::string> warnings;
  } cases[] = {
      {"a.dat,b.dat", {}},
      {"a.dat,a.dat,b.dat", {sameFile}},
      {"a.dat,b.dat,again.dat", {sameNames}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.inputs);
    const CliResult r = runCli(dir.path(), {"merge", "--mergefiles", c.inputs, "-o", "m.dat", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const json j = onlyObject(r);
    EXPECT_EQ(j["warnings"], json(c.warnings));
    std::string lead;
    for (const std::string& w : c.warnings) lead += w + "\n";
    EXPECT_EQ(r.err.substr(0, lead.size()), lead);
    EXPECT_EQ(r.err.find("Warning"), c.warnings.empty() ? std::string::npos : 0u) << r.err;
  }
}

// The intervals hold the truth of generated images (each seed gives the same
// image and result every time).
TEST(JsonReport, IntervalsHoldTheKnownTruth) {
  TempDir dir;
  for (const int seed : {1, 2, 3, 4}) {
    SCOPED_TRACE(seed);
    const std::string img = "s" + std::to_string(seed) + ".img";
    const auto truth = makeImage(dir, img, "48M", seed);
    ASSERT_GT(truth.at("distinct_nonzero_blocks"), 1000);
    // A sketch far smaller than the distinct blocks: an estimate, not a count.
    const CliResult full = runCli(
        dir.path(), {"scan", "--input", dir.file(img), "-o", dir.file(img + ".dat"), "--hashSize", "400", "--json"},
        kBackend);
    ASSERT_EQ(full.status, 0) << full.err;
    const json ci = onlyObject(full)["estimates"]["unique_blocks_ci95"];
    EXPECT_LE(ci[0].get<double>(), truth.at("distinct_nonzero_blocks"));
    EXPECT_GE(ci[1].get<double>(), truth.at("distinct_nonzero_blocks"));
    EXPECT_LT(ci[0].get<double>(), ci[1].get<double>());

    const CliResult partial = runCli(
        dir.path(),
        {"partialscan", "-d", dir.file(img), "-o", dir.file(img + ".p.dat"), "-u", std::to_string(seed), "--json"},
        kBackend);
    ASSERT_EQ(partial.status, 0) << partial.err;
    const json p = onlyObject(partial);
    EXPECT_EQ(p["samples"]["compressed"], 3400);
    const double zeroTruth = 100.0 * truth.at("zero_blocks") / truth.at("blocks");
    const json& z = p["savings_percent_ci95"]["zeroes"];
    EXPECT_LE(z[0].get<double>(), zeroTruth);
    EXPECT_GE(z[1].get<double>(), zeroTruth);
    const json& c = p["savings_percent_ci95"]["compression"];
    EXPECT_LT(c[0].get<double>(), p["savings_percent"]["compression"].get<double>());
    EXPECT_GT(c[1].get<double>(), p["savings_percent"]["compression"].get<double>());
    EXPECT_NE(partial.err.find("Estimated Compression Savings:"), std::string::npos);
  }
}

}  // namespace
