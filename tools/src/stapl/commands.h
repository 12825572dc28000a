// The subcommands of `stapl`; each takes the words after its own name and returns the exit
// status of the program.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace stapl {

using Args = std::vector<std::string>;

int asm_command(const Args &args);
int info_command(const Args &args);
int run_command(const Args &args);
int svf_command(const Args &args);

// The one FILE word of a subcommand that takes no options. Returns it; or nothing, with the
// exit status in `status`: 0 after --help (usage on stdout), 2 for anything else (the reason
// on stderr).
std::optional<std::string> only_file_argument(const Args &args, const char *command,
                                              void (*usage)(std::FILE *), int &status);

}  // namespace stapl
