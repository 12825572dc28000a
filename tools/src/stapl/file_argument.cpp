#include <cstdio>

#include "tools/src/stapl/commands.h"

namespace stapl {

std::optional<std::string> only_file_argument(const Args &args, const char *command,
                                              void (*usage)(std::FILE *), int &status) {
  std::string path;
  for (const std::string &a : args) {
    if (a == "--help" || a == "-h") {
      usage(stdout);
      status = 0;
      return std::nullopt;
    }
    if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "stapl %s: unknown option '%s'\n", command, a.c_str());
      usage(stderr);
      status = 2;
      return std::nullopt;
    }
    if (!path.empty()) {
      std::fprintf(stderr, "stapl %s: more than one file ('%s')\n", command, a.c_str());
      status = 2;
      return std::nullopt;
    }
    path = a;
  }
  if (path.empty()) {
    usage(stderr);
    status = 2;
    return std::nullopt;
  }
  return path;
}

}  // namespace stapl
