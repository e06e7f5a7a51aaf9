// The page writer and its chart helpers on their own: sizes in binary
// units, escaping of names, the odd figures a run can produce (no data,
// no interval, infinite ratios), and the merge page's extra sections.
#include <gtest/gtest.h>

#include <cmath>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "report/svg_chart.h"
#include "runcontrol/html_report.h"

namespace {

using Json = nlohmann::ordered_json;

TEST(SvgChart, SizesInBinaryUnitsWithOneDecimal) {
  const struct {
    double bytes;
    const char* text;
  } cases[] = {
      {0, "0.0 B"},
      {1023, "1023.0 B"},
      {1024, "1.0 KiB"},
      {1536, "1.5 KiB"},
      {1048524, "1023.9 KiB"},
      {1048575, "1.0 MiB"},  // 1023.999 KiB would print as 1024.0: shown in the next unit
      {381.0 * 1048576, "381.0 MiB"},
      {5.0 * 1099511627776.0, "5.0 TiB"},
      {-49152, "-48.0 KiB"},
      {NAN, "n/a"},
      {INFINITY, "n/a"},
  };
  for (const auto& c : cases) EXPECT_EQ(binarySize(c.bytes), c.text) << c.bytes;
  EXPECT_EQ(groupedCount(1234567), "1\u2009234\u2009567");
  EXPECT_EQ(groupedCount(-6), "-6");
  EXPECT_EQ(htmlEscape("a<b>&\"c'"), "a&lt;b&gt;&amp;&quot;c&#39;");
}

TEST(SvgChart, ChartsStayInsideTheirBoxWithOddValues) {
  const std::string bars = svgBarChart("t", "x", "y", {{"a", NAN, "n/a"}, {"b", -5, "-5"}, {"c", 0, "0"}});
  const std::string steps = svgStepChart(
      "t", {{"all", ChartStep::Kind::kTotal, 0, INFINITY, "x"}, {"none", ChartStep::Kind::kRemoved, 0, 0, "y"}},
      [](double v) { return binarySize(v); });
  const std::string ranges = svgRangeChart("t", {{"r", 5, 1, 1e300, 0, "x", "1", "inf"}});
  for (const std::string& svg : {bars, steps, ranges}) {
    EXPECT_EQ(svg.find("nan"), std::string::npos) << svg;
    EXPECT_EQ(svg.find("inf\""), std::string::npos) << svg;
    EXPECT_EQ(svg.find("=\"-"), std::string::npos) << "no negative coordinate or size: " << svg;
  }
}

// A run's object as fillReportJson and the driver make it, for a source
// that held nothing but zero blocks.
Json emptyScan(const std::string& source) {
  Json run = Json::parse(
      R"J({"command":"scan","version":"1.03 (build 153)","sources":[],"sketch_file":"s.dat","block_size":8192,"elapsed_seconds":0.5,
    "blocks":{"seen":100,"zero_small":100,"zero_big":0,"not_zero":0},
    "sketch":{"entries":0,"capacity":null},
    "estimates":{"unique_blocks":0,"unique_blocks_after_split":0,"average_compression_ratio":0,
                 "unique_blocks_ci95":[0,0]},
    "savings_percent":{"dedupe":0,"compression":0,"data_reduction":0,"zeroes":100,"total":100},
    "detail":{"potential_dedup_ratio":0.01,"split_dedup_ratio":0.01,
      "overheads_blocks":{"metadata_dr":0,"metadata_cr":0,"reserved_volume":0,"padding":0},
      "physical":{"gross":{"blocks":0,"bytes":0},"net":{"blocks":0,"bytes":0},"effective":{"blocks":0,"bytes":0}},
      "simulation":{"dedupe_ratio":1,"compression_ratio":1,"data_reduction_ratio":1}},
    "histograms":{"references":[{"bucket":"1","entries":0}],"compression":[{"bucket":"0-0.125","entries":0}]}})J");
  run["sources"] = Json::array({source});
  return run;
}

TEST(HtmlPage, AnEmptySourceAndAnOddNameMakeAPageWithoutNonsense) {
  RunHtml html;
  html.started = 1700000000;
  std::ostringstream page;
  writeHtmlPage(emptyScan("/dev/<x>&\\\"y"), html, page);
  const std::string p = page.str();
  EXPECT_NE(p.find("/dev/&lt;x&gt;&amp;\\&quot;y"), std::string::npos);
  EXPECT_EQ(p.find("<x>"), std::string::npos);
  EXPECT_NE(p.find("nothing to store"), std::string::npos) << "no ratio out of 0 / 0";
  EXPECT_NE(p.find("2023-11-14 22:13:20 UTC"), std::string::npos);
  EXPECT_NE(p.find("not recorded (the sketch never filled)"), std::string::npos);
  for (const char* bad : {"nan", "inf ", "-nan"}) EXPECT_EQ(p.find(bad), std::string::npos) << bad;
  EXPECT_EQ(p.rfind("</html>\n"), p.size() - 8);
}

TEST(HtmlPage, AMergePageDrawsTheInputsAndThenTheExtraSections) {
  Json run = emptyScan("a b");
  run["command"] = "merge";
  run["sources"] = Json::array({"a", "b"});
  RunHtml html;
  html.mergeInputs.push_back(Json::parse(
      R"({"source":"a","sketch_file":"a.dat","kind":"fullscan","block_size":8192,
          "blocks":{"seen":10},"savings_percent":{"dedupe":1,"compression":2,"data_reduction":3,"zeroes":4,"total":5}})"));
  html.mergeInputs.push_back(Json::parse(
      R"({"source":"b","sketch_file":"b.dat","kind":"partialscan","block_size":8192,
          "blocks":{"seen":20},"savings_percent":{"compression":2,"zeroes":4}})"));
  html.mergeSections.push_back({"overlap", "Overlap between sources",
                                svgHeatMap("Shared blocks", {"a", "b"}, {"a", "b"}, {{1, 0.25}, {0.25, 1}},
                                           {{"100 %", "25 %"}, {"25 %", "100 %"}})});
  std::ostringstream page;
  writeHtmlPage(run, html, page);
  const std::string p = page.str();
  const size_t inputs = p.find("<h2>Inputs</h2>");
  const size_t extra = p.find("<section id=\"overlap\">\n<h2>Overlap between sources</h2>");
  const size_t facts = p.find("id=\"facts\"");
  ASSERT_NE(inputs, std::string::npos);
  ASSERT_NE(extra, std::string::npos);
  EXPECT_LT(inputs, extra);
  EXPECT_LT(extra, facts);
  EXPECT_NE(p.find("<tr data-input=\"1\" class=\"partial\">"), std::string::npos);
  EXPECT_NE(p.find("<span class=\"tag\">partial scan</span>"), std::string::npos);
  EXPECT_NE(p.find(">25 %</text>"), std::string::npos) << "every heat-map cell prints its value";
}

}  // namespace
