#include "platform/dim/short_read.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstring>

namespace dim {

namespace {
// The socket's reactor registration, which asio keeps in a protected member.
struct SocketInternals : asio::ip::tcp::socket {
  static auto &of(asio::ip::tcp::socket &s) {
    return (s.*&SocketInternals::impl_).get_implementation();
  }
};
}  // namespace

ShortRead::ShortRead(Done on_done, void *target)
    : asio::detail::reactor_op(asio::error_code(), &ShortRead::perform, &ShortRead::complete),
      done_(on_done),
      target_(target) {}

void ShortRead::start(asio::ip::tcp::socket &socket, void *data, std::size_t size,
                      std::shared_ptr<void> keep) {
  ec_ = asio::error_code();
  bytes_transferred_ = 0;
  cancellation_key_ = nullptr;
  if (fd_ != socket.native_handle()) {
    fd_ = socket.native_handle();
    const int on = 1;
    told_what_is_left_ = ::setsockopt(fd_, IPPROTO_TCP, TCP_INQ, &on, sizeof on) == 0;
  }
  data_ = data;
  size_ = size;
  keep_ = std::move(keep);
  auto &impl = SocketInternals::of(socket);
  // Looked up once: the lookup takes the context's service registry lock.
  if (reactor_ == nullptr)
    reactor_ = &asio::use_service<asio::detail::reactor>(socket.get_executor().context());
  reactor_->start_op(asio::detail::reactor::read_op, impl.socket_, impl.reactor_data_, this,
                     /*is_continuation=*/false, /*allow_speculative=*/true);
}

// With TCP_INQ the kernel says, with each read, how much is left to read, and counts a close
// that has arrived as something left: so "nothing left" means the next arrival, data or close,
// comes with a new edge. A read shorter than its buffer alone does not prove it: the peer's
// close may have come with the data.
asio::detail::reactor_op::status ShortRead::perform(asio::detail::reactor_op *base) {
  auto *self = static_cast<ShortRead *>(base);
  iovec iov{self->data_, self->size_};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
  msghdr m{};
  m.msg_iov = &iov;
  m.msg_iovlen = 1;
  if (self->told_what_is_left_) {
    m.msg_control = control;
    m.msg_controllen = sizeof control;
  }
  ssize_t r;
  do {
    r = ::recvmsg(self->fd_, &m, MSG_DONTWAIT);
  } while (r < 0 && errno == EINTR);
  if (r < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return not_done;
    self->ec_ = asio::error_code(errno, asio::system_category());
    return done;
  }
  if (r == 0) {
    self->ec_ = asio::error::eof;
    return done_and_exhausted;
  }
  self->bytes_transferred_ = static_cast<std::size_t>(r);
  for (cmsghdr *c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c)) {
    if (c->cmsg_level != IPPROTO_TCP || c->cmsg_type != TCP_CM_INQ) continue;
    int left = -1;
    std::memcpy(&left, CMSG_DATA(c), sizeof left);
    if (left == 0) return done_and_exhausted;
  }
  return done;  // more to read, a close to read, or not told: asio reads again at once
}

void ShortRead::complete(void *owner, asio::detail::operation *base, const asio::error_code &,
                         std::size_t) {
  auto *self = static_cast<ShortRead *>(static_cast<asio::detail::reactor_op *>(base));
  // The owner may go with `keep`, and this object with it: nothing of it is touched after.
  std::shared_ptr<void> keep = std::move(self->keep_);
  if (owner == nullptr) return;  // the io_context is being destroyed
  const asio::error_code ec = self->ec_;
  const std::size_t n = self->bytes_transferred_;
  self->done_(self->target_, ec, n);
}

}  // namespace dim
