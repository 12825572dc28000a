// A simulated board of the test's own, and a way to run a tool against it to completion.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/lb/sim/board_control.h"
#include "testing/process.h"

namespace zoltest {

// A simulated board named after the process and the running test, reset and with its trace
// on; removed again when the object goes away.
class SimBoard {
 public:
  SimBoard();
  explicit SimBoard(const std::string &name);
  ~SimBoard();
  SimBoard(const SimBoard &) = delete;
  SimBoard &operator=(const SimBoard &) = delete;

  const std::string &name() const { return name_; }
  lbsim::BoardControl &control() { return *control_; }
  lbsim::BoardControl *operator->() { return control_.get(); }

  // Trace lines since the last clear, keeping only those that start with one of `prefixes`
  // (all lines when none are given).
  std::vector<std::string> trace(const std::vector<std::string> &prefixes = {});

 private:
  std::string name_;
  std::unique_ptr<lbsim::BoardControl> control_;
};

// The board this test process itself reaches through the local-bus library (LB_SIM is set
// to it on first use, before the bus is opened). The library opens one board per process,
// so in-process tests share it and reset it per test; it is removed when the process ends.
SimBoard &process_board();

// A board name unique to this process and the running test.
std::string unique_board_name(const std::string &tag);

// Runs the program <build>/bin/<program> with `args` on board `board` (LB_SIM set,
// LB_DEVICE removed, then `env` set on top) and waits for it, killing it after `timeout_s`
// seconds (status -1 then).
RunResult run_tool(const std::string &program, const std::vector<std::string> &args,
                   const std::string &board, int timeout_s = 60, const Env &env = {});

}  // namespace zoltest
