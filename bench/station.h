// The station's side of the download benchmark: a subscription that timestamps every
// delivery of real contents as the messaging library hands it over, and a command sent and
// timed until the next delivery arrives.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace zolbench {

using Clock = std::chrono::steady_clock;

class ServiceWatch {
 public:
  struct Delivery {
    uint64_t count = 0;  // deliveries of contents so far, this one included
    int32_t word = 0;    // first 32-bit word of the contents (0 when shorter)
    Clock::time_point at;
  };

  explicit ServiceWatch(const std::string &service);
  ~ServiceWatch();
  ServiceWatch(const ServiceWatch &) = delete;
  ServiceWatch &operator=(const ServiceWatch &) = delete;

  uint64_t count();
  // Waits until a delivery beyond the first `seen` has arrived; nothing at the timeout.
  std::optional<Delivery> wait_past(uint64_t seen, std::chrono::milliseconds timeout);

 private:
  static void on_update(long *tag, void *data, int *size);

  unsigned id_ = 0;
  std::mutex mutex_;
  std::condition_variable arrived_;
  Delivery last_;
};

// Sends `size` bytes as the command `command` and waits for the next delivery on `watch`.
// The result's `at` minus `*sent` is the time the station waited; nothing at the timeout.
std::optional<ServiceWatch::Delivery> command_and_wait(const std::string &command, const void *data,
                                                       int size, ServiceWatch &watch,
                                                       std::chrono::milliseconds timeout,
                                                       Clock::time_point *sent);

}  // namespace zolbench
