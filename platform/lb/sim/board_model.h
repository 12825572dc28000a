// Bus accesses and settings of a simulated board (board_state.h). Plain functions on the
// state; they take no lock: whoever shares a state between threads or processes holds its
// lock around each call (platform/lb/sim/shared_board.h does).
#pragma once

#include <cstdint>

#include "platform/lb/sim/board_state.h"

namespace lbsim {

// Power-on contents: registers 0, Vorl version, I2C devices as in i2c_bus.h, the default
// TAP chain, selector cleared, no faults, trace off and empty.
void board_power_on(BoardState &board);

// One local-bus access with faults applied and, when the trace is on, recorded.
// Returns 0, EINVAL for an address outside the window or not a multiple of 4, or EIO for a
// register whose accesses are made to fail.
int board_read(BoardState &board, uint32_t addr, uint32_t *value);
int board_write(BoardState &board, uint32_t addr, uint32_t value);

// The same access with the same side effects, but without faults and never traced: what
// `boardsim peek/poke` do. Returns 0 or EINVAL.
int board_peek(BoardState &board, uint32_t addr, uint32_t *value);
int board_poke(BoardState &board, uint32_t addr, uint32_t value);

// Identity word in EEPROM bytes 0..3, little-endian.
void board_set_identity(BoardState &board, uint32_t word);
uint32_t board_identity(const BoardState &board);

// Faults; they stay until cleared or board_power_on. Each `when` says on which accesses the
// fault acts (intermittent.h; always by default). Each returns false (changing nothing) when
// the address is not a register address or the fault table is full.
bool board_set_stuck_bit(BoardState &board, uint32_t addr, int bit, int level,
                         const Intermittent &when = Intermittent{});
// `ops`: kFaultOnRead, kFaultOnWrite or both.
bool board_set_access_fail(BoardState &board, uint32_t addr,
                           uint32_t ops = kFaultOnRead | kFaultOnWrite,
                           const Intermittent &when = Intermittent{});
// `chip` in either bus form; false when no device answers it.
bool board_set_i2c_noack(BoardState &board, uint8_t chip,
                         const Intermittent &when = Intermittent{});
// Bytes read from the device are XORed with `xor_mask`; with `only_value` 0..255 only a byte
// whose true value it is.
bool board_set_i2c_bad_byte(BoardState &board, uint8_t chip, uint8_t xor_mask, int only_value = -1,
                            const Intermittent &when = Intermittent{});
// The master's steps of the kinds in `steps` (I2cStep bits) never end: done never comes.
bool board_set_i2c_hang(BoardState &board, uint32_t steps,
                        const Intermittent &when = Intermittent{});

// Each removes one fault and nothing else; false when there was no such fault. `bit` -1:
// every stuck bit of the register.
bool board_clear_stuck_bit(BoardState &board, uint32_t addr, int bit);
bool board_clear_access_fail(BoardState &board, uint32_t addr);
bool board_clear_i2c_noack(BoardState &board, uint8_t chip);
bool board_clear_i2c_bad_byte(BoardState &board, uint8_t chip);
bool board_clear_i2c_hang(BoardState &board);

}  // namespace lbsim
