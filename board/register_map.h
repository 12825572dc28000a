// The board's local-bus registers as the programs use them: byte addresses of 32-bit
// registers in the Vorl's window, and the bits that have a meaning. Every program and the
// board-access code take them from here.
//
// The simulated board (platform/lb/sim) has its own copy of these values on purpose: it is a
// model of the hardware written independently, so that a wrong value here fails the tests
// instead of being copied into the model.
#pragma once

#include <cstdint>

// ---- Vorl control/status register ------------------------------------------------------
constexpr uint32_t CSR = 0x00;              // the Vorl's control/status register
constexpr uint32_t CSR_START_VALUE = 0x43;  // written at the server's and self-test's start
constexpr uint32_t CSR_JTAG_ENABLE = 0x10;  // set: the JTAG port is switched on

// ---- JTAG port: one write is one TCK cycle ------------------------------------------------
constexpr uint32_t JTAG_PORT = 0x04;
constexpr uint32_t JTAG_TDI = 0x80;   // write: TDI level of the cycle
constexpr uint32_t JTAG_TMS = 0x40;   // write: TMS level of the cycle
constexpr uint32_t JTAG_FILL = 0x3F;  // write: bits 5..0, always 1
constexpr uint32_t JTAG_TDO = 0x08;   // read: TDO before the cycle's clock

// ---- I2C master ---------------------------------------------------------------------------
constexpr uint32_t I2C_COMMAND = 0x08;  // write: command word; read: status word
constexpr uint32_t I2C_DATA = 0x0C;     // write: byte to send; read: last byte received
// Status word.
constexpr uint32_t I2C_BUSY = 0x08;   // between a start and a stop
constexpr uint32_t I2C_DONE = 0x04;   // the last start, byte or receive step has finished
constexpr uint32_t I2C_ACK = 0x02;    // the last byte sent was acknowledged
constexpr uint32_t I2C_NOACC = 0x01;  // the last byte sent was not acknowledged
// Command word.
constexpr uint32_t I2C_START = 0x80;      // start, or a repeated start while busy
constexpr uint32_t I2C_STOP = 0x40;       // stop: the bus is free again
constexpr uint32_t I2C_RECEIVE = 0x20;    // receive one byte
constexpr uint32_t I2C_CLEAR_ACK = 0x10;  // clear the ack and noacc bits after a refused byte
constexpr uint32_t I2C_NO_COMMAND = 0x00;
// The chip whose four bytes 0 to 3 hold the board's identity word (address word 0xA0nn).
constexpr uint32_t I2C_IDENTITY_EEPROM = 0xA0;

// ---- General-purpose lines and the scan-chain selector behind them ----------------------
constexpr uint32_t LINES = 0x10;      // bits 3..0 data, 5..4 selector register, WRENB, LATCH
constexpr uint32_t DIRECTION = 0x14;  // a 1 bit: the computer drives that line
constexpr uint32_t LINES_DATA = 0x0F;
constexpr unsigned LINES_REGISTER_SHIFT = 4;  // selector register number, 0 to 3
constexpr uint32_t WRENB = 0x40;              // the selector takes the data lines on LATCH
constexpr uint32_t LATCH = 0x80;              // the selector acts on its rising edge
constexpr uint32_t DIRECTION_ALL_DRIVEN = 0xFF;
constexpr uint32_t DIRECTION_DATA_FROM_SELECTOR = 0xF0;  // the selector drives the data lines
// Written to selector register 2 it clears all four registers.
constexpr uint32_t SELECTOR_CLEAR_REGISTER = 2;
constexpr uint32_t SELECTOR_RESET = 0x08;

// ---- Test registers -------------------------------------------------------------------------
constexpr uint32_t VORL_INTERNAL = 0x38;  // the Vorl's internal test register
constexpr uint32_t VORL_VERSION = 0x3C;   // read-only
constexpr uint32_t Q_MP = 0x10F8;         // test registers of the logic blocks
constexpr uint32_t Q_L0 = 0x20F8;
constexpr uint32_t Q_L1 = 0x30F8;
constexpr uint32_t Q_FE = 0x40F8;

// Read, value discarded, before every poll of the watched registers; `rwreg -P` reads it
// after its write.
constexpr uint32_t POLL_PREAMBLE_ADDR = 0x1000;
