#include "dim/src/server_cmdline.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/version.h"

namespace {

// Exit status of a command line the server cannot work with.
constexpr int USAGE_STATUS = 2;

const char *program_name(char **argv) {
  const char *slash = std::strrchr(argv[0], '/');
  return slash != nullptr ? slash + 1 : argv[0];
}

void usage(std::FILE *to, const char *program) {
  std::fprintf(to,
               "usage: %s [HOST] [-PPORT] [-D]\n"
               "  HOST     host of the name server (sets DIM_DNS_NODE)\n"
               "  -PPORT   port of the name server, 1 to 65535 (sets DIM_DNS_PORT;\n"
               "           -P alone means 2505)\n"
               "  -D       print a trace line for every register request\n"
               "  --help, --version\n",
               program);
}

// The port runs up to the first white space; a quoted word may hold more.
std::string port_text(const char *after_letter) {
  return std::string(after_letter, std::strcspn(after_letter, " \t\n\v\f\r"));
}

bool is_port(const std::string &text) {
  if (text.empty() || text.size() > 5) return false;
  for (char c : text)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  const long port = std::strtol(text.c_str(), nullptr, 10);
  return port >= 1 && port <= 65535;
}

bool all_digits(const char *word) {
  if (*word == '\0') return false;
  for (; *word != '\0'; ++word)
    if (!std::isdigit(static_cast<unsigned char>(*word))) return false;
  return true;
}

void set_port(const char *after_letter) {
  std::string port = port_text(after_letter);
  if (port.empty()) {
    std::printf("No DIM_DNS_PORT was specified, assuming 2505\n");
    port = "2505";
  }
  setenv("DIM_DNS_PORT", port.c_str(), 1);
  std::printf("Setting DIM_DNS_PORT to %s\n", port.c_str());
}

}  // namespace

int server_check_command_line(int argc, char **argv) {
  const char *program = program_name(argv);
  switch (asks_help_or_version(argc, argv)) {
    case ASKS_HELP:
      usage(stdout, program);
      return 0;
    case ASKS_VERSION:
      print_version(program);
      return 0;
    default:
      break;
  }
  for (int i = 1; i < argc; ++i) {
    const char *word = argv[i];
    if (word[0] != '-' || std::toupper(static_cast<unsigned char>(word[1])) != 'P') continue;
    const std::string port = port_text(word + 2);
    if (port.empty() || is_port(port)) continue;
    std::fprintf(stderr, "%s: '%s' in %s is not a port (a number from 1 to 65535)\n", program,
                 port.c_str(), word);
    usage(stderr, program);
    return USAGE_STATUS;
  }
  return -1;
}

void server_command_line(int argc, char **argv, int *debug) {
  for (int i = 1; i < argc; ++i) {
    const char *word = argv[i];
    if (word[0] != '-') {
      setenv("DIM_DNS_NODE", word, 1);
      std::printf("Setting DIM_DNS_NODE to %s\n", word);
      // "-p 2505" makes the port the host; a host named by digits alone is rarely meant.
      if (all_digits(word))
        std::fprintf(stderr,
                     "%s: warning: name-server host '%s' is all digits; did you mean -P%s?\n",
                     program_name(argv), word, word);
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
