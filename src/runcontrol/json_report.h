// The --json report: one JSON object per run on standard output, built from
// the same figures as the text report. Everything else a run would print on
// standard output goes to standard error meanwhile.
#ifndef DEZEVAZIR_RUNCONTROL_JSON_REPORT_H_
#define DEZEVAZIR_RUNCONTROL_JSON_REPORT_H_

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

class DCKHeap;
struct MergeOverlap;
struct ReportFigures;

// The object of the current run: the command fills in its part, the driver
// adds the fields every run has and prints it.
struct RunJson {
  bool wanted = false;  // --json for this run
  bool ready = false;   // the command filled body in
  nlohmann::ordered_json body;
};
extern RunJson gRunJson;

// sources, blocks, sketch, estimates, savings_percent, detail and
// histograms of a scan, load or merge.
nlohmann::ordered_json reportJson(const ReportFigures& f, const DCKHeap& sketch,
                                  const std::vector<std::string>& sources);
// The same as the body of the current run.
void fillReportJson(const ReportFigures& f, const DCKHeap& sketch, const std::vector<std::string>& sources);

// overlap of a merge's sources, and with groups its split into groups.
void fillOverlapJson(const MergeOverlap& o, bool groups);

// samples, savings_percent (as the text report shows them) and their 95 %
// intervals of a partial scan, the spread from the sum and sum of squares
// of the compressed samples' ratios.
void fillPartialJson(uint64_t compressed, uint64_t zero, double savings, double zeroShare, double ratioSum,
                     double ratioSquares, const std::string& source);

// A 95 % interval [low, high] of the distinct count from a sketch: exact
// when the sketch never filled, else a relative standard error of
// 1 / sqrt(K - 2). Empty when there is no estimate.
std::vector<double> uniqueInterval(double unique, const DCKHeap& sketch);

// Splits a record's source names (joined by single blanks) into a list.
std::vector<std::string> sourceList(const std::string& names);

#endif  // DEZEVAZIR_RUNCONTROL_JSON_REPORT_H_
