#include "dim/src/ZOL_server.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "board/i2c.h"
#include "board/jtag_port.h"
#include "board/pci_init.h"
#include "board/register_map.h"
#include "dim/src/download_run.h"
#include "dim/src/server_cmdline.h"
#include "dim/src/server_idle.h"
#include "dim/src/zol_names.h"
#include "platform/dim/dim.h"
#include "platform/lb/lb.h"

int DEBUG = 0;
uint32_t SysID = 0;
uint32_t BrdType = 0;
uint32_t BrdRev = 0;
uint32_t BrdNum = 0;
// Wide enough for numeric names of out-of-table identities ("/Sys15/Type255/Rev15_65535/SERVER").
char Server_name[64];
int Svc_FPGAStatus = 0;
int Svc_Registers = 0;
int Svc_Counters = 0;

namespace {

char Svc_basename[48];

void entry_name(char *out, size_t out_size, const char *suffix) {
  std::snprintf(out, out_size, "%s%s", Svc_basename, suffix);
}

}  // namespace

void server_exit() {
  // Whatever ends the process, no handler may touch the board once the port is off: a download
  // under way is cut short and ends as failed first.
  server_stop_serving(download_shutdown);
  std::printf("Server exiting\n");
  close_jtag_hardware();
  std::fflush(stdout);
}

int init_server() {
  std::atexit(server_exit);
  I2C_pause_us = 10;
  initialize_PCI();

  uint32_t byte[4] = {0, 0, 0, 0};
  const unsigned nacks_before = I2C_nack_count;
  int identity_read = 1;
  for (uint32_t k = 0; k < 4; ++k)
    identity_read &= I2C_Read((I2C_IDENTITY_EEPROM << 8) + k, &byte[k]);
  if (I2C_nack_count != nacks_before) identity_read = 0;
  // Each value is taken whole, as the data register returned it.
  uint32_t board_id = byte[0] + byte[1] * 0x100u + byte[2] * 0x10000u + byte[3] * 0x1000000u;

  SysID = board_id >> 28;
  BrdType = (board_id >> 20) & 0xFF;
  BrdRev = (board_id >> 16) & 0xF;
  BrdNum = board_id & 0xFFFF;

  BOARD_TEXTS texts;
  board_texts(SysID, BrdType, BrdRev, BrdNum, &texts);
  build_server_name(&texts, Server_name, sizeof Server_name);
  std::printf("Starting up server %s\n", Server_name);
  // The name of an unread identity looks like any other; only this line tells the operator.
  if (!identity_read)
    std::fprintf(stderr,
                 "ZOL_server: the board identity could not be read from the EEPROM at 0xA0; "
                 "serving as %s\n",
                 Server_name);
  build_svc_basename(&texts, Svc_basename, sizeof Svc_basename);

  // The name is claimed before the board is touched: a second server of the same board is
  // refused here and ends without rewriting the CSR under the first one's downloads. Its
  // commands and services follow once the CSR is set, so no handler can run before.
  dis_start_serving_(Server_name);
  // Its JTAG-enable bit stays clear until the first download.
  lb_write_word(CSR, CSR_START_VALUE);

  char name[128];
  entry_name(name, sizeof name, "/CMD/DownloadFPGA");
  dis_add_cmnd_(name, "L", download, 0);
  entry_name(name, sizeof name, "/SVC/FPGALoadStatus");
  Svc_FPGAStatus = dis_add_service_(name, "L", &Downloaded, sizeof Downloaded, nullptr, 0);
  entry_name(name, sizeof name, "/CMD/ReadWriteRegisters");
  dis_add_cmnd_(name, "L", ReadWrite_registers, 0);
  entry_name(name, sizeof name, "/SVC/UpdateRegisters");
  Svc_Registers = dis_add_service_(name, "L", nullptr, 0, Build_RegSvc, 0);
  entry_name(name, sizeof name, "/CMD/SubscribeRegisters");
  dis_add_cmnd_(name, "L", Subscribe_counters, 0);
  entry_name(name, sizeof name, "/SVC/UpdateSubscribedRegisters");
  Svc_Counters = dis_add_service_(name, "L", nullptr, 0, Build_CntSvc, 0);
  entry_name(name, sizeof name, "/CMD/RunFPGAAction");
  dis_add_cmnd_(name, "C", run_action, 0);
  entry_name(name, sizeof name, "/CMD/AbortDownload");
  dis_add_cmnd_(name, "L", abort_download, 0);
  char report[128];
  entry_name(name, sizeof name, "/SVC/FPGALoadProgress");
  entry_name(report, sizeof report, "/SVC/FPGALoadReport");
  add_download_services(name, report);

  arm_counter_timer();
  return 1;
}

int main(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  const int early_exit = server_check_command_line(argc, argv);
  if (early_exit >= 0) return early_exit;
  server_hold_stop_signals();

  time_t now = time(nullptr);
  std::printf("Starting ZOL_server v2.1 at %s\n", ctime(&now));
  server_command_line(argc, argv, &DEBUG);
  init_server();
  server_idle(download_shutdown);
}
