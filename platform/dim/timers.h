// One-shot timers whose routines run on the dispatch thread.
#pragma once

#include <asio.hpp>
#include <cstdint>
#include <map>
#include <memory>

#include "platform/dim/dim.h"

namespace dim {

class Runtime;

class Timers {
 public:
  explicit Timers(Runtime &rt) : rt_(rt) {}
  // Any thread. Starting a tag that is already pending replaces that timer. Intervals below
  // one second are taken as one second, so a routine that re-arms itself with 0 cannot spin.
  void start(int seconds, dtq_timer_routine routine, long tag);
  void stop(long tag);

 private:
  struct Pending {
    std::unique_ptr<asio::steady_timer> timer;
    uint64_t generation = 0;
  };
  void start_here(int seconds, dtq_timer_routine routine, long tag);
  void stop_here(long tag);

  Runtime &rt_;
  // Touched on the dispatch thread only.
  std::map<long, Pending> pending_;
  uint64_t generation_ = 0;
};

}  // namespace dim
