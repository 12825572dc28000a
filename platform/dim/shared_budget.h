// The memory that one kind of holding may take, summed over the connections of a listener.
// A single peer is held to its own limits (Connection::Options); a crowd of peers is held to
// this. Over the limit, connections are closed, one at a time, until the sum fits again:
//
//   frames being received   the connection holding the most: one large transfer at a time
//                           fits, a crowd of half-sent frames does not.
//   answers waiting         the connection whose answers have waited longest with none taken
//                           (of those stalled as long, the larger): a peer that keeps reading,
//                           however much it asked for, is never the one while a peer that
//                           reads nothing holds answers.
//
// Used on the one thread that runs those connections.
#pragma once

#include <chrono>
#include <cstddef>
#include <unordered_map>

namespace dim {

class Connection;

class SharedBudget {
 public:
  using Clock = std::chrono::steady_clock;
  enum class Kind { kFramesBeingReceived, kAnswersWaiting };

  SharedBudget(Kind kind, std::size_t limit) : kind_(kind), limit_(limit) {}
  // Records that `c` holds `bytes` now, of which none has been taken since `stalled_since`
  // (answers only), and closes holders while over the limit.
  void hold(Connection *c, std::size_t bytes, Clock::time_point stalled_since = {});
  void release(Connection *c) { hold(c, 0); }

 private:
  struct Held {
    std::size_t bytes;
    Clock::time_point since;
  };
  // Whether `a` is closed before `b`.
  bool goes_first(const Held &a, const Held &b) const;
  void close_one();

  Kind kind_;
  std::size_t limit_;
  std::size_t total_ = 0;
  std::unordered_map<Connection *, Held> holders_;
};

}  // namespace dim
