// The handler of "DownloadFPGA": runs the received byte-code file's action "configure" over
// the JTAG port and publishes whether the load succeeded on "FPGALoadStatus".
//
// The file is read in place from the command's data; the player neither copies nor keeps it.
// The whole run holds the messaging library's dispatch, so register commands and timer runs
// that arrive meanwhile are served after it, in order. A stop of the server cuts the run short
// (the player's stop request); it then ends as failed, like any other failed run.
#include <cstdio>

#include "board/jtag_port.h"
#include "dim/src/ZOL_server.h"
#include "dim/src/download_limits.h"
#include "platform/dim/dim.h"
#include "stapl/src/jbistub.h"

int Downloaded = 0;

void download(long *tag, void *FPGAdata, int *size) {
  (void)tag;
  // Other programs use the same port between downloads; it has to be on again if one of them
  // left it off.
  recheck_jtag_hardware();
  apply_download_limits();
  int result = FPGADownload(static_cast<const unsigned char *>(FPGAdata), *size, "configure");
  Downloaded = result == 0 ? 1 : 2;
  std::printf("Status %d\n", Downloaded);
  dis_update_service_(Svc_FPGAStatus);
}
