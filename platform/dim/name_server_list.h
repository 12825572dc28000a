// Where the name servers are: DIM_DNS_NODE names one host or several separated by commas, each
// with an optional ":port" ("[address]:port" for an IPv6 address with a port); DIM_DNS_PORT is
// the port of the entries without one (2505 when unset). Servers register with every one of
// them; clients ask them in turn.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace dim {

struct NameServerAddress {
  std::string node;
  std::string port;
  std::string text() const { return node + ":" + port; }
};

struct NameServerList {
  std::vector<NameServerAddress> servers;
  std::string error;  // non-empty when the text cannot be used; it then starts with the variable
};

NameServerList parse_name_servers(std::string_view nodes, std::string_view default_port);
// DIM_DNS_NODE and DIM_DNS_PORT as they are at the time of the call.
NameServerList name_servers();

}  // namespace dim
