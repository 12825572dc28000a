#include "dim/src/ZOL_server.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "board/i2c.h"
#include "board/jtag_port.h"
#include "board/pci_init.h"
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

// The board control/status register gets this value before the identity is read; its
// JTAG-enable bit 0x10 stays clear until the first download.
constexpr uint32_t CSR_START_VALUE = 0x43;

void entry_name(char *out, size_t out_size, const char *suffix) {
  std::snprintf(out, out_size, "%s%s", Svc_basename, suffix);
}

}  // namespace

void server_exit() {
  std::printf("Server exiting\n");
  close_jtag_hardware();
  std::fflush(stdout);
}

int init_server() {
  std::atexit(server_exit);
  I2C_pause_us = 10;
  initialize_PCI();
  lb_write_word(0, CSR_START_VALUE);

  uint32_t byte[4] = {0, 0, 0, 0};
  for (uint32_t k = 0; k < 4; ++k) I2C_Read(0xA000 + k, &byte[k]);
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
  build_svc_basename(&texts, Svc_basename, sizeof Svc_basename);

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

  arm_counter_timer();
  dis_start_serving_(Server_name);
  return 1;
}

int main(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  server_hold_stop_signals();

  time_t now = time(nullptr);
  std::printf("Starting ZOL_server v2.1 at %s\n", ctime(&now));
  server_command_line(argc, argv, &DEBUG);
  init_server();
  server_idle();
}
