// The subcommands of `stapl`; each takes the words after its own name and returns the exit
// status of the program.
#pragma once

#include <string>
#include <vector>

namespace stapl {

using Args = std::vector<std::string>;

int asm_command(const Args &args);
int info_command(const Args &args);
int run_command(const Args &args);
int svf_command(const Args &args);

}  // namespace stapl
