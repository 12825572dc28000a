// A socket read that tells the event loop when it has emptied the socket.
//
// asio's own read cannot tell: after every read it either reads again at the next start (a
// recv that finds nothing) or, for a readiness wait, registers the socket afresh with epoll.
// Either costs a system call on every round trip. This read asks the kernel (TCP_INQ) what is
// left after it, and when nothing is, neither data nor the peer's close, tells the reactor,
// which then waits for the next arrival on the standing edge-triggered registration: one
// epoll_wait and one recv per arrival. Without TCP_INQ it reads like asio. Built on asio's
// reactor interface (asio::detail), which the Debian package we build against keeps.
//
// One read at a time per object; the object is reused for the next read, on sockets of one
// io_context. `keep` holds its owner alive while the read is pending, and is let go before
// `done` returns.
#pragma once

#include <asio.hpp>
#include <cstddef>
#include <memory>

namespace dim {

class ShortRead : private asio::detail::reactor_op {
 public:
  // Called on the thread that runs the socket's io_context, with the bytes read or the error
  // (asio::error::eof when the peer closed, operation_aborted when the socket was closed).
  using Done = void (*)(void *target, const asio::error_code &ec, std::size_t n);

  ShortRead(Done on_done, void *target);
  ShortRead(const ShortRead &) = delete;
  ShortRead &operator=(const ShortRead &) = delete;

  void start(asio::ip::tcp::socket &socket, void *data, std::size_t size,
             std::shared_ptr<void> keep);

 private:
  static status perform(asio::detail::reactor_op *base);
  static void complete(void *owner, asio::detail::operation *base, const asio::error_code &,
                       std::size_t);

  Done done_;
  void *target_;
  asio::detail::reactor *reactor_ = nullptr;
  int fd_ = -1;
  bool told_what_is_left_ = false;  // the kernel reports the bytes left after each read
  void *data_ = nullptr;
  std::size_t size_ = 0;
  std::shared_ptr<void> keep_;
};

}  // namespace dim
