// echo_server: the register server's read/write pair without any hardware. Every record of
// a command is answered with its value plus one, under the fixed board name KeshV2_00, so
// that stations can be tried out on a computer without a board.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "dim/src/server_cmdline.h"
#include "dim/src/server_idle.h"
#include "dim/src/zol_names.h"
#include "dim/src/zol_records.h"
#include "platform/dim/dim.h"

typedef WRITE WRITE_REG;
typedef READ READ_REG;

namespace {

READ_REG RegisterR[MAX_REGISTERS];
int Nregisters = 0;
int Svc_Registers = 0;
int DEBUG = 0;
char Server_name[30];

// The identity rows every echo server answers under: ZOL, Kesh, V2, _00.
constexpr unsigned ECHO_SYSTEM = 2;
constexpr unsigned ECHO_TYPE = 0;
constexpr unsigned ECHO_REV = 2;
constexpr unsigned ECHO_SERIAL = 0;

void trace(const WRITE_REG &w) {
  time_t now = time(nullptr);
  std::printf("%s: Met 0x%X, Add 0x%X, Val 0x%X, Mask 0x%X, WR 0x%X\n", ctime(&now),
              static_cast<unsigned>(w.method), w.addr, w.val, w.mask,
              static_cast<unsigned>(w.write));
}

// Answers the whole records of one command; records beyond the result table are reported
// and dropped.
void ReadWrite_registers(long *tag, void *RegisterW, int *size) {
  (void)tag;
  int count = register_requests_to_serve(RegisterW, size);
  Nregisters = count;

  const unsigned char *data = static_cast<const unsigned char *>(RegisterW);
  for (int i = 0; i < count; ++i) {
    WRITE_REG w;
    std::memcpy(&w, data + i * sizeof(WRITE_REG), sizeof w);
    if (DEBUG == 1) trace(w);
    RegisterR[i].method = static_cast<uint32_t>(w.method);
    RegisterR[i].addr = w.addr;
    RegisterR[i].val = w.val + 1;  // wraps: 0xFFFFFFFF answers 0
    RegisterR[i].mask = w.mask;
  }
  dis_update_service_(Svc_Registers);
}

void Build_RegSvc(long *tag, void **address, int *size) {
  (void)tag;
  *address = RegisterR;
  *size = Nregisters * static_cast<int>(sizeof(READ_REG));
}

void server_exit() {
  std::printf("Server exiting\n");
  std::fflush(stdout);
}

void init_server() {
  std::atexit(server_exit);

  BOARD_TEXTS texts;
  board_texts(ECHO_SYSTEM, ECHO_TYPE, ECHO_REV, ECHO_SERIAL, &texts);
  build_server_name(&texts, Server_name, sizeof Server_name);
  std::printf("Starting up server %s\n", Server_name);

  char basename[32];
  build_svc_basename(&texts, basename, sizeof basename);
  char name[96];
  std::snprintf(name, sizeof name, "%s/CMD/ReadWriteRegisters", basename);
  dis_add_cmnd_(name, "L", ReadWrite_registers, 0);
  std::snprintf(name, sizeof name, "%s/SVC/UpdateRegisters", basename);
  Svc_Registers = dis_add_service_(name, "L", nullptr, 0, Build_RegSvc, 0);
  dis_start_serving_(Server_name);
}

}  // namespace

int main(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  const int early_exit = server_check_command_line(argc, argv);
  if (early_exit >= 0) return early_exit;
  server_hold_stop_signals();
  server_command_line(argc, argv, &DEBUG);
  init_server();
  server_idle();
}
