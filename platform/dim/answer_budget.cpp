#include "platform/dim/answer_budget.h"

#include <string>

#include "platform/dim/connection.h"

namespace dim {

void AnswerBudget::hold(Connection *c, std::size_t bytes, Clock::time_point stalled_since) {
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
  while (total_ > limit_ && !holders_.empty()) {
    auto victim = holders_.begin();
    for (auto h = holders_.begin(); h != holders_.end(); ++h) {
      const bool older = h->second.since < victim->second.since;
      const bool as_old_larger =
          h->second.since == victim->second.since && h->second.bytes > victim->second.bytes;
      if (older || as_old_larger) victim = h;
    }
    Connection *stalled = victim->first;
    total_ -= victim->second.bytes;
    holders_.erase(victim);
    // Its own release() on closing then finds nothing left to take back.
    stalled->close("answers waiting to be written take more than the budget of " +
                   std::to_string(limit_) + " bytes, and this connection's have waited longest");
  }
}

}  // namespace dim
