#include "report/svg_chart.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

const char kFillSolid[] = "#555";
const char kFillRemoved[] = "url(#dz-removed)";
const char kFillAdded[] = "url(#dz-added)";
const char kFillBar[] = "url(#dz-bar)";

namespace {

// Coordinates with one decimal: enough for a screen or a printer, and the
// page stays small.
std::string n(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", v);
  return buf;
}

// A round multiple of a power of ten, at least v, whose fifths and
// quarters are round too: an axis end a reader can divide in their head.
double niceCeiling(double v) {
  if (!(v > 0) || !std::isfinite(v)) return 1;
  const double p = std::pow(10.0, std::floor(std::log10(v)));
  for (double m : {1.0, 1.5, 2.0, 2.5, 3.0, 4.0, 5.0, 6.0, 8.0, 10.0}) {
    if (m * p >= v * (1 - 1e-12)) return m * p;
  }
  return 10 * p;
}

std::string openSvg(double width, double height, const std::string& title) {
  std::ostringstream o;
  o << "<svg class=\"chart\" viewBox=\"0 0 " << n(width) << ' ' << n(height) << "\" width=\"" << std::lround(width)
    << "\" height=\"" << std::lround(height)
    // Shrinks to the page, never grows past its own size: a small matrix
    // stays small.
    << "\" style=\"max-width: " << std::lround(width) << "px\" role=\"img\" aria-label=\"" << htmlEscape(title) << "\"><title>"
    << htmlEscape(title) << "</title>";
  return o.str();
}

std::string text(double x, double y, const std::string& s, const char* anchor = "start", const char* cls = "") {
  std::ostringstream o;
  o << "<text x=\"" << n(x) << "\" y=\"" << n(y) << "\" text-anchor=\"" << anchor << "\"";
  if (*cls != '\0') o << " class=\"" << cls << "\"";
  o << '>' << htmlEscape(s) << "</text>";
  return o.str();
}

std::string line(double x1, double y1, double x2, double y2, const char* cls = "axis") {
  std::ostringstream o;
  o << "<line class=\"" << cls << "\" x1=\"" << n(x1) << "\" y1=\"" << n(y1) << "\" x2=\"" << n(x2) << "\" y2=\""
    << n(y2) << "\"/>";
  return o.str();
}

std::string rect(double x, double y, double w, double h, const char* fill) {
  std::ostringstream o;
  o << "<rect x=\"" << n(x) << "\" y=\"" << n(y) << "\" width=\"" << n(std::max(w, 0.0)) << "\" height=\""
    << n(std::max(h, 0.0)) << "\" fill=\"" << fill << "\" stroke=\"#000\" stroke-width=\"1\"/>";
  return o.str();
}

// Where v lands on a scale of length span for 0 .. max, kept on the scale
// so that an odd figure (infinite, negative) cannot draw outside the chart.
double scaled(double v, double max, double span) {
  if (!std::isfinite(v) || !(max > 0)) return 0;
  return std::min(span, std::max(0.0, v / max * span));
}

}  // namespace

std::string htmlEscape(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string binarySize(double bytes) {
  if (!std::isfinite(bytes)) return "n/a";
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  double v = std::fabs(bytes);
  int u = 0;
  // Rounded as it will print, so 1023.96 KiB shows as 1.0 MiB, not 1024.0 KiB.
  while (u < 6 && std::round(v * 10) / 10 >= 1024) {
    v /= 1024;
    ++u;
  }
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s%.1f %s", bytes < 0 ? "-" : "", v, kUnits[u]);
  return buf;
}

std::string fixedText(double value, int decimals) {
  if (!std::isfinite(value)) return "n/a";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
  return buf;
}

std::string groupedCount(double value) {
  if (!std::isfinite(value)) return "n/a";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.0f", std::fabs(value));
  std::string digits(buf);
  std::string out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += "\u2009";  // thin space
    out += digits[i];
  }
  return (value < 0 && digits != "0" ? "-" : "") + out;
}

