#include "runcontrol/html_report.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "base/exit_status.h"
#include "base/file_kind.h"
#include "base/run_failure.h"
#include "report/svg_chart.h"

RunHtml gRunHtml;

namespace {

using Json = nlohmann::ordered_json;

// The JSON value at pointer, or null when the run's object has none.
const Json& at(const Json& run, const std::string& pointer) {
  static const Json kNull;
  const Json::json_pointer p(pointer);
  return run.contains(p) ? run.at(p) : kNull;
}

double number(const Json& run, const std::string& pointer) {
  const Json& v = at(run, pointer);
  return v.is_number() ? v.get<double>() : NAN;
}

// The attributes that tie a shown figure to its JSON value; none when the
// object has no such figure.
std::string figureAttrs(const Json& run, const std::string& pointer) {
  if (!run.contains(Json::json_pointer(pointer))) return "";
  return " data-figure=\"" + htmlEscape(pointer) + "\" data-value=\"" + htmlEscape(at(run, pointer).dump()) + "\"";
}

// An element showing the figure at pointer as text.
std::string figure(const Json& run, const std::string& pointer, const std::string& text, const char* tag = "span",
                   const char* cls = "") {
  return std::string("<") + tag + (*cls != '\0' ? std::string(" class=\"") + cls + "\"" : "") +
         figureAttrs(run, pointer) + ">" + htmlEscape(text) + "</" + tag + ">";
}

std::string percentText(double v) { return std::isfinite(v) ? fixedText(v, 1) + " %" : "n/a"; }

// Ratios as the detailed report has them: six significant digits.
std::string ratioText(double v) {
  if (!std::isfinite(v)) return "n/a";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.6g", v);
  return buf;
}

std::string countText(const Json& run, const std::string& pointer) {
  const double v = number(run, pointer);
  return std::isfinite(v) ? groupedCount(v) : "n/a";
}

std::string startedText(time_t started) {
  if (started == 0) return "unknown";
  struct tm t;
  gmtime_r(&started, &t);
  char buf[64];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &t);
  return buf;
}

std::string sourcesText(const Json& run) {
  std::string s;
  for (const Json& name : at(run, "/sources")) {
    if (!s.empty()) s += ", ";
    s += name.is_string() ? name.get<std::string>() : name.dump();
  }
  return s;
}

