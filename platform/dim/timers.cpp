#include "platform/dim/timers.h"

#include "platform/dim/runtime.h"

namespace dim {

void Timers::start(int seconds, dtq_timer_routine routine, long tag) {
  if (rt_.on_dispatch())
    start_here(seconds, routine, tag);
  else
    rt_.to_dispatch([this, seconds, routine, tag] { start_here(seconds, routine, tag); });
}

void Timers::stop(long tag) {
  if (rt_.on_dispatch())
    stop_here(tag);
  else
    rt_.to_dispatch([this, tag] { stop_here(tag); });
}

void Timers::start_here(int seconds, dtq_timer_routine routine, long tag) {
  stop_here(tag);
  if (!routine) return;
  Pending p;
  p.generation = ++generation_;
  p.timer = std::make_unique<asio::steady_timer>(rt_.dispatch());
  p.timer->expires_after(std::chrono::seconds(seconds < 1 ? 1 : seconds));
  p.timer->async_wait([this, tag, routine, gen = p.generation](const asio::error_code &ec) {
    if (ec || rt_.halted()) return;
    auto it = pending_.find(tag);
    if (it == pending_.end() || it->second.generation != gen) return;
    // Forget the timer before the routine runs: the routine usually re-arms the same tag.
    pending_.erase(it);
    routine(tag);
  });
  pending_[tag] = std::move(p);
}

void Timers::stop_here(long tag) {
  auto it = pending_.find(tag);
  if (it == pending_.end()) return;
  it->second.timer->cancel();
  pending_.erase(it);
}

}  // namespace dim
