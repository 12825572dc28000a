#include "dim/src/held_commands.h"

#include <deque>
#include <utility>
#include <vector>

#include "dim/src/download_run.h"

namespace {

struct HELD {
  dis_cmnd_handler handler;  // null for a timer run
  dtq_timer_routine routine;
  long tag;
  std::vector<unsigned char> data;
};

std::deque<HELD> Held;
// Set while a held command is being served, so that its handler does not hold it again.
int Serving_held = 0;

}  // namespace

int hold_if_busy(dis_cmnd_handler handler, void *data, int *size) {
  if (download_stopping()) return 1;
  if (Serving_held || (!download_running() && Held.empty())) return 0;
  HELD h{handler, nullptr, 0, {}};
  const int bytes = (data != nullptr && size != nullptr && *size > 0) ? *size : 0;
  const auto *first = static_cast<const unsigned char *>(data);
  if (bytes > 0) h.data.assign(first, first + bytes);
  Held.push_back(std::move(h));
  return 1;
}

int hold_timer_if_busy(dtq_timer_routine routine, long tag) {
  if (download_stopping()) return 1;
  if (Serving_held || (!download_running() && Held.empty())) return 0;
  Held.push_back(HELD{nullptr, routine, tag, {}});
  return 1;
}

void serve_held() {
  if (download_stopping()) Held.clear();
  while (!Held.empty() && !download_running()) {
    HELD h = std::move(Held.front());
    Held.pop_front();
    Serving_held = 1;
    if (h.handler != nullptr) {
      long tag = 0;
      int size = static_cast<int>(h.data.size());
      unsigned char none = 0;  // an empty command still comes with an address
      h.handler(&tag, h.data.empty() ? &none : h.data.data(), &size);
    } else {
      h.routine(h.tag);
    }
    Serving_held = 0;
  }
}
