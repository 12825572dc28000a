// The name server: servers register their name, address and entries; clients look names up.
//
// Single-threaded: everything runs on the io_context given to it. A server's names live as
// long as its registration connection; when that closes, they are forgotten.
//
// Who may hold a name: a service or command name belongs under its server's name
// (/ZOL/KeshV2_00/SERVER offers /ZOL/KeshV2_00/...), unless `any_names` is set, and no two
// servers hold nested spaces of names (/ZOL/SERVER, /ZOL/KeshV2_00 or /ZOL/KeshV2_00/CMD/SERVER
// beside /ZOL/KeshV2_00/SERVER), so every name has one possible holder; hosts outside
// `may_register` register nothing; a name under an owner rule's prefix is taken only from that
// rule's hosts. For `grace` after start the name server cannot know which names were held
// before it (re)started, so only servers that say they held theirs (a reclaim) get in, and
// newcomers are told to come back shortly.
#pragma once

#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/dim/acceptor.h"
#include "platform/dim/admission.h"
#include "platform/dim/connection.h"
#include "platform/dim/host_range.h"
#include "platform/dim/wire.h"

namespace dim {

struct NameServerOptions {
  std::chrono::milliseconds grace{3000};
  bool any_names = false;
  std::vector<HostRange> may_register;  // empty: every host
  struct OwnerRule {
    std::string prefix;
    std::vector<HostRange> hosts;
  };
  std::vector<OwnerRule> owners;
  // What one server may hold, so one registration cannot take the name server's memory.
  std::size_t max_names = 4096;
  std::size_t max_name_bytes = std::size_t{1} << 20;
  // A list reply is sent in pages of about this size (a larger server still goes whole).
  std::size_t list_page_bytes = std::size_t{4} << 20;
};

class NameServer {
 public:
  // Listens on `port` on all interfaces (0: any free port). On failure error is set.
  NameServer(asio::io_context &io, uint16_t port, NameServerOptions options, std::string &error);
  uint16_t port() const { return port_; }

 private:
  struct Peer {
    std::shared_ptr<Connection> conn;
    asio::ip::address address;
    std::string server;  // empty until it registers
  };
  struct Server {
    Connection *owner = nullptr;
    std::string host;
    uint32_t port = 0;
    uint32_t pid = 0;
    std::map<std::string, wire::EntryKind> entries;
    std::size_t name_bytes = 0;
  };
  struct Owner {
    wire::EntryKind kind;
    std::string server;
  };

  void admit(Acceptor::Newcomer &&n);
  void on_frame(Connection *c, wire::Frame &&f);
  void on_closed(Connection *c);
  void on_register(Connection *c, Peer &peer, wire::RegisterMsg m);
  void refuse_registration(Connection *c, const Peer &peer, const std::string &server,
                           const std::string &why);
  // Empty when `peer` may hold `name` as an entry of `server`; else why not.
  std::string entry_refusal(const Peer &peer, const std::string &server, const Server &s,
                            const wire::Entry &e) const;
  bool add_entry(Connection *c, const Peer &peer, Server &s, const std::string &server,
                 const wire::Entry &e);
  std::string owner_refusal(const asio::ip::address &a, const std::string &name) const;
  // Empty when the host may hold the whole space of names under `prefix`; else why not.
  std::string space_refusal(const asio::ip::address &a, const std::string &prefix) const;
  // The registered server whose space of names lies inside `prefix`'s or contains it.
  const std::string *overlapping(const std::string &prefix) const;
  bool log_allowed(const asio::ip::address &a);
  wire::Bytes list_reply(uint32_t request, const std::string &after) const;

  asio::io_context &io_;
  NameServerOptions options_;
  std::chrono::steady_clock::time_point started_;
  uint16_t port_ = 0;
  std::unordered_map<Connection *, Peer> peers_;
  Admission admission_;
  std::shared_ptr<SharedBudget> frame_budget_;
  std::shared_ptr<SharedBudget> answer_budget_;
  Acceptor acceptor_;
  std::map<std::string, Server> servers_;
  std::map<std::string, Owner> names_;
  // Each registered server's space of names (names_prefix of its name) and the server.
  std::map<std::string, std::string> spaces_;
  // When each peer host's refusals were last logged: one line per host and minute.
  std::map<std::string, std::chrono::steady_clock::time_point> logged_;
};

// The names a server may offer start with this: its name without a last "/SERVER", then "/".
std::string names_prefix(const std::string &server);

// Whether a registration's host text is a host name or address a client can be sent to.
bool plausible_host(std::string_view host);

}  // namespace dim
