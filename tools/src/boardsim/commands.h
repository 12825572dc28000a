// boardsim's commands: one table gives each command's words, argument count, usage line and
// handler, and the usage text is made from it, so a command cannot be missing from the help.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/lb/sim/board_control.h"

namespace boardsim {

// The command line after the program name; args[0] is the command.
using Args = std::vector<std::string>;

// What a command works on: the board's name, and the open board unless the command is one
// that must not open it (the board is created when it is opened).
struct Target {
  std::string name;
  lbsim::BoardControl *board = nullptr;
};

struct Command {
  const char *name;
  const char *subcommand;  // the second word that selects this form, or null
  size_t min_args;         // words after the name and subcommand
  size_t max_args;
  bool opens_board;
  const char *synopsis;  // the command as the usage text shows it
  const char *help;      // lines after the first are indented under the first
  int (*run)(const Target &target, const Args &args);
};

// The command whose words and argument count `args` matches; null when none does.
const Command *find_command(const Args &args);

// The full usage text, ending in a newline.
const std::string &usage_text();

// Prints "boardsim: WHY" (when given) and the usage text to stderr; returns 2.
int usage_error(const char *why);

// The usage error for a command that is unknown or has the wrong words after it.
int bad_command(const Args &args);

}  // namespace boardsim
