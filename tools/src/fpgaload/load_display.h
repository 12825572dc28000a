// How fpgaload shows a download: its progress, a board's report, the summary of many boards.
#pragma once

#include <cstdio>
#include <string>

#include "dim/src/zol_load_records.h"

// "42 % [########            ] 3.4 s" when the total is known (the bar only when `bar`),
// otherwise "1234567 bits shifted, 3.4 s".
std::string progress_text(const LOADPROGRESS &p, bool bar);
// The percentage done, or -1 when the total is not known.
int progress_percent(const LOADPROGRESS &p);
// "Exit code N: text" and the last `tail` printed lines, each prefixed with `prefix`.
void print_report(std::FILE *out, const std::string &prefix, const LOADREPORT &r, int tail);

struct SummaryRow {
  std::string board;
  std::string result;  // "loaded", "failed", "no answer", "unreachable"
  double seconds = 0;
  std::string reason;
};
void print_summary(std::FILE *out, const SummaryRow *rows, size_t count);
