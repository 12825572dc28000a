// Remote mode: one register action through a register server's "ReadWriteRegisters"
// command, the answer taken from its "UpdateRegisters" service.
//
// A monitored subscription first delivers the service's current contents, which answer some
// earlier command (possibly another station's). The action therefore starts only after that
// first delivery, and afterwards only a one-record answer to this client's own request ends
// the wait. The fill data "No Link" means the server cannot be reached: nothing is printed
// from a stale value. Every wait has a time limit.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "board/register_map.h"
#include "dim/src/busy_check.h"
#include "dim/src/rwreg.h"
#include "platform/dim/dim.h"
#include "platform/dim/dim_extra.h"

namespace rwreg {

namespace {

char SvcName[NAME_BUFFER];
char CmdName[NAME_BUFFER];
char NoLinkFill[8] = "No Link";

RECEIVE_REG RegReceive;
// Set by the callback after it has stored what it reports (release), tested by the main
// flow before it reads RegReceive (acquire).
std::atomic<int> Received{0};
// Claimed by the one callback that stores RegReceive. It stays claimed until the main flow
// clears it before its first command, and the first answer after that claims it for good:
// the second answer of -W must not overwrite the first while the main flow prints it.
std::atomic<int> Taken{1};
unsigned Subscription = 0;
std::atomic<int> FirstDelivery{0};
std::atomic<int> NoLink{0};

constexpr uint32_t ALL_BITS = 0xFFFFFFFF;
constexpr int ANSWER_TIMEOUT_SECONDS = 5;

bool is_fill(const void *buffer, int size) {
  return size == static_cast<int>(sizeof NoLinkFill) &&
         std::memcmp(buffer, NoLinkFill, sizeof NoLinkFill) == 0;
}

// The answer to one of this client's commands: exactly one local-bus record for the
// action's address (or, after -P, for the register read that follows the write).
bool is_own_answer(const RECEIVE_REG &r) {
  if (r.method != 1 || r.mask != ALL_BITS) return false;
  return r.addr == address || (action == ACTION_WRITE && r.addr == POLL_PREAMBLE_ADDR);
}

void ReceiveRegister(long *tag, void *buffer, int *size) {
  (void)tag;
  int bytes = size != nullptr ? *size : 0;
  if (buffer == nullptr) bytes = 0;
  if (is_fill(buffer, bytes)) {
    NoLink.store(1, std::memory_order_release);
    Received.store(1, std::memory_order_release);
    return;
  }
  if (FirstDelivery.load(std::memory_order_acquire) == 0) {
    FirstDelivery.store(1, std::memory_order_release);
    return;
  }
  if (bytes != static_cast<int>(sizeof(RECEIVE_REG))) return;  // not one record: not ours
  RECEIVE_REG record;
  std::memcpy(&record, buffer, sizeof record);
  if (!is_own_answer(record)) return;
  if (Taken.exchange(1, std::memory_order_acq_rel) != 0) return;
  RegReceive = record;
  Received.store(1, std::memory_order_release);
}

// Waits until the flag is set or the server is unreachable; false after the time limit. The
// library lets this thread read the answer itself while it waits.
bool wait_for(const std::atomic<int> &flag) {
  return dim::wait_until(
      [&flag] {
        return flag.load(std::memory_order_acquire) != 0 ||
               NoLink.load(std::memory_order_acquire) != 0;
      },
      ANSWER_TIMEOUT_SECONDS * 1000);
}

const char *env_or(const char *name, const char *otherwise) {
  const char *value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : otherwise;
}

// The end of a remote action that got no answer; returns the exit status. A name server
// that never answered leaves the server unasked: that is no link, whatever the time-out.
int no_answer(bool in_time) {
  if (dim::service_lookup(Subscription) == dim::ServiceLookup::kNoAnswer) {
    std::fprintf(stderr,
                 "rwreg: the name server (DIM_DNS_NODE %s, DIM_DNS_PORT %s) did not answer; "
                 "the server of board %s was not asked\n",
                 env_or("DIM_DNS_NODE", "not set"), env_or("DIM_DNS_PORT", "2505"), BoardName);
    return 2;
  }
  if (NoLink.load(std::memory_order_acquire) != 0) {
    std::fprintf(stderr, "rwreg: the server of board %s cannot be reached (No Link)\n", BoardName);
    return 2;
  }
  if (!in_time) {
    // A download holds register commands until it ends; the progress service says so.
    char busy[200];
    if (board_busy_text(BoardName, 2000, busy, sizeof busy))
      std::fprintf(stderr, "rwreg: %s\n", busy);
    else
      std::fprintf(stderr, "rwreg: no answer from the server of board %s within %d seconds\n",
                   BoardName, ANSWER_TIMEOUT_SECONDS);
    return 3;
  }
  return 0;
}

// Returns once the command has left for the server (or could not): the answer to the first
// command of an action may end the run, and a command still queued then would be lost.
void send(uint32_t addr, uint32_t val, int32_t write) {
  RW_REG RegRW = {1, addr, val, ALL_BITS, write};
  std::string why;
  dim::send_command(CmdName, &RegRW, sizeof RegRW, ANSWER_TIMEOUT_SECONDS * 1000, why);
}

void print_result(uint32_t val) {
  std::printf("Add 0x%X  : Value 0x%X\n", address, val);
  std::printf("Add 0x%X  : Value %d\n", address, static_cast<int>(val));
}

}  // namespace

int remote_action() {
  std::snprintf(SvcName, sizeof SvcName, "/ZOL/%s/SVC/UpdateRegisters", BoardName);
  std::snprintf(CmdName, sizeof CmdName, "/ZOL/%s/CMD/ReadWriteRegisters", BoardName);
  Subscription = dic_info_service_(SvcName, MONITORED, 0, nullptr, 0, ReceiveRegister, 0,
                                   NoLinkFill, sizeof NoLinkFill);

  bool in_time = wait_for(FirstDelivery);
  if (!in_time || NoLink.load(std::memory_order_acquire) != 0) return no_answer(in_time);

  Received.store(0, std::memory_order_release);
  Taken.store(0, std::memory_order_release);
  switch (action) {
    case ACTION_READ:
      send(address, ~value, 0);
      break;
    case ACTION_WRITE_READ:
      send(address, value, 1);
      usleep(500);
      send(address, ~value, 0);
      break;
    case ACTION_WRITE:
      send(address, value, 1);
      send(POLL_PREAMBLE_ADDR, ~value, 0);
      break;
    default:
      return -1;
  }
  in_time = wait_for(Received);
  if (!in_time || NoLink.load(std::memory_order_acquire) != 0) return no_answer(in_time);
  if (action != ACTION_WRITE) print_result(RegReceive.val);
  return 0;
}

}  // namespace rwreg
