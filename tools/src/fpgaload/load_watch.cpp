#include "tools/src/fpgaload/load_watch.h"

#include <cstddef>
#include <cstring>

#include "platform/dim/dim.h"

namespace {

const char kNoLink[8] = "No Link";

bool is_no_link(const void *data, int size) {
  return size == sizeof(kNoLink) && std::memcmp(data, kNoLink, sizeof(kNoLink)) == 0;
}

BoardWatch *board_of(const long *tag) {
  return watches().boards.at(static_cast<size_t>(*tag)).get();
}

void on_status(long *tag, void *data, int *size) {
  Watches &w = watches();
  std::lock_guard lock(w.mutex);
  BoardWatch *b = board_of(tag);
  if (is_no_link(data, *size)) {
    b->status_no_link = true;
  } else if (*size >= 4) {
    std::memcpy(&b->status, data, 4);
    b->status_no_link = false;
  } else {
    return;  // not a status word; keep waiting
  }
  ++b->status_deliveries;
  w.changed.notify_all();
}

void on_progress(long *tag, void *data, int *size) {
  Watches &w = watches();
  std::lock_guard lock(w.mutex);
  BoardWatch *b = board_of(tag);
  if (is_no_link(data, *size)) {
    b->progress_no_link = true;
  } else if (*size == sizeof(LOADPROGRESS)) {
    std::memcpy(&b->progress, data, sizeof(LOADPROGRESS));
    b->progress_no_link = false;
  } else {
    return;  // a server without the progress record
  }
  ++b->progress_deliveries;
  w.changed.notify_all();
}

void on_report(long *tag, void *data, int *size) {
  constexpr int kHead = static_cast<int>(offsetof(LOADREPORT, lines));
  if (*size < kHead || *size > static_cast<int>(sizeof(LOADREPORT)) || is_no_link(data, *size))
    return;
  Watches &w = watches();
  std::lock_guard lock(w.mutex);
  BoardWatch *b = board_of(tag);
  std::memset(&b->report, 0, sizeof b->report);
  std::memcpy(&b->report, data, static_cast<size_t>(*size));
  b->report.lines[sizeof b->report.lines - 1] = '\0';
  ++b->report_deliveries;
  w.changed.notify_all();
}

}  // namespace

Watches &watches() {
  static auto *w = new Watches;  // callbacks may still run while the process ends
  return *w;
}

void subscribe_all() {
  static char no_link[8] = "No Link";
  const size_t n = watches().boards.size();
  for (size_t i = 0; i < n; ++i) {
    const std::string prefix = "/ZOL/" + watches().boards[i]->board;
    const long tag = static_cast<long>(i);
    dic_info_service_((prefix + "/SVC/FPGALoadStatus").c_str(), MONITORED, 0, nullptr, 0, on_status,
                      tag, no_link, sizeof no_link);
    dic_info_service_((prefix + "/SVC/FPGALoadProgress").c_str(), MONITORED, 0, nullptr, 0,
                      on_progress, tag, no_link, sizeof no_link);
    dic_info_service_((prefix + "/SVC/FPGALoadReport").c_str(), MONITORED, 0, nullptr, 0, on_report,
                      tag, no_link, sizeof no_link);
  }
}
