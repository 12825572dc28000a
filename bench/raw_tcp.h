// The floor for moving a byte-code file over the network: a blocking send of the bytes on a
// loopback TCP connection to a peer process that reads them all into a ready buffer and
// answers one byte (the last one it read). No framing, no copies beyond the kernel's, no thread
// hand-offs.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace zolbench {

class RawTcpPeer {
 public:
  // Forks the peer, which expects `message_size` bytes per exchange. valid() tells whether
  // the connection stands.
  explicit RawTcpPeer(size_t message_size);
  ~RawTcpPeer();
  RawTcpPeer(const RawTcpPeer &) = delete;
  RawTcpPeer &operator=(const RawTcpPeer &) = delete;

  bool valid() const { return fd_ >= 0; }
  // Sends `message_size` bytes and waits for the one-byte answer. False on any failure:
  // 30 s without an answer, or an answer that is not the message's last byte.
  bool exchange(const void *data);

 private:
  size_t size_;
  pid_t child_ = -1;
  int fd_ = -1;
};

}  // namespace zolbench
