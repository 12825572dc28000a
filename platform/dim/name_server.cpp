#include "platform/dim/name_server.h"

#include <cstdio>

namespace dim {

namespace {
constexpr std::size_t kMaxPeers = 4096;
constexpr std::size_t kMaxEntriesPerServer = 65536;

std::string peer_text(const asio::ip::tcp::socket &s) {
  asio::error_code ec;
  auto ep = s.remote_endpoint(ec);
  if (ec) return "a peer";
  auto addr = ep.address();
  if (addr.is_v6() && addr.to_v6().is_v4_mapped())
    addr = asio::ip::make_address_v4(asio::ip::v4_mapped, addr.to_v6());
  return "peer " + addr.to_string() + ":" + std::to_string(ep.port());
}
}  // namespace

NameServer::NameServer(asio::io_context &io, uint16_t port, std::string &error)
    : io_(io), acceptor_(io) {
  asio::error_code ec;
  acceptor_.open(asio::ip::tcp::v6(), ec);
  if (!ec) acceptor_.set_option(asio::ip::v6_only(false), ec);
  if (!ec) acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) acceptor_.bind(asio::ip::tcp::endpoint(asio::ip::tcp::v6(), port), ec);
  if (ec) {
    // No IPv6 on this host: IPv4 only.
    asio::error_code ignored;
    acceptor_.close(ignored);
    ec.clear();
    acceptor_.open(asio::ip::tcp::v4(), ec);
    if (!ec) acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) acceptor_.bind(asio::ip::tcp::endpoint(asio::ip::tcp::v4(), port), ec);
  }
  if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    error = "cannot listen on port " + std::to_string(port) + ": " + ec.message();
    return;
  }
  port_ = acceptor_.local_endpoint().port();
  accept_next();
}

void NameServer::accept_next() {
  acceptor_.async_accept([this](const asio::error_code &ec, asio::ip::tcp::socket socket) {
    if (ec == asio::error::operation_aborted) return;
    if (!ec) {
      std::string label = peer_text(socket);
      if (peers_.size() >= kMaxPeers) {
        std::fprintf(stderr, "dim_dns: refusing %s: too many connections\n", label.c_str());
      } else {
        auto conn = std::make_shared<Connection>(std::move(socket), std::move(label),
                                                 Connection::Options{});
        Connection *c = conn.get();
        peers_[c] = Peer{conn, {}};
        conn->start([this, c](wire::Frame &&f) { on_frame(c, std::move(f)); },
                    [this, c](const std::string &) { on_closed(c); });
      }
    } else {
      std::fprintf(stderr, "dim_dns: accept failed: %s\n", ec.message().c_str());
    }
    accept_next();
  });
}

void NameServer::on_frame(Connection *c, wire::Frame &&f) {
  auto pit = peers_.find(c);
  if (pit == peers_.end()) return;
  Peer &peer = pit->second;
  switch (f.kind()) {
    case wire::Kind::kRegister: {
      auto m = wire::decode_register(f);
      if (!m || m->server.empty()) {
        c->close("malformed registration");
        return;
      }
      if (!peer.server.empty()) {
        c->close("registered twice on one connection");
        return;
      }
      on_register(c, peer, std::move(*m));
      return;
    }
    case wire::Kind::kAddEntry: {
      auto e = wire::decode_add_entry(f);
      if (!e || e->name.empty()) {
        c->close("malformed entry");
        return;
      }
      if (peer.server.empty()) {
        c->close("entry before registration");
        return;
      }
      add_entry(c, servers_[peer.server], peer.server, *e);
      return;
    }
    case wire::Kind::kLookup: {
      auto m = wire::decode_lookup(f);
      if (!m) {
        c->close("malformed lookup");
        return;
      }
      wire::LookupReplyMsg r;
      r.request = m->request;
      auto it = names_.find(m->name);
      if (it != names_.end()) {
        const Server &s = servers_.at(it->second.server);
        r.found = true;
        r.kind = it->second.kind;
        r.server = it->second.server;
        r.host = s.host;
        r.port = s.port;
      }
      c->send(wire::encode(r));
      return;
    }
    case wire::Kind::kList: {
      auto request = wire::decode_list(f);
      if (!request) {
        c->close("malformed list request");
        return;
      }
      c->send(list_reply(*request));
      return;
    }
    default:
      c->close("unexpected frame kind " + std::to_string(static_cast<int>(f.kind())));
      return;
  }
}

void NameServer::on_register(Connection *c, Peer &peer, wire::RegisterMsg m) {
  auto existing = servers_.find(m.server);
  if (existing != servers_.end()) {
    const Server &s = existing->second;
    const std::string text = "server name " + m.server + " is already registered by " + s.host +
                             ":" + std::to_string(s.port) + " (pid " + std::to_string(s.pid) + ")";
    std::printf("dim_dns: refused %s from %s: %s\n", m.server.c_str(), c->label().c_str(),
                text.c_str());
    c->send(wire::encode(wire::RegisterReplyMsg{false, text}));
    return;
  }
  peer.server = m.server;
  Server &s = servers_[m.server];
  s.owner = c;
  s.host = m.host;
  s.port = m.port;
  s.pid = m.pid;
  for (const auto &e : m.entries) add_entry(c, s, m.server, e);
  std::printf("dim_dns: server %s registered at %s:%u with %zu names\n", m.server.c_str(),
              s.host.c_str(), static_cast<unsigned>(s.port), s.entries.size());
  c->send(wire::encode(wire::RegisterReplyMsg{true, {}}));
}

void NameServer::add_entry(Connection *c, Server &s, const std::string &server,
                           const wire::Entry &e) {
  auto it = names_.find(e.name);
  if (it != names_.end()) {
    if (it->second.server == server) return;  // already ours (sent again after an addition)
    c->send(wire::encode(wire::EntryRefusedMsg{
        e.name, "already offered by server " + it->second.server}));
    return;
  }
  if (s.entries.size() >= kMaxEntriesPerServer) {
    c->send(wire::encode(wire::EntryRefusedMsg{e.name, "too many names for one server"}));
    return;
  }
  names_[e.name] = Owner{e.kind, server};
  s.entries[e.name] = e.kind;
}

wire::Bytes NameServer::list_reply(uint32_t request) const {
  wire::ListReplyMsg r;
  r.request = request;
  std::size_t bytes = 0;
  for (const auto &[name, s] : servers_) {
    wire::ServerInfo info{name, s.host, s.port, s.pid, {}};
    bytes += name.size() + s.host.size() + 16;
    for (const auto &[entry, kind] : s.entries) {
      bytes += entry.size() + 3;
      info.entries.push_back(wire::Entry{kind, entry});
    }
    if (bytes > wire::kMaxPayload) {
      r.truncated = true;
      break;
    }
    r.servers.push_back(std::move(info));
  }
  return wire::encode(r);
}

void NameServer::on_closed(Connection *c) {
  auto pit = peers_.find(c);
  if (pit == peers_.end()) return;
  const std::string server = pit->second.server;
  if (!server.empty()) {
    auto sit = servers_.find(server);
    if (sit != servers_.end() && sit->second.owner == c) {
      for (const auto &[entry, kind] : sit->second.entries) names_.erase(entry);
      servers_.erase(sit);
      std::printf("dim_dns: server %s gone\n", server.c_str());
    }
  }
  // The connection may still be running its own callback: free it on the next turn.
  asio::post(io_, [keep = std::move(pit->second.conn)] {});
  peers_.erase(pit);
}

}  // namespace dim
