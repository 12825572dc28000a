#include "platform/dim/name_server.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace dim {

namespace {
constexpr std::size_t kMaxPeers = 4096;
// Every server and every station process holds one connection; a quarter of the slots for one
// host leaves room for a busy one while no host can take them all.
constexpr std::size_t kMaxPeersPerAddress = 1024;
// Frames being received, all connections together: a few registrations of the largest size.
constexpr std::size_t kMinPartialFrameBudget = std::size_t{16} << 20;
// Answers waiting to be written, all connections together: a few list pages being read.
constexpr std::size_t kMinAnswerBudget = std::size_t{32} << 20;
constexpr auto kLogInterval = std::chrono::minutes(1);
// Requests and registrations are short; a whole experiment's servers hold a connection each,
// so each connection's read buffer counts a thousand times over.
constexpr std::size_t kReadBuffer = 4096;

// Nothing the name server receives comes near a registration of as many names as one server may
// hold; twice that, so an over-large registration still gets its clear refusal.
std::size_t largest_frame(const NameServerOptions &o) {
  const std::size_t texts = 2 * (2 + wire::kMaxName);
  return std::min(wire::kMaxFrameBody, 2 * (1 + texts + 12 + o.max_names * 3 + o.max_name_bytes));
}
}  // namespace

std::string names_prefix(const std::string &server) {
  static const std::string kLast = "/SERVER";
  if (server.size() > kLast.size() && server.ends_with(kLast))
    return server.substr(0, server.size() - kLast.size() + 1);
  return server + "/";
}

bool plausible_host(std::string_view host) {
  // A DNS name, a dotted IPv4 address, or an IPv6 address with its zone ("fe80::1%eth0").
  if (host.empty() || host.size() > 255) return false;
  return std::all_of(host.begin(), host.end(), [](char ch) {
    const auto u = static_cast<unsigned char>(ch);
    return std::isalnum(u) || ch == '.' || ch == '-' || ch == ':' || ch == '%' || ch == '_';
  });
}

NameServer::NameServer(asio::io_context &io, uint16_t port, NameServerOptions options,
                       std::string &error)
    : io_(io),
      options_(std::move(options)),
      started_(std::chrono::steady_clock::now()),
      admission_({kMaxPeers, kMaxPeersPerAddress}),
      frame_budget_(std::make_shared<SharedBudget>(
          SharedBudget::Kind::kFramesBeingReceived,
          std::max(kMinPartialFrameBudget, 2 * largest_frame(options_)))),
      answer_budget_(
          std::make_shared<SharedBudget>(SharedBudget::Kind::kAnswersWaiting,
                                         std::max(kMinAnswerBudget, 4 * options_.list_page_bytes))),
      acceptor_(io, admission_, "dim_dns", "peer") {
  allow_descriptors(kMaxPeers + 64);
  if (asio::error_code ec = acceptor_.listen(port, true)) {
    error = "cannot listen on port " + std::to_string(port) + ": " + ec.message();
    return;
  }
  port_ = acceptor_.port();
  acceptor_.start([this](Acceptor::Newcomer &&n) { admit(std::move(n)); });
}

void NameServer::admit(Acceptor::Newcomer &&n) {
  Connection::Options o;
  o.program = "dim_dns";
  o.max_frame_body = largest_frame(options_);
  o.frame_budget = frame_budget_;
  o.answer_budget = answer_budget_;
  o.handshake_timeout = handshake_timeout();
  o.read_buffer = kReadBuffer;
  auto conn = std::make_shared<Connection>(std::move(n.socket), std::move(n.label), std::move(o));
  Connection *c = conn.get();
  admission_.add(c, n.key);
  peers_[c] = Peer{conn, n.address, {}};
  conn->start([this, c](wire::Frame &&f) { on_frame(c, std::move(f)); },
              [this, c](const std::string &) { on_closed(c); });
}

