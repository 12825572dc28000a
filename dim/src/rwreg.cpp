#include "dim/src/rwreg.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "board/pci_init.h"
#include "platform/lb/lb.h"
#include "platform/version.h"

using namespace rwreg;

namespace {

void print_result(uint32_t val) {
  std::printf("Add 0x%X  : Value 0x%X\n", address, val);
  std::printf("Add 0x%X  : Value %d\n", address, static_cast<int>(val));
}

// A failed read reports the system error and never ends with status 0.
int local_read(int status) {
  if (lb_read_word(address, &value) != 0) {
    std::perror("lb_read_word");
    return status != 0 ? status : 1;
  }
  print_result(value);
  return status;
}

int local_action() {
  switch (action) {
    case ACTION_READ:
      return local_read(0);
    case ACTION_WRITE_READ:
      return local_read(lb_write_word(address, value));
    case ACTION_WRITE:
      return lb_write_word(address, value);
    default:
      return -1;
  }
}

}  // namespace

int main(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  switch (asks_help_or_version(argc, argv)) {
    case ASKS_HELP:
      print_help();
      return 0;
    case ASKS_VERSION:
      print_version("rwreg");
      return 0;
    default:
      break;
  }
  open_local_bus();
  scan_arguments(argc, argv);

  if (action != ACTION_NONE && !address_given && !stop_after_help) {
    std::printf("No register address was given, exiting...\n");
    error = 1;
    stop_after_help = 1;
  }
  if (error == 1) print_help();
  if (stop_after_help) return 1;

  int status = -1;
  if (action != ACTION_NONE) status = remote ? remote_action() : local_action();
  std::fflush(stdout);
  std::exit(status);
}
