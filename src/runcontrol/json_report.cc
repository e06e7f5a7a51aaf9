#include "runcontrol/json_report.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "merge/source_overlap.h"
#include "report/report_figures.h"
#include "base/run_globals.h"
#include "sketch/dc_kheap.h"

RunJson gRunJson;

namespace {

using Json = nlohmann::ordered_json;

constexpr double kZ95 = 1.959963984540054;

// A block figure as the detailed report prints it: truncated to whole blocks.
Json space(double blocks) {
  const double whole = std::trunc(blocks);
  const int64_t count = whole >= 9223372036854775807.0 ? INT64_MAX : whole <= -9223372036854775808.0 ? INT64_MIN
                                                                                                     : static_cast<int64_t>(whole);
  const __int128 bytes = static_cast<__int128>(count) * myGlobals.blockSize;
  Json j;
  j["blocks"] = count;
  if (bytes >= INT64_MIN && bytes <= INT64_MAX) {
    j["bytes"] = static_cast<int64_t>(bytes);
  } else {
    j["bytes"] = static_cast<double>(bytes);
  }
  return j;
}

Json interval(double low, double high) { return Json::array({low, high}); }

Json histograms(const DCKHeap& sketch) {
  static const char* const kRefs[] = {"1", "2", "3", "4-7", "8-15", "16-31", "32-63", "64-127", "128-254", "255"};
  static const char* const kRatios[] = {"0-0.125",   "0.125-0.25", "0.25-0.375", "0.375-0.5", "0.5-0.625",
                                        "0.625-0.75", "0.75-0.875", "0.875-1",    ">1"};
  uint64_t refs[10] = {};
  uint64_t ratios[9] = {};
  for (const DCHashAndRatio* e : sketch.getVector()) {
    const int c = e->refCounter;
    int r = 0;
    if (c >= 255) {
      r = 9;
    } else if (c >= 4) {
      // 4-7 is bucket 3, 8-15 bucket 4, ..., 128-254 bucket 8.
      r = 1;
      while ((c >> (r + 1)) != 0) ++r;
      r += 1;
    } else {
      r = c <= 1 ? 0 : c - 1;
    }
    ++refs[r];
    // An entry whose block could not be read back has no ratio to count.
    if (e->ratio < 0) continue;
    const int b = e->ratio > 1.0 ? 8 : std::min(7, static_cast<int>(e->ratio * 8));
    ++ratios[b];
  }
  Json h;
  h["references"] = Json::array();
  for (int i = 0; i < 10; ++i) h["references"].push_back({{"bucket", kRefs[i]}, {"entries", refs[i]}});
  h["compression"] = Json::array();
  for (int i = 0; i < 9; ++i) h["compression"].push_back({{"bucket", kRatios[i]}, {"entries", ratios[i]}});
  return h;
}

}  // namespace

std::vector<std::string> sourceList(const std::string& names) {
  std::vector<std::string> list;
  std::size_t from = 0;
  while (from <= names.size() && !names.empty()) {
    const std::size_t sp = names.find(' ', from);
    list.push_back(names.substr(from, sp == std::string::npos ? std::string::npos : sp - from));
    if (sp == std::string::npos) break;
    from = sp + 1;
  }
  return list;
}

std::vector<double> uniqueInterval(double unique, const DCKHeap& sketch) {
  const uint64_t n = sketch.numEntries();
  if (sketch.fillCapacity > n) return {unique, unique};  // every distinct block is in the sketch
  if (n <= 2) return {};
  const double rse = 1.0 / std::sqrt(static_cast<double>(n) - 2.0);
  return {std::max(0.0, unique * (1 - kZ95 * rse)), unique * (1 + kZ95 * rse)};
}

Json reportJson(const ReportFigures& f, const DCKHeap& sketch, const std::vector<std::string>& sources) {
  Json j;
  j["sources"] = sources;
  j["blocks"] = {{"seen", f.total}, {"zero_small", f.smallZero}, {"zero_big", f.bigZero}, {"not_zero", f.notZero}};
  if (f.partialBlocks != 0) {
    j["blocks"]["partial_scans"] = {
        {"blocks", f.partialBlocks}, {"zero", f.partialZero}, {"compressed", f.partialCompressed}};
  }
  const uint64_t capacity = sketch.fillCapacity > sketch.numEntries() ? sketch.fillCapacity : sketch.numEntries();
  j["sketch"] = {{"entries", f.entries},
                 {"capacity", capacity == UINT64_MAX ? Json(nullptr) : Json(capacity)}};
  Json est;
  est["unique_blocks"] = f.unique;
  est["unique_blocks_after_split"] = f.uniqueAfterSplit;
  est["average_compression_ratio"] = f.compressionRatio;
  const std::vector<double> ci = f.notZero == 0 ? std::vector<double>{0, 0}
                                                : uniqueInterval(static_cast<double>(f.unique), sketch);
  est["unique_blocks_ci95"] = ci.empty() ? Json(nullptr) : interval(ci[0], ci[1]);
  j["estimates"] = est;
  if (f.noData || f.entries > 0) {
    j["savings_percent"] = {{"dedupe", f.dedupeSavings()},
                            {"compression", f.compressionSavings()},
                            {"data_reduction", f.dataReductionSavings()},
                            {"zeroes", f.zeroSavings()},
                            {"total", f.totalSavings()}};
  } else {
    // A record without a sketch (a partial scan's): what its report shows.
    j["savings_percent"] = {{"compression", 100 - 100 * f.compressionRatio},
                            {"zeroes", static_cast<double>(f.partialZeroPercent)}};
  }
  Json d;
  d["potential_dedup_ratio"] = f.potentialDedupRatio;
  d["split_dedup_ratio"] = f.splitDedupRatio;
  d["overheads_blocks"] = {{"metadata_dr", f.metadataDR},
                           {"metadata_cr", f.metadataCR},
                           {"reserved_volume", f.reservedVol},
                           {"padding", f.padding}};
  d["physical"] = {{"gross", space(f.gross)}, {"net", space(f.net)}, {"effective", space(f.effective)}};
  d["simulation"] = {{"dedupe_ratio", f.dedupeRatio},
                     {"compression_ratio", f.compressionSimRatio},
                     {"data_reduction_ratio", f.dataReductionRatio}};
  j["detail"] = d;
  j["histograms"] = histograms(sketch);
  return j;
}

