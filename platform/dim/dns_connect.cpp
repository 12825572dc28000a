#include "platform/dim/dns_connect.h"

namespace dim {

uint64_t NameServerConnector::start(const std::string &node, const std::string &port, Done done) {
  abandon();
  const uint64_t attempt = *attempt_;
  const std::string where = node + ":" + port;
  asio::error_code numeric;
  const auto address = asio::ip::make_address(node, numeric);
  if (!numeric) {
    // An address needs no resolver, whose single thread would otherwise serve every
    // registration of a process one after the other.
    connect(
        asio::ip::tcp::resolver::results_type::create(
            asio::ip::tcp::endpoint(address, static_cast<uint16_t>(std::stoi(port))), node, port),
        where, attempt, std::move(done));
    return attempt;
  }
  resolver_.async_resolve(
      node, port,
      [this, where, attempt, state = attempt_, done = std::move(done)](
          const asio::error_code &ec, asio::ip::tcp::resolver::results_type results) mutable {
        if (attempt != *state) return;
        if (ec) {
          done(nullptr, "cannot resolve name server " + where + ": " + ec.message());
          return;
        }
        connect(results, where, attempt, std::move(done));
      });
  return attempt;
}

void NameServerConnector::connect(const asio::ip::tcp::resolver::results_type &results,
                                  const std::string &where, uint64_t attempt, Done done) {
  connecting_ = std::make_shared<asio::ip::tcp::socket>(io_);
  asio::async_connect(
      *connecting_, results,
      [this, socket = connecting_, where, attempt, state = attempt_, done = std::move(done)](
          const asio::error_code &ec, const asio::ip::tcp::endpoint &) {
        if (attempt != *state) return;
        connecting_.reset();
        if (ec) {
          done(nullptr, "cannot connect to name server " + where + ": " + ec.message());
          return;
        }
        done(socket, {});
      });
}

void NameServerConnector::abandon() {
  ++*attempt_;
  resolver_.cancel();
  if (connecting_) {
    asio::error_code ignored;
    connecting_->close(ignored);
    connecting_.reset();
  }
}

}  // namespace dim
