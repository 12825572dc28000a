#include "platform/dim/short_read.h"

#include <sys/socket.h>

#include <cerrno>

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
  fd_ = socket.native_handle();
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

asio::detail::reactor_op::status ShortRead::perform(asio::detail::reactor_op *base) {
  auto *self = static_cast<ShortRead *>(base);
  ssize_t r;
  do {
    r = ::recv(self->fd_, self->data_, self->size_, MSG_DONTWAIT);
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
  return self->bytes_transferred_ < self->size_ ? done_and_exhausted : done;
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