void NameServer::on_frame(Connection *c, wire::Frame &&f) {
  auto pit = peers_.find(c);
  if (pit == peers_.end()) return;
  Peer &peer = pit->second;
  switch (f.kind()) {
    case wire::Kind::kRegister:
    case wire::Kind::kReclaim: {
      auto m = wire::decode_register(f);
      bool empty_entry = false;
      if (m)
        for (const auto &e : m->entries) empty_entry = empty_entry || e.name.empty();
      if (!m || m->server.empty() || empty_entry) {
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
      // Acknowledged, so a server that was refused a name knows when it finally has it.
      if (add_entry(c, peer, servers_[peer.server], peer.server, *e))
        c->send(wire::encode_entry_accepted(e->name));
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
      auto m = wire::decode_list(f);
      if (!m) {
        c->close("malformed list request");
        return;
      }
      c->send(list_reply(m->request, m->after));
      return;
    }
    default:
      c->close("unexpected frame kind " + std::to_string(static_cast<int>(f.kind())));
      return;
  }
}

bool NameServer::log_allowed(const asio::ip::address &a) {
  const auto now = std::chrono::steady_clock::now();
  if (logged_.size() > kMaxPeers)
    std::erase_if(logged_, [&](const auto &kv) { return now - kv.second >= kLogInterval; });
  auto [it, fresh] = logged_.try_emplace(a.to_string(), now);
  if (fresh) return true;
  if (now - it->second < kLogInterval) return false;
  it->second = now;
  return true;
}

void NameServer::refuse_registration(Connection *c, const Peer &peer, const std::string &server,
                                     const std::string &why) {
  if (log_allowed(peer.address))
    std::fprintf(stderr, "dim_dns: refused %s from %s: %s\n", wire::printable(server).c_str(),
                 c->label().c_str(), wire::printable(why).c_str());
  c->send(wire::encode(wire::RegisterReplyMsg{false, why}));
}

std::string NameServer::owner_refusal(const asio::ip::address &a, const std::string &name) const {
  bool ruled = false;
  for (const auto &rule : options_.owners) {
    if (!name.starts_with(rule.prefix)) continue;
    if (any_contains(rule.hosts, a)) return {};
    ruled = true;
  }
  if (!ruled) return {};
  return "names under this prefix may not be registered from host " + a.to_string();
}

std::string NameServer::space_refusal(const asio::ip::address &a, const std::string &prefix) const {
  // The server would hold every name under its prefix, so also those under an owner rule's
  // prefix that lies inside it (/ZOL/SERVER and a rule for /ZOL/KeshV2_00).
  if (std::string why = owner_refusal(a, prefix); !why.empty()) return why;
  for (const auto &rule : options_.owners) {
    if (!rule.prefix.starts_with(prefix)) continue;
    if (std::string why = owner_refusal(a, rule.prefix); !why.empty()) return why;
  }
  return {};
}

const std::string *NameServer::overlapping(const std::string &prefix) const {
  // A space that contains this one: its prefix is this one cut after one of its '/'.
  for (std::size_t i = prefix.find('/'); i != std::string::npos; i = prefix.find('/', i + 1)) {
    auto it = spaces_.find(prefix.substr(0, i + 1));
    if (it != spaces_.end()) return &it->second;
  }
  // A space inside this one sorts right after it.
  auto it = spaces_.lower_bound(prefix);
  if (it != spaces_.end() && it->first.starts_with(prefix)) return &it->second;
  return nullptr;
}

void NameServer::on_register(Connection *c, Peer &peer, wire::RegisterMsg m) {
  if (!options_.may_register.empty() && !any_contains(options_.may_register, peer.address)) {
    refuse_registration(c, peer, m.server,
                        "host " + peer.address.to_string() + " may not register servers here");
    return;
  }
  if (!plausible_host(m.host)) {
    refuse_registration(c, peer, m.server, "the host it gives is no host name or address");
    return;
  }
  if (std::string why = owner_refusal(peer.address, m.server); !why.empty()) {
    refuse_registration(c, peer, m.server, why);
    return;
  }
  const std::string space = options_.any_names ? std::string() : names_prefix(m.server);
  if (!space.empty()) {
    if (std::string why = space_refusal(peer.address, space); !why.empty()) {
      refuse_registration(c, peer, m.server, why);
      return;
    }
  }
  std::size_t bytes = 0;
  for (const auto &e : m.entries) bytes += e.name.size();
  if (m.entries.size() > options_.max_names || bytes > options_.max_name_bytes) {
    refuse_registration(c, peer, m.server,
                        std::to_string(m.entries.size()) + " names of " + std::to_string(bytes) +
                            " bytes are over the limit of " + std::to_string(options_.max_names) +
                            " names and " + std::to_string(options_.max_name_bytes) +
                            " bytes per server");
    return;
  }
  if (!m.reclaim && std::chrono::steady_clock::now() - started_ < options_.grace) {
    // Servers that held their names before this name server started come back first.
    c->send(wire::encode(wire::RegisterReplyMsg{
        false, "the name server has just started; returning servers come first", true}));
    return;
  }
  auto existing = servers_.find(m.server);
  if (existing != servers_.end()) {
    const Server &s = existing->second;
    refuse_registration(c, peer, m.server,
                        "server name " + m.server + " is already registered by " + s.host + ":" +
                            std::to_string(s.port) + " (pid " + std::to_string(s.pid) + ")");
    return;
  }
  // Nested spaces would let two servers claim one name, whichever came first; the space of a
  // server that is already registered stays whole.
  if (const std::string *other = space.empty() ? nullptr : overlapping(space)) {
    const Server &s = servers_.at(*other);
    refuse_registration(c, peer, m.server,
                        "names under " + space + " overlap those of server " + *other + " at " +
                            s.host + ":" + std::to_string(s.port) + " (pid " +
                            std::to_string(s.pid) + ")");
    return;
  }
  if (!space.empty()) spaces_[space] = m.server;
  peer.server = m.server;
  Server &s = servers_[m.server];
  s.owner = c;
  s.host = m.host;
  s.port = m.port;
  s.pid = m.pid;
  for (const auto &e : m.entries) add_entry(c, peer, s, m.server, e);
  std::printf("dim_dns: server %s registered at %s:%u with %zu names%s\n",
              wire::printable(m.server).c_str(), s.host.c_str(), static_cast<unsigned>(s.port),
              s.entries.size(), m.reclaim ? " (returning)" : "");
  c->send(wire::encode(wire::RegisterReplyMsg{true, {}}));
}

std::string NameServer::entry_refusal(const Peer &peer, const std::string &server, const Server &s,
                                      const wire::Entry &e) const {
  if (!options_.any_names) {
    const std::string prefix = names_prefix(server);
    if (!e.name.starts_with(prefix))
      return "a name of server " + server + " must start with " + prefix;
  }
  if (std::string why = owner_refusal(peer.address, e.name); !why.empty()) return why;
  auto it = names_.find(e.name);
  if (it != names_.end()) return "already offered by server " + it->second.server;
  if (s.entries.size() >= options_.max_names ||
      s.name_bytes + e.name.size() > options_.max_name_bytes)
    return "over the limit of " + std::to_string(options_.max_names) + " names and " +
           std::to_string(options_.max_name_bytes) + " bytes per server";
  return {};
}

bool NameServer::add_entry(Connection *c, const Peer &peer, Server &s, const std::string &server,
                           const wire::Entry &e) {
  auto it = names_.find(e.name);
  if (it != names_.end() && it->second.server == server)
    return true;  // already ours (sent again after an addition)
  if (std::string why = entry_refusal(peer, server, s, e); !why.empty()) {
    c->send(wire::encode(wire::EntryRefusedMsg{e.name, why}));
    return false;
  }
  names_[e.name] = Owner{e.kind, server};
  s.entries[e.name] = e.kind;
  s.name_bytes += e.name.size();
  return true;
}

wire::Bytes NameServer::list_reply(uint32_t request, const std::string &after) const {
  wire::ListReplyMsg r;
  r.request = request;
  std::size_t bytes = 0;
  auto it = after.empty() ? servers_.begin() : servers_.upper_bound(after);
  for (; it != servers_.end(); ++it) {
    const auto &[name, s] = *it;
    std::size_t size = name.size() + s.host.size() + 16;
    for (const auto &[entry, kind] : s.entries) size += entry.size() + 3;
    // Every page carries at least one server, so paging always moves on.
    if (!r.servers.empty() && bytes + size > options_.list_page_bytes) {
      r.truncated = true;
      break;
    }
    bytes += size;
    wire::ServerInfo info{name, s.host, s.port, s.pid, {}};
    info.entries.reserve(s.entries.size());
    for (const auto &[entry, kind] : s.entries) info.entries.push_back(wire::Entry{kind, entry});
    r.servers.push_back(std::move(info));
  }
  return wire::encode(r);
}

void NameServer::on_closed(Connection *c) {
  admission_.remove(c);
  auto pit = peers_.find(c);
  if (pit == peers_.end()) return;
  const std::string server = pit->second.server;
  if (!server.empty()) {
    auto sit = servers_.find(server);
    if (sit != servers_.end() && sit->second.owner == c) {
      for (const auto &[entry, kind] : sit->second.entries) names_.erase(entry);
      servers_.erase(sit);
      if (auto spc = spaces_.find(names_prefix(server));
          spc != spaces_.end() && spc->second == server)
        spaces_.erase(spc);
      std::printf("dim_dns: server %s gone\n", wire::printable(server).c_str());
    }
  }
  // The connection may still be running its own callback: free it on the next turn.
  asio::post(io_, [keep = std::move(pit->second.conn)] {});
  peers_.erase(pit);
}

}  // namespace dim
