#include "platform/dim/access_policy.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace dim {

AccessPolicy AccessPolicy::from_environment() {
  AccessPolicy policy;
  for (auto [name, list] :
       {std::pair{"ZOL_ALLOW", &policy.use}, {"ZOL_ALLOW_WRITE", &policy.write}}) {
    const char *text = std::getenv(name);
    if (!text || std::string_view(text).find_first_not_of(" \t") == std::string_view::npos)
      continue;
    // Blanks are allowed around the entries, as people write lists.
    std::string compact(text);
    std::erase_if(compact, [](char ch) { return ch == ' ' || ch == '\t'; });
    *list = parse_host_ranges(compact);
    if (!*list) {
      std::fprintf(stderr,
                   "dim: %s='%s' is not a list of addresses and networks; it allows nobody\n", name,
                   text);
      list->emplace();
    }
  }
  return policy;
}

}  // namespace dim
