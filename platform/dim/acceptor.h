// A listening socket whose connections pass their listener's admission limits before they are
// handed on; shared by servers and the name server.
//
// It listens on all interfaces, IPv6 and IPv4 together where the host has IPv6 (else IPv4
// only), so a peer may come either way. Runs on the one thread of its io_context, like the
// Admission it fills.
#pragma once

#include <asio.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/dim/admission.h"

namespace dim {

class Acceptor {
 public:
  // A connection that got a place in the admission limits, still to be counted there.
  struct Newcomer {
    asio::ip::tcp::socket socket;
    asio::ip::address address;  // as plain_address gives it
    std::string key;            // Admission::key_of(address)
    std::string label;          // "<role> address:port"
  };
  using Admit = std::function<void(Newcomer &&)>;

  // `program` starts its lines on stderr; `role` starts the label of each newcomer.
  Acceptor(asio::io_context &io, Admission &admission, const char *program, const char *role);

  // `reuse_address` lets a restarted listener take its fixed port at once.
  asio::error_code listen(uint16_t port, bool reuse_address);
  uint16_t port() const { return port_; }
  // Accepts until the io_context stops; call on its thread.
  void start(Admit admit);

 private:
  void accept_next();
  void admit(asio::ip::tcp::socket socket);

  asio::io_context &io_;
  Admission &admission_;
  const char *program_;
  const char *role_;
  asio::ip::tcp::acceptor acceptor_;
  uint16_t port_ = 0;
  Admit admit_;
  std::unique_ptr<asio::steady_timer> pause_;
};

}  // namespace dim
