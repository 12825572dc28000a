#include "platform/dim/acceptor.h"

#include <chrono>

#include "platform/dim/connection.h"
#include "platform/dim/log_limit.h"
#include "platform/dim/peer_address.h"

namespace dim {

namespace {
// After a failed accept (out of descriptors), wait this long before the next: long enough not
// to spin, short enough that a freed descriptor is used at once.
constexpr auto kAcceptPause = std::chrono::milliseconds(100);
}  // namespace

Acceptor::Acceptor(asio::io_context &io, Admission &admission, const char *program,
                   const char *role)
    : io_(io), admission_(admission), program_(program), role_(role), acceptor_(io) {}

asio::error_code Acceptor::listen(uint16_t port, bool reuse_address) {
  asio::error_code ec;
  acceptor_.open(asio::ip::tcp::v6(), ec);
  if (!ec) acceptor_.set_option(asio::ip::v6_only(false), ec);
  if (!ec && reuse_address) acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) acceptor_.bind(asio::ip::tcp::endpoint(asio::ip::tcp::v6(), port), ec);
  if (ec) {
    // No IPv6 on this host: IPv4 only.
    asio::error_code ignored;
    acceptor_.close(ignored);
    ec.clear();
    acceptor_.open(asio::ip::tcp::v4(), ec);
    if (!ec && reuse_address) acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) acceptor_.bind(asio::ip::tcp::endpoint(asio::ip::tcp::v4(), port), ec);
  }
  if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
  if (!ec) port_ = acceptor_.local_endpoint(ec).port();
  return ec;
}

void Acceptor::start(Admit admit) {
  admit_ = std::move(admit);
  accept_next();
}

void Acceptor::accept_next() {
  acceptor_.async_accept([this](const asio::error_code &ec, asio::ip::tcp::socket socket) {
    if (ec == asio::error::operation_aborted) return;
    if (!ec) {
      admit(std::move(socket));
      accept_next();
      return;
    }
    // Out of descriptors or similar: free one if a silent connection holds it, and pause
    // rather than spin on the error.
    connection_log().print(std::string(program_) + ": accept failed: " + ec.message());
    if (Connection *victim = admission_.victim({})) {
      victim->drop();
      admission_.remove(victim);
    }
    if (!pause_) pause_ = std::make_unique<asio::steady_timer>(io_);
    pause_->expires_after(kAcceptPause);
    pause_->async_wait([this](const asio::error_code &e) {
      if (!e) accept_next();
    });
  });
}

// Room for a newcomer is made by closing the oldest connection that never sent a frame (of
// its address when that address is at its limit); only when none is left is it refused.
void Acceptor::admit(asio::ip::tcp::socket socket) {
  asio::error_code ec;
  const auto endpoint = socket.remote_endpoint(ec);
  if (ec) return;  // gone already
  Newcomer n{std::move(socket), plain_address(endpoint.address()), {}, peer_label(role_, endpoint)};
  n.key = Admission::key_of(n.address);
  if (!admission_.make_room(n.key, n.label, program_)) return;
  admit_(std::move(n));
}

}  // namespace dim
