// A plain TCP socket for tests that speak (or break) the frame protocol by hand.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

namespace zoltest {

class RawSocket {
 public:
  explicit RawSocket(int port) {
    // Not inherited: a program the test starts later must not keep this connection open.
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~RawSocket() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  bool send_all(const std::vector<uint8_t> &bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }
  // True when the peer closed the connection within `ms` (data before the close is skipped).
  bool closed_by_peer(int ms = 3000) {
    for (;;) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, ms) <= 0) return false;
      char buf[4096];
      const ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) return true;
    }
  }
  // Reads whatever arrives within `ms` of silence.
  std::vector<uint8_t> drain(int ms) {
    std::vector<uint8_t> all;
    for (;;) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, ms) <= 0) return all;
      uint8_t buf[65536];
      const ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) return all;
      all.insert(all.end(), buf, buf + n);
    }
  }

 private:
  int fd_ = -1;
};

}  // namespace zoltest
