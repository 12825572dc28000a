// rwreg: reads or writes one local-bus register, directly (local mode) or through a
// register server named by its board (remote mode, -T).
#pragma once

#include <cstdint>

// The client's names live in their own namespace: plain global names such as `error` would
// collide with symbols of the C library.
namespace rwreg {

// The request and result records of the register servers, under the client's own names.
struct RW_REG {
  int32_t method;
  uint32_t addr;
  uint32_t val;
  uint32_t mask;
  int32_t write;
};
struct RECEIVE_REG {
  uint32_t method;
  uint32_t addr;
  uint32_t val;
  uint32_t mask;
};
static_assert(sizeof(RW_REG) == 20 && sizeof(RECEIVE_REG) == 16, "wire record sizes");

enum { ACTION_NONE = 0, ACTION_WRITE_READ = 1, ACTION_READ = 2, ACTION_WRITE = 3 };

// The longest board name whose command name "/ZOL/<board>/CMD/ReadWriteRegisters" still
// fits the 132-byte name buffers.
enum { NAME_BUFFER = 132, MAX_BOARD_NAME = 103 };

// Settings from the command line (rwreg_cmdline.cpp).
extern int action;
extern uint32_t address;
extern uint32_t value;
extern int remote;
extern int error;
extern int address_given;                   // an address word was read successfully
extern int stop_after_help;                 // the run cannot go on: end after the help text
extern char BoardName[MAX_BOARD_NAME + 1];  // longer names are refused
void scan_arguments(int argc, char **argv);
void print_help();

// Remote mode (rwreg_remote.cpp). Each returns the exit status of the action; a server that
// cannot be reached or does not answer is reported on stderr with a non-zero status.
int remote_action();

}  // namespace rwreg
