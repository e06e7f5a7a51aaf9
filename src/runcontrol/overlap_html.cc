#include "runcontrol/overlap_html.h"

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <string>

#include "merge/source_overlap.h"
#include "report/svg_chart.h"

namespace {

using Json = nlohmann::ordered_json;

// A table cell showing the figure at pointer, tied to its JSON value.
std::string cell(const Json& run, const std::string& pointer, const std::string& text) {
  const Json::json_pointer p(pointer);
  if (!run.contains(p)) return "<td class=\"n\">" + htmlEscape(text) + "</td>";
  return "<td class=\"n\" data-figure=\"" + htmlEscape(pointer) + "\" data-value=\"" + htmlEscape(run.at(p).dump()) +
         "\">" + htmlEscape(text) + "</td>";
}

// A block figure and its interval, as three cells ("\u2014" where unknown).
std::string estimateCells(const Json& run, const std::string& at, const char* value, const char* interval,
                          const BlockEstimate& e) {
  if (!e.known) return "<td class=\"n\">\u2014</td><td class=\"n\">\u2014</td><td class=\"n\">\u2014</td>";
  return cell(run, at + "/" + value, groupedCount(static_cast<double>(e.blocks))) +
         cell(run, at + "/" + interval + "/0", groupedCount(static_cast<double>(e.low))) +
         cell(run, at + "/" + interval + "/1", groupedCount(static_cast<double>(e.high)));
}

// Fits a cell of the heat map: "950", "12.3 k", "4.5 M".
std::string compactCount(uint64_t v) {
  char buf[32];
  if (v < 10000) {
    std::snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(v));
  } else if (v < 10000000) {
    std::snprintf(buf, sizeof buf, "%.1f k", static_cast<double>(v) / 1e3);
  } else if (v < 10000000000ULL) {
    std::snprintf(buf, sizeof buf, "%.1f M", static_cast<double>(v) / 1e6);
  } else {
    std::snprintf(buf, sizeof buf, "%.1f G", static_cast<double>(v) / 1e9);
  }
  return buf;
}

// A heat-map label: the number and the end of the name, which tells sources
// apart better than its start (a shared directory).
std::string shortLabel(const MergeOverlap& o, std::size_t i) {
  std::string name = sourceLabel(o, i);
  if (name.size() > 26) name = "\u2026" + name.substr(name.size() - 25);
  return std::to_string(i + 1) + " " + name;
}

std::string heatMap(const MergeOverlap& o) {
  const std::size_t n = o.sources.size();
  // Columns by number only: the rows name the sources.
  std::vector<std::string> labels, numbers;
  for (std::size_t i = 0; i < n; ++i) {
    labels.push_back(shortLabel(o, i));
    numbers.push_back(std::to_string(i + 1));
  }
  std::vector<std::vector<double>> shade(n, std::vector<double>(n, 0.0));
  std::vector<std::vector<std::string>> texts(n, std::vector<std::string>(n, "\u2014"));
  for (const PairOverlap& p : o.pairs) {
    const std::string t = p.shared.known ? compactCount(p.shared.blocks) : "?";
    texts[p.a][p.b] = texts[p.b][p.a] = t;
    shade[p.a][p.b] = shade[p.b][p.a] = p.jaccard;
  }
  return svgHeatMap("Shared distinct blocks of every pair of sources", labels, numbers, shade, texts);
}

