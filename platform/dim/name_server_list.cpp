#include "platform/dim/name_server_list.h"

#include <algorithm>
#include <cstdlib>

namespace dim {

namespace {

bool valid_port(std::string_view p) {
  if (p.empty() || p.size() > 5 ||
      !std::all_of(p.begin(), p.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  const long v = std::strtol(std::string(p).c_str(), nullptr, 10);
  return v > 0 && v <= 65535;
}

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// One entry: "host", "host:port", "[v6]", "[v6]:port", or a bare IPv6 address (two or more
// colons, no port). Empty `error` when it reads.
NameServerAddress parse_entry(std::string_view e, std::string_view default_port,
                              std::string &error) {
  NameServerAddress a;
  std::string_view port;
  if (e.front() == '[') {
    const auto close = e.find(']');
    if (close == std::string_view::npos) {
      error = "has no closing ']'";
      return a;
    }
    a.node = std::string(e.substr(1, close - 1));
    std::string_view rest = e.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') {
        error = "has text after ']' that is no \":port\"";
        return a;
      }
      port = rest.substr(1);
      if (port.empty()) port = "-";  // a ':' with nothing after it is no port
    }
  } else if (std::count(e.begin(), e.end(), ':') == 1) {
    const auto colon = e.find(':');
    a.node = std::string(trimmed(e.substr(0, colon)));
    port = trimmed(e.substr(colon + 1));
    if (port.empty()) port = "-";
  } else {
    a.node = std::string(e);
  }
  if (a.node.empty()) {
    error = "has no host";
    return a;
  }
  if (port.empty()) {
    a.port = std::string(default_port);
  } else if (!valid_port(port)) {
    error = "has a port that is no number from 1 to 65535";
    return a;
  } else {
    a.port = std::string(port);
  }
  return a;
}

}  // namespace

NameServerList parse_name_servers(std::string_view nodes, std::string_view default_port) {
  NameServerList list;
  if (nodes.empty()) {
    list.error = "DIM_DNS_NODE is not set";
    return list;
  }
  const std::string whole(nodes);
  std::size_t index = 0;
  for (std::size_t start = 0;;) {
    const std::size_t comma = nodes.find(',', start);
    const std::string_view e = trimmed(nodes.substr(start, comma - start));
    ++index;
    const std::string where = "DIM_DNS_NODE '" + whole + "': entry " + std::to_string(index) + " ";
    if (e.empty()) {
      list.error = where + "is empty";
      return list;
    }
    std::string why;
    auto a = parse_entry(e, default_port, why);
    if (!why.empty()) {
      list.error = where + "('" + std::string(e) + "') " + why;
      return list;
    }
    for (std::size_t i = 0; i < list.servers.size(); ++i) {
      if (list.servers[i].node == a.node && list.servers[i].port == a.port) {
        list.error = where + "names the same name server as entry " + std::to_string(i + 1);
        return list;
      }
    }
    list.servers.push_back(std::move(a));
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  return list;
}

NameServerList name_servers() {
  const char *node = std::getenv("DIM_DNS_NODE");
  const char *port = std::getenv("DIM_DNS_PORT");
  const std::string default_port = (port && *port) ? port : "2505";
  NameServerList list;
  if (!node || !*node) {
    list.error = "DIM_DNS_NODE is not set";
    return list;
  }
  char *end = nullptr;
  const long p = std::strtol(default_port.c_str(), &end, 10);
  if (*end != '\0' || p <= 0 || p > 65535) {
    list.error = "DIM_DNS_PORT '" + default_port + "' is not a port";
    return list;
  }
  return parse_name_servers(node, default_port);
}

}  // namespace dim
