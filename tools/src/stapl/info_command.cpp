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
  std::string path;
  for (const std::string &a : args) {
    if (a == "--help" || a == "-h") {
      usage(stdout);
      return 0;
    }
    if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "stapl info: unknown option '%s'\n", a.c_str());
      usage(stderr);
      return 2;
    }
    if (!path.empty()) {
      std::fprintf(stderr, "stapl info: more than one file ('%s')\n", a.c_str());
      return 2;
    }
    path = a;
  }
  if (path.empty()) {
    usage(stderr);
    return 2;
  }
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
