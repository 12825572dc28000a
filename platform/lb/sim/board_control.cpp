#include "platform/lb/sim/board_control.h"

#include "platform/lb/sim/board_model.h"

namespace lbsim {

std::unique_ptr<BoardControl> BoardControl::open(const std::string &name) {
  std::unique_ptr<SharedBoard> board = SharedBoard::open(name);
  if (!board) return nullptr;
  return std::unique_ptr<BoardControl>(new BoardControl(std::move(board)));
}

int BoardControl::remove(const std::string &name) { return SharedBoard::remove(name); }

void BoardControl::reset() {
  BoardLock lock(*board_);
  board_power_on(board_->state());
}

void BoardControl::set_identity(uint32_t word) {
  BoardLock lock(*board_);
  board_set_identity(board_->state(), word);
}

uint32_t BoardControl::identity() {
  BoardLock lock(*board_);
  return board_identity(board_->state());
}

bool BoardControl::peek(uint32_t addr, uint32_t *value) {
  BoardLock lock(*board_);
  return board_peek(board_->state(), addr, value) == 0;
}

bool BoardControl::poke(uint32_t addr, uint32_t value) {
  BoardLock lock(*board_);
  return board_poke(board_->state(), addr, value) == 0;
}

bool BoardControl::i2c_peek(uint8_t chip, uint8_t offset, uint8_t *value) {
  BoardLock lock(*board_);
  const int device = i2c_device_index(board_->state(), chip);
  if (device < 0) return false;
  *value = i2c_device_peek(board_->state(), device, offset);
  return true;
}

bool BoardControl::i2c_poke(uint8_t chip, uint8_t offset, uint8_t value) {
  BoardLock lock(*board_);
  const int device = i2c_device_index(board_->state(), chip);
  if (device < 0) return false;
  i2c_device_poke(board_->state(), device, offset, value);
  return true;
}

uint8_t BoardControl::selector_register(int index) {
  BoardLock lock(*board_);
  return board_->state().selector.regs[index & 3];
}

bool BoardControl::set_stuck_bit(uint32_t addr, int bit, int level, const Intermittent &when) {
  BoardLock lock(*board_);
  return board_set_stuck_bit(board_->state(), addr, bit, level, when);
}

bool BoardControl::set_access_fail(uint32_t addr, uint32_t ops, const Intermittent &when) {
  BoardLock lock(*board_);
  return board_set_access_fail(board_->state(), addr, ops, when);
}

bool BoardControl::set_i2c_noack(uint8_t chip, const Intermittent &when) {
  BoardLock lock(*board_);
  return board_set_i2c_noack(board_->state(), chip, when);
}

bool BoardControl::set_i2c_bad_byte(uint8_t chip, uint8_t xor_mask, int only_value,
                                    const Intermittent &when) {
  BoardLock lock(*board_);
  return board_set_i2c_bad_byte(board_->state(), chip, xor_mask, only_value, when);
}

bool BoardControl::set_i2c_hang(uint32_t steps, const Intermittent &when) {
  BoardLock lock(*board_);
  return board_set_i2c_hang(board_->state(), steps, when);
}

bool BoardControl::clear_stuck_bit(uint32_t addr, int bit) {
  BoardLock lock(*board_);
  return board_clear_stuck_bit(board_->state(), addr, bit);
}

bool BoardControl::clear_access_fail(uint32_t addr) {
  BoardLock lock(*board_);
  return board_clear_access_fail(board_->state(), addr);
}

bool BoardControl::clear_i2c_noack(uint8_t chip) {
  BoardLock lock(*board_);
  return board_clear_i2c_noack(board_->state(), chip);
}

bool BoardControl::clear_i2c_bad_byte(uint8_t chip) {
  BoardLock lock(*board_);
  return board_clear_i2c_bad_byte(board_->state(), chip);
}

bool BoardControl::clear_i2c_hang() {
  BoardLock lock(*board_);
  return board_clear_i2c_hang(board_->state());
}

bool BoardControl::set_i2c_timing(I2cTiming timing) {
  BoardLock lock(*board_);
  return i2c_set_timing(board_->state(), timing);
}

I2cTiming BoardControl::i2c_timing() {
  BoardLock lock(*board_);
  return board_->state().i2c.timing;
}

void BoardControl::set_init_fail(int err) {
  BoardLock lock(*board_);
  board_->state().faults.init_errno = err;
}

void BoardControl::set_map_fail(int err) {
  BoardLock lock(*board_);
  board_->state().faults.map_errno = err;
}

std::vector<TapDeviceConfig> BoardControl::chain() {
  BoardLock lock(*board_);
  const TapChain &c = board_->state().chain;
  std::vector<TapDeviceConfig> out;
  for (uint32_t i = 0; i < c.device_count && i < kTapMaxDevices; ++i)
    out.push_back(c.devices[i].config);
  return out;
}

bool BoardControl::set_chain(const std::vector<TapDeviceConfig> &devices, std::string *error) {
  if (devices.empty() || devices.size() > kTapMaxDevices) {
    if (error) *error = "a chain has 1 to " + std::to_string(kTapMaxDevices) + " devices";
    return false;
  }
  for (size_t i = 0; i < devices.size(); ++i) {
    if (const char *why = tap_device_config_error(devices[i])) {
      if (error) *error = "device " + std::to_string(i) + ": " + why;
      return false;
    }
  }
  BoardLock lock(*board_);
  return tap_chain_build(board_->state().chain, devices.data(), static_cast<int>(devices.size()));
}

TapState BoardControl::tap_state() {
  BoardLock lock(*board_);
  return board_->state().chain.state;
}

uint32_t BoardControl::tap_instruction(int index) {
  BoardLock lock(*board_);
  const TapChain &c = board_->state().chain;
  if (index < 0 || static_cast<uint32_t>(index) >= c.device_count) return 0;
  return c.devices[index].ir;
}

std::vector<BoardControl::Fpga> BoardControl::fpgas() {
  BoardLock lock(*board_);
  const TapChain &c = board_->state().chain;
  std::vector<Fpga> out;
  for (uint32_t i = 0; i < c.device_count && i < kTapMaxDevices; ++i)
    if (c.devices[i].config.kind == TapKind::kFpga)
      out.push_back({static_cast<int>(i), tap_fpga_state(c.devices[i])});
  return out;
}

void BoardControl::trace_on(bool on) {
  BoardLock lock(*board_);
  trace_switch(board_->state().trace, on);
}

bool BoardControl::trace_is_on() {
  BoardLock lock(*board_);
  return board_->state().trace.on != 0;
}

void BoardControl::trace_clear() {
  BoardLock lock(*board_);
  lbsim::trace_clear(board_->state().trace);
}

bool BoardControl::trace_set_capacity(uint32_t records) {
  BoardLock lock(*board_);
  return lbsim::trace_set_capacity(board_->state().trace, records);
}

uint32_t BoardControl::trace_capacity() {
  BoardLock lock(*board_);
  return board_->state().trace.capacity;
}

std::vector<TraceRecord> BoardControl::trace_records(size_t *gap) {
  BoardLock lock(*board_);
  return lbsim::trace_records(board_->state().trace, gap);
}

std::vector<std::string> BoardControl::trace_lines() {
  std::vector<std::string> out;
  for (const TraceRecord &r : trace_records()) {
    const std::string line = trace_format(r);
    for (uint32_t n = 0; n < r.count; ++n) out.push_back(line);
  }
  return out;
}

uint64_t BoardControl::trace_dropped() {
  BoardLock lock(*board_);
  return lbsim::trace_dropped(board_->state().trace);
}

uint32_t BoardControl::lock_holder_after(long ms) {
  if (board_->try_lock_for(ms)) {
    board_->unlock();
    return 0;
  }
  // 0 here means the holder let go just after the wait ended: the lock is free after all.
  return board_->holder();
}

BoardLock BoardControl::hold_lock() { return BoardLock(*board_); }

}  // namespace lbsim
