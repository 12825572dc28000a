#include "platform/dim/ring_loop.h"

#include <poll.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/dim/asio_internals.h"
#include "platform/dim/ring_buffers.h"

namespace dim {

namespace {
constexpr unsigned kEntries = 256;
// Each connection has at most two requests in the ring, and a process at most a few thousand
// connections: a completion queue this long never fills, so the kernel never refuses a
// submission for want of room in it.
constexpr unsigned kCompletions = 16384;
// user_data of the ring's own requests; an Op's is its address, never this small.
constexpr uint64_t kReactorPoll = 1;
constexpr uint64_t kCancel = 2;
// Completions handled before the context's handlers get their turn.
constexpr unsigned kBatch = 64;

bool wanted() {
  // DIM_IO_URING=0 keeps the connections on asio's epoll reactor.
  const char *v = std::getenv("DIM_IO_URING");
  if (v != nullptr && std::strcmp(v, "0") == 0) return false;
  // Under valgrind a thread asleep in io_uring_enter keeps the one lock that lets threads run,
  // so every other thread of the process would stand still until the ring woke.
  const char *preload = std::getenv("LD_PRELOAD");
  return preload == nullptr || std::strstr(preload, "vgpreload") == nullptr;
}

bool kernel_has_what_we_use(io_uring &ring, const io_uring_params &params) {
  // A sleep with a time limit in the same call that submits, and no completion ever dropped.
  if ((params.features & IORING_FEAT_EXT_ARG) == 0 || (params.features & IORING_FEAT_NODROP) == 0)
    return false;
  io_uring_probe *probe = io_uring_get_probe_ring(&ring);
  if (probe == nullptr) return false;
  const bool ok = io_uring_opcode_supported(probe, IORING_OP_RECV) &&
                  io_uring_opcode_supported(probe, IORING_OP_POLL_ADD) &&
                  io_uring_opcode_supported(probe, IORING_OP_ASYNC_CANCEL);
  io_uring_free_probe(probe);
  return ok;
}
}  // namespace

std::unique_ptr<RingLoop> RingLoop::create(asio::io_context &context) {
  if (!wanted() || !asio_internals::supported()) return nullptr;
  const int reactor_fd = asio_internals::reactor_fd(context);
  if (reactor_fd < 0) return nullptr;
  std::unique_ptr<RingLoop> loop(new RingLoop(context, reactor_fd));
  io_uring_params params{};
  params.flags = IORING_SETUP_CQSIZE;
  params.cq_entries = kCompletions;
  if (io_uring_queue_init_params(kEntries, &loop->ring_, &params) != 0) {
    loop->ring_.ring_fd = -1;
    return nullptr;
  }
  if (!kernel_has_what_we_use(loop->ring_, params)) return nullptr;
  loop->buffers_ = RingBuffers::create(loop->ring_);
  return loop;
}

RingLoop::RingLoop(asio::io_context &context, int reactor_fd)
    : context_(context), reactor_fd_(reactor_fd) {
  ring_.ring_fd = -1;
}

RingLoop::~RingLoop() {
  if (ring_.ring_fd < 0) return;
  for (const Completion &c : set_aside_) {
    if (c.data == kReactorPoll || c.data == kCancel || (c.flags & IORING_CQE_F_MORE) != 0) continue;
    Op *op = reinterpret_cast<Op *>(c.data);
    unlink(*op);
    op->keep_.reset();
  }
  // Nothing may be written into a buffer once its owner is let go: cancel what is left and
  // wait, a bounded time, for the kernel to confirm.
  for (Op *op = pending_; op != nullptr; op = op->next_) {
    io_uring_sqe *sqe = next_sqe();
    io_uring_prep_cancel64(sqe, reinterpret_cast<uint64_t>(op), 0);
    io_uring_sqe_set_data64(sqe, kCancel);
  }
  const auto until = Clock::now() + std::chrono::seconds(1);
  while (pending_ != nullptr && Clock::now() < until) {
    sleep_until(until);
    unsigned head = 0;
    unsigned seen = 0;
    io_uring_cqe *cqe = nullptr;
    io_uring_for_each_cqe(&ring_, head, cqe) {
      ++seen;
      const uint64_t data = io_uring_cqe_get_data64(cqe);
      if (data == kReactorPoll || data == kCancel || (cqe->flags & IORING_CQE_F_MORE) != 0)
        continue;
      Op *op = reinterpret_cast<Op *>(data);
      unlink(*op);
      op->keep_.reset();
    }
    io_uring_cq_advance(&ring_, seen);
  }
  io_uring_queue_exit(&ring_);
  // Letting an owner go may end the operation with it: out of the list first.
  while (Op *op = pending_) {
    unlink(*op);
    op->keep_.reset();
  }
}

io_uring_sqe *RingLoop::next_sqe() {
  io_uring_sqe *sqe = io_uring_get_sqe(&ring_);
  while (sqe == nullptr) {
    // The submission queue is full: hand it to the kernel and take a fresh entry.
    submit_now();
    sqe = io_uring_get_sqe(&ring_);
  }
  return sqe;
}

void RingLoop::submit_now() {
  while (io_uring_sq_ready(&ring_) > 0) {
    const int r = io_uring_submit(&ring_);
    if (r >= 0 || r == -EINTR) continue;
    if (r != -EBUSY && r != -EAGAIN) return;
    // Completions the kernel holds back for want of room: take them aside, to be handled in
    // turn, and try again.
    set_aside_completions();
  }
}

void RingLoop::set_aside_completions() {
  unsigned head = 0;
  unsigned seen = 0;
  io_uring_cqe *cqe = nullptr;
  io_uring_for_each_cqe(&ring_, head, cqe) {
    ++seen;
    set_aside_.push_back(Completion{io_uring_cqe_get_data64(cqe), cqe->res, cqe->flags});
  }
  io_uring_cq_advance(&ring_, seen);
  // Lets the kernel move what it held back into the queue just emptied.
  io_uring_get_events(&ring_);
}

void RingLoop::submit(Op &op, std::shared_ptr<void> keep) {
  op.keep_ = std::move(keep);
  if (op.in_ring_) return;
  op.in_ring_ = true;
  op.prev_ = nullptr;
  op.next_ = pending_;
  if (pending_ != nullptr) pending_->prev_ = &op;
  pending_ = &op;
}

void RingLoop::unlink(Op &op) {
  if (!op.in_ring_) return;
  op.in_ring_ = false;
  if (op.prev_ != nullptr)
    op.prev_->next_ = op.next_;
  else
    pending_ = op.next_;
  if (op.next_ != nullptr) op.next_->prev_ = op.prev_;
  op.prev_ = op.next_ = nullptr;
}

void RingLoop::receive(int fd, void *data, std::size_t size, Op &op, std::shared_ptr<void> keep) {
  io_uring_sqe *sqe = next_sqe();
  io_uring_prep_recv(sqe, fd, data, size, 0);
  io_uring_sqe_set_data(sqe, &op);
  submit(op, std::move(keep));
}

void RingLoop::wait_writable(int fd, Op &op, std::shared_ptr<void> keep) {
  io_uring_sqe *sqe = next_sqe();
  io_uring_prep_poll_add(sqe, fd, POLLOUT);
  io_uring_sqe_set_data(sqe, &op);
  submit(op, std::move(keep));
}

void RingLoop::receive_standing(int fd, Op &op, std::shared_ptr<void> keep) {
  io_uring_sqe *sqe = next_sqe();
  io_uring_prep_recv_multishot(sqe, fd, nullptr, 0, 0);
  sqe->flags |= IOSQE_BUFFER_SELECT;
  sqe->buf_group = RingBuffers::kGroup;
  io_uring_sqe_set_data(sqe, &op);
  op.armed_by_ = std::this_thread::get_id();
  submit(op, std::move(keep));
}

void RingLoop::cancel(Op &op) {
  if (!op.in_ring_) return;
  io_uring_sqe *sqe = next_sqe();
  io_uring_prep_cancel64(sqe, reinterpret_cast<uint64_t>(&op), 0);
  io_uring_sqe_set_data64(sqe, kCancel);
  // At once: until the kernel has it, a standing receive goes on filling buffers, and a large
  // frame would come through them in hundreds of pieces.
  submit_now();
}

void RingLoop::flush() { submit_now(); }

void RingLoop::watch_reactor() {
  if (reactor_watched_) return;
  io_uring_sqe *sqe = next_sqe();
  io_uring_prep_poll_add(sqe, reactor_fd_, POLLIN);
  io_uring_sqe_set_data64(sqe, kReactorPoll);
  reactor_watched_ = true;
}

bool RingLoop::sleep_until(Clock::time_point deadline) {
  io_uring_cqe *cqe = nullptr;
  int r;
  if (deadline == Clock::time_point::max()) {
    r = io_uring_submit_and_wait(&ring_, 1);
  } else {
    const auto left = std::max(deadline - Clock::now(), Clock::duration::zero());
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    __kernel_timespec ts{};
    ts.tv_sec = ns / 1000000000;
    ts.tv_nsec = ns % 1000000000;
    r = io_uring_submit_and_wait_timeout(&ring_, &cqe, 1, &ts, nullptr);
  }
  return r >= 0 && io_uring_cq_ready(&ring_) > 0;
}

void RingLoop::run_one(Clock::time_point deadline) {
  // Whether the context is stopped is the caller's to look at before each round; waiting()
  // looks again, under asio's lock, before any sleep.
  // Watched in every round, not only before a sleep: a stream of completions that never lets
  // the loop sleep must not keep asio's own work (accepting, timers) waiting.
  watch_reactor();
  bool slept = false;
  bool handlers = false;
  if (io_uring_cq_ready(&ring_) == 0 && set_aside_.empty()) {
    // Handlers already queued (posted by this thread outside asio, or by another one just
    // now) run without a sleep; from the moment it is set, a post wakes the reactor, which the
    // ring watches. Handlers queued after the sleep are found here in the next round.
    if (asio_internals::waiting(context_, true)) {
      sleep_until(deadline);
      asio_internals::waiting(context_, false);
      slept = true;
    } else {
      handlers = true;
    }
  } else {
    // A round with completions ready does not come past the look above: however busy they
    // keep it, the handlers still get their turn.
    handlers = asio_internals::has_handlers(context_);
  }
  // However busy the handlers and completions keep it, the connections' receives still reach
  // the kernel.
  if (!slept && io_uring_sq_ready(&ring_) > 0) submit_now();
  complete_ready();
  if (reactor_ready_ || handlers) {
    reactor_ready_ = false;
    context_.poll();
  }
}

void RingLoop::complete_ready() {
  std::vector<Completion> &done = batch_;
  done.clear();
  done.insert(done.end(), set_aside_.begin(), set_aside_.end());
  set_aside_.clear();
  unsigned head = 0;
  unsigned seen = 0;
  io_uring_cqe *cqe = nullptr;
  io_uring_for_each_cqe(&ring_, head, cqe) {
    if (seen == kBatch) break;
    ++seen;
    done.push_back(Completion{io_uring_cqe_get_data64(cqe), cqe->res, cqe->flags});
  }
  io_uring_cq_advance(&ring_, seen);
  for (const Completion &c : done) complete(c);
}

void RingLoop::complete(const Completion &c) {
  if (c.data == kReactorPoll) {
    // Fired, or cancelled with the thread that submitted it: either way asio is looked at,
    // and the poll is submitted again before the next sleep.
    reactor_watched_ = false;
    reactor_ready_ = true;
    return;
  }
  if (c.data == kCancel) return;
  Op *op = reinterpret_cast<Op *>(c.data);
  if (op->arrival_ == nullptr) {
    unlink(*op);
    // Let go only after `done`: it may submit the next operation, and the owner may end
    // with this reference.
    const std::shared_ptr<void> keep = std::move(op->keep_);
    op->done_(op->target_, c.result);
    return;
  }
  const bool more = (c.flags & IORING_CQE_F_MORE) != 0;
  const bool lent = (c.flags & IORING_CQE_F_BUFFER) != 0;
  // A kernel that knows buffer rings but not standing receives refuses the first one; the
  // owner's plain receive takes over, and no other is armed.
  if (!more && c.result == -EINVAL) standing_refused_ = true;
  // While more is to come the operation stays in the ring, and keeps its owner.
  std::shared_ptr<void> keep;
  if (!more) {
    unlink(*op);
    keep = std::move(op->keep_);
  }
  const uint8_t *data = lent && buffers_ ? buffers_->data(c.flags) : nullptr;
  op->arrival_(op->target_, c.result > 0 && data == nullptr ? -EIO : c.result, data, more);
  if (lent && buffers_) buffers_->give_back(c.flags);
}

}  // namespace dim
