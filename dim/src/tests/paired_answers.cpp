// A register server for the client's tests, under the echo server's name /ZOL/KeshV2_00. It
// answers like the echo server (value plus one), but holds back the answer to a write until
// the next command arrives and then publishes both answers at once, so that a station gets the
// second answer right behind the first: the tightest case for a client that must print the
// first.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "dim/src/zol_records.h"
#include "platform/dim/dim.h"

namespace {

READ Answer;
int Service = 0;
READ Held;
bool holding = false;

void publish(const READ &answer) {
  Answer = answer;
  dis_update_service_(Service);
}

void command(long *, void *data, int *size) {
  if (*size != static_cast<int>(sizeof(WRITE))) return;
  WRITE w;
  std::memcpy(&w, data, sizeof w);
  const READ answer = {static_cast<uint32_t>(w.method), w.addr, w.val + 1, w.mask};
  if (w.write != 0 && !holding) {
    Held = answer;
    holding = true;
    return;
  }
  if (holding) {
    holding = false;
    publish(Held);
  }
  publish(answer);
}

void contents(long *, void **address, int *size) {
  *address = &Answer;
  *size = Answer.method != 0 ? static_cast<int>(sizeof Answer) : 0;  // nothing answered yet
}

}  // namespace

int main() {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  std::printf("Starting up server /ZOL/KeshV2_00/SERVER\n");
  dis_add_cmnd_("/ZOL/KeshV2_00/CMD/ReadWriteRegisters", "L", command, 0);
  Service = dis_add_service_("/ZOL/KeshV2_00/SVC/UpdateRegisters", "L", nullptr, 0, contents, 0);
  dis_start_serving_("/ZOL/KeshV2_00/SERVER");
  for (;;) pause();
}
