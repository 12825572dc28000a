// boardsim: creates, resets, inspects and configures the simulated board named by LB_SIM.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "platform/lb/sim/board_control.h"
#include "platform/version.h"
#include "tools/src/boardsim/commands.h"

int main(int argc, char **argv) {
  using namespace boardsim;
  setvbuf(stdout, nullptr, _IOLBF, 0);
  Args args(argv + 1, argv + argc);
  if (args.empty()) return usage_error(nullptr);
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    std::fputs(usage_text().c_str(), stdout);
    return 0;
  }
  if (args[0] == "--version") {
    print_version("boardsim");
    return 0;
  }
  Target target;
  target.name = lbsim::board_name_from_env();
  if (!lbsim::board_name_valid(target.name)) {
    std::fprintf(stderr, "boardsim: bad board name '%s' in LB_SIM\n", target.name.c_str());
    return 2;
  }
  const Command *command = find_command(args);
  if (command && !command->opens_board) return command->run(target, args);
  // Opened, and so created, even for a command it then refuses.
  std::unique_ptr<lbsim::BoardControl> board = lbsim::BoardControl::open(target.name);
  if (!board) {
    std::fprintf(stderr, "boardsim: board '%s': %s\n", target.name.c_str(), std::strerror(errno));
    return 1;
  }
  if (!command) return bad_command(args);
  // A process stopped while it holds the board's lock (Ctrl-Z, a debugger) would hold every
  // command up for good: after a second the holder is named instead.
  if (const uint32_t holder = board->lock_holder_after(lbsim::SharedBoard::kLockPatienceMs)) {
    std::fprintf(stderr,
                 "boardsim: board '%s' is locked by process %u (%s); gave up after a second\n",
                 target.name.c_str(), holder, lbsim::process_name(holder).c_str());
    return 1;
  }
  target.board = board.get();
  return command->run(target, args);
}