std::string svgPatternDefs() {
  return "<svg class=\"defs\" width=\"0\" height=\"0\" aria-hidden=\"true\">"
         "<defs>"
         "<pattern id=\"dz-removed\" patternUnits=\"userSpaceOnUse\" width=\"6\" height=\"6\">"
         "<rect width=\"6\" height=\"6\" fill=\"#fff\"/><path d=\"M0,6 L6,0 M-1,1 L1,-1 M5,7 L7,5\" "
         "stroke=\"#333\" stroke-width=\"1.2\"/></pattern>"
         "<pattern id=\"dz-added\" patternUnits=\"userSpaceOnUse\" width=\"6\" height=\"6\">"
         "<rect width=\"6\" height=\"6\" fill=\"#ddd\"/><path d=\"M0,3 L6,3 M3,0 L3,6\" stroke=\"#222\" "
         "stroke-width=\"1\"/></pattern>"
         "<pattern id=\"dz-bar\" patternUnits=\"userSpaceOnUse\" width=\"4\" height=\"4\">"
         "<rect width=\"4\" height=\"4\" fill=\"#bbb\"/><circle cx=\"2\" cy=\"2\" r=\"0.9\" fill=\"#222\"/>"
         "</pattern>"
         "</defs></svg>";
}

std::string svgBarChart(const std::string& title, const std::string& xTitle, const std::string& yTitle,
                        const std::vector<ChartBar>& bars) {
  const double W = 680, H = 300, left = 72, right = 16, top = 28, bottom = 64;
  const double pw = W - left - right, ph = H - top - bottom;
  double max = 0;
  for (const ChartBar& b : bars) {
    if (std::isfinite(b.value)) max = std::max(max, b.value);
  }
  const double axisMax = niceCeiling(max);
  std::ostringstream o;
  o << openSvg(W, H, title);
  // Value axis with five steps and light grid lines.
  for (int i = 0; i <= 5; ++i) {
    const double v = axisMax * i / 5;
    const double y = top + ph - ph * i / 5;
    if (i > 0) o << line(left, y, left + pw, y, "grid");
    o << line(left - 4, y, left, y) << text(left - 7, y + 4, groupedCount(v), "end");
  }
  o << line(left, top, left, top + ph) << line(left, top + ph, left + pw, top + ph);
  const double slot = bars.empty() ? pw : pw / static_cast<double>(bars.size());
  for (std::size_t i = 0; i < bars.size(); ++i) {
    const double h = scaled(bars[i].value, axisMax, ph);
    const double x = left + slot * static_cast<double>(i);
    o << rect(x + slot * 0.15, top + ph - h, slot * 0.7, h, kFillBar)
      << text(x + slot / 2, top + ph - h - 4, bars[i].valueText, "middle", "value")
      << text(x + slot / 2, top + ph + 16, bars[i].label, "middle");
  }
  o << text(left + pw / 2, H - 12, xTitle, "middle", "axis-title");
  o << "<text class=\"axis-title\" text-anchor=\"middle\" transform=\"translate(16," << n(top + ph / 2)
    << ") rotate(-90)\">" << htmlEscape(yTitle) << "</text>";
  o << "</svg>";
  return o.str();
}

std::string svgStepChart(const std::string& title, const std::vector<ChartStep>& steps,
                         std::string (*axisText)(double)) {
  const double rowH = 34, labelW = 200, barW = 330, textW = 220, top = 12, axisH = 36;
  const double W = labelW + barW + 14 + textW;
  const double H = top + rowH * static_cast<double>(steps.size()) + axisH;
  double max = 0;
  for (const ChartStep& s : steps) {
    for (double v : {s.from, s.to}) {
      if (std::isfinite(v)) max = std::max(max, v);
    }
  }
  // The largest level ends the axis: sizes in binary units have no round
  // decimal ends, and the logical size is the natural full width.
  const double axisMax = max > 0 ? max : 1;
  std::ostringstream o;
  o << openSvg(W, H, title);
  const double base = top + rowH * static_cast<double>(steps.size());
  for (int i = 0; i <= 4; ++i) {
    const double x = labelW + barW * i / 4;
    o << line(x, top, x, base, "grid") << line(x, base, x, base + 4)
      << text(x, base + 18, axisText(axisMax * i / 4),
              i == 0   ? "start"
              : i == 4 ? "end"
                       : "middle");
  }
  o << line(labelW, base, labelW + barW, base);
  double previous = -1;
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const ChartStep& s = steps[i];
    const double y = top + rowH * static_cast<double>(i);
    const double from = s.kind == ChartStep::Kind::kTotal ? 0 : s.from;
    const double x1 = labelW + scaled(std::min(from, s.to), axisMax, barW);
    const double x2 = labelW + scaled(std::max(from, s.to), axisMax, barW);
    const char* fill = s.kind == ChartStep::Kind::kTotal     ? kFillSolid
                       : s.kind == ChartStep::Kind::kRemoved ? kFillRemoved
                                                             : kFillAdded;
    // The connector from the previous level makes the chart read as steps.
    if (previous >= 0) o << line(previous, y - rowH + 24, previous, y + 6, "connector");
    o << text(labelW - 8, y + rowH / 2 + 4, s.label, "end") << rect(x1, y + 6, std::max(x2 - x1, 1.0), rowH - 12, fill)
      << text(labelW + barW + 14, y + rowH / 2 + 4, s.text, "start", "value");
    previous = labelW + scaled(s.to, axisMax, barW);
  }
  o << "</svg>";
  return o.str();
}

