#include "platform/dim/connection.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/dim/log_limit.h"

namespace dim {

namespace {
// At most this many frames or bytes go into one gathered write.
constexpr std::size_t kBatchFrames = 64;
constexpr std::size_t kBatchBytes = std::size_t{1} << 20;
// A socket that was connected with async_connect stays registered for write readiness for
// good; with edge-triggered polling every acknowledgement from the peer then wakes the thread
// for nothing, once per round trip. Registering the connected socket afresh drops that
// interest. A socket that cannot be moved over comes back closed, and its connection ends at
// its first read.
asio::ip::tcp::socket registered_afresh(asio::ip::tcp::socket s) {
  asio::error_code ec;
  const auto protocol = s.local_endpoint(ec).protocol();
  if (ec) return s;
  asio::ip::tcp::socket fresh(s.get_executor());
  const int fd = s.release(ec);
  if (ec) return s;
  fresh.assign(protocol, fd, ec);
  if (ec) ::close(fd);
  return fresh;
}

// One sendmsg that never waits: the byte count written, or -1 with errno.
ssize_t send_once(int fd, iovec *iov, std::size_t count) {
  msghdr m{};
  m.msg_iov = iov;
  m.msg_iovlen = count;
  ssize_t r;
  do {
    r = ::sendmsg(fd, &m, MSG_DONTWAIT | MSG_NOSIGNAL);
  } while (r < 0 && errno == EINTR);
  return r;
}

// The byte count written, 0 when nothing went out. Errors are left for the asynchronous write
// to find and report, so a failing peer never ends its connection inside the caller's loop
// over subscribers.
std::size_t send_without_waiting(int fd, iovec *iov, std::size_t count) {
  const ssize_t r = send_once(fd, iov, count);
  return r > 0 ? static_cast<std::size_t>(r) : 0;
}

// A descriptor taken out of asio; -1 when it cannot be.
int released(asio::ip::tcp::socket &s) {
  asio::error_code ec;
  const int fd = s.release(ec);
  return ec ? -1 : fd;
}

}  // namespace

Connection::Connection(asio::ip::tcp::socket socket, std::string label, Options options)
    : socket_(options.ring != nullptr ? std::move(socket) : registered_afresh(std::move(socket))),
      fd_(options.ring != nullptr ? released(socket_) : socket_.native_handle()),
      label_(std::move(label)),
      options_(std::move(options)),
      handshake_timer_(socket_.get_executor()) {}

Connection::~Connection() {
  // With a ring the descriptor is ours; no request can be left in the ring, each holds us.
  if (options_.ring != nullptr && fd_ >= 0) ::close(fd_);
}

wire::FrameReader &Connection::reader() {
  if (!reader_) reader_.emplace(options_.max_frame_body, options_.read_buffer);
  return *reader_;
}

void Connection::start(FrameHandler on_frame, CloseHandler on_close) {
  on_frame_ = std::move(on_frame);
  on_close_ = std::move(on_close);
  {
    std::lock_guard lock(write_mutex_);
    started_ = true;
  }
  // Requests and answers are small and answered at once: never wait to fill a segment.
  const int on = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  ::setsockopt(fd_, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  if (options_.handshake_timeout.count() > 0) {
    handshake_timer_.expires_after(options_.handshake_timeout);
    handshake_timer_.async_wait([self = shared_from_this()](const asio::error_code &ec) {
      if (ec || self->heard_ || !self->open_) return;
      self->close("no complete frame within " +
                  std::to_string(self->options_.handshake_timeout.count()) + " ms");
    });
  }
  read_more();
  write_more();
}

void Connection::read_more() {
  // Inside the frame loop the read resumes once the loop ends (see deliver). Frames still
  // waiting for their turn are handled before anything more is read.
  if (!open_ || !started_ || reading_ || in_handler_ || held_ != 0) return;
  if (next_ < frames_.size()) return;
  start_read();
}

void Connection::start_read() {
  const std::span<uint8_t> buf = reader_ ? reader_->buffer() : std::span<uint8_t>(first_room_);
  read_size_ = buf.size();
  reading_ = true;
  if (options_.ring == nullptr) {
    read_op_.start(socket_, buf.data(), buf.size(), shared_from_this());
  } else if (!reader_) {
    // Read at once what came before the connection was taken (see first_ring_read).
    asio::post(socket_.get_executor(), [self = shared_from_this()] { self->first_ring_read(); });
  } else if (may_stand()) {
    standing_ = true;
    options_.ring->receive_standing(fd_, ring_standing_, shared_from_this());
  } else {
    single_next_ = false;
    options_.ring->receive(fd_, buf.data(), buf.size(), ring_read_, shared_from_this());
  }
}

// A connection that has spoken keeps a receive standing in the ring, except:
// - while a frame too large for the read buffer arrives: plain receives write it straight into
//   its own buffer, where the standing one would copy it piece by piece out of the ring's;
// - once after the ring ran out of buffers (many connections receiving at once).
bool Connection::may_stand() const {
  return options_.ring->can_stand() && !single_next_ && reader_->partial_capacity() == 0;
}

// A standing receive ends when reading is held back (the socket's own buffer then holds the
// peer back), when a large frame begins, or when another thread than the one that armed it
// holds the turn: the kernel works for the arming thread, and each arrival would wake it
// first. Its last completion arms the next read (on_standing).
void Connection::review_standing() {
  if (!standing_ ||
      (held_ == 0 && reader_->partial_capacity() == 0 && RingLoop::armed_here(ring_standing_)))
    return;
  end_standing();
}

void Connection::end_standing() {
  if (!standing_ || cancelling_) return;
  cancelling_ = true;
  options_.ring->cancel(ring_standing_);
}

void Connection::drop_handled_frames() {
  if (next_ < frames_.size()) return;
  frames_.clear();
  next_ = 0;
}

// A peer's first frame has usually arrived before its connection is accepted. Through the
// ring it would be taken only once the handlers that run now are done, and a burst of
// newcomers accepted meanwhile could close this connection as silent although it has spoken.
// Read at its turn among those handlers, as asio's reactor reads a socket that is ready, it is
// handled before the next newcomer's turn.
void Connection::first_ring_read() {
  if (!open_) {
    reading_ = false;
    return;
  }
  ssize_t r;
  do {
    r = ::recv(fd_, first_room_.data(), first_room_.size(), MSG_DONTWAIT);
  } while (r < 0 && errno == EINTR);
  if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    options_.ring->receive(fd_, first_room_.data(), first_room_.size(), ring_read_,
                           shared_from_this());
    return;
  }
  ring_read_done(this, r < 0 ? -errno : static_cast<int>(r));
}

std::optional<std::string> Connection::copy_in(const uint8_t *data, std::size_t n) {
  std::size_t taken = 0;
  while (taken < n) {
    const std::span<uint8_t> room = reader().buffer();
    const std::size_t k = std::min(room.size(), n - taken);
    std::memcpy(room.data(), data + taken, k);
    if (auto fault = reader_->commit(k, frames_)) return fault;
    taken += k;
  }
  return std::nullopt;
}

void Connection::read_done(void *self, const asio::error_code &ec, std::size_t n) {
  static_cast<Connection *>(self)->on_read(ec, n);
}

void Connection::ring_read_done(void *self, int result) {
  auto *c = static_cast<Connection *>(self);
  if (result == -ECANCELED || result == -EINTR || result == -EAGAIN) {
    // The thread that submitted the receive has ended, or it was cut short: read again.
    c->reading_ = false;
    c->read_more();
  } else if (result < 0) {
    c->on_read(asio::error_code(-result, asio::system_category()), 0);
  } else if (result == 0) {
    c->on_read(asio::error::eof, 0);
  } else {
    c->on_read({}, static_cast<std::size_t>(result));
  }
}

void Connection::on_read(const asio::error_code &ec, std::size_t n) {
  reading_ = false;
  if (!open_) return;
  if (ec) {
    finish({}, false);
    return;
  }
  const bool drained = n < read_size_;
  drop_handled_frames();
  const std::size_t before = frames_.size();
  if (auto fault = reader_ ? reader_->commit(n, frames_) : copy_in(first_room_.data(), n)) {
    close(*fault);
    return;
  }
  if (!took_bytes(before)) return;
  // Armed before the frames are handled: a handler usually answers at once, and whatever the
  // thread does between that send and going to sleep delays the peer's answer. The frames are
  // copies, and the read's completion runs only after this call, so nothing is disturbed.
  if (drained && held_ == 0) start_read();
  deliver();
}

bool Connection::took_bytes(std::size_t frames_before) {
  if (frames_.size() > frames_before && !heard_) {
    heard_ = true;
    handshake_timer_.cancel();
  }
  // The budget counts what a partial frame has taken, not what has arrived of it: a peer that
  // announces a large frame and sends a little holds a whole first room.
  if (options_.frame_budget && reader_ && reader_->partial_capacity() != partial_) {
    // May close this connection, when it is the one holding the most.
    partial_ = reader_->partial_capacity();
    auto self = shared_from_this();
    options_.frame_budget->hold(this, partial_);
    if (!open_) return false;
  }
  return true;
}

void Connection::standing_done(void *self, int result, const uint8_t *data, bool more) {
  static_cast<Connection *>(self)->on_standing(result, data, more);
}

void Connection::on_standing(int result, const uint8_t *data, bool more) {
  if (!more) {
    reading_ = standing_ = cancelling_ = false;
    // Out of buffers: the bytes wait in the socket for a plain receive.
    if (result == -ENOBUFS) single_next_ = true;
  }
  if (!open_) return;
  if (result > 0) {
    drop_handled_frames();
    const std::size_t before = frames_.size();
    if (auto fault = copy_in(data, static_cast<std::size_t>(result))) {
      close(*fault);
      return;
    }
    if (!took_bytes(before)) return;
    review_standing();
    deliver();  // arms the next read once this one has ended
    return;
  }
  if (more) return;
  if (result == 0) {
    finish({}, false);  // the peer closed
  } else if (result == -ECANCELED || result == -ENOBUFS || result == -EINVAL || result == -EINTR ||
             result == -EAGAIN) {
    // Ended by us, by the end of the thread that armed it, for want of buffers, or refused by
    // the kernel (RingLoop then arms none again): read on.
    read_more();
  } else {
    on_read(asio::error_code(-result, asio::system_category()), 0);
  }
}

// Hands received frames to the handler in order. The backlog hold is looked at before each
// one, since every frame may be answered: a peer that sends a read's worth of requests and
// reads nothing gets answers only up to the backlog limit, and the rest wait in their frames.
void Connection::deliver() {
  if (in_handler_ || !open_) return;
  // Keep ourselves alive: a handler may drop the last outside reference.
  auto self = shared_from_this();
  in_handler_ = true;
  while (open_ && held_ == 0 && next_ < frames_.size()) on_frame_(std::move(frames_[next_++]));
  in_handler_ = false;
  if (!open_) {
    on_frame_ = nullptr;
    frames_.clear();
    next_ = 0;
    return;
  }
  drop_handled_frames();
  read_more();
}

void Connection::send(wire::Bytes frame, WrittenHandler written) {
  send(std::move(frame), wire::Payload{}, std::move(written));
}

void Connection::send(wire::Bytes head, wire::Payload payload, WrittenHandler written) {
  std::unique_lock lock(write_mutex_);
  if (!open_) {
    lock.unlock();
    if (written) written(false);
    return;
  }
  if (auto sent = write_if_idle(head, payload.data, payload.size); sent && *sent > 0) {
    if (*sent == head.size() + payload.size) {
      lock.unlock();
      if (written) written(true);
      return;
    }
    queue_rest(head, payload.data, payload.size, *sent, std::move(written));
  } else {
    queued_bytes_ += head.size() + payload.size;
    queue_.push_back(Out{std::move(head), std::move(payload), std::move(written)});
  }
  write_more_locked();
  lock.unlock();
  after_writing();
}

void Connection::send_latest(uint32_t sub, wire::Payload &payload) {
  std::unique_lock lock(write_mutex_);
  if (!open_) return;
  // An idle connection, the usual case, gets the frame at once with nothing kept.
  uint8_t head[wire::kDataHeadSize];
  const std::span<const uint8_t> h(head, wire::put_data_head(head, sub, payload.size));
  if (auto sent = write_if_idle(h, payload.data, payload.size); sent && *sent > 0) {
    if (*sent == h.size() + payload.size) return;
    queue_rest(h, payload.data, payload.size, *sent, nullptr);
  } else {
    auto [it, fresh] = latest_.try_emplace(sub);
    if (fresh) {
      latest_order_.push_back(sub);
    } else {
      queued_bytes_ -= it->second.size;
    }
    queued_bytes_ += payload.size;
    if (!payload.owner && payload.size > 0)
      payload = wire::Payload::copy_of(payload.data, payload.size);
    it->second = payload;
  }
  write_more_locked();
  lock.unlock();
  after_writing();
}

bool Connection::send_from_any_thread(std::span<const uint8_t> head, const uint8_t *data,
                                      std::size_t size) {
  std::lock_guard lock(write_mutex_);
  const auto sent = write_if_idle(head, data, size);
  if (!sent || *sent == 0) return false;  // the owning thread sends it in order
  if (*sent == head.size() + size) return true;
  // Part went out: the rest must follow before anything else, from the owning thread.
  queue_rest(head, data, size, *sent, nullptr);
  asio::post(socket_.get_executor(), [self = shared_from_this()] { self->write_more(); });
  return true;
}

std::optional<std::size_t> Connection::write_if_idle(std::span<const uint8_t> head,
                                                     const uint8_t *data, std::size_t size) {
  if (!open_ || !started_ || !writing_.empty() || !queue_.empty() || !latest_order_.empty())
    return std::nullopt;
  iovec iov[2] = {{const_cast<uint8_t *>(head.data()), head.size()},
                  {const_cast<uint8_t *>(data), size}};
  return send_without_waiting(fd_, iov, size > 0 ? 2 : 1);
}

void Connection::queue_rest(std::span<const uint8_t> head, const uint8_t *data, std::size_t size,
                            std::size_t sent, WrittenHandler written) {
  wire::Bytes rest;
  rest.reserve(head.size() + size - sent);
  if (sent < head.size()) {
    rest.insert(rest.end(), head.begin() + static_cast<std::ptrdiff_t>(sent), head.end());
    if (size > 0) rest.insert(rest.end(), data, data + size);
  } else {
    rest.insert(rest.end(), data + (sent - head.size()), data + size);
  }
  queued_bytes_ += rest.size();
  queue_.push_front(Out{std::move(rest), wire::Payload{}, std::move(written)});
}

std::size_t Connection::gather() {
  std::size_t bytes = 0;
  while (!queue_.empty() && writing_.size() < kBatchFrames && bytes < kBatchBytes) {
    bytes += queue_.front().head.size() + queue_.front().payload.size;
    writing_.push_back(std::move(queue_.front()));
    queue_.pop_front();
  }
  while (!latest_order_.empty() && writing_.size() < kBatchFrames && bytes < kBatchBytes) {
    const uint32_t sub = latest_order_.front();
    latest_order_.pop_front();
    auto it = latest_.find(sub);
    Out o{wire::data_head(sub, it->second.size), std::move(it->second), nullptr};
    latest_.erase(it);
    queued_bytes_ += o.head.size();
    bytes += o.head.size() + o.payload.size;
    writing_.push_back(std::move(o));
  }
  return bytes;
}

// Writes what the socket takes right now without waiting; returns the byte count.
std::size_t Connection::send_now() {
  iovec iov[2 * kBatchFrames];
  std::size_t n = 0;
  for (const auto &o : writing_) {
    iov[n++] = iovec{const_cast<uint8_t *>(o.head.data()), o.head.size()};
    if (o.payload.size > 0) iov[n++] = iovec{const_cast<uint8_t *>(o.payload.data), o.payload.size};
  }
  return send_without_waiting(fd_, iov, n);
}

void Connection::write_more() {
  std::unique_lock lock(write_mutex_);
  write_more_locked();
  lock.unlock();
  after_writing();
}

void Connection::write_more_locked() {
  if (!open_ || !started_ || !writing_.empty()) return;
  for (;;) {
    const std::size_t bytes = gather();
    if (writing_.empty()) return;
    // The socket is idle here: most batches (one small update, one command) go out in this
    // one call, from the thread that produced them, with nothing to wake.
    const std::size_t sent = send_now();
    if (sent == bytes) {
      queued_bytes_ -= bytes;
      for (auto &o : writing_)
        if (o.written) finished_.emplace_back(std::move(o.written), true);
      writing_.clear();
      continue;
    }
    writing_bytes_ = bytes;
    buffers_.clear();
    std::size_t skip = sent;
    auto add = [&](const uint8_t *p, std::size_t size) {
      if (skip >= size) {
        skip -= size;
        return;
      }
      buffers_.emplace_back(p + skip, size - skip);
      skip = 0;
    };
    for (const auto &o : writing_) {
      add(o.head.data(), o.head.size());
      if (o.payload.size > 0) add(o.payload.data, o.payload.size);
    }
    if (options_.ring != nullptr) {
      options_.ring->wait_writable(fd_, ring_writable_, shared_from_this());
      return;
    }
    asio::async_write(socket_, buffers_,
                      [self = shared_from_this()](const asio::error_code &ec, std::size_t) {
                        self->on_written(ec);
                      });
    return;
  }
}

void Connection::ring_writable_done(void *self, int result) {
  static_cast<Connection *>(self)->on_writable(result);
}

// The ring said the socket has room (or trouble): write on, wait again, or end the batch.
void Connection::on_writable(int result) {
  asio::error_code ec;
  {
    std::lock_guard lock(write_mutex_);
    if (!open_) {
      ec = asio::error::operation_aborted;
    } else if (result == -ECANCELED) {
      // The thread that submitted the wait has ended.
      options_.ring->wait_writable(fd_, ring_writable_, shared_from_this());
      return;
    } else if (result < 0) {
      ec = asio::error_code(-result, asio::system_category());
    } else if ((result & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
      ec = asio::error::connection_reset;
    } else {
      ec = write_rest();
      if (!ec && !buffers_.empty()) {
        options_.ring->wait_writable(fd_, ring_writable_, shared_from_this());
        return;
      }
    }
  }
  on_written(ec);
}

asio::error_code Connection::write_rest() {
  iovec iov[2 * kBatchFrames];
  std::size_t n = 0;
  for (const auto &b : buffers_) iov[n++] = iovec{const_cast<void *>(b.data()), b.size()};
  const ssize_t r = send_once(fd_, iov, n);
  if (r < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return {};
    return asio::error_code(errno, asio::system_category());
  }
  auto left = static_cast<std::size_t>(r);
  std::size_t done = 0;
  while (done < buffers_.size() && left >= buffers_[done].size()) left -= buffers_[done++].size();
  buffers_.erase(buffers_.begin(), buffers_.begin() + static_cast<std::ptrdiff_t>(done));
  if (left > 0) buffers_.front() += left;
  return {};
}

// Owning thread, without the lock: handlers of finished writes may send again.
void Connection::after_writing() {
  update_backlog_hold();
  auto finished = std::move(finished_);
  finished_.clear();
  for (auto &[written, ok] : finished) written(ok);
}

void Connection::on_written(const asio::error_code &ec) {
  std::unique_lock lock(write_mutex_);
  // Bytes taken: whatever still waits has waited only from now.
  if (!ec && writing_bytes_ > 0) stalled_since_ = std::chrono::steady_clock::now();
  queued_bytes_ -= writing_bytes_;
  writing_bytes_ = 0;
  const bool ok = !ec && open_;
  for (auto &o : writing_)
    if (o.written) finished_.emplace_back(std::move(o.written), ok);
  writing_.clear();
  if (open_ && !ec) write_more_locked();
  const bool failed = open_ && ec;
  lock.unlock();
  after_writing();
  if (failed) finish({}, false);
}

void Connection::update_backlog_hold() {
  if (!options_.hold_on_backlog && !options_.answer_budget) return;
  std::size_t queued;
  {
    std::lock_guard lock(write_mutex_);
    queued = queued_bytes_;
  }
  if (options_.hold_on_backlog) {
    if (queued > options_.backlog_limit)
      hold(kHoldBacklog, true);
    else if (queued <= options_.backlog_limit / 2)
      hold(kHoldBacklog, false);
  }
  hold_answers(queued);
}

void Connection::hold_answers(std::size_t queued) {
  if (!options_.answer_budget || !open_ || (queued == 0 && answers_held_ == 0)) return;
  if (answers_held_ == 0) stalled_since_ = std::chrono::steady_clock::now();
  answers_held_ = queued;
  auto self = shared_from_this();  // the budget may close this very connection
  options_.answer_budget->hold(this, queued, stalled_since_);
}

void Connection::hold(Hold why, bool on) {
  if (on) {
    held_ |= why;
    review_standing();
    return;
  }
  if ((held_ & why) == 0) return;
  held_ &= ~static_cast<unsigned>(why);
  // Frames left over from before the hold go first. Not from here: this runs inside sends,
  // where a handler must not start (a publish loop, another handler).
  asio::post(socket_.get_executor(), [self = shared_from_this()] {
    if (self->held_ == 0) self->deliver();
  });
}

void Connection::close(const std::string &reason) { finish(reason, !reason.empty()); }

void Connection::drop() { finish({}, false); }

void Connection::finish(const std::string &reason, bool report) {
  std::deque<Out> pending;
  {
    std::lock_guard lock(write_mutex_);
    if (!open_) return;
    open_ = false;
    if (options_.ring != nullptr) {
      // Requests still queued for this descriptor reach the kernel before its number is
      // free; the shutdown then ends them, a standing receive at the latest with the cancel.
      end_standing();
      options_.ring->flush();
      ::shutdown(fd_, SHUT_RDWR);
      ::close(fd_);
      fd_ = -1;
    } else {
      asio::error_code ignored;
      socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
      socket_.close(ignored);
    }
    pending.swap(queue_);
    latest_.clear();
    latest_order_.clear();
  }
  handshake_timer_.cancel();
  if (options_.frame_budget && partial_ > 0) {
    partial_ = 0;
    options_.frame_budget->release(this);
  }
  if (options_.answer_budget && answers_held_ > 0) {
    answers_held_ = 0;
    options_.answer_budget->release(this);
  }
  if (report)
    connection_log().print(std::string(options_.program) + ": closing connection with " + label_ +
                           ": " + reason);
  for (auto &o : pending)
    if (o.written) o.written(false);
  // Break the cycles owners create by capturing themselves in the handlers.
  auto on_close = std::move(on_close_);
  on_close_ = nullptr;
  if (!in_handler_) on_frame_ = nullptr;
  if (on_close) on_close(reason);
}

}  // namespace dim
