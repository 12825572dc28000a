#include "bench/raw_tcp.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

namespace zolbench {

namespace {

bool read_all(int fd, char *p, size_t n) {
  while (n > 0) {
    const ssize_t r = read(fd, p, n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

bool write_all(int fd, const char *p, size_t n) {
  while (n > 0) {
    const ssize_t r = write(fd, p, n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

void no_delay(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// The peer process: only system calls that are safe after fork in a threaded program.
[[noreturn]] void serve(int listener, char *buffer, size_t size) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  const int fd = accept(listener, nullptr, nullptr);
  if (fd < 0) _exit(1);
  no_delay(fd);
  // The answer is the last byte received: proof that the whole message arrived.
  while (read_all(fd, buffer, size) && write_all(fd, size > 0 ? &buffer[size - 1] : buffer, 1)) {
  }
  _exit(0);
}

}  // namespace

RawTcpPeer::RawTcpPeer(size_t message_size) : size_(message_size) {
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0) return;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
      listen(listener, 1) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
    close(listener);
    return;
  }
  // The peer's buffer exists before the fork: the child allocates nothing.
  std::unique_ptr<char[]> buffer(new char[size_ > 0 ? size_ : 1]);
  child_ = fork();
  if (child_ == 0) serve(listener, buffer.get(), size_);
  close(listener);
  if (child_ < 0) return;

  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
    close(fd);
    return;
  }
  no_delay(fd);
  timeval limit{30, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  fd_ = fd;
}

RawTcpPeer::~RawTcpPeer() {
  if (fd_ >= 0) close(fd_);
  if (child_ > 0) {
    kill(child_, SIGKILL);
    waitpid(child_, nullptr, 0);
  }
}

bool RawTcpPeer::exchange(const void *data) {
  if (fd_ < 0) return false;
  const char *bytes = static_cast<const char *>(data);
  char answer = 0;
  return write_all(fd_, bytes, size_) && read_all(fd_, &answer, 1) &&
         (size_ == 0 || answer == bytes[size_ - 1]);
}

}  // namespace zolbench
