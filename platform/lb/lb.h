// The local-bus library: the one way the programs reach the board's 32-bit registers.
//
// Two backends sit behind these four calls. With LB_DEVICE set in the environment the
// bridge's register window is mapped from that path (normally /dev/mem); without it the
// calls talk to the simulated board named by LB_SIM (default "default"), shared by every
// process on the machine. lb_init_s names the backend in one line on standard error
// ("lb: simulated board 'NAME'" or "lb: hardware window DEVICE"); nothing is ever written
// on standard output.
//
// Hardware: /dev/mem is mapped at desc->phys_addr; a regular file (a PCI sysfs resource
// file, or a file standing in for the window in tests) at offset 0, and it must be at least
// desc->size bytes long. Any other path (another device, a pipe, a directory) is refused by
// lb_init_s (ENODEV; EISDIR for a directory; EINVAL for a file that is too short), with one
// more line on standard error naming the path and why, so no access can end in SIGBUS.
// Accesses are single 32-bit volatile loads and stores at byte offsets.
//
// Both backends: lb_init_s opens, lb_map maps; reads and writes before a successful lb_map
// fail with EBADF; an address outside the window or not a multiple of 4 fails with EINVAL.
// Calling lb_init_s or lb_map again after success changes nothing and returns 0. The calls
// are safe from several threads.
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
// *base receives the start of the mapped window (for the simulated board, its plain
// register array, which bypasses the board's behaviour; no program uses it).
int lb_map(void **base, unsigned size, unsigned arg2, unsigned arg3, unsigned arg4);
// Byte address within the window. 0 on success; -1 (errno set) on failure. On the
// simulated board an access to a register made to fail returns -1 with errno EIO.
int lb_read_word(uint32_t addr, uint32_t *value);
int lb_write_word(uint32_t addr, uint32_t value);
