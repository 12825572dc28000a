// `watch`: registers the board's server reads on its timer, one line per published value.
//
// The server keeps one list of watched registers for all stations and forgets it when it
// restarts. So a publication that lacks one of ours, and the first contents after the link
// comes back, make this station send its "SubscribeRegisters" request again. The stored
// contents that a new subscription gets first are not printed: a register added just now reads
// 0 there until the server's timer has run, and the time stamp is when a publication arrives.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
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

struct Watch {
  std::mutex m;
  std::string board;
  std::vector<uint32_t> addrs;
  std::map<uint32_t, uint32_t> last;  // the value last printed per address
  Format format = Format::kText;
  long wanted = -1;  // lines to print; -1: until stopped
  long printed = 0;
  bool linked = false;  // contents have come since the last fill data
  std::atomic<bool> resubscribe{false};
  std::atomic<bool> done{false};
};
// Never freed: a delivery may still arrive while the process exits.
Watch &watch_state = *new Watch;

std::string hex32(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", v);
  return buf;
}

void print_value(Watch &w, const std::string &time, uint32_t addr, uint32_t val) {
  const auto before = w.last.find(addr);
  const bool changed = before != w.last.end() && before->second != val;
  w.last[addr] = val;
  switch (w.format) {
    case Format::kJson:
      std::printf("%s\n", nlohmann::json{{"time", time},
                                         {"board", w.board},
                                         {"addr", addr},
                                         {"val", val},
                                         {"changed", changed}}
                              .dump()
                              .c_str());
      break;
    case Format::kCsv:
      std::printf("%s,%s,%s,%s,%u,%d\n", time.c_str(), w.board.c_str(), hex32(addr).c_str(),
                  hex32(val).c_str(), val, changed ? 1 : 0);
      break;
    default:
      std::printf("%s %s %s %s %u%s\n", time.c_str(), w.board.c_str(), hex32(addr).c_str(),
                  hex32(val).c_str(), val, changed ? " *" : "");
      break;
  }
  ++w.printed;
}

void on_publication(long *, void *data, int *size) {
  Watch &w = watch_state;
  std::lock_guard lock(w.m);
  if (dim::delivering_fill()) {
    if (w.linked)
      std::fprintf(stderr, "dimctl: no link to the server of board %s; waiting for it\n",
                   w.board.c_str());
    w.linked = false;
    return;
  }
  const auto *bytes = static_cast<const unsigned char *>(data);
  const int count = *size / static_cast<int>(sizeof(SUBSCRIPTION));
  std::map<uint32_t, uint32_t> values;
  for (int i = 0; i < count; ++i) {
    SUBSCRIPTION s;
    std::memcpy(&s, bytes + static_cast<std::size_t>(i) * sizeof s, sizeof s);
    values[s.addr] = s.val;
  }
  bool missing = false;
  for (uint32_t addr : w.addrs) missing = missing || values.count(addr) == 0;
  if (missing) w.resubscribe = true;
  if (!w.linked) {
    w.linked = true;
    w.resubscribe = true;  // a server that came back has forgotten the list
    return;
  }
  const std::string time = iso_time_now();
  for (uint32_t addr : w.addrs) {
    if (w.done) break;
    const auto v = values.find(addr);
    if (v == values.end()) continue;
    print_value(w, time, addr, v->second);
    if (w.wanted >= 0 && w.printed >= w.wanted) w.done = true;
  }
}

bool subscribe(const std::string &command, const std::vector<uint32_t> &addrs, int interval) {
  std::vector<CNTREQ> requests;
  for (uint32_t addr : addrs) requests.push_back({addr, interval});
  std::string error;
  return dim::send_command(command, requests.data(),
                           static_cast<int>(requests.size() * sizeof(CNTREQ)), kTimeoutMs, error);
}

}  // namespace

int watch(const std::string &board, const std::vector<uint32_t> &addrs, int interval, long count,
          Format format) {
  if (addrs.size() > MAX_COUNTERS) {
    std::fprintf(stderr, "dimctl: watch: the server watches at most %d registers\n", MAX_COUNTERS);
    return kExitUsage;
  }
  Watch &w = watch_state;
  {
    std::lock_guard lock(w.m);
    w.board = board;
    w.addrs = addrs;
    w.wanted = count;
    w.format = format;
    if (format == Format::kCsv) std::printf("time,board,addr,val_hex,val,changed\n");
  }
  catch_stop_signals();
  const std::string prefix = board_prefix(board);
  const std::string command = prefix + "/CMD/SubscribeRegisters";
  static char fill[] = "";
  const unsigned id = dic_info_service_((prefix + "/SVC/UpdateSubscribedRegisters").c_str(),
                                        MONITORED, 0, nullptr, 0, on_publication, 0, fill, 0);
  using Clock = std::chrono::steady_clock;
  subscribe(command, addrs, interval);
  auto last_request = Clock::now();
  const auto ended_or_asked = [&w] { return w.done || w.resubscribe || stop_requested(); };
  while (!w.done && !stop_requested()) {
    if (!dim::wait_until(ended_or_asked, 200) || !w.resubscribe) continue;
    // At most one request a second: a full table would otherwise be asked again and again.
    if (Clock::now() - last_request < std::chrono::seconds(1)) {
      dim::wait_until([] { return stop_requested(); }, 200);
      continue;
    }
    w.resubscribe = false;
    subscribe(command, addrs, interval);
    last_request = Clock::now();
  }
  dim::release_service(id);
  return kExitOk;
}

}  // namespace dimctl
