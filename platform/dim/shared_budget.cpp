#include "platform/dim/shared_budget.h"

#include <string>

#include "platform/dim/connection.h"

namespace dim {

void SharedBudget::hold(Connection *c, std::size_t bytes, Clock::time_point stalled_since) {
  auto it = holders_.find(c);
  const std::size_t before = it == holders_.end() ? 0 : it->second.bytes;
  total_ = total_ - before + bytes;
  if (bytes == 0) {
    if (it != holders_.end()) holders_.erase(it);
    return;
  }
  if (it == holders_.end())
    holders_.emplace(c, Held{bytes, stalled_since});
  else
    it->second = Held{bytes, stalled_since};
  while (total_ > limit_ && !holders_.empty()) close_one();
}

bool SharedBudget::goes_first(const Held &a, const Held &b) const {
  if (kind_ == Kind::kAnswersWaiting && a.since != b.since) return a.since < b.since;
  return a.bytes > b.bytes;
}

void SharedBudget::close_one() {
  auto victim = holders_.begin();
  for (auto h = holders_.begin(); h != holders_.end(); ++h)
    if (goes_first(h->second, victim->second)) victim = h;
  Connection *c = victim->first;
  total_ -= victim->second.bytes;
  holders_.erase(victim);
  const std::string over = " take more than the budget of " + std::to_string(limit_) + " bytes";
  // Its own release() on closing then finds nothing left to take back.
  if (kind_ == Kind::kFramesBeingReceived)
    c->close("frames being received" + over + ", and this connection holds the most");
  else
    c->close("answers waiting to be written" + over +
             ", and this connection's have waited longest");
}

}  // namespace dim
