// The memory that answers waiting to be written may take, summed over the connections of a
// process. A peer that asks and never reads is held to its own backlog (Connection::Options);
// a crowd of such peers is held to this. Over the limit, the connection whose answers have
// waited longest with none taken is closed: a peer that keeps reading, however much it asked
// for, is never the one while a peer that reads nothing holds answers. Used on the one thread
// that runs those connections.
#pragma once

#include <chrono>
#include <cstddef>
#include <unordered_map>

namespace dim {

class Connection;

class AnswerBudget {
 public:
  using Clock = std::chrono::steady_clock;

  explicit AnswerBudget(std::size_t limit) : limit_(limit) {}
  // Records that `c` has `bytes` waiting, of which none has been taken since `stalled_since`,
  // and closes the longest-stalled holders while over the limit.
  void hold(Connection *c, std::size_t bytes, Clock::time_point stalled_since);
  void release(Connection *c) { hold(c, 0, {}); }

 private:
  struct Held {
    std::size_t bytes;
    Clock::time_point since;
  };
  std::size_t limit_;
  std::size_t total_ = 0;
  std::unordered_map<Connection *, Held> holders_;
};

}  // namespace dim
