#include "bench/station.h"

#include <cstring>

#include "platform/dim/dim.h"
#include "platform/dim/dim_extra.h"

namespace zolbench {

namespace {
char no_link[8] = "No Link";
}

ServiceWatch::ServiceWatch(const std::string &service) {
  id_ = dic_info_service_(service.c_str(), MONITORED, 0, nullptr, 0, on_update,
                          reinterpret_cast<long>(this), no_link, sizeof no_link);
}

ServiceWatch::~ServiceWatch() { dim::release_service(id_); }

void ServiceWatch::on_update(long *tag, void *data, int *size) {
  const auto now = Clock::now();
  if (dim::delivering_fill()) return;  // no link: not an answer
  auto *self = reinterpret_cast<ServiceWatch *>(*tag);
  std::lock_guard lock(self->mutex_);
  self->last_.count += 1;
  self->last_.word = 0;
  if (*size >= 4) std::memcpy(&self->last_.word, data, 4);
  self->last_.at = now;
  self->arrived_.notify_all();
}

uint64_t ServiceWatch::count() {
  std::lock_guard lock(mutex_);
  return last_.count;
}

std::optional<ServiceWatch::Delivery> ServiceWatch::wait_past(uint64_t seen,
                                                              std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  if (!arrived_.wait_for(lock, timeout, [&] { return last_.count > seen; })) return std::nullopt;
  return last_;
}

std::optional<ServiceWatch::Delivery> command_and_wait(const std::string &command, const void *data,
                                                       int size, ServiceWatch &watch,
                                                       std::chrono::milliseconds timeout,
                                                       Clock::time_point *sent) {
  const uint64_t seen = watch.count();
  *sent = Clock::now();
  dic_cmnd_service_(command.c_str(), const_cast<void *>(data), size);
  return watch.wait_past(seen, timeout);
}

}  // namespace zolbench
