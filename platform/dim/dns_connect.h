// Reaching a name server: resolve its host, connect, hand over the socket. Servers (for their
// registration) and clients (for lookups) both go through it.
//
// Each attempt has a number. Starting a new attempt or abandoning the current one makes
// everything the old one still has pending be ignored, so a late completion never touches a
// link set up since; owners use the same number to ignore the close of a link they dropped.
// Runs on the one thread of its io_context.
#pragma once

#include <asio.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace dim {

class NameServerConnector {
 public:
  // On success `socket` is connected and `error` empty; else `socket` is null.
  using Done =
      std::function<void(std::shared_ptr<asio::ip::tcp::socket> socket, const std::string &error)>;

  explicit NameServerConnector(asio::io_context &io) : io_(io), resolver_(io) {}
  NameServerConnector(const NameServerConnector &) = delete;
  NameServerConnector &operator=(const NameServerConnector &) = delete;
  ~NameServerConnector() { abandon(); }

  // Abandons any attempt under way and starts one; `done` runs unless it is abandoned too.
  uint64_t start(const std::string &node, const std::string &port, Done done);
  void abandon();
  uint64_t attempt() const { return *attempt_; }
  bool current(uint64_t attempt) const { return attempt == *attempt_; }

 private:
  void connect(const asio::ip::tcp::resolver::results_type &results, const std::string &where,
               uint64_t attempt, Done done);

  asio::io_context &io_;
  asio::ip::tcp::resolver resolver_;
  std::shared_ptr<asio::ip::tcp::socket> connecting_;
  // Shared with the pending completions, which may outlive this object: they check it first.
  std::shared_ptr<uint64_t> attempt_ = std::make_shared<uint64_t>(0);
};

}  // namespace dim