void fillReportJson(const ReportFigures& f, const DCKHeap& sketch, const std::vector<std::string>& sources) {
  gRunJson.body = reportJson(f, sketch, sources);
  gRunJson.ready = true;
}

namespace {

Json estimateJson(const BlockEstimate& e) { return e.known ? Json(e.blocks) : Json(nullptr); }

Json estimateInterval(const BlockEstimate& e) {
  return e.known ? Json::array({e.low, e.high}) : Json(nullptr);
}

}  // namespace

void fillOverlapJson(const MergeOverlap& o, bool groups) {
  Json& j = gRunJson.body;
  Json overlap;
  overlap["pairs"] = Json::array();
  for (const PairOverlap& p : o.pairs) {
    overlap["pairs"].push_back({{"a", o.sources[p.a]},
                                {"b", o.sources[p.b]},
                                {"a_file", o.files[p.a]},
                                {"b_file", o.files[p.b]},
                                {"shared_blocks", estimateJson(p.shared)},
                                {"shared_blocks_ci95", estimateInterval(p.shared)},
                                {"jaccard", p.jaccard},
                                {"saving_percent", p.savingPercent}});
  }
  overlap["only_in"] = Json::array();
  for (const OnlyIn& only : o.onlyIn) {
    overlap["only_in"].push_back({{"source", o.sources[only.source]},
                                  {"file", o.files[only.source]},
                                  {"blocks", estimateJson(only.blocks)},
                                  {"blocks_ci95", estimateInterval(only.blocks)}});
  }
  overlap["partial_scans"] = Json::array();
  for (std::size_t i = 0; i < o.partialSources.size(); ++i) {
    overlap["partial_scans"].push_back({{"source", o.partialSources[i]}, {"file", o.partialFiles[i]}});
  }
  j["overlap"] = overlap;
  if (!groups) return;
  j["groups"] = Json::array();
  for (const SourceGroup& g : o.groups) {
    Json sources = Json::array(), files = Json::array();
    for (std::size_t m : g.members) {
      sources.push_back(o.sources[m]);
      files.push_back(o.files[m]);
    }
    j["groups"].push_back(
        {{"sources", sources}, {"files", files}, {"unique_blocks", g.uniqueBlocks}, {"savings_percent", g.savingsPercent}});
  }
  j["groups_search"] = o.groupsExact ? "exact" : "greedy";
}

void fillPartialJson(uint64_t compressed, uint64_t zero, double savings, double zeroShare, double ratioSum,
                     double ratioSquares, const std::string& source) {
  Json& j = gRunJson.body;
  j["sources"] = Json::array({source});
  j["samples"] = {{"compressed", compressed}, {"zero", zero}};
  const double n = static_cast<double>(compressed);
  const double all = static_cast<double>(compressed + zero);
  const double mean = compressed == 0 ? 1.0 : ratioSum / n;
  j["savings_percent"] = {{"compression", savings}, {"zeroes", zeroShare}};
  // Normal approximation: the mean ratio's standard error from the samples'
  // spread, and the binomial standard error of the zero share.
  Json ci;
  if (compressed >= 2) {
    const double variance = std::max(0.0, (ratioSquares - n * mean * mean) / (n - 1));
    const double half = kZ95 * 100.0 * std::sqrt(variance / n);
    ci["compression"] = interval(savings - half, savings + half);
  } else {
    ci["compression"] = nullptr;
  }
  if (all > 0) {
    const double p = static_cast<double>(zero) / all;
    const double half = kZ95 * 100.0 * std::sqrt(p * (1 - p) / all);
    ci["zeroes"] = interval(std::max(0.0, zeroShare - half), std::min(100.0, zeroShare + half));
  } else {
    ci["zeroes"] = nullptr;
  }
  j["savings_percent_ci95"] = ci;
  gRunJson.ready = true;
}
