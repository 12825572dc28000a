// A peer that speaks to the name server by hand, frame by frame: a server that registers
// whatever it likes, as a hostile one would.
#pragma once

#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "platform/dim/wire.h"
#include "testing/raw_socket.h"

namespace zoltest {

namespace wire = dim::wire;

class DnsPeer {
 public:
  explicit DnsPeer(int port) : socket_(port) {}
  bool ok() const { return socket_.ok(); }
  bool send(const wire::Bytes &frame) { return socket_.send_all(frame); }

  // The next frame from the name server within `ms`; nothing on timeout or close.
  std::optional<wire::Frame> next(int ms = 3000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (frames_.empty()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            end - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0 || closed_) return std::nullopt;
      pollfd p{socket_.fd(), POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) return std::nullopt;
      auto room = reader_.buffer();
      const ssize_t n = recv(socket_.fd(), room.data(), room.size(), 0);
      if (n <= 0) {
        closed_ = true;
        return std::nullopt;
      }
      if (reader_.commit(static_cast<std::size_t>(n), frames_)) return std::nullopt;
    }
    wire::Frame f = std::move(frames_.front());
    frames_.erase(frames_.begin());
    return f;
  }
  // Registers and returns the name server's answer (nothing when none came).
  std::optional<wire::RegisterReplyMsg> register_as(const wire::RegisterMsg &m, int ms = 3000) {
    if (!send(wire::encode(m))) return std::nullopt;
    while (auto f = next(ms)) {
      if (f->kind() == wire::Kind::kRegisterReply) return wire::decode_register_reply(*f);
      if (f->kind() == wire::Kind::kEntryRefused) {
        if (auto r = wire::decode_entry_refused(*f)) refused.push_back(r->name);
      }
    }
    return std::nullopt;
  }
  // Entry refusals that arrived within `ms` of quiet, added to `refused`.
  void collect_refusals(int ms) {
    while (auto f = next(ms))
      if (auto r = wire::decode_entry_refused(*f)) refused.push_back(r->name);
  }
  bool closed_by_peer(int ms = 3000) {
    while (next(ms)) {
    }
    return closed_;
  }

  std::vector<std::string> refused;

 private:
  RawSocket socket_;
  wire::FrameReader reader_;
  std::vector<wire::Frame> frames_;
  bool closed_ = false;
};

// A registration as a server would send it, with `names` all offered as services.
inline wire::RegisterMsg registration(const std::string &server, std::vector<std::string> names,
                                      bool reclaim = false, uint32_t port = 9) {
  wire::RegisterMsg m;
  m.reclaim = reclaim;
  m.server = server;
  m.host = "127.0.0.1";
  m.port = port;
  m.pid = 1;
  for (auto &n : names) m.entries.push_back(wire::Entry{wire::EntryKind::kService, std::move(n)});
  return m;
}

}  // namespace zoltest