std::string svgRangeChart(const std::string& title, const std::vector<ChartRange>& rows) {
  const double rowH = 54, labelW = 200, barW = 330, textW = 240, top = 8;
  const double W = labelW + barW + 14 + textW;
  const double H = top + rowH * static_cast<double>(rows.size()) + 4;
  std::ostringstream o;
  o << openSvg(W, H, title);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const ChartRange& r = rows[i];
    const double y = top + rowH * static_cast<double>(i);
    const double mid = y + 20;
    const double max = r.axisMax > 0 ? r.axisMax : niceCeiling(std::max(r.high, r.value));
    const double lo = labelW + scaled(r.low, max, barW);
    const double hi = labelW + scaled(r.high, max, barW);
    const double at = labelW + scaled(r.value, max, barW);
    o << text(labelW - 8, mid + 4, r.label, "end") << line(labelW, mid, labelW + barW, mid, "grid")
      << line(labelW, mid - 5, labelW, mid + 5) << line(labelW + barW, mid - 5, labelW + barW, mid + 5)
      << rect(lo, mid - 7, std::max(hi - lo, 1.0), 14, kFillRemoved) << line(lo, mid - 10, lo, mid + 10, "cap")
      << line(hi, mid - 10, hi, mid + 10, "cap") << "<path class=\"mark\" d=\"M" << n(at) << ',' << n(mid - 9) << " L"
      << n(at + 6) << ',' << n(mid) << " L" << n(at) << ',' << n(mid + 9) << " L" << n(at - 6) << ',' << n(mid)
      << " Z\"/>";
    if (r.lowText == r.highText) {
      o << text((lo + hi) / 2, mid + 24, r.lowText, "middle", "small");
    } else {
      o << text(lo, mid + 24, r.lowText, hi - lo < 90 ? "end" : "start", "small")
        << text(hi, mid + 24, r.highText, hi - lo < 90 ? "start" : "end", "small");
    }
    o << text(labelW + barW + 14, mid + 4, r.text, "start", "value");
  }
  o << "</svg>";
  return o.str();
}

std::string svgHeatMap(const std::string& title, const std::vector<std::string>& rowLabels,
                       const std::vector<std::string>& columnLabels, const std::vector<std::vector<double>>& cells,
                       const std::vector<std::vector<std::string>>& texts) {
  const double cell = 52, labelW = 200, headH = 90;
  const double W = labelW + cell * static_cast<double>(columnLabels.size()) + 10;
  const double H = headH + cell * static_cast<double>(rowLabels.size()) + 10;
  std::ostringstream o;
  o << openSvg(W, H, title);
  for (std::size_t c = 0; c < columnLabels.size(); ++c) {
    const double x = labelW + cell * static_cast<double>(c) + cell / 2;
    o << "<text text-anchor=\"start\" transform=\"translate(" << n(x) << ',' << n(headH - 6) << ") rotate(-45)\">"
      << htmlEscape(columnLabels[c]) << "</text>";
  }
  for (std::size_t r = 0; r < rowLabels.size(); ++r) {
    const double y = headH + cell * static_cast<double>(r);
    o << text(labelW - 8, y + cell / 2 + 4, rowLabels[r], "end");
    for (std::size_t c = 0; c < columnLabels.size(); ++c) {
      const double v = r < cells.size() && c < cells[r].size() && std::isfinite(cells[r][c])
                           ? std::min(1.0, std::max(0.0, cells[r][c]))
                           : 0;
      const int grey = static_cast<int>(std::lround(250 - v * 200));
      char fill[16];
      std::snprintf(fill, sizeof fill, "#%02x%02x%02x", grey, grey, grey);
      const double x = labelW + cell * static_cast<double>(c);
      o << rect(x, y, cell, cell, fill);
      if (r < texts.size() && c < texts[r].size()) {
        o << text(x + cell / 2, y + cell / 2 + 4, texts[r][c], "middle", v > 0.55 ? "on-dark" : "value");
      }
    }
  }
  o << "</svg>";
  return o.str();
}
