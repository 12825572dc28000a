// The dispatch context's wait, through io_uring instead of asio's epoll reactor.
//
// With epoll every arrival costs two system calls on the thread that waits: epoll_wait says
// the socket is readable, recvmsg reads it. Here a receive for each connection waits in the
// ring, and one io_uring_enter both submits what the last round queued and sleeps until a
// receive has completed: the bytes are already in the connection's buffer when the thread
// wakes. On a loopback ping-pong this saves about a tenth of a round trip when both sides share
// a core (loop_floor_bench). A connection that has spoken keeps one standing receive instead,
// which reads every arrival into a buffer the ring lends (ring_buffers.h): nothing is
// submitted per message, and the library's round trip on one core lost about 1.5 µs more.
//
// asio keeps everything else of the context (timers, connecting, posted handlers): its epoll
// descriptor waits in the ring as one more poll, and the context is polled when it fires or
// when handlers are queued (asio_internals.h says how a post from another thread wakes the
// ring). Connections whose Options name the ring read through it and wait in it for room to
// write; their sockets leave asio's reactor.
//
// Used by one thread at a time, the one that holds the context's turn (DispatchLoop); the
// turn's lock orders one holder's use of the ring before the next one's. A request belongs to
// the thread that submitted it, and the kernel cancels it when that thread ends (a caller's
// thread that waited once): a cancelled operation is submitted again by its owner.
#pragma once

#include <liburing.h>

#include <asio.hpp>
#include <chrono>
#include <cstddef>
#include <memory>
#include <thread>
#include <vector>

namespace dim {

class RingBuffers;

class RingLoop {
 public:
  using Clock = std::chrono::steady_clock;

  // One operation in the ring at a time per object; `done` runs on the holder's thread with
  // the kernel's result (bytes, a poll mask, or -errno).
  class Op {
   public:
    using Done = void (*)(void *target, int result);
    // A standing receive's completions: `size` bytes at `data` (lent until the call returns)
    // when `result` > 0, else nothing; `more` false on the last one, which ends the receive
    // (it may carry bytes too).
    using Arrival = void (*)(void *target, int result, const uint8_t *data, bool more);
    Op(Done done, void *target) : done_(done), target_(target) {}
    Op(Arrival arrival, void *target) : arrival_(arrival), target_(target) {}
    Op(const Op &) = delete;
    Op &operator=(const Op &) = delete;

   private:
    friend class RingLoop;
    Done done_ = nullptr;
    Arrival arrival_ = nullptr;
    void *target_;
    std::thread::id armed_by_;
    std::shared_ptr<void> keep_;  // the owner, alive while the kernel may write its buffer
    // Linked into the ring's list of requests in flight while it is there.
    Op *prev_ = nullptr;
    Op *next_ = nullptr;
    bool in_ring_ = false;
  };

  // Nothing when DIM_IO_URING=0, and nothing when the kernel refuses a ring (an old kernel,
  // a sandbox), when this asio cannot be reached into, or under valgrind.
  static std::unique_ptr<RingLoop> create(asio::io_context &context);
  ~RingLoop();
  RingLoop(const RingLoop &) = delete;
  RingLoop &operator=(const RingLoop &) = delete;

  // Queues a receive into [data, data + size) and a wait until `fd` can take more bytes.
  // `keep` holds the owner of `op` and of the buffer until `done` has run.
  void receive(int fd, void *data, std::size_t size, Op &op, std::shared_ptr<void> keep);
  void wait_writable(int fd, Op &op, std::shared_ptr<void> keep);

  // A receive that stays in the ring and completes at every arrival, into buffers the ring
  // lends: nothing is submitted per message, and the holder's io_uring_enter only waits. `op`
  // must be made with an Arrival. False when the kernel has no such receive (before 6.0) or
  // refused the buffers; a plain receive does the same job then.
  bool can_stand() const { return buffers_ != nullptr && !standing_refused_; }
  void receive_standing(int fd, Op &op, std::shared_ptr<void> keep);
  // The kernel does the work of a request on the thread that submitted it. A standing receive
  // armed by another thread wakes that thread at every arrival before the holder hears of it:
  // one thread switch more on a shared core.
  static bool armed_here(const Op &op) { return op.armed_by_ == std::this_thread::get_id(); }
  // Asks the kernel, at once, to end `op`; its last completion still comes, and only then may
  // another receive be armed on the socket (two would share its bytes between them).
  void cancel(Op &op);
  // Hands queued requests to the kernel now. Called before a descriptor with requests in the
  // ring is closed: the kernel looks a descriptor up when it takes the request, and a number
  // closed before that may already name another socket.
  void flush();

  // Runs what is ready: completed operations, then the context's handlers. Sleeps until
  // something is ready, the deadline passes or the context is stopped.
  void run_one(Clock::time_point deadline);

 private:
  RingLoop(asio::io_context &context, int reactor_fd);
  struct Completion {
    uint64_t data;
    int result;
    uint32_t flags;
  };
  io_uring_sqe *next_sqe();
  // Hands every queued request to the kernel.
  void submit_now();
  void set_aside_completions();
  void submit(Op &op, std::shared_ptr<void> keep);
  // Out of the list of requests in flight; the owner is let go by the caller.
  void unlink(Op &op);
  void watch_reactor();
  // Sleeps in io_uring_enter, submitting what is queued; false when nothing completed.
  bool sleep_until(Clock::time_point deadline);
  void complete_ready();
  void complete(const Completion &c);

  asio::io_context &context_;
  io_uring ring_{};
  int reactor_fd_;
  bool reactor_watched_ = false;
  bool reactor_ready_ = false;
  // Requests in flight, linked through the operations themselves: a receive submitted on
  // every round trip costs no allocation.
  Op *pending_ = nullptr;
  // Completions taken out of the queue to make room for a submission, not yet handled.
  std::vector<Completion> set_aside_;
  std::vector<Completion> batch_;  // the completions complete_ready handles, kept for its room
  // What standing receives read into; none when the kernel refused it.
  std::unique_ptr<RingBuffers> buffers_;
  bool standing_refused_ = false;  // a standing receive came back EINVAL: an older kernel
};

}  // namespace dim
