#include "dim/src/held_commands.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "dim/src/download_run.h"
#include "platform/dim/log_limit.h"

namespace {

struct HELD {
  dis_cmnd_handler handler;  // null for a timer run
  dtq_timer_routine routine;
  long tag;
  int size;                         // the command's byte count as received
  std::vector<unsigned char> data;  // its first bytes, as many as the handler reads
};

std::deque<HELD> Held;
std::size_t Held_commands = 0;  // timer runs not counted
std::size_t Held_bytes = 0;
// Set while a held command is being served, so that its handler does not hold it again.
int Serving_held = 0;

// Ignored commands come as fast as a station sends them: a few lines, then a count.
dim::LogLimit &held_log() {
  static auto *limit = new dim::LogLimit(10, std::chrono::seconds(60));
  return *limit;
}

}  // namespace

int hold_if_busy(const char *name, dis_cmnd_handler handler, void *data, int *size, int used) {
  if (download_stopping()) return 1;
  if (Serving_held || (!download_running() && Held.empty())) return 0;
  const int bytes = (data != nullptr && size != nullptr && *size > 0) ? *size : 0;
  const std::size_t kept = static_cast<std::size_t>(std::clamp(used, 0, bytes));
  if (Held_commands >= HELD_MAX_COMMANDS || Held_bytes + kept > HELD_MAX_BYTES) {
    held_log().print(std::string(name) + ": " + std::to_string(bytes) + " bytes ignored, " +
                     std::to_string(Held_commands) + " commands (" + std::to_string(Held_bytes) +
                     " bytes) already wait for the download");
    return 1;
  }
  HELD h{handler, nullptr, 0, bytes, {}};
  const auto *first = static_cast<const unsigned char *>(data);
  if (kept > 0) h.data.assign(first, first + kept);
  Held.push_back(std::move(h));
  ++Held_commands;
  Held_bytes += kept;
  return 1;
}

int hold_timer_if_busy(dtq_timer_routine routine, long tag) {
  if (download_stopping()) return 1;
  if (Serving_held || (!download_running() && Held.empty())) return 0;
  Held.push_back(HELD{nullptr, routine, tag, 0, {}});
  return 1;
}

void serve_held() {
  if (download_stopping()) {
    Held.clear();
    Held_commands = 0;
    Held_bytes = 0;
  }
  while (!Held.empty() && !download_running()) {
    HELD h = std::move(Held.front());
    Held.pop_front();
    Serving_held = 1;
    if (h.handler != nullptr) {
      --Held_commands;
      Held_bytes -= h.data.size();
      long tag = 0;
      int size = h.size;
      unsigned char none = 0;  // an empty command still comes with an address
      h.handler(&tag, h.data.empty() ? &none : h.data.data(), &size);
    } else {
      h.routine(h.tag);
    }
    Serving_held = 0;
  }
}
