#include <cstdio>
#include <cstring>

#include "board/register_map.h"
#include "dim/src/ZOL_server.h"
#include "dim/src/held_commands.h"
#include "platform/dim/dim.h"
#include "platform/lb/lb.h"

SUBSCRIPTION Subscription[MAX_COUNTERS];
int Ncounters = 0;
int CntUpdate_interval = 5;

namespace {

bool is_watched(uint32_t addr) {
  for (int j = 0; j < Ncounters; ++j)
    if (Subscription[j].addr == addr) return true;
  return false;
}

}  // namespace

// The timer is one-shot: every run and every subscription command arms it anew with the
// interval of the latest new request. An interval of 0 or less would fire without pause, so
// it is served as one second.
void arm_counter_timer() {
  int seconds = CntUpdate_interval > 0 ? CntUpdate_interval : 1;
  dtq_start_timer(seconds, Update_counters, COUNTER_TIMER_TAG);
}

// Adds the addresses not yet watched, in request order; the table only grows. Requests for
// new addresses once the table is full are reported and dropped.
void Subscribe_counters(long *tag, void *counter, int *size) {
  (void)tag;
  if (hold_if_busy("SubscribeRegisters", Subscribe_counters, counter, size)) return;
  int bytes = (counter != nullptr && size != nullptr && *size > 0) ? *size : 0;
  int count = bytes / static_cast<int>(sizeof(CNTREQ));
  int ignored = 0;

  const unsigned char *data = static_cast<const unsigned char *>(counter);
  for (int i = 0; i < count; ++i) {
    CNTREQ c;
    std::memcpy(&c, data + i * sizeof(CNTREQ), sizeof c);
    if (is_watched(c.addr)) continue;
    if (Ncounters >= MAX_COUNTERS) {
      ++ignored;
      continue;
    }
    Subscription[Ncounters].addr = c.addr;
    Subscription[Ncounters].val = 0;
    ++Ncounters;
    CntUpdate_interval = c.interval;
  }
  if (ignored > 0)
    std::printf("SubscribeRegisters: table full (%d registers), %d requests ignored\n",
                MAX_COUNTERS, ignored);

  dtq_stop_timer(COUNTER_TIMER_TAG);
  arm_counter_timer();
}

void Update_counters(long tag) {
  if (hold_timer_if_busy(Update_counters, tag)) return;
  uint32_t discarded = 0;
  lb_read_word(POLL_PREAMBLE_ADDR, &discarded);
  for (int j = 0; j < Ncounters; ++j) lb_read_word(Subscription[j].addr, &Subscription[j].val);
  dis_update_service_(Svc_Counters);
  arm_counter_timer();
}

void Build_CntSvc(long *tag, void **address, int *size) {
  (void)tag;
  *address = Subscription;
  *size = Ncounters * static_cast<int>(sizeof(SUBSCRIPTION));
}
