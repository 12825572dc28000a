#include <algorithm>
#include <cstdlib>

#include "platform/dim/dim_extra.h"
#include "platform/station/board.h"

namespace station {

namespace {

// "/ZOL/KeshV2_00/SERVER" gives "/ZOL/KeshV2_00"; any other shape of server name gives "".
std::string board_prefix(const std::string &server) {
  static const std::string tail = "/SERVER";
  if (server.size() <= tail.size() ||
      server.compare(server.size() - tail.size(), tail.size(), tail) != 0)
    return {};
  std::string prefix = server.substr(0, server.size() - tail.size());
  if (prefix.size() < 4 || prefix[0] != '/') return {};
  const size_t second = prefix.find('/', 1);
  if (second == std::string::npos || second == 1 || second + 1 == prefix.size() ||
      prefix.find('/', second + 1) != std::string::npos)
    return {};
  return prefix;
}

}  // namespace

void use_name_server(const std::string &node, int port) {
  if (node.empty()) throw Error("the name server's host is empty");
  if (port < 0 || port > 65535) throw Error("'" + std::to_string(port) + "' is not a port");
  setenv("DIM_DNS_NODE", node.c_str(), 1);
  if (port > 0) setenv("DIM_DNS_PORT", std::to_string(port).c_str(), 1);
}

std::vector<BoardEntry> list_boards(int timeout_ms) {
  std::vector<dim::wire::ServerInfo> servers;
  std::string error;
  if (!dim::list_servers(servers, error, timeout_ms > 0 ? timeout_ms : 1))
    throw NoLink("the name server's list of boards: " + error);
  std::vector<BoardEntry> boards;
  for (const auto &s : servers) {
    const std::string prefix = board_prefix(s.server);
    if (prefix.empty()) continue;
    BoardEntry b;
    b.name = prefix.rfind("/ZOL/", 0) == 0 ? prefix.substr(5) : prefix;
    b.host = s.host;
    b.port = static_cast<int>(s.port);
    b.pid = static_cast<int>(s.pid);
    for (const auto &e : s.entries) b.services.push_back(e.name);
    boards.push_back(std::move(b));
  }
  std::sort(boards.begin(), boards.end(),
            [](const BoardEntry &a, const BoardEntry &b) { return a.name < b.name; });
  return boards;
}

}  // namespace station
