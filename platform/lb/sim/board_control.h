// Control of a simulated board from a test or a tool (boardsim): open a named board in this
// process and reset it, set its identity, peek and poke registers and I2C devices, inject
// faults, change the TAP chain and read the bus trace. Programs under test reach the same
// board through the local-bus library when they run with the same LB_SIM.
//
//   auto board = lbsim::BoardControl::open("t-1234-i2c");   // nullptr on failure (errno)
//   board->reset();
//   board->trace_on(true);
//   ... run the program under test with LB_SIM=t-1234-i2c ...
//   for (const std::string &line : board->trace_lines()) ...   // format: trace.h
//   lbsim::BoardControl::remove("t-1234-i2c");
//
// Every call takes the board lock for its own duration. Settings and faults stay until
// reset().
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/lb/sim/board_state.h"
#include "platform/lb/sim/shared_board.h"

namespace lbsim {

class BoardControl {
 public:
  // Opens (creating when absent) the board `name`. nullptr with errno set on failure.
  static std::unique_ptr<BoardControl> open(const std::string &name);
  // Unlinks the board's shared object. 0 or errno (ENOENT when absent).
  static int remove(const std::string &name);

  const std::string &name() const { return board_->name(); }

  // Power-on contents, no faults, default chain, trace off and empty.
  void reset();

  void set_identity(uint32_t word);
  uint32_t identity();

  // Register access with the side effects of a bus access, but never faulted or traced.
  // False for an address outside the window or not a multiple of 4.
  bool peek(uint32_t addr, uint32_t *value);
  bool poke(uint32_t addr, uint32_t value);

  // I2C device contents (chip in either bus form). False when no device answers `chip`.
  bool i2c_peek(uint8_t chip, uint8_t offset, uint8_t *value);
  bool i2c_poke(uint8_t chip, uint8_t offset, uint8_t value);

  // Scan-chain selector registers 0..3 (4-bit values).
  uint8_t selector_register(int index);

  // Faults (board_model.h). False when not applicable (bad address, unknown chip, full).
  // `when`: always (default), every Nth access, or at random with a seed (intermittent.h).
  bool set_stuck_bit(uint32_t addr, int bit, int level, const Intermittent &when = {});
  bool set_access_fail(uint32_t addr, uint32_t ops = kFaultOnRead | kFaultOnWrite,
                       const Intermittent &when = {});
  bool set_i2c_noack(uint8_t chip, const Intermittent &when = {});
  // With `only_value` 0..255, only a byte read whose true value it is comes back wrong.
  bool set_i2c_bad_byte(uint8_t chip, uint8_t xor_mask = 0x01, int only_value = -1,
                        const Intermittent &when = {});
  // The master's steps of the kinds in `steps` (I2cStep bits) never end.
  bool set_i2c_hang(uint32_t steps, const Intermittent &when = {});
  // lb_init_s / lb_map fail with this errno from now on; 0 removes the fault.
  void set_init_fail(int err);
  void set_map_fail(int err);
  // Each removes one fault, leaving registers, devices, chain and the other faults alone;
  // false when there was no such fault. `bit` -1: every stuck bit of the register.
  bool clear_stuck_bit(uint32_t addr, int bit = -1);
  bool clear_access_fail(uint32_t addr);
  bool clear_i2c_noack(uint8_t chip);
  bool clear_i2c_bad_byte(uint8_t chip);
  bool clear_i2c_hang();

  // How long the I2C master's steps take (i2c_bus.h). False for a value not allowed.
  bool set_i2c_timing(I2cTiming timing);
  I2cTiming i2c_timing();

  // TAP chain, device 0 nearest TDI.
  std::vector<TapDeviceConfig> chain();
  // Replaces the chain (1..kTapMaxDevices valid devices), in Test-Logic-Reset. False with
  // a reason in *error when a device is not acceptable.
  bool set_chain(const std::vector<TapDeviceConfig> &devices, std::string *error);
  TapState tap_state();
  // Current instruction of device `index` (for checks after an IR scan).
  uint32_t tap_instruction(int index);
  // Every FPGA device of the chain with its index, TDI to TDO.
  struct Fpga {
    int device;
    FpgaState state;
  };
  std::vector<Fpga> fpgas();

  void trace_on(bool on);
  bool trace_is_on();
  void trace_clear();
  // Records kept (trace.h); clears the trace. False when out of range.
  bool trace_set_capacity(uint32_t records);
  uint32_t trace_capacity();
  // Oldest first, folded; `gap`: index of the first record after the dropped ones.
  std::vector<TraceRecord> trace_records(size_t *gap = nullptr);
  // The same as text (trace.h), each folded record repeated as often as its count.
  std::vector<std::string> trace_lines();
  uint64_t trace_dropped();

  // 0 when the board's lock came free within `ms` milliseconds (it is released again at
  // once), else the process id of its holder.
  uint32_t lock_holder_after(long ms);

  // Holds the board lock while the returned object lives: used by tests to stand for a
  // process that dies while holding it. Do not call other members while holding it.
  BoardLock hold_lock();
  // The raw state; the caller holds the lock (hold_lock) while touching it.
  BoardState &state_unlocked() { return board_->state(); }

 private:
  explicit BoardControl(std::unique_ptr<SharedBoard> board) : board_(std::move(board)) {}
  std::unique_ptr<SharedBoard> board_;
};

}  // namespace lbsim
