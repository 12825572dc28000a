#include "platform/station/subscription.h"

#include <atomic>
#include <mutex>
#include <unordered_map>

#include "platform/station/board.h"

namespace station {

namespace {

// Handlers by tag. A delivery takes its handler out under the lock and runs it outside, so
// a handler may itself subscribe or release.
std::mutex registry_mutex;
std::unordered_map<long, std::shared_ptr<Subscription::Handler>> &registry() {
  static std::unordered_map<long, std::shared_ptr<Subscription::Handler>> handlers;
  return handlers;
}
std::atomic<long> next_tag{1};
thread_local int handler_depth = 0;

char no_link_fill[] = "No Link";

void deliver(long *tag, void *data, int *size) {
  std::shared_ptr<Subscription::Handler> handler;
  {
    std::lock_guard lock(registry_mutex);
    auto it = registry().find(*tag);
    if (it == registry().end()) return;
    handler = it->second;
  }
  const int bytes = (data != nullptr && size != nullptr && *size > 0) ? *size : 0;
  ++handler_depth;
  struct Leave {
    ~Leave() { --handler_depth; }
  } leave;
  (*handler)(static_cast<const uint8_t *>(data), bytes, dim::delivering_fill());
}

}  // namespace

Subscription::Subscription(const std::string &service, Handler handler)
    : tag_(next_tag.fetch_add(1)) {
  {
    std::lock_guard lock(registry_mutex);
    registry()[tag_] = std::make_shared<Handler>(std::move(handler));
  }
  id_ = dic_info_service_(service.c_str(), MONITORED, 0, nullptr, 0, deliver, tag_, no_link_fill,
                          sizeof no_link_fill);
  if (id_ == 0) {
    std::lock_guard lock(registry_mutex);
    registry().erase(tag_);
    throw Error("cannot subscribe to " + service);
  }
}

Subscription::~Subscription() {
  {
    std::lock_guard lock(registry_mutex);
    registry().erase(tag_);
  }
  if (id_ != 0) dim::release_service(id_);
}

bool in_subscription_handler() { return handler_depth > 0; }

dim::ServiceLookup Subscription::lookup() const {
  return id_ != 0 ? dim::service_lookup(id_) : dim::ServiceLookup::kNoAnswer;
}

}  // namespace station
