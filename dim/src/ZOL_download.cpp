// The handler of "DownloadFPGA".
//
// Placeholder until the byte-code player and its driver FPGADownload join the server: every
// download is answered as failed (status 2), so a station sees a definite outcome instead
// of silence. The real handler runs the file's action "configure" over the JTAG port and
// publishes 1 or 2 from the driver's result.
#include <cstdio>

#include "dim/src/ZOL_server.h"
#include "platform/dim/dim.h"

int Downloaded = 0;

void download(long *tag, void *FPGAdata, int *size) {
  (void)tag;
  (void)FPGAdata;
  (void)size;
  Downloaded = 2;
  std::printf("Status %d\n", Downloaded);
  dis_update_service_(Svc_FPGAStatus);
}
