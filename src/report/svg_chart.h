// Charts as inline SVG for the HTML report, and the text helpers the page
// needs around them. Every chart is one self-contained <svg> element: no
// script, font or outside reference, drawn in greys with hatching and
// printed values, so it reads in black and white.
//
// The fills name patterns that the page defines once (svgPatternDefs); a
// page that draws charts must include that element before them.
#ifndef DEZEVAZIR_REPORT_SVG_CHART_H_
#define DEZEVAZIR_REPORT_SVG_CHART_H_

#include <string>
#include <vector>

// Text and attribute values with &, <, >, " and ' escaped.
std::string htmlEscape(const std::string& text);

// A byte count in binary units with one decimal: "381.0 MiB", "12.0 B".
std::string binarySize(double bytes);

// A number with a fixed count of decimals ("%.*f").
std::string fixedText(double value, int decimals);

// A count with thin groups of three digits: "1 234 567".
std::string groupedCount(double value);

// The hidden <svg> holding the fill patterns every chart refers to.
std::string svgPatternDefs();

// The fills charts use, and that other charts of the page may use too.
extern const char kFillSolid[];    // dark grey
extern const char kFillRemoved[];  // diagonal hatching: what a step takes away
extern const char kFillAdded[];    // cross hatching: what a step adds
extern const char kFillBar[];      // dotted: histogram bars

struct ChartBar {
  std::string label;  // under the bar
  double value = 0;
  std::string valueText;  // above the bar
};

// Vertical bars with a value axis from 0, its ticks and both axis titles.
std::string svgBarChart(const std::string& title, const std::string& xTitle, const std::string& yTitle,
                        const std::vector<ChartBar>& bars);

struct ChartStep {
  enum class Kind { kTotal, kRemoved, kAdded };
  std::string label;
  Kind kind = Kind::kTotal;
  double from = 0;   // level before the step (ignored for a total)
  double to = 0;     // level after it
  std::string text;  // printed right of the row
};

// A horizontal waterfall: each row a step from the previous level to the
// next, totals drawn from 0; the axis shows sizes through axisText.
std::string svgStepChart(const std::string& title, const std::vector<ChartStep>& steps,
                         std::string (*axisText)(double));

struct ChartRange {
  std::string label;
  double value = 0;
  double low = 0;
  double high = 0;
  double axisMax = 0;   // the row's scale runs from 0 to this
  std::string text;     // printed right of the row
  std::string lowText;  // under the interval's ends
  std::string highText;
};

// One row per figure: its 95 % interval as a hatched bar with end caps and
// the estimate as a mark, each row on its own scale from 0.
std::string svgRangeChart(const std::string& title, const std::vector<ChartRange>& rows);

// A matrix of shares in [0, 1]: darker is larger, and every cell prints its
// text, so the values read without the shading. Rows and columns are named
// by their labels; cells[r][c] and texts[r][c] give each cell.
std::string svgHeatMap(const std::string& title, const std::vector<std::string>& rowLabels,
                       const std::vector<std::string>& columnLabels, const std::vector<std::vector<double>>& cells,
                       const std::vector<std::vector<std::string>>& texts);

#endif  // DEZEVAZIR_REPORT_SVG_CHART_H_
