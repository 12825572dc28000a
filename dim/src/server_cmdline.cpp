#include "dim/src/server_cmdline.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void set_port(const char *after_letter) {
  // The port runs up to the first white space; a quoted word may hold more.
  std::string port(after_letter, std::strcspn(after_letter, " \t\n\v\f\r"));
  if (port.empty()) {
    std::printf("No DIM_DNS_PORT was specified, assuming 2505\n");
    port = "2505";
  }
  setenv("DIM_DNS_PORT", port.c_str(), 1);
  std::printf("Setting DIM_DNS_PORT to %s\n", port.c_str());
}

}  // namespace

void server_command_line(int argc, char **argv, int *debug) {
  for (int i = 1; i < argc; ++i) {
    const char *word = argv[i];
    if (word[0] != '-') {
      setenv("DIM_DNS_NODE", word, 1);
      std::printf("Setting DIM_DNS_NODE to %s\n", word);
      continue;
    }
    switch (std::toupper(static_cast<unsigned char>(word[1]))) {
      case 'D':
        *debug = 1;
        break;
      case 'P':
        set_port(word + 2);
        break;
      default:
        break;
    }
  }
}
