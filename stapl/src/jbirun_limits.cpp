// The stop request and the time budget of a run, and the record of which budget ended it.
#include "stapl/src/jbirun_limits.h"

#include <chrono>

std::atomic<int> jbi_stop_flag{0};
long jbi_time_limit = 0;

namespace {

static_assert(std::atomic<int>::is_always_lock_free, "a signal handler sets the stop flag");

using Clock = std::chrono::steady_clock;

int end_cause = JBI_END_NONE;
Clock::time_point deadline = Clock::time_point::max();

}  // namespace

void jbi_request_stop(void) { jbi_stop_flag.store(1, std::memory_order_relaxed); }

void jbi_clear_stop(void) { jbi_stop_flag.store(0, std::memory_order_relaxed); }

bool jbi_stop_requested(void) { return jbi_stop_pending(); }

int jbi_run_end_cause(void) { return end_cause; }

void jbi_limits_start_run() {
  end_cause = JBI_END_NONE;
  deadline = jbi_time_limit > 0 ? Clock::now() + std::chrono::seconds(jbi_time_limit)
                                : Clock::time_point::max();
}

void jbi_limits_note(int cause) {
  if (end_cause == JBI_END_NONE) end_cause = cause;
}

int jbi_limits_check() {
  if (jbi_stop_pending()) {
    jbi_limits_note(JBI_END_STOP);
    return JBI_RC_CANCELLED;
  }
  if (deadline != Clock::time_point::max() && Clock::now() >= deadline) {
    jbi_limits_note(JBI_END_TIME);
    return JBI_RC_CANCELLED;
  }
  return JBI_RC_SUCCESS;
}
