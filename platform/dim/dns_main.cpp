// dim_dns: the name server program.
#include <asio.hpp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/dim/dns_options.h"
#include "platform/dim/name_server.h"
#include "platform/version.h"

namespace {

void usage(FILE *out) {
  std::fprintf(
      out,
      "usage: dim_dns [-p PORT] [OPTION...]\n"
      "  The messaging name server. Listens on PORT (default: DIM_DNS_PORT, else 2505;\n"
      "  0 picks a free port) and prints \"dim_dns: listening on port N\" first.\n"
      "%s"
      "  Exit status: 0 after SIGINT/SIGTERM, 1 on a usage error, 2 when it cannot listen.\n",
      dim::kNameServerOptionsHelp);
}

bool parse_port(const char *text, uint16_t &port) {
  char *end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (!*text || *end != '\0' || v < 0 || v > 65535) return false;
  port = static_cast<uint16_t>(v);
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  switch (asks_help_or_version(argc, argv)) {
    case ASKS_HELP:
      usage(stdout);
      return 0;
    case ASKS_VERSION:
      print_version("dim_dns");
      return 0;
    default:
      break;
  }
  uint16_t port = 2505;
  if (const char *env = std::getenv("DIM_DNS_PORT"); env && *env && !parse_port(env, port)) {
    std::fprintf(stderr, "dim_dns: DIM_DNS_PORT '%s' is not a port\n", env);
    return 1;
  }
  dim::NameServerOptions options;
  for (int i = 1; i < argc; ++i) {
    std::string error;
    if (dim::parse_name_server_option(argc, argv, i, options, error)) {
      if (error.empty()) continue;
      std::fprintf(stderr, "dim_dns: %s\n", error.c_str());
      return 1;
    }
    if (!std::strcmp(argv[i], "-h") || !std::strcmp(argv[i], "--help")) {
      usage(stdout);
      return 0;
    }
    if (!std::strcmp(argv[i], "-p") && i + 1 < argc) {
      if (!parse_port(argv[++i], port)) {
        std::fprintf(stderr, "dim_dns: '%s' is not a port\n", argv[i]);
        return 1;
      }
      continue;
    }
    usage(stderr);
    return 1;
  }

  asio::io_context io;
  std::string error;
  dim::NameServer server(io, port, std::move(options), error);
  if (!error.empty()) {
    std::fprintf(stderr, "dim_dns: %s\n", error.c_str());
    return 2;
  }
  std::printf("dim_dns: listening on port %u\n", static_cast<unsigned>(server.port()));
  asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&](const asio::error_code &, int) { io.stop(); });
  io.run();
  return 0;
}
