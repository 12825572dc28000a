// The whole state of one simulated board as one plain record: no pointers, fixed-size
// arrays only, so it can sit in a POSIX shared-memory object shared by every process that
// opens the board, or in ordinary memory for in-process tests.
//
// Local-bus window 0x10000 bytes of 32-bit registers, byte addresses, multiple of 4.
// Every address is a plain read/write register (power-on 0) except:
//   0x00    CSR; bit 0x10 switches the JTAG port on (a plain register otherwise)
//   0x04    JTAG port: a write clocks one TCK cycle (bit 7 TDI, bit 6 TMS) while the port is
//           on, and is only stored while it is off; a read gives the last value written
//           with bit 3 replaced by TDO (the level before the next clock)
//   0x08    I2C master command/status, 0x0C its data byte (see i2c_bus.h)
//   0x10    general-purpose lines, 0x14 their direction (see selector.h)
//   0x3C    Vorl version, read-only, kVorlVersion
// 0x38 and the block test registers 0x10F8, 0x20F8, 0x30F8, 0x40F8 are plain registers,
// so every bit holds both levels unless a fault says otherwise.
#pragma once

#include <cstdint>

#include "platform/lb/sim/i2c_bus.h"
#include "platform/lb/sim/intermittent.h"
#include "platform/lb/sim/selector.h"
#include "platform/lb/sim/tap_chain.h"
#include "platform/lb/sim/trace.h"

namespace lbsim {

// The board's register map, written here again on purpose rather than taken from
// board/register_map.h: the model must be an independent description of the hardware, so
// that a wrong value in the programs' map shows up as a failing test instead of being copied
// into the board the tests run against. The same holds for the bits in i2c_bus.h and
// selector.h.
inline constexpr uint32_t kWindowSize = 0x10000;
inline constexpr uint32_t kAddrCsr = 0x00;
inline constexpr uint32_t kAddrJtag = 0x04;
inline constexpr uint32_t kAddrI2cCommand = 0x08;
inline constexpr uint32_t kAddrI2cData = 0x0C;
inline constexpr uint32_t kAddrLines = 0x10;
inline constexpr uint32_t kAddrDirection = 0x14;
inline constexpr uint32_t kAddrVersion = 0x3C;
inline constexpr uint32_t kCsrJtagEnable = 0x10;
inline constexpr uint32_t kVorlVersion = 0x12;
inline constexpr uint32_t kPowerOnIdentity = 0x20020000;

inline constexpr int kMaxRegisterFaults = 16;

enum class RegisterFaultKind : uint32_t {
  kNone = 0,
  kStuck = 1,  // stuck0/stuck1 apply to every read and write
  kFail = 2,   // the accesses in `ops` fail with EIO without touching the register
};

inline constexpr uint32_t kFaultOnRead = 1;
inline constexpr uint32_t kFaultOnWrite = 2;

// One fault of one register; a register may have a stuck entry and a fail entry, each with
// its own `when`. A stuck bit reads at its stuck level whatever was written.
struct RegisterFault {
  uint32_t addr;
  RegisterFaultKind kind;
  uint32_t stuck0;  // bits that read 0
  uint32_t stuck1;  // bits that read 1
  uint32_t ops;     // kFail: kFaultOnRead and/or kFaultOnWrite
  uint32_t pad;
  Intermittent when;
};

struct Faults {
  uint32_t register_count;  // entries used in `registers`
  uint32_t pad;
  RegisterFault registers[kMaxRegisterFaults];
  int32_t init_errno;  // lb_init_s fails with this errno (0: no fault)
  int32_t map_errno;   // lb_map fails with this errno (0: no fault)
};

struct BoardState {
  uint32_t regs[kWindowSize / 4];
  Selector selector;
  I2cMaster i2c;
  I2cDevice i2c_devices[kI2cDeviceCount];
  TapChain chain;
  Faults faults;
  Trace trace;
};

}  // namespace lbsim
