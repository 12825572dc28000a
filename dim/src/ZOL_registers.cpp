#include <cstdio>
#include <cstring>
#include <ctime>

#include "board/i2c.h"
#include "dim/src/ZOL_server.h"
#include "dim/src/held_commands.h"
#include "platform/dim/dim.h"
#include "platform/lb/lb.h"

READ RegisterR[MAX_REGISTERS];
int Nregisters = 0;
uint32_t RegTemp = 0;

namespace {

void serve_local_bus(const WRITE &w, READ *r) {
  if (w.write != 0) {
    lb_read_word(w.addr, &RegTemp);
    RegTemp = (w.mask & w.val) | (~w.mask & RegTemp);
    lb_write_word(w.addr, RegTemp);
  }
  lb_read_word(w.addr, &r->val);
}

void serve_i2c(const WRITE &w, READ *r) {
  if (w.write != 0) I2C_Write(w.addr, w.val);
  uint32_t value = 0;  // what an abandoned transfer reports
  I2C_Read(w.addr, &value);
  r->val = value;
}

void trace(const WRITE &w) {
  time_t now = time(nullptr);
  std::printf("%s: Met 0x%X, Add 0x%X, Val 0x%X, Mask 0x%X\n", ctime(&now),
              static_cast<unsigned>(w.method), w.addr, w.val, w.mask);
}

}  // namespace

// Serves the whole records of one command in order, then publishes one result per record.
// Only the first MAX_REGISTERS records fit the result table; the rest are reported and
// dropped, never served. A command held behind a download therefore keeps only those records.
void ReadWrite_registers(long *tag, void *RegisterW, int *size) {
  (void)tag;
  if (hold_if_busy("ReadWriteRegisters", ReadWrite_registers, RegisterW, size,
                   MAX_REGISTERS * static_cast<int>(sizeof(WRITE))))
    return;
  int count = register_requests_to_serve(RegisterW, size);
  Nregisters = count;

  const unsigned char *data = static_cast<const unsigned char *>(RegisterW);
  for (int i = 0; i < count; ++i) {
    WRITE w;
    std::memcpy(&w, data + i * sizeof(WRITE), sizeof w);
    READ *r = &RegisterR[i];
    if (w.method == METHOD_LOCAL_BUS)
      serve_local_bus(w, r);
    else if (w.method == METHOD_I2C)
      serve_i2c(w, r);
    // Any other method touches nothing and answers with the slot's previous value.
    r->method = static_cast<uint32_t>(w.method);
    r->addr = w.addr;
    r->mask = w.mask;
    if (DEBUG == 1) trace(w);
  }
  dis_update_service_(Svc_Registers);
}

void Build_RegSvc(long *tag, void **address, int *size) {
  (void)tag;
  *address = RegisterR;
  *size = Nregisters * static_cast<int>(sizeof(READ));
}
