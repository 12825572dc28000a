// The local-bus library: the one way the programs reach the board's 32-bit registers.
//
// Two backends sit behind these four calls. With LB_DEVICE set in the environment the
// bridge's register window is mapped from that path (normally /dev/mem); without it the
// calls talk to the simulated board named by LB_SIM (default "default"), shared by every
// process on the machine. lb_init_s names the backend in one line on standard error.
#pragma once

#include <cstdint>

struct lb_desc {
  int space;
  unsigned local_address;
  unsigned size;
  unsigned width;
  unsigned phys_addr;
  unsigned local_effaddr;
  unsigned flags;
  int chipselect;
};

// 0 on success; otherwise -1 with errno telling why.
int lb_init_s(lb_desc *desc);
// Called as lb_map(&base, 0x10000, 0, 1, 0). 0 on success; otherwise -1 with errno set.
int lb_map(void **base, unsigned size, unsigned arg2, unsigned arg3, unsigned arg4);
// Byte address within the window. 0 on success; non-zero (errno set) on failure.
int lb_read_word(uint32_t addr, uint32_t *value);
int lb_write_word(uint32_t addr, uint32_t value);
