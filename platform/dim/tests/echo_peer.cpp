// A small server for the multi-process tests and the benchmark: its command's data (at most
// ANSWER_BYTES of it) becomes its service's contents, published at once.
// Usage: dim_echo_peer SERVER SERVICE COMMAND [HANDLER_MS [ANSWER_BYTES]]
// Prints "ready" once dis_start_serving_ has returned. The command data "EXIT" ends the
// process with status 7 from inside the handler.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/dim/dim.h"

namespace {
std::vector<unsigned char> contents;
int service_id = 0;
int handler_ms = 0;
int answer_bytes = -1;

void on_command(long *, void *data, int *size) {
  if (handler_ms > 0) usleep(static_cast<useconds_t>(handler_ms) * 1000);
  const auto *p = static_cast<unsigned char *>(data);
  if (*size == 4 && std::memcmp(p, "EXIT", 4) == 0) std::exit(7);  // exit from a handler
  contents.assign(p, p + (answer_bytes >= 0 && answer_bytes < *size ? answer_bytes : *size));
  dis_update_service_(service_id);
}

void build(long *, void **address, int *size) {
  *address = contents.data();
  *size = static_cast<int>(contents.size());
}
}  // namespace

int main(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  if (argc < 4) {
    std::fprintf(stderr,
                 "usage: dim_echo_peer SERVER SERVICE COMMAND [HANDLER_MS [ANSWER_BYTES]]\n");
    return 1;
  }
  if (argc > 4) handler_ms = std::atoi(argv[4]);
  if (argc > 5) answer_bytes = std::atoi(argv[5]);
  contents = {'i', 'n', 'i', 't'};
  dis_add_cmnd_(argv[3], "L", on_command, 0);
  service_id = dis_add_service_(argv[2], "L", nullptr, 0, build, 0);
  if (!dis_start_serving_(argv[1])) return 3;
  std::printf("ready\n");
  for (;;) pause();
}
