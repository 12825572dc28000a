// chainmux: read, write and clear the four 4-bit registers of the scan-chain selector, which
// the computer reaches only through the eight general-purpose lines (LINES and DIRECTION in
// board/register_map.h).
#include <cctype>
#include <cstdint>
#include <cstdio>

#include "board/hex_word.h"
#include "board/pci_init.h"
#include "board/register_map.h"
#include "platform/lb/lb.h"
#include "platform/version.h"

namespace {

// The clear sequence goes through selector register 2.
constexpr uint32_t CLEAR_REGISTER = SELECTOR_CLEAR_REGISTER << LINES_REGISTER_SHIFT;

enum { NO_ACTION = 0, WRITE_READ = 1, READ = 2, CLEAR = 3 };

// Exit status of a run that ends after the help text: an action without a register address
// to work on, or a number wider than 32 bits.
constexpr int USAGE_STATUS = 2;

int action = NO_ACTION;
uint32_t address = 0;
uint32_t value = 0;
int error = 0;
int status = 0;
bool address_given = false;
bool too_wide = false;  // a number of more than 32 bits: the run ends after the help text

void help() {
  std::puts("************************************************");
  std::puts("cmd : chainmux -R #address -W#Value #address     \n");
  std::puts("-R reading the content of the specified register\n");
  std::puts("-W writing the specified value to the specified ");
  std::puts("   register and reading back this value         ");
  std::puts("-C clearing all registers of the CHAINMUX        ");
  std::puts("************************************************\n");
}

// Reads a hexadecimal word into *out; a usage error when it holds no digit or more than
// 32 bits. True when it was read.
bool scan_word(const char *word, const char *digits, uint32_t *out) {
  switch (scan_hex_word(digits, out)) {
    case HEX_WORD_OK:
      return true;
    case HEX_WORD_TOO_WIDE:
      std::fprintf(stderr, "chainmux: %s is wider than 32 bits\n", word);
      too_wide = true;
      break;
    default:
      break;
  }
  error = 1;
  return false;
}

void scan_arguments(int argc, char **argv) {
  if (argc < 2) error = 1;
  for (int i = 1; i < argc; ++i) {
    const char *word = argv[i];
    if (word[0] != '-') {
      if (scan_word(word, word, &address)) address_given = true;
      continue;
    }
    switch (std::toupper(static_cast<unsigned char>(word[1]))) {
      case 'R':
        action = READ;
        break;
      case 'W':
        if (scan_word(word, word + 2, &value)) action = WRITE_READ;
        break;
      case 'C':
        action = CLEAR;
        break;
      default:
        error = 1;
        break;
    }
  }
}

void lines(uint32_t x) { status = lb_write_word(LINES, x); }
void direction(uint32_t x) { lb_write_word(DIRECTION, x); }

// The four data bits the selector presents on the lines. A failed read ends the run: the
// result would otherwise be a line printed from no value at all.
void read_back_and_print() {
  uint32_t word = 0;
  if (lb_read_word(LINES, &word) != 0) {
    std::perror("lb_read_word");
    if (status == 0) status = 1;
    return;
  }
  const uint32_t data = word & LINES_DATA;
  std::printf("Add 0x%X  : Value 0x%X\n", address, data);
  std::printf("Add 0x%X  : Value %d\n", address, static_cast<int>(data));
}

void write_and_read_back() {
  const uint32_t s = (address & 3) << LINES_REGISTER_SHIFT;
  const uint32_t d = s | (value & LINES_DATA);
  direction(DIRECTION_ALL_DRIVEN);
  lines(d | WRENB);
  lines(d | LATCH | WRENB);
  lines(d | WRENB);
  lines(0);
  direction(DIRECTION_DATA_FROM_SELECTOR);
  lines(s);
  lines(s | LATCH);
  lines(s);  // the address stays on the lines while the selector answers
  read_back_and_print();
}

void read_register() {
  const uint32_t s = (address & 3) << LINES_REGISTER_SHIFT;
  direction(DIRECTION_DATA_FROM_SELECTOR);
  lines(s);
  lines(s | LATCH);
  lines(s);
  lines(0);
  read_back_and_print();
}

void clear_all() {
  direction(DIRECTION_ALL_DRIVEN);
  lines(WRENB | CLEAR_REGISTER | SELECTOR_RESET);
  lines(LATCH | WRENB | CLEAR_REGISTER | SELECTOR_RESET);
  lines(WRENB | CLEAR_REGISTER | SELECTOR_RESET);
  lines(LATCH);
  lines(0);
  lines(LATCH);
  lines(0);
}

}  // namespace

int main(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  switch (asks_help_or_version(argc, argv)) {
    case ASKS_HELP:
      help();
      return 0;
    case ASKS_VERSION:
      print_version("chainmux");
      return 0;
    default:
      break;
  }
  open_local_bus();
  scan_arguments(argc, argv);

  const bool needs_address = action == READ || action == WRITE_READ;
  if (needs_address && !address_given) error = 1;
  if (error == 1) help();
  if (too_wide || (needs_address && !address_given)) return USAGE_STATUS;

  switch (action) {
    case WRITE_READ:
      write_and_read_back();
      break;
    case READ:
      read_register();
      break;
    case CLEAR:
      clear_all();
      break;
    default:
      status = -1;
      break;
  }
  return status;
}
