// What fpgaload hears from each board's server: the load status, the download's progress
// and its report. The messaging library's callbacks write it under one lock; the main flow
// reads it under the same lock and waits on `changed`.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "dim/src/zol_load_records.h"

struct BoardWatch {
  std::string board;
  int status_deliveries = 0;
  bool status_no_link = false;
  int32_t status = 0;
  int progress_deliveries = 0;
  bool progress_no_link = false;
  LOADPROGRESS progress{};
  int report_deliveries = 0;
  LOADREPORT report{};
};

struct Watches {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::unique_ptr<BoardWatch>> boards;
};

Watches &watches();

// Subscribes to the three services of every board in watches().boards.
void subscribe_all();
