#include "board/pci_init.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/lb/lb.h"

namespace {

lb_desc busdesc;
void *base = nullptr;  // mapped window; every access goes through lb_read_word/lb_write_word

}  // namespace

void open_local_bus() {
  busdesc.space = 0;
  busdesc.local_address = 0;
  busdesc.size = 0x10000;
  busdesc.width = 2;
  busdesc.phys_addr = 0x20020000;
  busdesc.local_effaddr = 0;
  busdesc.flags = 0;
  busdesc.chipselect = -1;

  if (lb_init_s(&busdesc) != 0) {
    int why = errno;  // perror must not get the chance to change the exit status
    std::perror("local bus init");
    // The status is the error number; one the shell would see as 0 (none, or a multiple
    // of 256) must not pass for success.
    std::exit((why & 0xFF) != 0 ? why : 1);
  }
  if (lb_map(&base, 0x10000, 0, 1, 0) != 0) {
    std::perror("lb_map");
    std::exit(1);
  }
}

void initialize_PCI() {
  std::printf("Initializing PCI\n");
  std::printf("\n\n");
  open_local_bus();
}
