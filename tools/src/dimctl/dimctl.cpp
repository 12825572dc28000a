// dimctl: look at and poke the messaging system by hand.
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dim/dim.h"
#include "platform/dim/dim_extra.h"
#include "platform/version.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitNoLink = 2;
constexpr int kTimeoutMs = 5000;

const char kHelp[] =
    "usage: dimctl COMMAND ...\n"
    "  list                      servers known to the name server, with their services\n"
    "                            and commands\n"
    "  get SERVICE               print the service's current contents once\n"
    "  follow SERVICE [-n COUNT] print every delivery (COUNT of them, else until killed)\n"
    "  cmd COMMAND WORD...       send the words as 32-bit little-endian integers;\n"
    "                            a word is hexadecimal with 0x, else decimal\n"
    "  --help                    this text\n"
    "  --version                 the program's version\n"
    "Contents are printed one delivery per line as 32-bit words in hexadecimal; bytes\n"
    "after the last whole word follow \"tail\". The name server is DIM_DNS_NODE,\n"
    "DIM_DNS_PORT (default 2505).\n"
    "Exit status: 0 done; 1 usage error; 2 no link (name server or server not reachable,\n"
    "name unknown, list incomplete, command not delivered).\n";

int usage_error(const char *why) {
  std::fprintf(stderr, "dimctl: %s\n%s", why, kHelp);
  return kExitUsage;
}

bool parse_word(const char *text, uint32_t &out) {
  errno = 0;
  char *end = nullptr;
  const bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  if (hex) {
    if (text[2] == '\0') return false;
    const unsigned long long v = std::strtoull(text + 2, &end, 16);
    if (errno || *end || v > 0xFFFFFFFFull || text[2] == '-' || text[2] == '+') return false;
    out = static_cast<uint32_t>(v);
    return true;
  }
  const long long v = std::strtoll(text, &end, 10);
  if (errno || !*text || *end || v < -2147483648LL || v > 0xFFFFFFFFLL) return false;
  out = static_cast<uint32_t>(v);
  return true;
}

void print_delivery(const unsigned char *data, int size) {
  std::string line;
  char buf[16];
  int i = 0;
  for (; i + 4 <= size; i += 4) {
    const uint32_t w = uint32_t{data[i]} | uint32_t{data[i + 1]} << 8 |
                       uint32_t{data[i + 2]} << 16 | uint32_t{data[i + 3]} << 24;
    std::snprintf(buf, sizeof buf, "%s0x%08X", line.empty() ? "" : " ", w);
    line += buf;
  }
  if (i < size) {
    line += line.empty() ? "tail" : " tail";
    for (; i < size; ++i) {
      std::snprintf(buf, sizeof buf, " 0x%02X", data[i]);
      line += buf;
    }
  }
  if (line.empty()) line = "(empty)";
  std::printf("%s\n", line.c_str());
}

// State shared with the subscription callback, which runs on the library's thread.
struct Watch {
  std::mutex m;
  std::condition_variable cv;
  std::string service;
  long wanted = -1;  // deliveries to print; -1: no limit
  long printed = 0;
  bool stop_on_no_link = false;
  bool no_link = false;
};
// Never freed: a delivery may still arrive while the process exits.
Watch &watch = *new Watch;

void on_delivery(long *, void *data, int *size) {
  std::lock_guard lock(watch.m);
  if (dim::delivering_fill()) {
    std::fprintf(stderr, "dimctl: no link to %s\n", watch.service.c_str());
    if (watch.stop_on_no_link) {
      watch.no_link = true;
      watch.cv.notify_all();
    }
    return;
  }
  if (watch.wanted >= 0 && watch.printed >= watch.wanted) return;
  print_delivery(static_cast<unsigned char *>(data), *size);
  ++watch.printed;
  watch.cv.notify_all();
}

int watch_service(const std::string &service, long count, bool stop_on_no_link) {
  {
    std::lock_guard lock(watch.m);
    watch.service = service;
    watch.wanted = count;
    watch.stop_on_no_link = stop_on_no_link;
  }
  static char fill[] = "";
  dic_info_service_(service.c_str(), MONITORED, 0, nullptr, 0, on_delivery, 0, fill, 0);
  std::unique_lock lock(watch.m);
  watch.cv.wait(
      lock, [] { return watch.no_link || (watch.wanted >= 0 && watch.printed >= watch.wanted); });
  const int status = watch.no_link ? kExitNoLink : kExitOk;
  return status;
}

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

int send(const std::string &command, int argc, char **argv) {
  std::vector<unsigned char> data;
  for (int i = 0; i < argc; ++i) {
    uint32_t w = 0;
    if (!parse_word(argv[i], w))
      return usage_error(("'" + std::string(argv[i]) + "' is not a 32-bit number").c_str());
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

int run(int argc, char **argv) {
  if (argc < 2) return usage_error("no command given");
  const std::string what = argv[1];
  if (what == "--help" || what == "-h" || what == "help") {
    std::printf("%s", kHelp);
    return kExitOk;
  }
  if (what == "--version") {
    print_version("dimctl");
    return kExitOk;
  }
  if (what == "list") {
    if (argc != 2) return usage_error("list takes no arguments");
    return list();
  }
  if (what == "get") {
    if (argc != 3) return usage_error("get takes one service name");
    return watch_service(argv[2], 1, true);
  }
  if (what == "follow") {
    if (argc != 3 && argc != 5) return usage_error("follow takes a service name and -n COUNT");
    long count = -1;
    if (argc == 5) {
      char *end = nullptr;
      count = std::strtol(argv[4], &end, 10);
      if (std::strcmp(argv[3], "-n") != 0 || !*argv[4] || *end || count <= 0)
        return usage_error("follow: -n needs a positive count");
    }
    return watch_service(argv[2], count, false);
  }
  if (what == "cmd") {
    if (argc < 3) return usage_error("cmd takes a command name and words");
    return send(argv[2], argc - 3, argv + 3);
  }
  return usage_error(("unknown command '" + what + "'").c_str());
}

}  // namespace

int main(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  return run(argc, argv);
}
