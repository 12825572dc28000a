#include "tools/src/fpgaload/load_display.h"

#include <algorithm>
#include <vector>

namespace {

constexpr int kBarWidth = 24;

std::string field(const char *text, size_t size) {
  size_t n = 0;
  while (n < size && text[n] != '\0') ++n;
  return std::string(text, n);
}

}  // namespace

int progress_percent(const LOADPROGRESS &p) {
  if (p.bits_total == 0) return -1;
  const uint64_t pct = uint64_t{p.bits_shifted} * 100 / p.bits_total;
  return static_cast<int>(std::min<uint64_t>(pct, 100));
}

std::string progress_text(const LOADPROGRESS &p, bool bar) {
  char text[128];
  const double seconds = p.elapsed_ms / 1000.0;
  const int pct = progress_percent(p);
  if (pct < 0) {
    std::snprintf(text, sizeof text, "%u bits shifted, %.1f s", p.bits_shifted, seconds);
    return text;
  }
  if (!bar) {
    std::snprintf(text, sizeof text, "%d %% (%u of %u bits), %.1f s", pct, p.bits_shifted,
                  p.bits_total, seconds);
    return text;
  }
  const int filled = pct * kBarWidth / 100;
  std::string drawn(static_cast<size_t>(filled), '#');
  drawn.append(static_cast<size_t>(kBarWidth - filled), ' ');
  std::snprintf(text, sizeof text, "%3d %% [%s] %.1f s", pct, drawn.c_str(), seconds);
  return text;
}

void print_report(std::FILE *out, const std::string &prefix, const LOADREPORT &r, int tail) {
  std::fprintf(out, "%sExit code %d: %s\n", prefix.c_str(), r.exit_code,
               field(r.exit_text, sizeof r.exit_text).c_str());
  const std::string lines = field(r.lines, sizeof r.lines);
  std::vector<std::string> all;
  for (size_t at = 0; at < lines.size();) {
    size_t end = lines.find('\n', at);
    if (end == std::string::npos) end = lines.size();
    all.push_back(lines.substr(at, end - at));
    at = end + 1;
  }
  const size_t first = all.size() > static_cast<size_t>(tail) ? all.size() - tail : 0;
  for (size_t i = first; i < all.size(); ++i)
    std::fprintf(out, "%s| %s\n", prefix.c_str(), all[i].c_str());
}

void print_summary(std::FILE *out, const SummaryRow *rows, size_t count) {
  size_t width = 5;
  for (size_t i = 0; i < count; ++i) width = std::max(width, rows[i].board.size());
  const int w = static_cast<int>(width);
  std::fprintf(out, "%-*s  %-11s  %8s  %s\n", w, "BOARD", "RESULT", "TIME", "REASON");
  for (size_t i = 0; i < count; ++i)
    std::fprintf(out, "%-*s  %-11s  %7.1fs  %s\n", w, rows[i].board.c_str(), rows[i].result.c_str(),
                 rows[i].seconds, rows[i].reason.c_str());
}
