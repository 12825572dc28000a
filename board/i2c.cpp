#include "board/i2c.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "board/register_map.h"
#include "platform/lb/lb.h"

int I2C_pause_us = 10;
int I2C_timeout_us = 100000;
unsigned I2C_nack_count = 0;

namespace {

// The one chip whose transfers restart the bus with an own address byte (0xFF / 0xFE)
// instead of a repeated start.
constexpr uint32_t kSpecialChip = 0xFC;

uint32_t status_word() {
  uint32_t con = 0;
  lb_read_word(I2C_COMMAND, &con);
  return con;
}

// Polls the status word until (status & mask) == want. A master that never gets there would
// hold a server for ever, so the poll gives up after I2C_timeout_us, with a message naming
// `what` unless it is null.
bool poll_status(uint32_t mask, uint32_t want, const char *what) {
  using Clock = std::chrono::steady_clock;
  const auto limit = Clock::now() + std::chrono::microseconds(I2C_timeout_us);
  for (;;) {
    // The clock is read before the status so that a poll descheduled past the limit still
    // gets one more look at the master before giving up.
    const bool expired = Clock::now() >= limit;
    if ((status_word() & mask) == want) return true;
    if (expired) {
      if (what) std::printf("I2C master timed out waiting for %s, transfer abandoned\n", what);
      return false;
    }
  }
}

bool wait_not_busy() { return poll_status(I2C_BUSY, 0, "busy to clear"); }
bool wait_done() { return poll_status(I2C_DONE, I2C_DONE, "done"); }

void byte_pause() { usleep(static_cast<useconds_t>(I2C_pause_us)); }

void command(uint32_t word) { lb_write_word(I2C_COMMAND, word); }
void send(uint32_t byte) { lb_write_word(I2C_DATA, byte); }

// The master holds the bus from a start until a stop. One found busy for longer than any
// transfer takes belongs to a transfer that will never send its stop (its process was killed
// between the two), and only a stop frees it; so it gets one, and one more wait.
bool claim_bus() {
  if (poll_status(I2C_BUSY, 0, nullptr)) return true;
  std::printf("I2C master found busy, stop sent\n");
  command(I2C_STOP);
  return wait_not_busy();
}

// Start, chip address for writing, internal address: the part both transfers share.
bool opening(uint32_t chip_addr, uint32_t int_addr) {
  if (!claim_bus()) return false;
  command(I2C_START);
  if (!wait_done()) return false;
  send(chip_addr & 0xFE);
  byte_pause();
  if (!wait_done()) return false;
  CheckStatus(chip_addr);
  send(int_addr);
  byte_pause();
  if (!wait_done()) return false;
  CheckStatus(int_addr);
  return true;
}

// The special chip wants a stop and a fresh start before its second address byte.
bool restart_special() {
  command(I2C_STOP);
  byte_pause();
  if (!wait_not_busy()) return false;
  command(I2C_START);
  return wait_done();
}

// The sequences of a read and a write after the opening. Each returns false when it gave up
// on the master, which then still holds the bus.
bool read_sequence(uint32_t chip_addr, uint32_t *data) {
  if (chip_addr == kSpecialChip) {
    if (!restart_special()) return false;
    send(chip_addr | 0x03);
    byte_pause();
  } else {
    command(I2C_START);  // repeated start
    if (!wait_done()) return false;
    byte_pause();
    send(chip_addr | 0x01);
  }
  if (!wait_done()) return false;
  CheckStatus(chip_addr);

  command(I2C_RECEIVE);
  uint32_t discarded = 0;
  lb_read_word(I2C_DATA, &discarded);
  if (!wait_done()) return false;
  command(I2C_STOP);
  command(I2C_NO_COMMAND);

  lb_read_word(I2C_DATA, data);
  return true;
}

bool write_sequence(uint32_t chip_addr, uint32_t data) {
  if (chip_addr == kSpecialChip) {
    if (!restart_special()) return false;
    send((chip_addr | 0x02) & 0xFE);
    byte_pause();
  }
  send(data);
  byte_pause();
  if (!wait_done()) return false;
  CheckStatus(data);
  command(I2C_STOP);
  return true;
}

// A transfer given up half-way still owes the bus its stop: without one the master stays
// busy and every later transfer, in this process or the next, would find it so.
int abandon() {
  command(I2C_STOP);
  return 0;
}

}  // namespace

void WaitDone() { wait_done(); }

void CheckStatus(uint32_t data) {
  uint32_t con = status_word();
  if (con & I2C_ACK) return;
  ++I2C_nack_count;
  command(I2C_STOP);
  command(I2C_CLEAR_ACK);
  std::printf("Action was not acknowledged by slave, 0x%X\n", data);
  std::printf("NOACC = 0x%X, Transaction is stopped\n", con & I2C_NOACC);
}

int I2C_Read(uint32_t address, uint32_t *data) {
  const uint32_t chip_addr = (address >> 8) & 0xFF;
  const uint32_t int_addr = address & 0xFF;
  if (!opening(chip_addr, int_addr) || !read_sequence(chip_addr, data)) return abandon();
  return 1;
}

int I2C_Write(uint32_t address, uint32_t data) {
  const uint32_t chip_addr = (address >> 8) & 0xFF;
  const uint32_t int_addr = address & 0xFF;
  if (!opening(chip_addr, int_addr) || !write_sequence(chip_addr, data)) return abandon();
  return 1;
}
