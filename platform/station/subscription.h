// A subscription of the messaging library owned by an object: the callback becomes a
// std::function, and releasing happens in the destructor.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/dim/dim_extra.h"

namespace station {

class Subscription {
 public:
  // Gets each delivery; `fill` marks the library's "no link" delivery, whose bytes are not
  // the service's. Runs on a thread of the library, one delivery at a time. It may still run
  // once after the destructor when that runs on another thread during a delivery, so it must
  // only hold weak references to its owner.
  using Handler = std::function<void(const uint8_t *data, int size, bool fill)>;

  // A monitored subscription: the current contents first, then every update.
  Subscription(const std::string &service, Handler handler);
  ~Subscription();
  Subscription(const Subscription &) = delete;
  Subscription &operator=(const Subscription &) = delete;

  // What the name server last said about the service.
  dim::ServiceLookup lookup() const;

 private:
  long tag_ = 0;
  unsigned id_ = 0;
};

// True on a thread while it runs a Subscription's handler (and what that calls).
bool in_subscription_handler();

}  // namespace station
