// `list` and `cmd`: what the name server knows, and commands sent as words.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/dim/dim_extra.h"
#include "tools/src/dimctl/dimctl.h"

namespace dimctl {

int list() {
  std::vector<dim::wire::ServerInfo> servers;
  std::string error;
  const bool whole = dim::list_servers(servers, error, kTimeoutMs);
  for (const auto &s : servers) {
    std::printf("%s  %s:%u  pid %u\n", s.server.c_str(), s.host.c_str(), s.port, s.pid);
    for (const auto &e : s.entries)
      std::printf("  %s %s\n", e.kind == dim::wire::EntryKind::kService ? "service" : "command",
                  e.name.c_str());
  }
  if (whole) return kExitOk;
  std::fflush(stdout);
  if (servers.empty())
    std::fprintf(stderr, "dimctl: no link to the name server: %s\n", error.c_str());
  else
    std::fprintf(stderr, "dimctl: the list above is incomplete: %s\n", error.c_str());
  return kExitNoLink;
}

int send(const std::string &command, const std::vector<std::string> &words) {
  std::vector<unsigned char> data;
  for (const auto &word : words) {
    uint32_t w = 0;
    if (!parse_word(word, w)) {
      std::fprintf(stderr, "dimctl: '%s' is not a 32-bit number\n", word.c_str());
      return kExitUsage;
    }
    for (int b = 0; b < 4; ++b) data.push_back(static_cast<unsigned char>(w >> (8 * b)));
  }
  std::string error;
  if (!dim::send_command(command, data.data(), static_cast<int>(data.size()), kTimeoutMs, error)) {
    std::fprintf(stderr, "dimctl: no link: command %s not sent: %s\n", command.c_str(),
                 error.c_str());
    return kExitNoLink;
  }
  return kExitOk;
}

}  // namespace dimctl
