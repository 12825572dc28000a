#include "tools/src/zol_web/event_hub.h"

#include <algorithm>

namespace zolweb {

EventHub::EventHub(size_t max_listeners, size_t max_queued)
    : max_listeners_(max_listeners), max_queued_(std::max<size_t>(max_queued, 1)) {}

EventHub::~EventHub() { close(); }

std::shared_ptr<EventHub::Listener> EventHub::join(const std::string &topic) {
  std::lock_guard lock(mutex_);
  if (closed_ || listeners_.size() >= max_listeners_) return nullptr;
  std::shared_ptr<Listener> listener(new Listener(*this, topic));
  listeners_.push_back(listener.get());
  return listener;
}

void EventHub::publish(const std::string &topic, const std::string &record) {
  std::lock_guard lock(mutex_);
  for (Listener *l : listeners_) {
    if (!l->topic_.empty() && l->topic_ != topic) continue;
    std::lock_guard llock(l->mutex_);
    if (l->over_) continue;
    if (l->queue_.size() >= max_queued_) {
      l->over_ = true;
      l->queue_.clear();
    } else {
      l->queue_.push_back(record);
    }
    l->arrived_.notify_one();
  }
}

void EventHub::close() {
  std::lock_guard lock(mutex_);
  closed_ = true;
  for (Listener *l : listeners_) {
    std::lock_guard llock(l->mutex_);
    l->over_ = true;
    l->arrived_.notify_one();
  }
}

size_t EventHub::listeners() const {
  std::lock_guard lock(mutex_);
  return listeners_.size();
}

void EventHub::leave(Listener *listener) {
  std::lock_guard lock(mutex_);
  listeners_.remove(listener);
}

EventHub::Listener::~Listener() { hub_.leave(this); }

std::optional<std::string> EventHub::Listener::next(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  arrived_.wait_for(lock, timeout, [&] { return over_ || !queue_.empty(); });
  if (over_) return std::nullopt;
  if (queue_.empty()) return std::string();
  std::string record = std::move(queue_.front());
  queue_.pop_front();
  return record;
}

std::string sse_record(const std::string &event, const std::string &data) {
  return "event: " + event + "\ndata: " + data + "\n\n";
}

}  // namespace zolweb
