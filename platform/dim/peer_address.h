// How peers are named: the address the access rules and connection limits see, and the label
// a connection carries into every message about it.
#pragma once

#include <asio.hpp>
#include <string>

namespace dim {

// IPv4 for a v4-mapped IPv6 address: an IPv4 peer that reaches a dual-stack socket
// (::ffff:a.b.c.d) is the IPv4 host it is, for the rules, the limits and the name server.
asio::ip::address plain_address(asio::ip::address a);

// "<role> a.b.c.d:port", e.g. "client 10.0.0.5:40312" or "peer ::1:5000".
std::string peer_label(const char *role, const asio::ip::tcp::endpoint &ep);

}  // namespace dim
