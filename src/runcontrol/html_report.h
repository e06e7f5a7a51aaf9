// The --html report: one self-contained HTML page per run (inline CSS and
// SVG, nothing outside the file), drawn from the very object the --json
// report prints, so the page's figures are the JSON figures.
//
// Every figure the page shows from that object carries it in attributes:
// data-figure="<JSON pointer>" data-value="<the JSON number>", so a reader
// (or a test) can check the page against the JSON without reading prose.
#ifndef DEZEVAZIR_RUNCONTROL_HTML_REPORT_H_
#define DEZEVAZIR_RUNCONTROL_HTML_REPORT_H_

#include <ctime>
#include <iosfwd>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

// A section a command adds to its page, drawn after the page's own ones.
// body is an HTML fragment, escaped by whoever made it (htmlEscape and the
// chart helpers of report/svg_chart.h).
struct HtmlSection {
  std::string id;     // the section's id attribute
  std::string title;  // its heading (plain text)
  std::string body;
};

// What the page of the current run needs beyond the JSON object.
struct RunHtml {
  std::string file;  // --html FILE of this run; empty: no page
  time_t started = 0;
  // A merge's inputs, one object each: "source", "sketch_file", "kind"
  // ("fullscan" or "partialscan"), "blocks" {seen, zero_small, zero_big,
  // not_zero} and "savings_percent" as that input's own report has them.
  nlohmann::ordered_json mergeInputs = nlohmann::ordered_json::array();
  // More sections of a merge page (overlap between inputs, grouping),
  // drawn after the inputs table.
  std::vector<HtmlSection> mergeSections;
};
extern RunHtml gRunHtml;

// Before the run reads anything: throws RunFailure with 133 when file is
// one of sources (or the sketch file), and with 136 when it cannot be
// written. A file that did not exist is not left behind by the check.
void refuseUnwritablePage(const std::string& file, const std::vector<std::string>& sources, const std::string& sketch);

// The page of one run: run is the run's whole JSON object (as --json
// prints it).
void writeHtmlPage(const nlohmann::ordered_json& run, const RunHtml& html, std::ostream& out);

// Writes the page to html.file; false with the reason in why.
bool saveHtmlPage(const nlohmann::ordered_json& run, const RunHtml& html, std::string* why);

#endif  // DEZEVAZIR_RUNCONTROL_HTML_REPORT_H_
