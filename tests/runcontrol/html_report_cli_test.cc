// The --html page: its figures are read back from the page's data-figure
// attributes and compared with the --json object of the same run; the page
// holds no outside reference; a page that cannot be written ends the run
// before the source is read. (Validity and rendering: html_page_render_test.sh.)
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "cli.h"

namespace {

using dztest::CliResult;
using dztest::readFile;
using dztest::runCli;
using dztest::TempDir;
using nlohmann::json;

const std::map<std::string, std::string> kBackend = {{"DEDUPEINTERNAL", "1"}};

void makeImage(const TempDir& dir, const std::string& name, const std::string& size, int seed) {
  const std::string cmd = std::string(DZ_MKSAMPLE_BIN) + " --size " + size + " --seed " + std::to_string(seed) +
                          " --out " + dir.file(name) + " > /dev/null";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
}

std::string unescape(std::string s) {
  static const std::pair<const char*, const char*> kEntities[] = {
      {"&quot;", "\""}, {"&lt;", "<"}, {"&gt;", ">"}, {"&#39;", "'"}, {"&amp;", "&"}};
  for (const auto& e : kEntities) {
    for (size_t at = s.find(e.first); at != std::string::npos; at = s.find(e.first, at + 1)) {
      s.replace(at, std::strlen(e.first), e.second);
    }
  }
  return s;
}

// Every (attribute name's value, data-value) pair of the page, for one
// attribute name: data-figure (the run's JSON) or data-input-figure.
std::vector<std::pair<std::string, json>> pageFigures(const std::string& page,
                                                      const std::string& attr = "data-figure") {
  std::vector<std::pair<std::string, json>> found;
  const std::regex re(attr + "=\"([^\"]*)\" data-value=\"([^\"]*)\"");
  for (auto it = std::sregex_iterator(page.begin(), page.end(), re); it != std::sregex_iterator(); ++it) {
    found.emplace_back(unescape((*it)[1]), json::parse(unescape((*it)[2])));
  }
  return found;
}

// Pointers of every number in j.
void numberLeaves(const json& j, const std::string& at, std::set<std::string>& out) {
  if (j.is_number()) out.insert(at);
  if (j.is_object()) {
    for (auto it = j.begin(); it != j.end(); ++it) numberLeaves(it.value(), at + "/" + it.key(), out);
  }
  if (j.is_array()) {
    for (size_t i = 0; i < j.size(); ++i) numberLeaves(j[i], at + "/" + std::to_string(i), out);
  }
}

// The page shows every number of the JSON object, each equal to it.
void expectSameFigures(const std::string& page, const json& run) {
  std::set<std::string> shown;
  for (const auto& f : pageFigures(page)) {
    const json::json_pointer p(f.first);
    ASSERT_TRUE(run.contains(p)) << f.first;
    EXPECT_EQ(f.second, run.at(p)) << f.first;
    shown.insert(f.first);
  }
  std::set<std::string> numbers;
  numberLeaves(run, "", numbers);
  for (const std::string& n : numbers) EXPECT_EQ(shown.count(n), 1u) << "not on the page: " << n;
}

// Every src=, href= and url( of the page points inside it; nothing loads.
void expectSelfContained(const std::string& page) {
  const std::regex ref("(src|href)\\s*=\\s*\"?([^\" >]*)|url\\(\\s*([^)]*)\\)", std::regex::icase);
  for (auto it = std::sregex_iterator(page.begin(), page.end(), ref); it != std::sregex_iterator(); ++it) {
    const std::string target = (*it)[2].matched ? (*it)[2].str() : (*it)[3].str();
    EXPECT_TRUE(target.rfind("#", 0) == 0 || target.rfind("data:", 0) == 0) << it->str();
  }
  for (const char* tag : {"<script", "<link", "<img", "<iframe", "<object", "<embed", "@import", "@font-face", "://"}) {
    EXPECT_EQ(page.find(tag), std::string::npos) << tag;
  }
}

std::vector<std::string> with(std::vector<std::string> args, const std::vector<std::string>& more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

// The text report without its time: what a run prints with and without
// --html must be the same.
std::string withoutTime(const std::string& out) { return std::regex_replace(out, std::regex("Time Consumed:.*"), ""); }

std::string digitsMasked(const std::string& out) { return std::regex_replace(out, std::regex("[0-9]"), "9"); }

TEST(HtmlReport, ScanLoadPartialAndMergePagesShowTheJsonFigures) {
  TempDir dir;
  makeImage(dir, "a.img", "24M", 3);
  makeImage(dir, "b.img", "16M", 4);
  const struct Case {
    const char* what;
    std::vector<std::string> args;
    const char* heading;
  } cases[] = {
      {"scan", {"scan", "--input", dir.file("a.img"), "-o", dir.file("a.dat")}, "Space estimate"},
      {"scan b", {"scan", "--input", dir.file("b.img"), "-o", dir.file("b.dat")}, "Space estimate"},
      {"partialscan", {"partialscan", "--input", dir.file("b.img"), "-o", dir.file("p.dat")}, "Partial scan estimate"},
      {"load", {"load", "-o", dir.file("a.dat")}, "Space estimate"},
      {"load of a partial scan", {"load", "-o", dir.file("p.dat")}, "Space estimate"},
      {"merge",
       {"merge", "--mergefiles", dir.file("a.dat") + "," + dir.file("b.dat") + "," + dir.file("p.dat"), "-o",
        dir.file("m.dat")},
       "Space estimate of the merged sources"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string page = dir.file(std::string(c.what) + ".html");
    const CliResult r = runCli(dir.path(), with(c.args, {"--json", "--html", page}));
    ASSERT_EQ(r.status, 0) << r.err;
    const json run = json::parse(r.out);
    const std::string html = readFile(page);
    EXPECT_NE(html.find("<h1>" + std::string(c.heading) + "</h1>"), std::string::npos);
    expectSameFigures(html, run);
    expectSelfContained(html);
    EXPECT_NE(html.find("id=\"facts\""), std::string::npos);
    EXPECT_NE(html.find("dezevazir 1.03 (build 153)"), std::string::npos);
    // The text report is the same with a page as without one.
    const CliResult plain = runCli(dir.path(), c.args);
    ASSERT_EQ(plain.status, 0);
    const CliResult paged = runCli(dir.path(), with(c.args, {"--html", page}));
    ASSERT_EQ(paged.status, 0);
    // A partial scan samples other blocks each run: only its figures differ.
    const bool sampled = c.args[0] == "partialscan";
    EXPECT_EQ(sampled ? digitsMasked(withoutTime(paged.out)) : withoutTime(paged.out),
              sampled ? digitsMasked(withoutTime(plain.out)) : withoutTime(plain.out));
    EXPECT_EQ(paged.err, plain.err);
  }

  // A 24 MiB source reads as 24.0 MiB, its answer with its saving.
  const std::string scan = readFile(dir.file("scan.html"));
  EXPECT_NE(scan.find("For the 24.0 MiB of <em>" + dir.file("a.img") + "</em>, the array needs about"),
            std::string::npos);
  EXPECT_NE(scan.find("<svg class=\"chart\""), std::string::npos);
  EXPECT_NE(scan.find("Exact: the sketch never filled"), std::string::npos) << "no sketch filled here";

  // Each merge input's row holds that input's own figures, as its load
  // reports them; the partial scan is marked.
  const std::string merge = readFile(dir.file("merge.html"));
  const std::vector<std::string> inputs = {"a.dat", "b.dat", "p.dat"};
  std::vector<json> loads;
  for (const std::string& in : inputs) {
    const CliResult l = runCli(dir.path(), {"load", "-o", dir.file(in), "--json"});
    ASSERT_EQ(l.status, 0) << l.err;
    loads.push_back(json::parse(l.out));
  }
  for (size_t i = 0; i < inputs.size(); ++i) {
    SCOPED_TRACE(inputs[i]);
    const std::string rowStart = "<tr data-input=\"" + std::to_string(i) + "\"";
    const size_t from = merge.find(rowStart);
    ASSERT_NE(from, std::string::npos);
    const std::string row = merge.substr(from, merge.find("</tr>", from) - from);
    const auto figures = pageFigures(row, "data-input-figure");
    EXPECT_EQ(figures.size(), i == 2 ? 3u : 5u);
    for (const auto& f : figures) EXPECT_EQ(f.second, loads[i].at(json::json_pointer(f.first))) << f.first;
    EXPECT_EQ(row.find("partial scan") != std::string::npos, i == 2);
  }
  EXPECT_NE(merge.find("<h2>Inputs</h2>"), std::string::npos);
}

TEST(HtmlReport, AFilledSketchShowsItsIntervalsAsRanges) {
  TempDir dir;
  makeImage(dir, "a.img", "24M", 3);
  const std::string page = dir.file("a.html");
  const CliResult r = runCli(
      dir.path(),
      {"scan", "--input", dir.file("a.img"), "-o", dir.file("a.dat"), "--hashSize", "300", "--json", "--html", page},
      kBackend);
  ASSERT_EQ(r.status, 0) << r.err;
  const json run = json::parse(r.out);
  const std::string html = readFile(page);
  expectSameFigures(html, run);
  EXPECT_NE(html.find("95 % range "), std::string::npos);
  EXPECT_NE(html.find("for 95 of 100 scans"), std::string::npos);
  EXPECT_NE(html.find("300 smallest fingerprints"), std::string::npos);
  EXPECT_EQ(html.find("Exact:"), std::string::npos);
  // The interval drawn as a range: hatched bar with its ends labelled.
  EXPECT_NE(html.find("95 % intervals of the estimates"), std::string::npos);
}

TEST(HtmlReport, APageThatCannotBeWrittenEndsTheRunBeforeTheSourceIsRead) {
  TempDir dir;
  makeImage(dir, "a.img", "4M", 2);
  ASSERT_EQ(mkdir(dir.file("adir").c_str(), 0755), 0);
  dztest::writeFile(dir.file("old.dat"), "not a sketch\n");
  const std::string source = readFile(dir.file("a.img"));
  const struct Case {
    const char* what;
    std::vector<std::string> args;
    int status;
    const char* message;
  } cases[] = {
      {"missing directory",
       {"scan", "-d", dir.file("a.img"), "-o", dir.file("a.dat"), "--html", dir.file("no/p.html")},
       136,
       "Cannot write the HTML page "},
      {"a directory",
       {"scan", "-d", dir.file("a.img"), "-o", dir.file("a.dat"), "--html", dir.file("adir")},
       136,
       "it is a directory"},
      {"the source",
       {"scan", "-d", dir.file("a.img"), "-o", dir.file("a.dat"), "--html", dir.file("a.img")},
       133,
       "which this run reads"},
      {"the sketch file",
       {"scan", "-d", dir.file("a.img"), "-o", dir.file("a.dat"), "--html", dir.file("a.dat")},
       133,
       "the sketch file of this run"},
      {"a merge input",
       {"merge", "--mergefiles", dir.file("old.dat") + "," + dir.file("a.img"), "-o", dir.file("m.dat"), "--html",
        dir.file("old.dat")},
       133,
       "which this run reads"},
      {"the loaded file",
       {"load", "-o", dir.file("old.dat"), "--html", dir.file("old.dat")},
       133,
       "which this run reads"},
      {"no name",
       {"scan", "-d", dir.file("a.img"), "-o", dir.file("a.dat"), "--html", ""},
       133,
       "Invalid html given: need a file name"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const CliResult r = runCli(dir.path(), c.args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    // Nothing was read or written: no progress, no report, no sketch file.
    EXPECT_EQ(r.out.find("Estimated"), std::string::npos) << r.out;
    EXPECT_NE(access(dir.file("a.dat").c_str(), F_OK), 0);
    EXPECT_NE(access(dir.file("m.dat").c_str(), F_OK), 0);
  }
  EXPECT_EQ(readFile(dir.file("a.img")), source);
  EXPECT_EQ(readFile(dir.file("old.dat")), "not a sketch\n");
  EXPECT_NE(access(dir.file("no").c_str(), F_OK), 0);
}

TEST(HtmlReport, BatchLinesWriteTheirOwnPages) {
  TempDir dir;
  makeImage(dir, "a.img", "8M", 5);
  dztest::writeFile(dir.file("b.txt"), "scan -d " + dir.file("a.img") + " -o " + dir.file("a.dat") + " --html " +
                                           dir.file("scan.html") + "\nload -o " + dir.file("a.dat") + " --html " +
                                           dir.file("load.html") + "\nload -o " + dir.file("a.dat") + "\n");
  const CliResult r = runCli(dir.path(), {"--batchfile", dir.file("b.txt")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(readFile(dir.file("scan.html")).find("<h1>Space estimate</h1>"), std::string::npos);
  EXPECT_NE(readFile(dir.file("load.html")).find("load of "), std::string::npos);

  // One page for every run of a batch would keep only the last: refused.
  const CliResult all = runCli(dir.path(), {"--batchfile", dir.file("b.txt"), "--html", dir.file("all.html")});
  EXPECT_EQ(all.status, 133);
  EXPECT_NE(all.err.find("with a batch file, give --html on its lines"), std::string::npos);
}

}  // namespace