const char kStyle[] = R"(
:root { color: #111; background: #fff; }
body { font-family: sans-serif; font-size: 15px; line-height: 1.45; max-width: 62rem; margin: 0 auto; padding: 1.2rem 1.5rem; }
header { border-bottom: 3px solid #111; margin-bottom: 1rem; }
h1 { font-size: 1.6rem; margin: 0 0 .2rem; }
h2 { font-size: 1.2rem; margin: 1.6rem 0 .5rem; border-bottom: 1px solid #999; }
.sub { color: #333; margin: 0 0 .6rem; overflow-wrap: anywhere; }
.answer { display: flex; flex-wrap: wrap; gap: .8rem; margin: .8rem 0; }
.box { flex: 1 1 9rem; border: 2px solid #111; padding: .6rem .8rem; }
.box .k { font-size: .85rem; text-transform: uppercase; letter-spacing: .04em; }
.box .v { display: block; font-size: 1.7rem; font-weight: bold; }
.box .r { font-size: .85rem; }
.lead { font-size: 1.1rem; }
.note { font-size: .9rem; border-left: 4px solid #111; padding: .2rem .7rem; background: #f2f2f2; }
figure { margin: .6rem 0 1rem; }
figcaption { font-size: .9rem; margin-top: .2rem; }
svg.chart { width: 100%; height: auto; max-width: 48rem; display: block; }
svg.defs { position: absolute; width: 0; height: 0; overflow: hidden; }
svg text { font-family: sans-serif; font-size: 12px; fill: #000; }
svg .value { font-weight: bold; }
svg .small { font-size: 11px; }
svg .on-dark { fill: #fff; font-weight: bold; }
svg .axis-title { font-style: italic; }
svg .axis, svg .cap { stroke: #000; stroke-width: 1.5; }
svg .grid { stroke: #bbb; stroke-dasharray: 2 3; }
svg .connector { stroke: #000; stroke-dasharray: 3 2; }
svg .mark { fill: #000; }
table { border-collapse: collapse; width: 100%; margin: .4rem 0 1rem; font-size: .92rem; }
caption { text-align: left; font-weight: bold; padding: .2rem 0; }
th, td { border: 1px solid #888; padding: .25rem .45rem; text-align: left; vertical-align: top; }
td.n, th.n { text-align: right; font-variant-numeric: tabular-nums; white-space: nowrap; }
table.small { font-size: .8rem; }
table.small th, table.small td { padding: .15rem .3rem; }
thead th { background: #e6e6e6; }
tr.partial td { font-style: italic; }
.tag { border: 1px solid #111; padding: 0 .3rem; font-size: .8rem; font-style: normal; white-space: nowrap; }
dl.facts { display: grid; grid-template-columns: max-content 1fr; gap: .2rem 1rem; }
dl.facts dt { font-weight: bold; }
dl.facts dd { margin: 0; overflow-wrap: anywhere; }
.keep { break-inside: avoid; page-break-inside: avoid; }
@media print {
  /* No page size: A4 or Letter, as the printer has it; the content fits the narrower A4. */
  @page { margin: 14mm 12mm; }
  body { font-size: 10.5pt; max-width: none; padding: 0; color: #000; }
  .answer { flex-wrap: nowrap; gap: .5rem; }
  .box .v { font-size: 1.4rem; }
  table.small { font-size: 7.5pt; }
  h2 { break-after: avoid; page-break-after: avoid; }
  figure, svg, table.small, .answer, .box, tr, .keep { break-inside: avoid; page-break-inside: avoid; }
  thead { display: table-header-group; }
  .note { background: none; }
  thead th { background: none; border-bottom: 2px solid #000; }
  svg.chart { max-width: 100%; }
}
)";

void pageStart(std::ostream& out, const Json& run, const RunHtml& html, const std::string& heading) {
  out << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      << "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
      << "<meta name=\"generator\" content=\"dezevazir " << htmlEscape(at(run, "/version").get<std::string>())
      << "\">\n<title>" << htmlEscape(heading + ": " + sourcesText(run)) << "</title>\n<style>" << kStyle
      << "</style>\n</head>\n<body>\n"
      << svgPatternDefs() << "\n<header>\n<h1>" << htmlEscape(heading) << "</h1>\n<p class=\"sub\">"
      << htmlEscape(sourcesText(run)) << " &middot; " << htmlEscape(at(run, "/command").get<std::string>()) << " of "
      << htmlEscape(startedText(html.started)) << "</p>\n</header>\n<main>\n";
}

void pageEnd(std::ostream& out) { out << "</main>\n</body>\n</html>\n"; }

void runFacts(std::ostream& out, const Json& run, const RunHtml& html) {
  const double capacity = number(run, "/sketch/capacity");
  out << "<section id=\"facts\" class=\"keep\">\n<h2>Run facts</h2>\n<dl class=\"facts\">\n"
      << "<dt>Command</dt><dd>" << htmlEscape(at(run, "/command").get<std::string>()) << "</dd>\n"
      << "<dt>Tool version</dt><dd>dezevazir " << htmlEscape(at(run, "/version").get<std::string>()) << "</dd>\n"
      << "<dt>Date</dt><dd>" << htmlEscape(startedText(html.started)) << "</dd>\n"
      << "<dt>Elapsed time</dt><dd>"
      << figure(run, "/elapsed_seconds", fixedText(number(run, "/elapsed_seconds"), 1) + " s") << "</dd>\n"
      << "<dt>Sources</dt><dd>" << htmlEscape(sourcesText(run)) << "</dd>\n"
      << "<dt>Sketch file</dt><dd>" << htmlEscape(at(run, "/sketch_file").get<std::string>()) << "</dd>\n"
      << "<dt>Block size</dt><dd>" << figure(run, "/block_size", countText(run, "/block_size") + " bytes") << "</dd>\n";
  if (!at(run, "/sketch").is_null()) {
    out << "<dt>Sketch capacity</dt><dd>"
        << figure(run, "/sketch/capacity",
                  std::isfinite(capacity) ? groupedCount(capacity) + " fingerprints"
                                          : "not recorded (the sketch never filled)")
        << "</dd>\n";
  }
  out << "</dl>\n</section>\n";
}

// One row of the details table: label, the figure with its unit, and for
// block counts their size.
struct Row {
  const char* label;
  const char* pointer;
  enum Kind { kCount, kBlocks, kRatio, kPercent, kSigned } kind;
  const char* unit;
};

void detailRow(std::ostream& out, const Json& run, const Row& r) {
  const double v = number(run, r.pointer);
  const double bs = number(run, "/block_size");
  std::string text;
  switch (r.kind) {
    case Row::kCount:
    case Row::kBlocks:
    case Row::kSigned:
      text = std::isfinite(v) ? groupedCount(v) : "n/a";
      break;
    case Row::kRatio:
      text = ratioText(v);
      break;
    case Row::kPercent:
      text = std::isfinite(v) ? fixedText(v, 3) : "n/a";
      break;
  }
  out << "<tr><th scope=\"row\">" << htmlEscape(r.label) << "</th>" << figure(run, r.pointer, text, "td", "n") << "<td>"
      << htmlEscape(r.unit) << "</td><td class=\"n\">";
  if (r.kind == Row::kBlocks || r.kind == Row::kSigned) out << htmlEscape(binarySize(v * bs));
  out << "</td></tr>\n";
}

void physicalRow(std::ostream& out, const Json& run, const char* label, const std::string& name) {
  const std::string p = "/detail/physical/" + name;
  out << "<tr><th scope=\"row\">" << htmlEscape(label) << "</th>"
      << figure(run, p + "/blocks", countText(run, p + "/blocks"), "td", "n") << "<td>blocks</td>"
      << "<td class=\"n\"" << figureAttrs(run, p + "/bytes") << ">" << htmlEscape(binarySize(number(run, p + "/bytes")))
      << "</td></tr>\n";
}

void detailsTable(std::ostream& out, const Json& run) {
  static const Row kHead[] = {
      {"Total hashes in sketch", "/sketch/entries", Row::kCount, "fingerprints"},
      {"Total blocks seen", "/blocks/seen", Row::kBlocks, "blocks"},
      {"Small zero blocks", "/blocks/zero_small", Row::kBlocks, "blocks"},
      {"Big zero blocks (in all-zero segments)", "/blocks/zero_big", Row::kBlocks, "blocks"},
      {"Not zero blocks", "/blocks/not_zero", Row::kBlocks, "blocks"},
  };
  static const Row kPartial[] = {
      {"Blocks of partial-scan inputs", "/blocks/partial_scans/blocks", Row::kBlocks, "blocks"},
      {"Zero blocks of partial-scan inputs", "/blocks/partial_scans/zero", Row::kBlocks, "blocks"},
      {"Compressed blocks of partial-scan inputs", "/blocks/partial_scans/compressed", Row::kCount, "blocks"},
  };
  static const Row kEstimates[] = {
      {"Average compression ratio", "/estimates/average_compression_ratio", Row::kRatio,
       "compressed size / block size"},
      {"Unique estimation", "/estimates/unique_blocks", Row::kBlocks, "blocks"},
      {"Unique estimation, 95 % interval low", "/estimates/unique_blocks_ci95/0", Row::kBlocks, "blocks"},
      {"Unique estimation, 95 % interval high", "/estimates/unique_blocks_ci95/1", Row::kBlocks, "blocks"},
      {"Potential dedup ratio", "/detail/potential_dedup_ratio", Row::kRatio, "unique / blocks seen"},
      {"Unique estimation after split", "/estimates/unique_blocks_after_split", Row::kBlocks, "blocks"},
      {"Split dedup ratio", "/detail/split_dedup_ratio", Row::kRatio, "unique / blocks seen"},
      {"Metadata DR overhead", "/detail/overheads_blocks/metadata_dr", Row::kBlocks, "blocks"},
      {"Metadata CR overhead", "/detail/overheads_blocks/metadata_cr", Row::kSigned, "blocks"},
      {"Reserved vol overhead", "/detail/overheads_blocks/reserved_volume", Row::kBlocks, "blocks"},
      {"Padding overhead", "/detail/overheads_blocks/padding", Row::kBlocks, "blocks"},
  };
  static const Row kSimulation[] = {
      {"QN simulation dedupe ratio", "/detail/simulation/dedupe_ratio", Row::kRatio, "share left"},
      {"QN simulation compression ratio", "/detail/simulation/compression_ratio", Row::kRatio, "share left"},
      {"QN simulation data reduction ratio", "/detail/simulation/data_reduction_ratio", Row::kRatio, "share left"},
      {"Estimated dedupe savings", "/savings_percent/dedupe", Row::kPercent, "%"},
      {"Estimated compression savings", "/savings_percent/compression", Row::kPercent, "%"},
      {"Data reduction savings", "/savings_percent/data_reduction", Row::kPercent, "%"},
      {"Zeroes detected savings", "/savings_percent/zeroes", Row::kPercent, "%"},
      {"Total data efficiency savings", "/savings_percent/total", Row::kPercent, "%"},
  };
  out << "<section id=\"details\">\n<h2>Details</h2>\n<table>\n<caption>Every figure of the detailed report"
      << "</caption>\n<thead><tr><th scope=\"col\">Figure</th><th scope=\"col\" class=\"n\">Value</th>"
      << "<th scope=\"col\">Unit</th><th scope=\"col\" class=\"n\">Size</th></tr></thead>\n<tbody>\n"
      << "<tr><th scope=\"row\">Source name</th><td colspan=\"3\">" << htmlEscape(sourcesText(run)) << "</td></tr>\n";
  for (const Row& r : kHead) detailRow(out, run, r);
  if (!at(run, "/blocks/partial_scans").is_null()) {
    for (const Row& r : kPartial) detailRow(out, run, r);
  }
  for (const Row& r : kEstimates) {
    if (!at(run, r.pointer).is_null() || std::strstr(r.pointer, "ci95") == nullptr) detailRow(out, run, r);
  }
  physicalRow(out, run, "Pessimistic physical gross", "gross");
  physicalRow(out, run, "Physical net", "net");
  physicalRow(out, run, "Physical effective", "effective");
  for (const Row& r : kSimulation) {
    if (!at(run, r.pointer).is_null()) detailRow(out, run, r);
  }
  out << "</tbody>\n</table>\n</section>\n";
}

// A histogram as a bar chart, with its counts as a table under it.
void histogram(std::ostream& out, const Json& run, const std::string& name, const std::string& title,
               const std::string& xTitle, const std::string& caption) {
  const std::string base = "/histograms/" + name;
  std::vector<ChartBar> bars;
  std::ostringstream head, counts;
  const Json& h = at(run, base);
  for (std::size_t i = 0; i < h.size(); ++i) {
    const std::string p = base + "/" + std::to_string(i) + "/entries";
    const std::string bucket = h[i]["bucket"].get<std::string>();
    bars.push_back({bucket, number(run, p), countText(run, p)});
    head << "<th scope=\"col\" class=\"n\">" << htmlEscape(bucket) << "</th>";
    counts << figure(run, p, countText(run, p), "td", "n");
  }
  out << "<figure class=\"keep\" id=\"histogram-" << name << "\">\n"
      << svgBarChart(title, xTitle, "fingerprints in the sketch", bars) << "\n<figcaption>" << htmlEscape(caption)
      << "</figcaption>\n<table class=\"small\"><thead><tr><th scope=\"col\">Bucket</th>" << head.str()
      << "</tr></thead><tbody><tr><th scope=\"row\">Fingerprints</th>" << counts.str()
      << "</tr></tbody></table>\n</figure>\n";
}

void reportPage(std::ostream& out, const Json& run) {
  const double bs = number(run, "/block_size");
  const double T = number(run, "/blocks/seen");
  const double N = number(run, "/blocks/not_zero");
  const double Hb =
      std::isfinite(number(run, "/blocks/partial_scans/blocks")) ? number(run, "/blocks/partial_scans/blocks") : 0;
  const double U = number(run, "/estimates/unique_blocks");
  const double U2 = number(run, "/estimates/unique_blocks_after_split");
  const double cr = number(run, "/estimates/average_compression_ratio");
  const double logical = (T + Hb) * bs;
  const double effective = number(run, "/detail/physical/effective/bytes");
  const double net = number(run, "/detail/physical/net/bytes");
  // A partial scan's record has no total saving of its own: the page works
  // it out as the others are, from the sizes.
  const double total = std::isfinite(number(run, "/savings_percent/total")) ? number(run, "/savings_percent/total")
                       : logical > 0                                        ? 100 * (1 - effective / logical)
                                                                            : NAN;
  const Json& ci = at(run, "/estimates/unique_blocks_ci95");
  const double entries = number(run, "/sketch/entries");

  // The physical space's range: the stored data (compression ratio times
  // the unique blocks) moves with the unique-block interval, the overheads
  // and the allowance for a fuller machine do not.
  const bool haveRange = ci.is_array() && ci.size() == 2 && U > 0;
  const bool exact = haveRange && ci[0].get<double>() == U && ci[1].get<double>() == U;
  double physLow = effective, physHigh = effective;
  if (haveRange) {
    const double dataBytes = cr * U2 * bs;
    physLow = std::max(0.0, effective - dataBytes * (1 - ci[0].get<double>() / U));
    physHigh = effective + dataBytes * (ci[1].get<double>() / U - 1);
  }
  const double ratio = effective > 0 ? logical / effective : INFINITY;
  // No data blocks at all: the array stores nothing of the source (only its
  // own overheads), and a ratio of 0 or infinity would say nothing.
  const std::string ratioShown = !(logical > 0) || !std::isfinite(ratio) ? "nothing to store"
                                 : ratio >= 10                           ? fixedText(ratio, 0) + ":1"
                                 : ratio >= 0.1                          ? fixedText(ratio, 1) + ":1"
                                                                         : fixedText(ratio, 3) + ":1";
  const size_t sourceCount = at(run, "/sources").size();

  out << "<section id=\"answer\" class=\"keep\">\n<h2>The answer</h2>\n";
  if (entries == 0 && N > 0) {
    out << "<p class=\"note\">This sketch file holds no fingerprints (a partial scan's result): every block "
           "counts as unique, and the figures rest on its sampled compression ratio.</p>\n";
  }
  out << "<p class=\"lead\">For the " << htmlEscape(binarySize(logical)) << " of "
      << (sourceCount == 1 ? "" : std::to_string(sourceCount) + " sources, ") << "<em>" << htmlEscape(sourcesText(run))
      << "</em>, the array needs about <strong>"
      << figure(run, "/detail/physical/effective/bytes", binarySize(effective)) << "</strong> of physical space";
  if (haveRange && !exact) {
    out << " (95 % range " << htmlEscape(binarySize(physLow)) << " to " << htmlEscape(binarySize(physHigh)) << ")";
  }
  if (logical > 0) {
    out << ": a data reduction of " << htmlEscape(ratioShown) << ", saving "
        << figure(run, "/savings_percent/total", percentText(total)) << " of the space.</p>\n";
  } else {
    out << ", its own overheads alone: no data blocks were found, so "
        << figure(run, "/savings_percent/total", percentText(total)) << " of the source is saved.</p>\n";
  }
  out
      << "<div class=\"answer\">\n"
      << "<div class=\"box\"><span class=\"k\">Source size</span><span class=\"v\">" << htmlEscape(binarySize(logical))
      << "</span><span class=\"r\">" << htmlEscape(groupedCount(T + Hb)) << " blocks of "
      << htmlEscape(groupedCount(bs)) << " bytes</span></div>\n"
      << "<div class=\"box\"><span class=\"k\">Physical space needed</span><span class=\"v\">"
      << htmlEscape(binarySize(effective)) << "</span><span class=\"r\">"
      << htmlEscape(!haveRange ? "no interval: too few fingerprints"
                    : exact    ? "exact: every distinct block was counted"
                               : "95 % range " + binarySize(physLow) + " to " + binarySize(physHigh))
      << "</span></div>\n"
      << "<div class=\"box\"><span class=\"k\">Data reduction</span><span class=\"v\">" << htmlEscape(ratioShown)
      << "</span><span class=\"r\">source size : physical space</span></div>\n"
      << "<div class=\"box\"><span class=\"k\">Saving</span><span class=\"v\">" << htmlEscape(percentText(total))
      << "</span><span class=\"r\">of the source size</span></div>\n</div>\n</section>\n";

  // Where the space goes, level by level.
  const double afterZero = (N + Hb) * bs;
  const double afterDedupe = (U2 + Hb) * bs;
  const double afterCompression = cr * (U2 + Hb) * bs;
  auto step = [](const char* label, double from, double to, bool totalRow) {
    ChartStep s;
    s.label = label;
    s.from = from;
    s.to = to;
    s.kind = totalRow ? ChartStep::Kind::kTotal : to < from ? ChartStep::Kind::kRemoved : ChartStep::Kind::kAdded;
    const double d = to - from;
    s.text =
        totalRow ? binarySize(to) : (d < 0 ? "\u2212" : "+") + binarySize(std::fabs(d)) + " \u2192 " + binarySize(to);
    return s;
  };
  std::vector<ChartStep> steps = {
      step("Logical size", 0, logical, true),
      step("Zero blocks", logical, afterZero, false),
      step("Deduplication", afterZero, afterDedupe, false),
      step("Compression", afterDedupe, afterCompression, false),
      step("Array overheads", afterCompression, net, false),
  };
  if (effective != net) steps.push_back(step("Fuller-machine allowance", net, effective, false));
  steps.push_back(step("Physical space", 0, effective, true));
  out << "<section id=\"steps\">\n<h2>Where the space goes</h2>\n<figure class=\"keep\">\n"
      << svgStepChart("From the logical size to the physical space", steps, [](double v) { return binarySize(v); })
      << "\n<figcaption>Each row starts where the one above ended. Hatched: space a step removes; cross-hatched: "
         "space a step adds (the array's metadata, reserved volume and padding"
      << (effective != net ? ", and the allowance the array keeps as the machine fills" : "")
      << "); solid: the totals.</figcaption>\n</figure>\n</section>\n";

  // How sure the figures are.
  std::vector<ChartRange> ranges;
  if (haveRange) {
    ChartRange u;
    u.label = "Unique blocks";
    u.value = U;
    u.low = ci[0].get<double>();
    u.high = ci[1].get<double>();
    u.text = groupedCount(U) + " blocks";
    u.lowText = groupedCount(u.low);
    u.highText = groupedCount(u.high);
    ranges.push_back(u);
    ChartRange p;
    p.label = "Physical space";
    p.value = effective;
    p.low = physLow;
    p.high = physHigh;
    p.text = binarySize(effective);
    p.lowText = binarySize(physLow);
    p.highText = binarySize(physHigh);
    ranges.push_back(p);
    if (logical > 0) {
      ChartRange s;
      s.label = "Total saving";
      s.value = total;
      s.low = 100 * (1 - physHigh / logical);
      s.high = 100 * (1 - physLow / logical);
      s.axisMax = 100;
      s.text = percentText(total) + " (axis 0 to 100 %)";
      s.lowText = percentText(s.low);
      s.highText = percentText(s.high);
      ranges.push_back(s);
    }
  }
  out << "<section id=\"intervals\" class=\"keep\">\n<h2>How sure these figures are</h2>\n";
  if (!ranges.empty()) {
    out << "<figure class=\"keep\">\n"
        << svgRangeChart("95 % intervals of the estimates", ranges)
        << "\n<figcaption>Hatched bar: the 95 % interval; diamond: the estimate.</figcaption>\n</figure>\n";
  }
  out << "<p class=\"note\">";
  if (!haveRange) {
    out << "The sketch kept too few fingerprints for an interval: the unique-block count, and with it the "
           "physical space, is no more than a rough guess.";
  } else if (exact) {
    out << "Exact: the sketch never filled, so it holds a fingerprint of every distinct block of the source. The "
           "unique-block count is a count, not an estimate, and the physical space and saving carry no sampling "
           "error. The compression ratio was measured on every distinct block.";
  } else {
    out << "The unique blocks are estimated from the " << htmlEscape(groupedCount(entries))
        << " smallest fingerprints the sketch kept. A 95 % interval is the range that, for 95 of 100 scans of "
           "data like this, holds the true value: the relative standard error is 1/\u221a(K\u22122) = "
        << htmlEscape(fixedText(100 / std::sqrt(entries - 2), 2))
        << " % for K kept fingerprints. The physical space and the saving follow the unique-block range through "
           "the stored data; the overheads and the compression ratio (measured on the kept blocks) are taken "
           "as they are.";
  }
  out << "</p>\n</section>\n";

  out << "<section id=\"histograms\">\n<h2>Compression and references</h2>\n";
  histogram(out, run, "compression", "Compression histogram", "compressed size / block size",
            "How well the blocks compress: each kept fingerprint's block by its compressed size as a share of "
            "the block size (left is better; above 1 the block does not compress).");
  histogram(out, run, "references", "Reference-count histogram", "times a block was seen",
            "How often each kept block was seen: 1 is unique data, higher counts are duplicates that "
            "deduplication stores once.");
  out << "</section>\n";
  detailsTable(out, run);
}

void partialPage(std::ostream& out, const Json& run) {
  const double compressed = number(run, "/samples/compressed");
  const double zero = number(run, "/samples/zero");
  const double cs = number(run, "/savings_percent/compression");
  const double zs = number(run, "/savings_percent/zeroes");
  out << "<section id=\"answer\" class=\"keep\">\n<h2>The answer</h2>\n<p class=\"lead\">From "
      << figure(run, "/samples/compressed", groupedCount(compressed)) << " compressed sample blocks, compression "
      << "saves about <strong>" << figure(run, "/savings_percent/compression", percentText(cs))
      << "</strong> of the space; " << figure(run, "/samples/zero", groupedCount(zero)) << " samples were zero, "
      << "so about <strong>" << figure(run, "/savings_percent/zeroes", percentText(zs))
      << "</strong> of the blocks are zero.</p>\n<div class=\"answer\">\n";
  struct Estimate {
    const char* name;
    const char* key;
    double value;
  };
  std::vector<ChartRange> ranges;
  for (const Estimate& e :
       {Estimate{"Compression savings", "compression", cs}, Estimate{"Zero blocks", "zeroes", zs}}) {
    const std::string p = std::string("/savings_percent_ci95/") + e.key;
    const Json& ci = at(run, p);
    out << "<div class=\"box\"><span class=\"k\">" << e.name << "</span><span class=\"v\">"
        << htmlEscape(percentText(e.value)) << "</span><span class=\"r\">";
    if (ci.is_array() && ci.size() == 2) {
      out << "95 % interval " << figure(run, p + "/0", percentText(ci[0].get<double>())) << " to "
          << figure(run, p + "/1", percentText(ci[1].get<double>()));
      ChartRange r;
      r.label = e.name;
      r.value = e.value;
      r.low = ci[0].get<double>();
      r.high = ci[1].get<double>();
      r.axisMax = 100;
      r.text = percentText(e.value) + " (axis 0 to 100 %)";
      r.lowText = percentText(r.low);
      r.highText = percentText(r.high);
      ranges.push_back(r);
    } else {
      out << "no interval: too few samples";
    }
    out << "</span></div>\n";
  }
  out << "</div>\n</section>\n<section id=\"intervals\" class=\"keep\">\n<h2>How sure these figures are</h2>\n";
  if (!ranges.empty()) {
    out << "<figure class=\"keep\">\n"
        << svgRangeChart("95 % intervals of the partial scan's estimates", ranges)
        << "\n<figcaption>Hatched bar: the 95 % interval; diamond: the estimate.</figcaption>\n</figure>\n";
  }
  out << "<p class=\"note\">A partial scan reads randomly placed sample blocks, not the whole source. A 95 % "
         "interval is the range that, for 95 of 100 sample sets drawn the same way, holds the share of the whole "
         "source; more samples make it narrower. A partial scan does not fingerprint blocks, so it says nothing "
         "about deduplication.</p>\n</section>\n";
  out << "<section id=\"details\">\n<h2>Details</h2>\n<table>\n<caption>Every figure of the partial scan</caption>\n"
      << "<thead><tr><th scope=\"col\">Figure</th><th scope=\"col\" class=\"n\">Value</th><th scope=\"col\">Unit"
      << "</th></tr></thead>\n<tbody>\n"
      << "<tr><th scope=\"row\">Source name</th><td colspan=\"2\">" << htmlEscape(sourcesText(run)) << "</td></tr>\n";
  const struct {
    const char* label;
    const char* pointer;
    const char* unit;
    bool percent;
  } rows[] = {{"Compressed samples", "/samples/compressed", "blocks", false},
              {"Zero samples", "/samples/zero", "blocks", false},
              {"Estimated compression savings", "/savings_percent/compression", "%", true},
              {"Compression savings, 95 % interval low", "/savings_percent_ci95/compression/0", "%", true},
              {"Compression savings, 95 % interval high", "/savings_percent_ci95/compression/1", "%", true},
              {"Estimated zero blocks", "/savings_percent/zeroes", "%", true},
              {"Zero blocks, 95 % interval low", "/savings_percent_ci95/zeroes/0", "%", true},
              {"Zero blocks, 95 % interval high", "/savings_percent_ci95/zeroes/1", "%", true}};
  for (const auto& r : rows) {
    if (at(run, r.pointer).is_null()) continue;
    const double v = number(run, r.pointer);
    out << "<tr><th scope=\"row\">" << r.label << "</th>"
        << figure(run, r.pointer, r.percent ? fixedText(v, 3) : groupedCount(v), "td", "n") << "<td>" << r.unit
        << "</td></tr>\n";
  }
  out << "</tbody>\n</table>\n</section>\n";
}

// The merge's inputs: each with its own figures, partial scans marked.
void inputsTable(std::ostream& out, const RunHtml& html) {
  out << "<section id=\"inputs\">\n<h2>Inputs</h2>\n<table>\n<caption>Every merged sketch file with its own "
         "savings; partial scans are marked and have no deduplication figures</caption>\n"
      << "<thead><tr><th scope=\"col\">#</th><th scope=\"col\">Source</th><th scope=\"col\">Kind</th>"
      << "<th scope=\"col\" class=\"n\">Blocks</th><th scope=\"col\" class=\"n\">Size</th>"
      << "<th scope=\"col\" class=\"n\">Dedupe</th><th scope=\"col\" class=\"n\">Compression</th>"
      << "<th scope=\"col\" class=\"n\">Zeroes</th><th scope=\"col\" class=\"n\">Total</th></tr></thead>\n<tbody>\n";
  int i = 0;
  for (const Json& in : html.mergeInputs) {
    const bool partial = in.value("kind", "") == "partialscan";
    const Json& savings = in.contains("savings_percent") ? in["savings_percent"] : Json();
    auto cell = [&](const char* pointer, const std::string& text) {
      const Json::json_pointer p(pointer);
      return std::string("<td class=\"n\" data-input-figure=\"") + pointer + "\" data-value=\"" +
             htmlEscape(in.contains(p) ? in.at(p).dump() : "null") + "\">" + htmlEscape(text) + "</td>";
    };
    auto pct = [&](const char* key) {
      if (!savings.contains(key)) return std::string("<td class=\"n\">\u2014</td>");
      const double v = savings[key].is_number() ? savings[key].get<double>() : NAN;
      return cell((std::string("/savings_percent/") + key).c_str(), percentText(v));
    };
    const double seen = in.contains("blocks") ? in["blocks"].value("seen", 0.0) : 0.0;
    out << "<tr data-input=\"" << i << "\"" << (partial ? " class=\"partial\"" : "") << "><td>" << i + 1 << "</td><td>"
        << htmlEscape(in.value("source", "")) << "<br><small>" << htmlEscape(in.value("sketch_file", ""))
        << "</small></td><td>" << (partial ? "<span class=\"tag\">partial scan</span>" : "full scan") << "</td>"
        << cell("/blocks/seen", groupedCount(seen)) << "<td class=\"n\">"
        << htmlEscape(binarySize(seen * in.value("block_size", 8192.0))) << "</td>" << pct("dedupe")
        << pct("compression") << pct("zeroes") << pct("total") << "</tr>\n";
    ++i;
  }
  // An empty body is not valid HTML; a merge without inputs never reaches
  // its report, but the page must not depend on that.
  if (i == 0) out << "<tr><td colspan=\"9\">No input figures.</td></tr>\n";
  out << "</tbody>\n</table>\n<p class=\"note\">Each input's own figures, as its own load report gives them. "
         "The merged figures above are not their sum: blocks that several sources share are stored once.</p>\n"
         "</section>\n";
}

}  // namespace

void writeHtmlPage(const Json& run, const RunHtml& html, std::ostream& out) {
  const std::string command = at(run, "/command").is_string() ? at(run, "/command").get<std::string>() : "";
  if (at(run, "/samples").is_object()) {
    pageStart(out, run, html, "Partial scan estimate");
    partialPage(out, run);
  } else {
    pageStart(out, run, html, command == "merge" ? "Space estimate of the merged sources" : "Space estimate");
    reportPage(out, run);
    if (command == "merge") {
      inputsTable(out, html);
      for (const HtmlSection& s : html.mergeSections) {
        out << "<section id=\"" << htmlEscape(s.id) << "\">\n<h2>" << htmlEscape(s.title) << "</h2>\n"
            << s.body << "\n</section>\n";
      }
    }
  }
  runFacts(out, run, html);
  pageEnd(out);
}

bool saveHtmlPage(const Json& run, const RunHtml& html, std::string* why) {
  std::ostringstream page;
  writeHtmlPage(run, html, page);
  std::ofstream out(html.file, std::ios::binary | std::ios::trunc);
  if (out) out << page.str();
  if (out) out.flush();
  if (!out) {
    *why = std::strerror(errno);
    return false;
  }
  return true;
}

void refuseUnwritablePage(const std::string& file, const std::vector<std::string>& sources, const std::string& sketch) {
  const FileKind kind = kindOf(file);
  const std::string refused = "Refusing to write " + file + ": it is ";
  if (kind != FileKind::kMissing) {
    for (const std::string& source : sources) {
      if (!source.empty() && sameFile(file, source)) {
        throw RunFailure(kExitUndefinedSetting, refused + source + ", which this run reads; nothing was written");
      }
    }
    if (!sketch.empty() && sameFile(file, sketch)) {
      throw RunFailure(kExitUndefinedSetting, refused + "the sketch file of this run; nothing was written");
    }
    if (kind != FileKind::kRegular) {
      throw RunFailure(kExitSketchNotWritten,
                       "Cannot write the HTML page " + file + ": it is " + kindText(kind) + ", not a regular file");
    }
  } else if (file == sketch) {
    throw RunFailure(kExitUndefinedSetting, refused + "the sketch file of this run; nothing was written");
  }
  // Opened without truncating: a page left from an earlier run stays until
  // this run has its own.
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
  if (fd < 0)
    throw RunFailure(kExitSketchNotWritten, "Cannot write the HTML page " + file + ": " + std::strerror(errno));
  ::close(fd);
  if (kind == FileKind::kMissing) ::unlink(file.c_str());
}
