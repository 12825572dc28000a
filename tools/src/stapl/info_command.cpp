// `stapl info FILE`
#include <cstdio>
#include <iostream>
#include <string>

#include "tools/src/stapl/commands.h"
#include "tools/src/stapl/file_io.h"
#include "tools/src/stapl/info_listing.h"

namespace stapl {
namespace {

void usage(std::FILE *to) {
  std::fputs(
      "Usage: stapl info FILE\n"
      "Lists a byte-code file: format, CRC check, section offsets, notes, actions with\n"
      "their procedures and attributes, the procedure and symbol tables, and the code\n"
      "disassembled with offsets from the code section (the N of \"Error at address N\").\n"
      "Exit status 0 for a recognised file whose CRC matches, 1 otherwise.\n",
      to);
}

}  // namespace

int info_command(const Args &args) {
  int usage_status = 0;
  const std::optional<std::string> file = only_file_argument(args, "info", usage, usage_status);
  if (!file) return usage_status;
  const std::string &path = *file;
  std::string error;
  auto image = read_file(path, kMaxImage, error);
  if (!image) {
    std::fprintf(stderr, "stapl info: cannot read %s: %s\n", path.c_str(), error.c_str());
    return 1;
  }
  int status = print_info(std::cout, *image, path);
  std::cout.flush();
  return status;
}

}  // namespace stapl
