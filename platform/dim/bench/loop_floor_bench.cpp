// What an event loop costs a loopback round trip before any library work: a bare TCP
// ping-pong of 20-byte messages between two processes, each side waiting in one of four ways,
// next to blocking read/write measured in the same rounds and the same placement.
//
//   blocking   read() then write(): the figure the register round trip is held to.
//   epoll      edge-triggered epoll_wait, then recv, then send: the shape of the messaging
//              library's loop today (asio's reactor and dim::ShortRead).
//   uring      send() as a plain call, then one io_uring_enter that waits for a receive
//              submitted beforehand, with an idle poll beside it in the ring, as a loop that
//              also watches timers and other descriptors would have.
//   uring_one  the send and the next receive submitted together: one io_uring_enter per trip.
//   uring_multi  send() as a plain call, and one standing multishot receive into buffers the
//              ring provides: nothing is submitted per trip, io_uring_enter only waits.
//
// The two uring modes show what a loop of our own could save; "io_uring unavailable" is
// printed where the kernel or its sandbox refuses a ring. Nothing here is a goal: the figures
// say where the floor of each design lies on this machine (bench/README.md).
//
//   loop_floor_bench [--round-trips=N] [--rounds=N]
//
// Ignores the --benchmark_* flags that `make bench` passes. Every peer is a child process
// that ends with its round trips, its socket's close or an alarm.
#include <arpa/inet.h>
#include <liburing.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "testing/cpu_placement.h"

