// The merge page's sections on how its sources overlap: a heat map of the
// pairs with the shared blocks written in each cell, every pair and the
// blocks only in each source as tables, and the proposed groups.
#ifndef DEZEVAZIR_RUNCONTROL_OVERLAP_HTML_H_
#define DEZEVAZIR_RUNCONTROL_OVERLAP_HTML_H_

#include <nlohmann/json.hpp>
#include <vector>

#include "runcontrol/html_report.h"

struct MergeOverlap;

// Up to this many sources the heat map is drawn; beyond, its cells would be
// too small to read, and the tables stand alone.
constexpr std::size_t kHeatMapLimit = 40;

// run: the run's JSON object with "overlap" (and "groups") filled from o;
// every figure shown carries its JSON pointer and value.
std::vector<HtmlSection> overlapSections(const MergeOverlap& o, const nlohmann::ordered_json& run);

#endif  // DEZEVAZIR_RUNCONTROL_OVERLAP_HTML_H_
