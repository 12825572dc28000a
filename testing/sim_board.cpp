#include "testing/sim_board.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <stdexcept>

namespace zoltest {

std::string unique_board_name(const std::string &tag) {
  std::string name = "board-" + std::to_string(getpid()) + "-" + tag;
  if (const auto *info = testing::UnitTest::GetInstance()->current_test_info()) {
    name += "-";
    name += info->name();
  }
  for (char &c : name)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.') c = '_';
  if (name.size() > 100) name.resize(100);
  return name;
}

SimBoard::SimBoard() : SimBoard(unique_board_name("t")) {}

SimBoard::SimBoard(const std::string &name) : name_(name) {
  control_ = lbsim::BoardControl::open(name_);
  if (!control_) throw std::runtime_error("cannot open simulated board " + name_);
  control_->reset();
  control_->trace_on(true);
}

SimBoard::~SimBoard() {
  control_.reset();
  lbsim::BoardControl::remove(name_);
}

std::vector<std::string> SimBoard::trace(const std::vector<std::string> &prefixes) {
  std::vector<std::string> kept;
  for (const std::string &line : control_->trace_lines()) {
    bool keep = prefixes.empty();
    for (const std::string &p : prefixes)
      if (line.rfind(p, 0) == 0) keep = true;
    if (keep) kept.push_back(line);
  }
  return kept;
}

SimBoard &process_board() {
  // Never unlinked before exit: the local-bus library keeps this board open for the whole
  // process, and a new board of the same name would not be the one it talks to.
  static SimBoard board("board-" + std::to_string(getpid()) + "-proc");
  // A test must never reach a real board's registers, whatever the environment says.
  static const bool named =
      unsetenv("LB_DEVICE") == 0 && setenv("LB_SIM", board.name().c_str(), 1) == 0;
  (void)named;
  return board;
}

RunResult run_tool(const std::string &program, const std::vector<std::string> &args,
                   const std::string &board, int timeout_s, const Env &env) {
  std::vector<std::string> argv{bin(program)};
  argv.insert(argv.end(), args.begin(), args.end());
  Env with_board{{"LB_SIM", board}};
  with_board.insert(with_board.end(), env.begin(), env.end());
  return run(std::move(argv), with_board, std::chrono::seconds(timeout_s), {"LB_DEVICE"});
}

}  // namespace zoltest
