// Messages that a peer can cause (refusals, dropped connections, protocol faults) are printed
// through a LogLimit, so a flood of hostile connections or commands cannot flood the log as
// well: a few lines go out at once, then at most that many per window, and the next line
// printed says how many were held back meanwhile.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <mutex>
#include <string>

namespace dim {

class LogLimit {
 public:
  // Lines go to `out`: standard error unless a program reports such faults elsewhere.
  LogLimit(std::size_t burst, std::chrono::seconds window, std::FILE *out = stderr)
      : burst_(burst), window_(window), out_(out) {}

  // Prints `line` (without its line end) unless this window's lines are used up.
  void print(const std::string &line) {
    std::size_t held = 0;
    {
      std::lock_guard lock(mutex_);
      const auto now = std::chrono::steady_clock::now();
      if (now - window_start_ >= window_) {
        window_start_ = now;
        printed_ = 0;
      }
      if (printed_ >= burst_) {
        ++held_;
        return;
      }
      ++printed_;
      held = held_;
      held_ = 0;
    }
    if (held > 0)
      std::fprintf(out_, "%s (and %zu similar messages held back)\n", line.c_str(), held);
    else
      std::fprintf(out_, "%s\n", line.c_str());
  }

 private:
  std::mutex mutex_;
  const std::size_t burst_;
  const std::chrono::seconds window_;
  std::FILE *const out_;
  std::chrono::steady_clock::time_point window_start_{};
  std::size_t printed_ = 0;
  std::size_t held_ = 0;
};

// The process's limit for messages about connections: ten lines a minute are enough to see
// that something is wrong and who does it, and cost nothing under attack. Never destroyed,
// so library threads may still print while the process exits.
inline LogLimit &connection_log() {
  static LogLimit *limit = new LogLimit(10, std::chrono::seconds(60));
  return *limit;
}

}  // namespace dim
