// stapl: assemble, list and run byte-code files.
#include <cstdio>
#include <string>

#include "platform/version.h"
#include "tools/src/stapl/commands.h"

namespace {

void usage(std::FILE *to) {
  std::fputs(
      "Usage: stapl COMMAND ...\n"
      "  stapl asm SOURCE -o FILE    build a byte-code file from its text form\n"
      "  stapl info FILE             list a byte-code file and disassemble its code\n"
      "  stapl run [-aACTION] [-dNAME=value ...] [--svf OUT] FILE\n"
      "                              run one action on the board (simulated by default)\n"
      "  stapl svf FILE              play an SVF file on the board's JTAG port\n"
      "Each command explains itself with --help. stapl --version prints the version.\n",
      to);
}

}  // namespace

int main(int argc, char **argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (argc < 2) {
    usage(stderr);
    return 2;
  }
  const std::string command = argv[1];
  stapl::Args args(argv + 2, argv + argc);
  if (command == "asm") return stapl::asm_command(args);
  if (command == "info") return stapl::info_command(args);
  if (command == "run") return stapl::run_command(args);
  if (command == "svf") return stapl::svf_command(args);
  if (command == "--help" || command == "-h" || command == "help") {
    usage(stdout);
    return 0;
  }
  if (command == "--version") {
    print_version("stapl");
    return 0;
  }
  std::fprintf(stderr, "stapl: unknown command '%s'\n", command.c_str());
  usage(stderr);
  return 2;
}
