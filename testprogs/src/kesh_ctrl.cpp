// kesh_ctrl: board self-test of the local bus, the general-purpose lines to the scan-chain
// selector and three I2C devices. It reports only by printed lines; the operator judges the
// board by the absence of failure lines, so the exit status is 0 even when a test failed.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>

#include "board/i2c.h"
#include "board/pci_init.h"
#include "board/register_map.h"
#include "platform/lb/lb.h"
#include "platform/version.h"

namespace {

constexpr useconds_t I2C_SETTLE_US = 100;

// Writes a pattern and reads it back; a read that fails counts as a mismatch, and `read`
// then holds something other than the pattern.
bool check32(uint32_t address, uint32_t pattern, uint32_t &read) {
  lb_write_word(address, pattern);
  if (lb_read_word(address, &read) != 0) {
    read = ~pattern;
    return false;
  }
  return read == pattern;
}

void test32at(uint32_t address) {
  uint32_t read = 0;

  if (!check32(address, 0, read)) std::printf("Failed on zero's %d\n", static_cast<int>(read));

  for (int i = 0; i < 32; ++i) {
    if (!check32(address, uint32_t{1} << i, read)) {
      std::puts("Failed on walking one");
      break;
    }
  }
  for (int i = 0; i < 32; ++i) {
    if (!check32(address, ~(uint32_t{1} << i), read)) {
      std::puts("Failed on walking zero");
      break;
    }
  }
  for (int round = 0; round < 10; ++round) {
    if (!check32(address, 0xAAAAAAAA, read) || !check32(address, 0x55555555, read)) {
      std::puts("Failed on flipping");
      break;
    }
  }
  for (int round = 0; round < 10; ++round) {
    if (!check32(address, 0, read)) {
      std::puts("Failed on zeros ones flipping");
      break;
    }
    if (!check32(address, 0xFFFFFFFF, read)) {
      std::puts("Failed on zero ones flipping");
      break;
    }
  }
}

void checkversion() {
  std::puts("Checking Vorl version...");
  uint32_t version = 0;
  if (lb_read_word(VORL_VERSION, &version) == 0)
    std::printf("Vorl version: %d\n", static_cast<int>(version));
  else
    std::puts("Vorl version: unreadable");
}

void testpci() {
  std::puts("Testing PCI on internal register in Vorl...");
  test32at(VORL_INTERNAL);
  std::puts("PCI test done");
}

void testlocalbus() {
  std::puts("Testing LocalBus on Q_MP...");
  test32at(Q_MP);
  std::puts("Testing LocalBus on Q_L0...");
  test32at(Q_L0);
  std::puts("Testing LocalBus on Q_L1...");
  test32at(Q_L1);
  std::puts("Testing LocalBus on Q_FE...");
  test32at(Q_FE);
  std::puts("Local bus test done");
}

// One write and read-back cycle of a selector register over the lines; 1 on a mismatch.
int gp_write_read_testing(uint32_t value_written, uint32_t chip_address) {
  const uint32_t lines = value_written + chip_address;
  lb_write_word(DIRECTION, DIRECTION_ALL_DRIVEN);
  lb_write_word(LINES, lines + WRENB);
  lb_write_word(LINES, lines + LATCH + WRENB);
  lb_write_word(LINES, lines);
  lb_write_word(DIRECTION, DIRECTION_DATA_FROM_SELECTOR);
  lb_write_word(LINES, lines + LATCH);
  uint32_t read = 0;
  if (lb_read_word(LINES, &read) != 0) return 1;
  return read != lines + LATCH ? 1 : 0;
}

void testchipwithgp(uint32_t chip) {
  const uint32_t address = chip << LINES_REGISTER_SHIFT;

  if (gp_write_read_testing(0, address)) std::puts("failed on zero's");

  for (uint32_t v : {0x1u, 0x2u, 0x4u, 0x8u}) {
    if (gp_write_read_testing(v, address)) {
      std::puts("failed on walking ones");
      break;
    }
  }
  for (uint32_t v : {0xEu, 0xDu, 0xBu, 0x7u}) {
    if (gp_write_read_testing(v, address)) {
      std::puts("failed on walking zero");
      break;
    }
  }
  for (int round = 0; round < 50; ++round) {
    if (gp_write_read_testing(0xA, address) || gp_write_read_testing(0x5, address)) {
      std::puts("failed on fliping");
      break;
    }
  }
  for (uint32_t v = 0; v < 15; ++v) {
    if (gp_write_read_testing(v, address)) {
      std::puts("failed on random configuraton");
      break;
    }
  }
}

void testgpio() {
  std::puts("Testing general purpose lines...");
  testchipwithgp(0);
  testchipwithgp(1);
  std::puts("done. \n Testing finished. If no errors occur card is ok.");
}

void writing_problem(uint32_t address, uint32_t value) {
  std::printf("Problems writing to I2C address: %d value: %d\n", static_cast<int>(address),
              static_cast<int>(value));
}

void reading_problem(uint32_t address, uint32_t value) {
  std::printf("Problems reading from I2C address: %d value: %d\n", static_cast<int>(address),
              static_cast<int>(value));
}

// A check of one written value: write, settle, read back into `read`. Returns false, after
// printing why, when a transfer failed.
bool i2c_cycle(uint32_t address, uint32_t written, uint32_t &read) {
  if (I2C_Write(address, written) != 1) {
    writing_problem(address, written);
    return false;
  }
  usleep(I2C_SETTLE_US);
  if (I2C_Read(address, &read) != 1) {
    reading_problem(address, read);
    return false;
  }
  return true;
}

void testI2Cat(uint32_t address) {
  uint32_t read = 1;  // what a failed read reports when nothing was read yet

  // Zero: a chip that cannot even be written ends the run.
  if (I2C_Write(address, 0) != 1) {
    writing_problem(address, 0);
    std::exit(0);
  }
  usleep(I2C_SETTLE_US);
  if (I2C_Read(address, &read) != 1) reading_problem(address, read);
  if (read != 0)
    std::printf("Failed on zero's Value read: %d  Value written: %d\n", static_cast<int>(read), 0);

  for (int i = 0; i < 8; ++i) {
    const uint32_t v = 1u << i;
    if (!i2c_cycle(address, v, read)) break;
    if (read != v) {
      std::puts("Failed on walking one");
      break;
    }
  }
  for (int i = 0; i < 8; ++i) {
    const uint32_t v = 0xFFu & ~(1u << i);
    if (!i2c_cycle(address, v, read)) break;
    if (read != v) {
      std::puts("Failed on walking zero");
      break;
    }
  }

  // Flipping: a mismatch here means the device cannot be trusted; the run ends.
  bool flipping = true;
  for (int round = 0; round < 50 && flipping; ++round) {
    for (uint32_t v : {0xAAu, 0x55u}) {
      if (!i2c_cycle(address, v, read)) {
        flipping = false;
        break;
      }
      if (read != v) {
        std::puts("Failed on flipping");
        std::exit(0);
      }
    }
  }

  for (uint32_t v = 0; v < 0xFF; ++v) {
    if (!i2c_cycle(address, v, read)) return;
    if (read != v) {
      std::printf("Failed on some random written %d, read %d\n", static_cast<int>(v),
                  static_cast<int>(read));
      std::exit(0);
    }
  }
}

void testi2c() {
  std::puts("Testing I2C...");
  I2C_Write(0x4003, 0);
  I2C_Write(0x4206, 0);
  I2C_Write(0x4207, 0);
  std::puts("Test 0xA005");
  testI2Cat(0xA005);
  std::puts("Test 0x4001");
  testI2Cat(0x4001);
  std::puts("Test 0x4202");
  testI2Cat(0x4202);
  I2C_Write(0xA005, 0xFF);
  I2C_Write(0x4001, 0);
  I2C_Write(0x4202, 0);
  I2C_Write(0x4203, 0);
  std::puts("I2C test done");
}

void usage() {
  std::puts(
      "usage: kesh_ctrl\n"
      "  Board self-test: the Vorl bridge, the test registers of Q_MP, Q_L0, Q_L1 and Q_FE,\n"
      "  the general-purpose lines to the scan-chain selector and the I2C devices 0xA0,\n"
      "  0x40 and 0x42. It writes test patterns into all of them. A failure is a printed\n"
      "  line; the exit status is 0 whether or not a test failed.\n"
      "  --help, --version");
}

}  // namespace

// Other words are ignored; only these two stop the run before the board is touched.
int main(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  switch (asks_help_or_version(argc, argv)) {
    case ASKS_HELP:
      usage();
      return 0;
    case ASKS_VERSION:
      print_version("kesh_ctrl");
      return 0;
    default:
      break;
  }
  I2C_pause_us = 100;

  std::puts("\n");
  open_local_bus();

  lb_write_word(CSR, CSR_START_VALUE);
  I2C_Write(0x4003, 0);
  I2C_Write(0x4001, 0);

  checkversion();
  testpci();
  testlocalbus();
  testgpio();
  testi2c();
  return 0;
}
