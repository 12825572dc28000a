// A register server for the station library's tests: `fake_board MODE NAME` serves the
// board /ZOL/NAME. Its register service starts out holding an answer for one local-bus read
// of 0x38 (value 0xDEAD), as if a station had asked before.
//   decoy   answers each command with its values plus one, but first publishes what other
//           stations' answers could look like: the same records for other addresses, the
//           same records with other values (an identical request of another station), and
//           one record too many;
//   silent  never answers;
//   busy    never answers, and its download progress says a download runs at 42 %.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "dim/src/zol_load_records.h"
#include "dim/src/zol_records.h"
#include "platform/dim/dim.h"

namespace {

std::string Mode;
std::vector<READ> Published = {READ{1, 0x38, 0xDEAD, 0xFFFFFFFF}};
int RegService = 0;
LOADPROGRESS Progress{};

void publish(std::vector<READ> records) {
  Published = std::move(records);
  dis_update_service_(RegService);
}

void command(long *, void *data, int *size) {
  if (Mode != "decoy") return;
  const int n = *size / static_cast<int>(sizeof(WRITE));
  std::vector<READ> answer, others;
  for (int i = 0; i < n; ++i) {
    WRITE w;
    std::memcpy(&w, static_cast<const char *>(data) + i * sizeof w, sizeof w);
    answer.push_back(READ{static_cast<uint32_t>(w.method), w.addr, w.val + 1, w.mask});
    others.push_back(READ{static_cast<uint32_t>(w.method), w.addr + 4, 0xBAD, w.mask});
  }
  publish(others);
  // Another station's identical request, answered at the same moment: same records, other
  // values, and its own transaction mark if it sent one.
  std::vector<READ> same = answer;
  for (READ &r : same) r.val = 0xBAD;
  if (!same.empty() && same.back().method == 0) same.back().mask ^= 1;
  publish(same);
  std::vector<READ> longer = answer;
  longer.push_back(READ{1, 0, 0xBAD, 0xFFFFFFFF});
  publish(longer);
  publish(answer);
}

void registers(long *, void **address, int *size) {
  *address = Published.data();
  *size = static_cast<int>(Published.size() * sizeof(READ));
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: fake_board decoy|silent|busy NAME\n");
    return 2;
  }
  setvbuf(stdout, nullptr, _IOLBF, 0);
  Mode = argv[1];
  const std::string prefix = std::string("/ZOL/") + argv[2];
  if (Mode == "busy") {
    Progress.state = LOAD_RUNNING;
    Progress.download = 1;
    std::strcpy(Progress.action, "configure");
    Progress.bits_shifted = 42;
    Progress.bits_total = 100;
  }
  dis_add_cmnd_((prefix + "/CMD/ReadWriteRegisters").c_str(), "L", command, 0);
  RegService =
      dis_add_service_((prefix + "/SVC/UpdateRegisters").c_str(), "L", nullptr, 0, registers, 0);
  dis_add_service_((prefix + "/SVC/FPGALoadProgress").c_str(), "L", &Progress, sizeof Progress,
                   nullptr, 0);
  dis_start_serving_((prefix + "/SERVER").c_str());
  std::printf("Starting up server %s/SERVER\n", prefix.c_str());
  for (;;) pause();
}
