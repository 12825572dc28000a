// `get` and `follow`: a service's deliveries, decoded into named fields or as words.
//
// The callback runs on the library's thread and prints there; the main thread only waits for
// the end: enough deliveries, a stop signal, or (for get) no link. A service the name server
// does not know ends the wait at once, before any contents: it would never come, and a
// follower left waiting cannot tell a typing error from a quiet server.
#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>

#include "platform/dim/dim.h"
#include "platform/dim/dim_extra.h"
#include "tools/src/dimctl/decode.h"
#include "tools/src/dimctl/dimctl.h"

namespace dimctl {

namespace {

struct Follow {
  std::mutex m;  // the callback's printing against the main thread's messages
  std::string service;
  Format format = Format::kText;
  long wanted = -1;  // deliveries to print; -1: no limit
  long printed = 0;
  std::atomic<bool> once{false};
  std::atomic<bool> contents_seen{false};
  std::atomic<bool> early_fill{false};  // fill data before any contents, not yet looked at
  std::atomic<bool> no_link{false};
  std::atomic<bool> done{false};
};
// Never freed: a delivery may still arrive while the process exits.
Follow &follow = *new Follow;

void print(const unsigned char *data, int size) {
  const Decoded d =
      follow.format == Format::kRaw ? raw_words(data, size) : decode(follow.service, data, size);
  if (follow.format == Format::kJson) {
    nlohmann::json j = {{"time", iso_time_now()}, {"service", follow.service}};
    j.update(d.json);
    std::printf("%s\n", j.dump().c_str());
  } else {
    std::printf("%s\n", d.text.c_str());
  }
}

void on_delivery(long *, void *data, int *size) {
  std::lock_guard lock(follow.m);
  if (dim::delivering_fill()) {
    // Before any contents the main thread asks the name server's answer why: it holds the
    // subscription's id, which this callback may run before it has.
    if (!follow.contents_seen) {
      follow.early_fill = true;
      return;
    }
    std::fprintf(stderr, "dimctl: no link to %s\n", follow.service.c_str());
    if (follow.once) follow.no_link = true;
    return;
  }
  follow.contents_seen = true;
  if (follow.wanted >= 0 && follow.printed >= follow.wanted) return;
  print(static_cast<unsigned char *>(data), *size);
  ++follow.printed;
  if (follow.wanted >= 0 && follow.printed >= follow.wanted) follow.done = true;
}

}  // namespace

int show_service(const std::string &service, long count, bool once, Format format) {
  {
    std::lock_guard lock(follow.m);
    follow.service = service;
    follow.wanted = count;
    follow.format = format;
  }
  follow.once = once;
  catch_stop_signals();
  static char fill[] = "";
  const unsigned id =
      dic_info_service_(service.c_str(), MONITORED, 0, nullptr, 0, on_delivery, 0, fill, 0);
  const auto ended = [] {
    return follow.done || follow.no_link || follow.early_fill || stop_requested();
  };
  int status = kExitOk;
  for (;;) {
    if (!dim::wait_until(ended, 200)) continue;
    if (!follow.early_fill) break;
    follow.early_fill = false;
    std::lock_guard lock(follow.m);
    if (follow.contents_seen) continue;
    if (dim::service_lookup(id) == dim::ServiceLookup::kUnknown) {
      std::fprintf(stderr, "dimctl: no link to %s: the name server knows no such service\n",
                   service.c_str());
      status = kExitNoLink;
      break;
    }
    std::fprintf(stderr, "dimctl: no link to %s\n", service.c_str());
    if (once) {
      status = kExitNoLink;
      break;
    }
  }
  if (follow.no_link) status = kExitNoLink;
  dim::release_service(id);
  return status;
}

}  // namespace dimctl
