// The handler of "DownloadFPGA": runs the received byte-code file's action "configure" over
// the JTAG port and publishes whether the load succeeded on "FPGALoadStatus".
//
// The file is read in place from the command's data; the player neither copies nor keeps it.
// The whole run holds the messaging library's dispatch, so register commands and timer runs
// that arrive meanwhile are served after it, in order.
#include <cstdio>

#include "dim/src/ZOL_server.h"
#include "platform/dim/dim.h"
#include "stapl/src/jbistub.h"

int Downloaded = 0;

void download(long *tag, void *FPGAdata, int *size) {
  (void)tag;
  int result = FPGADownload(static_cast<const unsigned char *>(FPGAdata), *size, "configure");
  Downloaded = result == 0 ? 1 : 2;
  std::printf("Status %d\n", Downloaded);
  dis_update_service_(Svc_FPGAStatus);
}
