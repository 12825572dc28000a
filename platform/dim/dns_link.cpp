#include "platform/dim/dns_link.h"

#include <cstdio>

#include "platform/dim/runtime.h"

namespace dim {

NameServerLink::NameServerLink(Runtime &rt, NameServerAddress where)
    : rt_(rt), where_(std::move(where)), connector_(rt.dispatch()), timer_(rt.dispatch()) {}

void NameServerLink::ask(wire::Bytes frame, uint32_t request, Reply reply) {
  requests_[request] =
      Request{std::move(reply), std::chrono::steady_clock::now() + name_server_timeout()};
  watch_answers();
  if (up_) {
    conn_->send(std::move(frame));
    return;
  }
  queue_.push_back(std::move(frame));
  connect();
}

// Requests are answered in order, so the oldest one unanswered decides: once it is overdue,
// the name server counts as unreachable (it may accept connections and never answer).
void NameServerLink::watch_answers() {
  if (timer_armed_ || requests_.empty()) return;
  auto oldest = requests_.begin()->second.deadline;
  for (const auto &[id, r] : requests_) oldest = std::min(oldest, r.deadline);
  timer_armed_ = true;
  timer_.expires_at(oldest);
  timer_.async_wait([this](const asio::error_code &ec) {
    if (ec == asio::error::operation_aborted) return;  // possibly from our destructor
    timer_armed_ = false;
    const auto now = std::chrono::steady_clock::now();
    for (const auto &[id, r] : requests_) {
      if (r.deadline <= now) {
        down("the name server did not answer within " +
             std::to_string(name_server_timeout().count()) + " ms");
        return;
      }
    }
    watch_answers();
  });
}

void NameServerLink::connect() {
  if (connecting_ || up_) return;
  connecting_ = true;
  const std::string where = where_.text();
  connector_.start(where_.node, where_.port, [this, where](auto socket, const std::string &error) {
    if (!socket) {
      down(error);
      return;
    }
    const uint64_t attempt = connector_.attempt();
    Connection::Options o;
    o.hold_on_backlog = false;
    conn_ = std::make_shared<Connection>(std::move(*socket), "name server " + where, o);
    connecting_ = false;
    up_ = true;
    if (reported_) std::fprintf(stderr, "dim: name server %s reached\n", where.c_str());
    reported_ = false;
    conn_->start([this](wire::Frame &&f) { on_frame(std::move(f)); },
                 [this, attempt](const std::string &why) {
                   if (!connector_.current(attempt)) return;  // we dropped it ourselves
                   down(why.empty() ? "name server closed the link" : why);
                 });
    auto queued = std::move(queue_);
    queue_.clear();
    for (auto &q : queued) conn_->send(std::move(q));
  });
}

void NameServerLink::on_frame(wire::Frame &&f) {
  std::optional<uint32_t> request;
  if (f.kind() == wire::Kind::kLookupReply) {
    if (auto r = wire::decode_lookup_reply(f)) request = r->request;
  } else if (f.kind() == wire::Kind::kListReply) {
    if (auto r = wire::decode_list_reply(f)) request = r->request;
  }
  if (!request) {
    conn_->close("malformed or unexpected frame from the name server");
    return;
  }
  auto node = requests_.extract(*request);
  if (!node.empty()) node.mapped().reply(&f, {});
}

void NameServerLink::down(const std::string &why, bool report) {
  connector_.abandon();
  connecting_ = false;
  up_ = false;
  if (conn_) {
    conn_->drop();
    rt_.to_dispatch([keep = std::move(conn_)] {});
    conn_.reset();
  }
  if (report && !reported_) {
    std::fprintf(stderr, "dim: %s\n", why.c_str());
    reported_ = true;
  }
  queue_.clear();
  auto requests = std::move(requests_);
  requests_.clear();
  for (auto &[id, r] : requests) r.reply(nullptr, why);
}

}  // namespace dim
