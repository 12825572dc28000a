// The name server: servers register their name, address and entries; clients look names up.
//
// Single-threaded: everything runs on the io_context given to it. A server's names live as
// long as its registration connection; when that closes, they are forgotten.
#pragma once

#include <asio.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>

#include "platform/dim/connection.h"
#include "platform/dim/wire.h"

namespace dim {

class NameServer {
 public:
  // Listens on `port` on all interfaces (0: any free port). On failure error is set.
  NameServer(asio::io_context &io, uint16_t port, std::string &error);
  uint16_t port() const { return port_; }

 private:
  struct Peer {
    std::shared_ptr<Connection> conn;
    std::string server;  // empty until it registers
  };
  struct Server {
    Connection *owner = nullptr;
    std::string host;
    uint32_t port = 0;
    uint32_t pid = 0;
    std::map<std::string, wire::EntryKind> entries;
  };
  struct Owner {
    wire::EntryKind kind;
    std::string server;
  };

  void accept_next();
  void on_frame(Connection *c, wire::Frame &&f);
  void on_closed(Connection *c);
  void on_register(Connection *c, Peer &peer, wire::RegisterMsg m);
  void add_entry(Connection *c, Server &s, const std::string &server, const wire::Entry &e);
  wire::Bytes list_reply(uint32_t request) const;

  asio::io_context &io_;
  asio::ip::tcp::acceptor acceptor_;
  uint16_t port_ = 0;
  std::unordered_map<Connection *, Peer> peers_;
  std::map<std::string, Server> servers_;
  std::map<std::string, Owner> names_;
};

}  // namespace dim
