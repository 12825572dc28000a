#include "platform/dim/admission.h"

#include <sys/resource.h>

#include <cstdlib>

#include "platform/dim/connection.h"
#include "platform/dim/log_limit.h"
#include "platform/dim/peer_address.h"

namespace dim {

std::string Admission::key_of(const asio::ip::address &peer) {
  const auto a = plain_address(peer);
  if (a.is_v4()) return a.to_string();
  auto bytes = a.to_v6().to_bytes();
  for (std::size_t i = 8; i < bytes.size(); ++i) bytes[i] = 0;
  return asio::ip::address_v6(bytes).to_string() + "/64";
}

bool Admission::fits(const std::string &key) const {
  if (entries_.size() >= limits_.total) return false;
  auto it = addresses_.find(key);
  return it == addresses_.end() || it->second.count < limits_.per_address;
}

void Admission::forget_heard(Order &order) {
  while (!order.empty() && order.front()->heard()) {
    Entry &e = entries_.at(order.front());
    e.silent = false;
    silent_.erase(e.in_all);
    addresses_.at(e.key).silent.erase(e.in_address);
  }
}

bool Admission::make_room(const std::string &key, const std::string &label, const char *program) {
  while (!fits(key)) {
    Connection *c = victim(key);
    if (!c) {
      connection_log().print(std::string(program) + ": refusing " + label +
                             ": too many connections");
      return false;
    }
    connection_log().print(std::string(program) + ": closing " + c->label() +
                           ", silent since it connected, to make room for " + label);
    c->drop();
    remove(c);  // the close handler does it too; made sure of here
  }
  return true;
}

Connection *Admission::victim(const std::string &key) {
  auto it = addresses_.find(key);
  if (it != addresses_.end() && it->second.count >= limits_.per_address) {
    forget_heard(it->second.silent);
    return it->second.silent.empty() ? nullptr : it->second.silent.front();
  }
  forget_heard(silent_);
  return silent_.empty() ? nullptr : silent_.front();
}

void Admission::add(Connection *c, const std::string &key) {
  PerAddress &a = addresses_[key];
  ++a.count;
  Entry e;
  e.key = key;
  e.in_all = silent_.insert(silent_.end(), c);
  e.in_address = a.silent.insert(a.silent.end(), c);
  entries_[c] = std::move(e);
}

void Admission::remove(Connection *c) {
  auto it = entries_.find(c);
  if (it == entries_.end()) return;
  auto a = addresses_.find(it->second.key);
  if (it->second.silent) {
    silent_.erase(it->second.in_all);
    a->second.silent.erase(it->second.in_address);
  }
  if (--a->second.count == 0) addresses_.erase(a);
  entries_.erase(it);
}

std::chrono::milliseconds handshake_timeout() {
  static const std::chrono::milliseconds timeout = [] {
    if (const char *env = std::getenv("DIM_HANDSHAKE_TIMEOUT_MS")) {
      char *end = nullptr;
      const long ms = std::strtol(env, &end, 10);
      if (*env && *end == '\0' && ms > 0) return std::chrono::milliseconds(ms);
    }
    return std::chrono::milliseconds(10000);
  }();
  return timeout;
}

void allow_descriptors(std::size_t wanted) {
  rlimit r{};
  if (getrlimit(RLIMIT_NOFILE, &r) != 0 || r.rlim_cur >= wanted) return;
  r.rlim_cur = r.rlim_max == RLIM_INFINITY || r.rlim_max >= wanted ? wanted : r.rlim_max;
  setrlimit(RLIMIT_NOFILE, &r);
}

}  // namespace dim
