// A client's link to one name server: requests go out numbered, answers are matched by number,
// and a request left unanswered past the name-server timeout counts the name server as
// unreachable. Connects on the first request and again after a loss. Dispatch thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/dim/connection.h"
#include "platform/dim/dns_connect.h"
#include "platform/dim/name_server_list.h"
#include "platform/dim/wire.h"

namespace dim {

class Runtime;

class NameServerLink {
 public:
  // The answer frame, or null and why there is none.
  using Reply = std::function<void(const wire::Frame *frame, const std::string &error)>;

  NameServerLink(Runtime &rt, NameServerAddress where);
  NameServerLink(const NameServerLink &) = delete;
  NameServerLink &operator=(const NameServerLink &) = delete;

  const NameServerAddress &where() const { return where_; }
  // Neither connected nor connecting.
  bool idle() const { return !up_ && !connecting_; }
  // `frame` carries `request`; `reply` runs exactly once, never before ask returns.
  void ask(wire::Bytes frame, uint32_t request, Reply reply);
  // Fails every request waiting and drops the link (the next request connects again); says
  // why on stderr, once until the name server is reached again, when `report` is set.
  void down(const std::string &why, bool report = true);

 private:
  struct Request {
    Reply reply;
    std::chrono::steady_clock::time_point deadline;
  };
  void connect();
  void on_frame(wire::Frame &&f);
  void watch_answers();

  Runtime &rt_;
  NameServerAddress where_;
  NameServerConnector connector_;
  std::shared_ptr<Connection> conn_;
  bool up_ = false;
  bool connecting_ = false;
  bool reported_ = false;  // its loss is on stderr; its return will be too
  std::vector<wire::Bytes> queue_;
  std::map<uint32_t, Request> requests_;
  asio::steady_timer timer_;
  bool timer_armed_ = false;
};

}  // namespace dim
