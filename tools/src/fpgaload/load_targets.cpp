#include "tools/src/fpgaload/load_targets.h"

#include <fnmatch.h>

#include <algorithm>
#include <set>

#include "platform/dim/dim_extra.h"
#include "tools/src/fpgaload/load_options.h"

namespace {

// Boards are known by the load status service every register server offers.
constexpr const char kPrefix[] = "/ZOL/";
constexpr const char kSuffix[] = "/SVC/FPGALoadStatus";

bool known_boards(std::vector<std::string> &out, std::string &error, int timeout_ms) {
  std::vector<dim::wire::ServerInfo> servers;
  if (!dim::list_servers(servers, error, timeout_ms)) {
    error = "cannot list the name server's boards: " + error;
    return false;
  }
  std::set<std::string> names;
  const std::string prefix = kPrefix, suffix = kSuffix;
  for (const auto &server : servers)
    for (const auto &entry : server.entries) {
      const std::string &n = entry.name;
      if (n.size() > prefix.size() + suffix.size() && n.compare(0, prefix.size(), prefix) == 0 &&
          n.compare(n.size() - suffix.size(), suffix.size(), suffix) == 0)
        names.insert(n.substr(prefix.size(), n.size() - prefix.size() - suffix.size()));
    }
  out.assign(names.begin(), names.end());
  return true;
}

}  // namespace

bool resolve_boards(const std::vector<std::string> &given, std::vector<std::string> &boards,
                    std::string &error, int timeout_ms) {
  boards.clear();
  std::vector<std::string> known;
  bool listed = false;
  auto add = [&](const std::string &b) {
    if (std::find(boards.begin(), boards.end(), b) == boards.end()) boards.push_back(b);
  };
  for (const std::string &value : given) {
    if (!is_board_pattern(value)) {
      add(value);
      continue;
    }
    if (!listed) {
      if (!known_boards(known, error, timeout_ms)) return false;
      listed = true;
    }
    bool matched = false;
    for (const std::string &b : known)
      if (fnmatch(value.c_str(), b.c_str(), 0) == 0) {
        add(b);
        matched = true;
      }
    if (!matched) {
      error = "no board known to the name server matches '" + value + "'";
      return false;
    }
  }
  return true;
}
