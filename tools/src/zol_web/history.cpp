#include "tools/src/zol_web/history.h"

#include <algorithm>

namespace zolweb {

History::History(size_t max_points, int64_t max_age_ms)
    : max_points_(std::max<size_t>(max_points, 1)), max_age_ms_(max_age_ms) {}

void History::add(Sample sample) {
  if (!samples_.empty() && sample.time_ms < samples_.back().time_ms) return;
  samples_.push_back(sample);
  while (samples_.size() > max_points_) samples_.pop_front();
  trim(sample.time_ms);
}

std::vector<Sample> History::since(int64_t since_ms, int64_t now_ms) {
  trim(now_ms);
  auto first = std::upper_bound(samples_.begin(), samples_.end(), since_ms,
                                [](int64_t t, const Sample &s) { return t < s.time_ms; });
  return {first, samples_.end()};
}

void History::trim(int64_t now_ms) {
  while (!samples_.empty() && samples_.front().time_ms < now_ms - max_age_ms_) samples_.pop_front();
}

}  // namespace zolweb
