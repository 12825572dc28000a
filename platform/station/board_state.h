// What a Board keeps between calls, shared with the handlers of its subscriptions (which
// hold it weakly, so a late delivery after the Board is gone finds nothing).
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/station/board.h"
#include "platform/station/subscription.h"

namespace station {

using Clock = std::chrono::steady_clock;

// One transaction at a time per board in this process. A mutex and a condition variable
// rather than a timed mutex: ThreadSanitizer does not see a timed mutex taken against the
// steady clock, and would report its release as a fault.
class TransactionTurn {
 public:
  bool take_until(Clock::time_point deadline) {
    std::unique_lock lock(m_);
    if (!free_.wait_until(lock, deadline, [this] { return !taken_; })) return false;
    taken_ = true;
    return true;
  }
  void give_back() {
    {
      std::lock_guard lock(m_);
      taken_ = false;
    }
    free_.notify_one();
  }

 private:
  std::mutex m_;
  std::condition_variable free_;
  bool taken_ = false;
};

struct Board::State {
  std::string name, prefix;
  int timeout_ms = 5000;
  // One transaction at a time per board in this process: answers are told apart by their
  // records only, and two identical requests in flight could take each other's answer.
  std::shared_ptr<TransactionTurn> transaction_lock;

  mutable std::mutex m;
  // The register service. After each (re)connection its first delivery is the contents it
  // already had, which answered some earlier command, never the one about to be sent.
  bool rw_fill = false;
  bool rw_current = false;
  const std::vector<Request> *expected = nullptr;
  std::vector<Answer> answer;
  bool answered = false;

  // The download progress service (absent on older servers).
  bool progress_known = false;
  bool progress_fill = false;
  LOADPROGRESS progress{};
  unsigned long progress_count = 0;
  std::shared_ptr<std::function<void(const LOADPROGRESS &)>> on_progress;

  std::unique_ptr<Subscription> rw_sub, progress_sub;

  std::string entry(const char *suffix) const { return prefix + suffix; }

  // Waits until `done` (called under `m`) or the deadline; true when done.
  bool wait(const std::function<bool()> &done, Clock::time_point deadline) const;
  // Waits until the register service's current contents are here: NoLink or Timeout when
  // they do not come before the deadline.
  void ensure_link(Clock::time_point deadline) const;
  [[noreturn]] void throw_no_link(const std::string &what) const;
  // The BoardBusy text when the server reports a running download, else empty.
  std::string busy_text() const;
};

// Milliseconds left until the deadline, at least 1.
int ms_until(Clock::time_point deadline);

}  // namespace station