std::string overlapBody(const MergeOverlap& o, const Json& run) {
  std::ostringstream out;
  const std::size_t n = o.sources.size();
  if (n >= 2 && n <= kHeatMapLimit) {
    out << "<figure class=\"keep\">\n"
        << heatMap(o)
        << "\n<figcaption>Each cell: the estimated distinct blocks the two sources both hold; the darker, the "
           "larger their share of the pair's distinct blocks (Jaccard similarity).</figcaption>\n</figure>\n";
  } else if (n > kHeatMapLimit) {
    out << "<p class=\"note\">" << n << " sources: too many for a readable matrix; the table lists every pair.</p>\n";
  }
  out << "<p class=\"note\">Estimated from each source's own sketch: both sketches up to the lower of their largest "
         "fingerprints sample the pair's union; the 95 % interval rests on the sketch entries both hold. Figures of "
         "sources whose sketches never filled are counts.</p>\n";

  std::vector<std::size_t> order(o.pairs.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&o](std::size_t x, std::size_t y) {
    const BlockEstimate& a = o.pairs[x].shared;
    const BlockEstimate& b = o.pairs[y].shared;
    if (a.known != b.known) return a.known;
    return a.blocks > b.blocks;
  });
  if (!o.pairs.empty()) {
    out << "<table class=\"small\">\n<caption>Pairs of sources, the most shared blocks first</caption>\n"
        << "<thead><tr><th scope=\"col\">Sources</th><th scope=\"col\" class=\"n\">Shared blocks</th>"
        << "<th scope=\"col\" class=\"n\">95 % from</th><th scope=\"col\" class=\"n\">to</th>"
        << "<th scope=\"col\" class=\"n\">Jaccard</th><th scope=\"col\" class=\"n\">Saving of merging</th></tr>"
        << "</thead>\n<tbody>\n";
    for (std::size_t i : order) {
      const PairOverlap& p = o.pairs[i];
      const std::string at = "/overlap/pairs/" + std::to_string(i);
      out << "<tr><td>" << p.a + 1 << " " << htmlEscape(sourceLabel(o, p.a)) << " + " << p.b + 1 << " "
          << htmlEscape(sourceLabel(o, p.b)) << "</td>"
          << estimateCells(run, at, "shared_blocks", "shared_blocks_ci95", p.shared)
          << cell(run, at + "/jaccard", fixedText(p.jaccard, 4))
          << cell(run, at + "/saving_percent", fixedText(p.savingPercent, 1) + " %") << "</tr>\n";
    }
    out << "</tbody>\n</table>\n";
  }

  out << "<table class=\"small\">\n<caption>Distinct blocks that no other source holds</caption>\n"
      << "<thead><tr><th scope=\"col\">Source</th><th scope=\"col\" class=\"n\">Blocks</th>"
      << "<th scope=\"col\" class=\"n\">95 % from</th><th scope=\"col\" class=\"n\">to</th></tr></thead>\n<tbody>\n";
  for (std::size_t i = 0; i < o.onlyIn.size(); ++i) {
    const OnlyIn& only = o.onlyIn[i];
    out << "<tr><td>" << only.source + 1 << " " << htmlEscape(sourceLabel(o, only.source)) << "</td>"
        << estimateCells(run, "/overlap/only_in/" + std::to_string(i), "blocks", "blocks_ci95", only.blocks)
        << "</tr>\n";
  }
  out << "</tbody>\n</table>\n";
  if (!o.partialSources.empty()) {
    out << "<p class=\"note\">Partial scans hold no fingerprints and are not compared:";
    for (std::size_t i = 0; i < o.partialSources.size(); ++i) {
      out << (i == 0 ? " " : ", ") << htmlEscape(o.partialSources[i]) << " (" << htmlEscape(o.partialFiles[i]) << ")";
    }
    out << ".</p>\n";
  }
  return out.str();
}

std::string groupsBody(const MergeOverlap& o, const Json& run) {
  std::ostringstream out;
  out << "<p class=\"note\">"
      << (o.groupsExact ? "The best of all splits into this many groups: "
                        : "Built greedily (more sources than every split can be weighed for): ")
      << "the one whose groups together hold the fewest estimated distinct blocks.</p>\n"
      << "<table class=\"small\">\n<thead><tr><th scope=\"col\">Group</th><th scope=\"col\">Sources</th>"
      << "<th scope=\"col\" class=\"n\">Distinct blocks</th><th scope=\"col\" class=\"n\">Saving</th></tr>"
      << "</thead>\n<tbody>\n";
  for (std::size_t g = 0; g < o.groups.size(); ++g) {
    const SourceGroup& group = o.groups[g];
    const std::string at = "/groups/" + std::to_string(g);
    out << "<tr><td>" << g + 1 << "</td><td>";
    for (std::size_t i = 0; i < group.members.size(); ++i) {
      out << (i == 0 ? "" : "<br>") << group.members[i] + 1 << " " << htmlEscape(sourceLabel(o, group.members[i]));
    }
    out << "</td>" << cell(run, at + "/unique_blocks", groupedCount(static_cast<double>(group.uniqueBlocks)))
        << cell(run, at + "/savings_percent", fixedText(group.savingsPercent, 1) + " %") << "</tr>\n";
  }
  out << "</tbody>\n</table>\n";
  return out.str();
}

}  // namespace

std::vector<HtmlSection> overlapSections(const MergeOverlap& o, const Json& run) {
  std::vector<HtmlSection> sections;
  sections.push_back({"overlap", "Which sources share data", overlapBody(o, run)});
  if (!o.groups.empty()) sections.push_back({"groups", "Proposed groups", groupsBody(o, run)});
  return sections;
}
