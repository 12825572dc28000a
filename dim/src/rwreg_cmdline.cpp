#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "board/hex_word.h"
#include "dim/src/rwreg.h"

namespace rwreg {

int action = ACTION_NONE;
uint32_t address = 0;
uint32_t value = 0;
int remote = 0;
int error = 0;
int address_given = 0;
int stop_after_help = 0;
char BoardName[MAX_BOARD_NAME + 1];

namespace {

// A number wider than a register is no typing slip to go on after: the run ends after the
// help text, before any access.
void too_wide(const char *word) {
  std::fprintf(stderr, "rwreg: %s is wider than 32 bits\n", word);
  error = 1;
  stop_after_help = 1;
}

// Takes the board name as "%s" would (skipping leading blanks, up to the next blank), but
// refuses names that would not fit the service and command names.
void scan_board_name(const char *text) {
  while (*text != '\0' && std::isspace(static_cast<unsigned char>(*text))) ++text;
  size_t length = std::strcspn(text, " \t\n\v\f\r");
  if (length == 0) {
    std::printf("No [-T]arget was specified, exiting...\n");
    error = 1;
    stop_after_help = 1;
    return;
  }
  if (length > MAX_BOARD_NAME) {
    std::printf("The [-T]arget name is longer than %d characters, exiting...\n", MAX_BOARD_NAME);
    error = 1;
    stop_after_help = 1;
    return;
  }
  std::memcpy(BoardName, text, length);
  BoardName[length] = '\0';
  remote = 1;
}

// Reads a hexadecimal word as "%x" would; false (with the run marked as a usage error) when
// it is no number or wider than a register.
bool scan_number(const char *text, const char *word, uint32_t *out) {
  switch (scan_hex_word(text, out)) {
    case HEX_WORD_OK:
      return true;
    case HEX_WORD_TOO_WIDE:
      too_wide(word);
      return false;
    default:
      error = 1;
      return false;
  }
}

void scan_value(const char *word, int new_action) {
  uint32_t parsed = 0;
  if (!scan_number(word + 2, word, &parsed)) return;
  value = parsed;
  action = new_action;
}

}  // namespace

void scan_arguments(int argc, char **argv) {
  if (argc < 2) error = 1;
  for (int i = 1; i < argc; ++i) {
    const char *word = argv[i];
    if (word[0] != '-') {
      uint32_t parsed = 0;
      if (scan_number(word, word, &parsed)) {
        address = parsed;
        address_given = 1;
      }
      continue;
    }
    switch (std::toupper(static_cast<unsigned char>(word[1]))) {
      case 'R':
        action = ACTION_READ;
        break;
      case 'W':
        scan_value(word, ACTION_WRITE_READ);
        break;
      case 'P':
        scan_value(word, ACTION_WRITE);
        break;
      case 'T':
        scan_board_name(word + 2);
        break;
      default:
        error = 1;
        break;
    }
  }
}

void print_help() {
  static const char *const lines[] = {
      "************************************************",
      "cmd : rwreg - R #address - W#Value #address \n",
      "-R reading the content of the specified register\n",
      "-W writing the specified value to the specified ",
      "   register and reading back this value         ",
      "-P writing the specified value to the specified ",
      "   register without reading back                ",
      "-T target board, e.g. KeshV2_00                 ",
      "   DIM_DNS_NODE (and DIM_DNS_PORT) must be set  ",
      "************************************************\n",
  };
  for (const char *line : lines) std::printf("%s\n", line);
}

}  // namespace rwreg
