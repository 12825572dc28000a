// The records that cross the messaging layer between stations and the register servers.
// Every field is 32 bits wide and little-endian, as the board's computer stores them.
// Received data is copied record by record with memcpy: a command's bytes carry no
// alignment promise.
#pragma once

#include <cstdint>

// One register request of the command "ReadWriteRegisters".
struct WRITE {
  int32_t method;  // 1 local bus, 2 I2C byte; anything else: no access
  uint32_t addr;   // local-bus address, or I2C address word (chip << 8 | offset)
  uint32_t val;    // value to write
  uint32_t mask;   // bits of val that are written (local bus only)
  int32_t write;   // nonzero: write, then read back; 0: read only
};

// One result of the service "UpdateRegisters": the request's method, addr and mask with the
// value read back.
struct READ {
  uint32_t method;
  uint32_t addr;
  uint32_t val;
  uint32_t mask;
};

// One request of the command "SubscribeRegisters".
struct CNTREQ {
  uint32_t addr;
  int32_t interval;  // seconds between publications
};

// One watched register of the service "UpdateSubscribedRegisters".
struct SUBSCRIPTION {
  uint32_t addr;
  uint32_t val;  // value read at the last timer run (0 until then)
};
typedef SUBSCRIPTION subscription_t;

static_assert(sizeof(WRITE) == 20, "a register request is 20 bytes on the wire");
static_assert(sizeof(READ) == 16, "a register result is 16 bytes on the wire");
static_assert(sizeof(CNTREQ) == 8, "a subscription request is 8 bytes on the wire");
static_assert(sizeof(SUBSCRIPTION) == 8, "a watched register is 8 bytes on the wire");

// Local-bus method and I2C method of a register request.
enum { METHOD_LOCAL_BUS = 1, METHOD_I2C = 2 };

// Size of the servers' result and subscription tables.
enum { MAX_REGISTERS = 100, MAX_COUNTERS = 100 };

// The register requests a "ReadWriteRegisters" command carries that both register servers
// serve: its whole 20-byte records, at most MAX_REGISTERS of them. A longer command is
// answered for its first MAX_REGISTERS records and one line says how many were dropped (at
// most ten such lines a minute, the next one counting those held back).
int register_requests_to_serve(const void *data, const int *size);
