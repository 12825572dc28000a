// Which peers a server serves, read from ZOL_ALLOW and ZOL_ALLOW_WRITE when serving starts:
// comma-separated addresses and networks ("10.1.0.0/16,127.0.0.1,::1").
//
// ZOL_ALLOW decides who may use the server at all: subscribe to its services and send its
// commands. ZOL_ALLOW_WRITE, when set, further narrows who may send commands. The library
// cannot see inside a command's data, and a register batch may write, so every command counts
// as a write: a peer on ZOL_ALLOW alone can watch the services but change nothing. A variable
// that is unset or empty lets everyone through, as before. A list that cannot be read is
// reported and allows nobody, so a typing error never opens a board.
#pragma once

#include <asio.hpp>
#include <optional>
#include <vector>

#include "platform/dim/host_range.h"

namespace dim {

struct AccessPolicy {
  std::optional<std::vector<HostRange>> use;    // none: everyone
  std::optional<std::vector<HostRange>> write;  // none: everyone `use` allows

  // Reads ZOL_ALLOW and ZOL_ALLOW_WRITE; a list that cannot be read is printed on stderr.
  static AccessPolicy from_environment();

  bool may_subscribe(const asio::ip::address &peer) const { return allows(use, peer); }
  bool may_command(const asio::ip::address &peer) const {
    return allows(use, peer) && allows(write, peer);
  }

 private:
  static bool allows(const std::optional<std::vector<HostRange>> &list,
                     const asio::ip::address &peer) {
    return !list || any_contains(*list, peer);
  }
};

}  // namespace dim
