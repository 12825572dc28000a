// The I2C master behind local-bus registers 8 (command/status) and 12 (data).
//
// An address word holds the chip's 8-bit bus address in bits 8..15 and the register or
// memory offset inside the chip in bits 0..7 (0xA002: byte 2 of the EEPROM at 0xA0).
// Transfers must not overlap; the routines take no lock and keep no state between calls.
#pragma once

#include <cstdint>

// Pause in microseconds between sending a byte and waiting for it: 10 in the server,
// 100 in the self-test. Set once at start-up.
extern int I2C_pause_us;

// How long, in microseconds, a transfer polls the master's busy or done bit before it gives
// up with "I2C master timed out waiting for busy to clear" or "... for done" (about 100 ms).
extern int I2C_timeout_us;

// Read one byte of a chip; the whole data-register word is stored in *data. Returns 1; a
// missing acknowledge is only printed. Returns 0, with *data untouched, when the master
// stopped answering and the transfer was abandoned; an abandoned transfer still ends with a
// stop, so the next one finds the bus free. A master still busy after the time limit when a
// transfer begins is taken for one that lost its stop: "I2C master found busy, stop sent" is
// printed and the transfer waits once more after the stop.
int I2C_Read(uint32_t address, uint32_t *data);
// Write `data`, whole, to a chip's register. Returns 1, or 0 when the transfer was abandoned
// (as for I2C_Read).
int I2C_Write(uint32_t address, uint32_t data);
// After a byte was sent: when the master saw no acknowledge, stop the bus and print the two
// "not acknowledged" lines naming `data`.
void CheckStatus(uint32_t data);
// Missing acknowledges seen by CheckStatus since the process started. The transfers report
// none to their caller, so one that must know whether a chip answered compares the count
// before and after.
extern unsigned I2C_nack_count;
// Poll the status word until the done bit is set (or the time limit passes).
void WaitDone();
