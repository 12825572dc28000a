#include "dim/src/busy_check.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "dim/src/zol_load_records.h"
#include "platform/dim/dim.h"
#include "platform/dim/dim_extra.h"

namespace {

std::atomic<int> Delivered{0};
LOADPROGRESS Progress;  // written by the callback before Delivered (release)

void ReceiveProgress(long *tag, void *data, int *size) {
  (void)tag;
  if (Delivered.load(std::memory_order_acquire) != 0) return;
  if (data == nullptr || size == nullptr || *size != static_cast<int>(sizeof(LOADPROGRESS))) {
    Delivered.store(2, std::memory_order_release);  // no link, or no such record
    return;
  }
  std::memcpy(&Progress, data, sizeof Progress);
  Delivered.store(1, std::memory_order_release);
}

}  // namespace

int board_busy_text(const char *board, int timeout_ms, char *out, size_t out_size) {
  char name[160];
  std::snprintf(name, sizeof name, "/ZOL/%s/SVC/FPGALoadProgress", board);
  static char no_link[8] = "No Link";
  const unsigned id = dic_info_service_(name, ONCE_ONLY, 0, nullptr, 0, ReceiveProgress, 0, no_link,
                                        sizeof no_link);
  dim::wait_until([] { return Delivered.load(std::memory_order_acquire) != 0; }, timeout_ms);
  const int delivered = Delivered.load(std::memory_order_acquire);
  dim::release_service(id);
  if (delivered != 1 || Progress.state != LOAD_RUNNING) return 0;
  if (Progress.bits_total > 0) {
    unsigned long long pct = 100ull * Progress.bits_shifted / Progress.bits_total;
    if (pct > 100) pct = 100;
    std::snprintf(out, out_size, "board %s is busy with a download (%llu %%)", board, pct);
  } else {
    std::snprintf(out, out_size, "board %s is busy with a download (running for %u s)", board,
                  Progress.elapsed_ms / 1000);
  }
  return 1;
}
