// Fan-out of live events to the open pages (one Server-Sent Events stream each). A page that
// reads too slowly loses its stream rather than making the gateway queue without bound; the
// browser reconnects by itself and fetches the history it missed.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace zolweb {

class EventHub {
 public:
  class Listener;

  EventHub(size_t max_listeners, size_t max_queued);
  ~EventHub();
  EventHub(const EventHub &) = delete;
  EventHub &operator=(const EventHub &) = delete;

  // A listener for the events of `topic` (a board name; "" hears every topic), or null when
  // the hub already has its maximum of listeners or has been closed. The listener leaves
  // the hub when the last reference to it goes.
  std::shared_ptr<Listener> join(const std::string &topic);
  // Queues one event, already written as an event-stream record, for the topic's listeners.
  void publish(const std::string &topic, const std::string &record);
  // Ends every stream now and refuses new ones (the gateway is stopping).
  void close();
  size_t listeners() const;

  class Listener {
   public:
    // The next queued record, waiting at most `timeout`: an empty string when none came,
    // nothing when the stream is over (closed hub, or this listener fell too far behind).
    std::optional<std::string> next(std::chrono::milliseconds timeout);
    ~Listener();

   private:
    friend class EventHub;
    Listener(EventHub &hub, std::string topic) : hub_(hub), topic_(std::move(topic)) {}

    EventHub &hub_;
    const std::string topic_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<std::string> queue_;
    bool over_ = false;
  };

 private:
  void leave(Listener *listener);

  const size_t max_listeners_;
  const size_t max_queued_;
  mutable std::mutex mutex_;
  std::list<Listener *> listeners_;
  bool closed_ = false;
};

// One event-stream record: "event: <name>\ndata: <data>\n\n" (data holds no line end).
std::string sse_record(const std::string &event, const std::string &data);

}  // namespace zolweb
