// `read` and `write`: registers through the board's "ReadWriteRegisters" command, the
// answers taken from its "UpdateRegisters" service.
//
// The subscription's first delivery holds the service's stored contents, the answer to some
// earlier command, possibly another station's: the command goes out only after it, and only
// a delivery that answers exactly this command's records, in order, ends the wait.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "dim/src/zol_records.h"
#include "platform/dim/dim.h"
#include "platform/dim/dim_extra.h"
#include "tools/src/dimctl/dimctl.h"

namespace dimctl {

namespace {

struct Exchange {
  std::mutex m;
  std::vector<WRITE> requests;
  std::vector<READ> answers;
  std::atomic<bool> first_seen{false};
  std::atomic<bool> sent{false};
  std::atomic<bool> answered{false};
  std::atomic<bool> no_link{false};
};
// Never freed: a delivery may still arrive while the process exits.
Exchange &exchange = *new Exchange;

bool answers_requests(const unsigned char *data, int size) {
  if (size != static_cast<int>(exchange.requests.size() * sizeof(READ))) return false;
  for (std::size_t i = 0; i < exchange.requests.size(); ++i) {
    READ r;
    std::memcpy(&r, data + i * sizeof r, sizeof r);
    const WRITE &w = exchange.requests[i];
    if (r.method != static_cast<uint32_t>(w.method) || r.addr != w.addr || r.mask != w.mask)
      return false;
  }
  return true;
}

void on_update(long *, void *data, int *size) {
  if (dim::delivering_fill()) {
    exchange.no_link = true;
    return;
  }
  if (!exchange.first_seen) {
    exchange.first_seen = true;
    return;
  }
  if (!exchange.sent || exchange.answered) return;
  std::lock_guard lock(exchange.m);
  const auto *bytes = static_cast<const unsigned char *>(data);
  if (!answers_requests(bytes, *size)) return;
  exchange.answers.resize(exchange.requests.size());
  std::memcpy(exchange.answers.data(), bytes, static_cast<std::size_t>(*size));
  exchange.answered = true;
}

int fail(const std::string &board, const char *why, int status) {
  std::fprintf(stderr, "dimctl: board %s: %s\n", board.c_str(), why);
  return status;
}

// Sends the requests as one command and waits for their answer; returns the exit status.
int transact(const std::string &board, std::vector<WRITE> requests) {
  const std::string prefix = board_prefix(board);
  {
    std::lock_guard lock(exchange.m);
    exchange.requests = std::move(requests);
  }
  static char fill[] = "";
  const unsigned id = dic_info_service_((prefix + "/SVC/UpdateRegisters").c_str(), MONITORED, 0,
                                        nullptr, 0, on_update, 0, fill, 0);
  const auto linked_or_lost = [] { return exchange.first_seen || exchange.no_link; };
  if (!dim::wait_until(linked_or_lost, kTimeoutMs) || exchange.no_link) {
    if (dim::service_lookup(id) == dim::ServiceLookup::kUnknown)
      return fail(board, "the name server knows no register server of this board", kExitNoLink);
    if (dim::service_lookup(id) == dim::ServiceLookup::kNoAnswer)
      return fail(board, "the name server did not answer", kExitNoLink);
    return fail(board, "no link to the register server", kExitNoLink);
  }
  exchange.sent = true;
  std::string error;
  const auto &r = exchange.requests;
  if (!dim::send_command(prefix + "/CMD/ReadWriteRegisters", r.data(),
                         static_cast<int>(r.size() * sizeof(WRITE)), kTimeoutMs, error))
    return fail(board, ("command not sent: " + error).c_str(), kExitNoLink);
  const auto answered_or_lost = [] { return exchange.answered || exchange.no_link; };
  if (!dim::wait_until(answered_or_lost, kTimeoutMs))
    return fail(board, "no answer from the register server within 5 seconds", kExitNoAnswer);
  if (!exchange.answered) return fail(board, "no link to the register server", kExitNoLink);
  dim::release_service(id);
  return kExitOk;
}

void print_answers(bool json) {
  std::lock_guard lock(exchange.m);
  for (const READ &a : exchange.answers) {
    if (json)
      std::printf("%s\n", nlohmann::json{{"addr", a.addr}, {"val", a.val}}.dump().c_str());
    else
      std::printf("0x%08X 0x%08X %u\n", a.addr, a.val, a.val);
  }
}

}  // namespace

int read_registers(const std::string &board, uint32_t first, uint32_t last, bool json) {
  if (last < first) {
    std::fprintf(stderr, "dimctl: read: the range's end is below its start\n");
    return kExitUsage;
  }
  const uint64_t count = (uint64_t{last} - first) / 4 + 1;
  if (count > MAX_REGISTERS) {
    std::fprintf(stderr, "dimctl: read: at most %d registers (%d bytes of addresses) at once\n",
                 MAX_REGISTERS, MAX_REGISTERS * 4);
    return kExitUsage;
  }
  std::vector<WRITE> requests;
  for (uint64_t i = 0; i < count; ++i)
    requests.push_back({METHOD_LOCAL_BUS, static_cast<uint32_t>(first + 4 * i), 0, 0xFFFFFFFF, 0});
  const int status = transact(board, std::move(requests));
  if (status == kExitOk) print_answers(json);
  return status;
}

int write_register(const std::string &board, uint32_t addr, uint32_t value, uint32_t mask,
                   bool json) {
  const int status = transact(board, {{METHOD_LOCAL_BUS, addr, value, mask, 1}});
  if (status == kExitOk) print_answers(json);
  return status;
}

}  // namespace dimctl