namespace {

constexpr std::size_t kMessage = 20;
constexpr int kPeerAlarmSeconds = 120;

enum class Mode { kBlocking, kEpoll, kUring, kUringOne, kUringMulti };
constexpr Mode kModes[] = {Mode::kBlocking, Mode::kEpoll, Mode::kUring, Mode::kUringOne,
                           Mode::kUringMulti};

const char *name_of(Mode m) {
  switch (m) {
    case Mode::kBlocking:
      return "blocking";
    case Mode::kEpoll:
      return "epoll";
    case Mode::kUring:
      return "uring";
    case Mode::kUringOne:
      return "uring_one";
    case Mode::kUringMulti:
      return "uring_multi";
  }
  return "?";
}

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(Fd &&o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  Fd &operator=(Fd &&o) noexcept {
    std::swap(fd_, o.fd_);
    return *this;
  }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

bool no_delay(int fd) {
  const int one = 1;
  return setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0;
}

bool send_all(int fd, const char *buf) {
  return ::send(fd, buf, kMessage, MSG_NOSIGNAL) == static_cast<ssize_t>(kMessage);
}

// One side's loop: `count` messages received. The starter sends first and leaves its last
// message unanswered; the peer answers every one. False when the peer went away or a call
// failed.
bool answers(int i, int count, bool starter) { return !starter || i + 1 < count; }

bool run_blocking(int fd, int count, bool starter) {
  char buf[64] = {};
  if (starter && !send_all(fd, buf)) return false;
  for (int i = 0; i < count; ++i) {
    if (::read(fd, buf, sizeof buf) <= 0) return false;
    if (answers(i, count, starter) && !send_all(fd, buf)) return false;
  }
  return true;
}

bool run_epoll(int fd, int count, bool starter) {
  char buf[64] = {};
  Fd ep(epoll_create1(EPOLL_CLOEXEC));
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLET;
  if (ep.get() < 0 || epoll_ctl(ep.get(), EPOLL_CTL_ADD, fd, &ev) != 0) return false;
  if (starter && !send_all(fd, buf)) return false;
  for (int i = 0; i < count; ++i) {
    // A wait cut short by a signal, or a wake-up with nothing to read, waits again.
    for (;;) {
      epoll_event out{};
      if (epoll_wait(ep.get(), &out, 1, -1) < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
      if (n > 0) break;
      if (n == 0 || (errno != EAGAIN && errno != EINTR)) return false;
    }
    if (answers(i, count, starter) && !send_all(fd, buf)) return false;
  }
  return true;
}

constexpr uint64_t kRecv = 1, kSend = 2, kIdle = 3;

class Ring {
 public:
  Ring() { ok_ = io_uring_queue_init(8, &ring_, 0) == 0; }
  Ring(const Ring &) = delete;
  Ring &operator=(const Ring &) = delete;
  ~Ring() {
    if (ok_) io_uring_queue_exit(&ring_);
  }
  bool ok() const { return ok_; }
  bool add(uint64_t tag, int fd, char *buf) {
    io_uring_sqe *sqe = io_uring_get_sqe(&ring_);
    if (sqe == nullptr) return false;
    if (tag == kRecv) io_uring_prep_recv(sqe, fd, buf, 64, 0);
    if (tag == kSend) io_uring_prep_send(sqe, fd, buf, kMessage, 0);
    if (tag == kIdle) io_uring_prep_poll_add(sqe, fd, POLLIN);
    io_uring_sqe_set_data64(sqe, tag);
    return true;
  }
  // Submits what was added and waits until a send completes (its byte count, or <= 0).
  int finish_send() { return wait_for(kSend); }
  // Submits what was added and waits until a receive completes: its byte count, or <= 0.
  int wait_for_receive() { return wait_for(kRecv); }

 private:
  int wait_for(uint64_t wanted) {
    for (;;) {
      if (io_uring_submit_and_wait(&ring_, 1) < 0) return -1;
      int received = 0;
      bool got = false;
      unsigned head = 0;
      unsigned seen = 0;
      io_uring_cqe *cqe = nullptr;
      io_uring_for_each_cqe(&ring_, head, cqe) {
        ++seen;
        if (io_uring_cqe_get_data64(cqe) == wanted) {
          got = true;
          received = cqe->res;
        } else if (cqe->res < 0) {
          received = -1;
          got = true;
        }
      }
      io_uring_cq_advance(&ring_, seen);
      if (got) return received;
    }
  }

  io_uring ring_{};
  bool ok_ = false;
};

bool run_uring(int fd, int count, bool starter, bool send_in_ring) {
  char in[64] = {};
  char out[64] = {};
  Ring ring;
  Fd idle(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!ring.ok() || idle.get() < 0) return false;
  if (!ring.add(kIdle, idle.get(), nullptr)) return false;
  if (starter) {
    if (send_in_ring ? !ring.add(kSend, fd, out) : !send_all(fd, out)) return false;
  }
  if (!ring.add(kRecv, fd, in)) return false;
  for (int i = 0; i < count; ++i) {
    if (ring.wait_for_receive() <= 0) return false;
    if (!answers(i, count, starter)) break;
    std::memcpy(out, in, kMessage);
    if (send_in_ring ? !ring.add(kSend, fd, out) : !send_all(fd, out)) return false;
    if (!ring.add(kRecv, fd, in)) return false;
  }
  // The peer's last answer was only added: send it. A receive left in the ring is cancelled
  // when the ring closes.
  if (send_in_ring && !starter) return ring.finish_send() > 0;
  return true;
}

// The receive stays in the ring: each arrival lands in one of kBuffers buffers the ring hands
// out, which is given back once read.
class MultishotRing {
 public:
  static constexpr unsigned kBuffers = 8;
  static constexpr unsigned kBufferSize = 64;
  static constexpr int kGroup = 1;

  MultishotRing() {
    if (io_uring_queue_init(8, &ring_, 0) != 0) return;
    queued_ = true;
    void *mem = nullptr;
    if (posix_memalign(&mem, 4096, kBuffers * sizeof(io_uring_buf)) != 0) return;
    entries_ = static_cast<io_uring_buf_ring *>(mem);
    io_uring_buf_reg reg{};
    reg.ring_addr = reinterpret_cast<uint64_t>(entries_);
    reg.ring_entries = kBuffers;
    reg.bgid = kGroup;
    if (io_uring_register_buf_ring(&ring_, &reg, 0) != 0) return;
    io_uring_buf_ring_init(entries_);
    for (unsigned i = 0; i < kBuffers; ++i) give_back(i);
    ok_ = true;
  }
  MultishotRing(const MultishotRing &) = delete;
  MultishotRing &operator=(const MultishotRing &) = delete;
  ~MultishotRing() {
    if (queued_) io_uring_queue_exit(&ring_);
    std::free(entries_);
  }
  bool ok() const { return ok_; }
  bool arm(int fd) {
    io_uring_sqe *sqe = io_uring_get_sqe(&ring_);
    if (sqe == nullptr) return false;
    io_uring_prep_recv_multishot(sqe, fd, nullptr, 0, 0);
    sqe->flags |= IOSQE_BUFFER_SELECT;
    sqe->buf_group = kGroup;
    return true;
  }
  // Waits for the next arrival and copies it to `out`: its byte count, or <= 0.
  int receive(int fd, char *out) {
    for (;;) {
      io_uring_cqe *cqe = nullptr;
      if (io_uring_submit_and_wait(&ring_, 1) < 0 || io_uring_peek_cqe(&ring_, &cqe) != 0)
        return -1;
      const int res = cqe->res;
      const unsigned flags = cqe->flags;
      io_uring_cqe_seen(&ring_, cqe);
      if (res == -ENOBUFS) {  // every buffer out: none is, here, so the receive just rearms
        if (!arm(fd)) return -1;
        continue;
      }
      if (res <= 0 || (flags & IORING_CQE_F_BUFFER) == 0) return res <= 0 ? res : -1;
      const unsigned id = flags >> IORING_CQE_BUFFER_SHIFT;
      std::memcpy(out, buffers_[id], std::min<std::size_t>(static_cast<std::size_t>(res), 64));
      give_back(id);
      if ((flags & IORING_CQE_F_MORE) == 0 && !arm(fd)) return -1;
      return res;
    }
  }

 private:
  void give_back(unsigned id) {
    io_uring_buf_ring_add(entries_, buffers_[id], kBufferSize, static_cast<unsigned short>(id),
                          io_uring_buf_ring_mask(kBuffers), 0);
    io_uring_buf_ring_advance(entries_, 1);
  }

  io_uring ring_{};
  io_uring_buf_ring *entries_ = nullptr;
  char buffers_[kBuffers][kBufferSize] = {};
  bool queued_ = false;
  bool ok_ = false;
};

bool run_uring_multishot(int fd, int count, bool starter) {
  char in[64] = {};
  char out[64] = {};
  MultishotRing ring;
  if (!ring.ok() || !ring.arm(fd)) return false;
  if (starter && !send_all(fd, out)) return false;
  for (int i = 0; i < count; ++i) {
    if (ring.receive(fd, in) <= 0) return false;
    if (!answers(i, count, starter)) break;
    std::memcpy(out, in, kMessage);
    if (!send_all(fd, out)) return false;
  }
  return true;
}

bool run(Mode mode, int fd, int count, bool starter) {
  switch (mode) {
    case Mode::kBlocking:
      return run_blocking(fd, count, starter);
    case Mode::kEpoll:
      return run_epoll(fd, count, starter);
    case Mode::kUring:
      return run_uring(fd, count, starter, false);
    case Mode::kUringOne:
      return run_uring(fd, count, starter, true);
    case Mode::kUringMulti:
      return run_uring_multishot(fd, count, starter);
  }
  return false;
}

bool uring_available() {
  Ring ring;
  return ring.ok();
}

// One measurement: a peer process answers `count` round trips in `mode`; µs per round trip,
// or nothing when a side failed.
std::optional<double> measure(Mode mode, int count, const zoltest::Placement &where) {
  Fd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (listener.get() < 0 || bind(listener.get(), reinterpret_cast<sockaddr *>(&addr), len) != 0 ||
      listen(listener.get(), 1) != 0 ||
      getsockname(listener.get(), reinterpret_cast<sockaddr *>(&addr), &len) != 0)
    return std::nullopt;
  std::fflush(stdout);
  const pid_t peer = fork();
  if (peer < 0) return std::nullopt;
  if (peer == 0) {
    alarm(kPeerAlarmSeconds);
    Fd c(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (c.get() < 0 || connect(c.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        !no_delay(c.get()))
      _exit(1);
    _exit(run(mode, c.get(), count, false) ? 0 : 1);
  }
  std::optional<double> us;
  {
    const std::vector<int> cpus = zoltest::allowed_cpus();
    zoltest::place_process(peer, where.answerer_cpu, cpus);
    zoltest::Placed placed(where, {});
    Fd s(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (s.get() >= 0 && no_delay(s.get())) {
      const auto t0 = std::chrono::steady_clock::now();
      if (run(mode, s.get(), count, true))
        us = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0)
                 .count() /
             count;
    }
  }
  int status = 0;
  waitpid(peer, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) us.reset();
  return us;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

int flag_value(const char *arg, const char *name, int fallback) {
  const std::size_t n = std::strlen(name);
  if (std::strncmp(arg, name, n) != 0) return fallback;
  return std::atoi(arg + n);
}

}  // namespace

int main(int argc, char **argv) {
  int count = 30000;
  int rounds = 3;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--benchmark_", 12) == 0) continue;
    const int c = flag_value(argv[i], "--round-trips=", -1);
    const int r = flag_value(argv[i], "--rounds=", -1);
    if (c > 0 && c <= 1000000) {
      count = c;
    } else if (r > 0 && r <= 20) {
      rounds = r;
    } else {
      std::fprintf(stderr, "usage: loop_floor_bench [--round-trips=1..1000000] [--rounds=1..20]\n");
      return 2;
    }
  }
  const bool uring = uring_available();
  bool failed = false;
  for (const zoltest::Placement &where : zoltest::placements()) {
    std::vector<std::vector<double>> figures(std::size(kModes));
    for (int round = 0; round < rounds; ++round) {
      for (std::size_t m = 0; m < std::size(kModes); ++m) {
        const Mode mode = kModes[m];
        if (!uring && mode != Mode::kBlocking && mode != Mode::kEpoll) continue;
        if (const auto us = measure(mode, count, where)) {
          figures[m].push_back(*us);
        } else if (mode == Mode::kUringMulti) {
          // Multishot receives and provided buffers came with Linux 6.0: an older kernel
          // refuses them, which is no failure of the floor.
        } else {
          std::fprintf(stderr, "loop_floor_bench: %s round trips failed (%s)\n", name_of(mode),
                       where.name.c_str());
          failed = true;
        }
      }
    }
    const double blocking = median(figures[0]);
    std::printf("%s: %d round trips of %zu bytes, median of %d rounds\n", where.name.c_str(), count,
                kMessage, rounds);
    for (std::size_t m = 0; m < std::size(kModes); ++m) {
      if (figures[m].empty()) {
        std::printf("  %-10s %s\n", name_of(kModes[m]),
                    !uring && m >= 2                 ? "io_uring unavailable"
                    : kModes[m] == Mode::kUringMulti ? "refused by this kernel"
                                                     : "failed");
        continue;
      }
      const double us = median(figures[m]);
      std::printf("  %-10s %7.2f us  %.2f x blocking   (rounds:", name_of(kModes[m]), us,
                  blocking > 0 ? us / blocking : 0.0);
      for (double f : figures[m]) std::printf(" %.2f", f);
      std::printf(")\n");
    }
  }
  return failed ? 1 : 0;
}
