// The values a watched register has had, kept for a bounded window: at most `max_points`
// samples and none older than `max_age_ms`, so a page opened later still sees the recent
// past while a gateway that runs for weeks keeps a fixed amount of memory per register.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace zolweb {

struct Sample {
  int64_t time_ms = 0;  // wall-clock milliseconds since 1970
  uint32_t value = 0;
};

class History {
 public:
  History(size_t max_points, int64_t max_age_ms);

  // Samples arrive in time order; one older than the newest kept is dropped.
  void add(Sample sample);
  // Samples newer than `since_ms` (all of them for 0), oldest first; the age limit is
  // applied against `now_ms` first.
  std::vector<Sample> since(int64_t since_ms, int64_t now_ms);
  size_t size() const { return samples_.size(); }
  const Sample *last() const { return samples_.empty() ? nullptr : &samples_.back(); }

 private:
  void trim(int64_t now_ms);

  size_t max_points_;
  int64_t max_age_ms_;
  std::deque<Sample> samples_;
};

}  // namespace zolweb
