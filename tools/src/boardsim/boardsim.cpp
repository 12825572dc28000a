// boardsim: creates, resets, inspects and configures the simulated board named by LB_SIM.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/lb/sim/board_control.h"
#include "platform/version.h"
#include "tools/src/boardsim/args.h"

namespace {

constexpr const char *kUsage =
    "usage: boardsim COMMAND [ARGS]   (board: $LB_SIM, default \"default\")\n"
    "  reset                       power-on contents, no faults, default chain, trace off\n"
    "  set-id WORD                 identity word in EEPROM bytes 0..3\n"
    "  peek ADDR                   print a register\n"
    "  poke ADDR VALUE             write a register (with its effects, untraced)\n"
    "  i2c-peek CHIP OFFSET        print a byte or register of an I2C device\n"
    "  i2c-poke CHIP OFFSET BYTE   set a byte or register of an I2C device\n"
    "  selector                    print the four scan-chain selector registers\n"
    "  stuck ADDR BIT 0|1          a register bit stuck at a level\n"
    "  fail-access ADDR            every access of ADDR fails (EIO)\n"
    "  noack CHIP                  the I2C device stops acknowledging\n"
    "  badbyte CHIP [XOR]          bytes read from the device are XORed with XOR (0x01)\n"
    "  fail-init ERRNO             lb_init_s fails with ERRNO (0 removes the fault)\n"
    "  fail-map [ERRNO]            lb_map fails with ERRNO (default ENOMEM; 0 removes)\n"
    "  chain                       the TAP chain, one device per line, TDI to TDO\n"
    "  chain set DEVICE...         DEVICE: ir=N,idcode=X,idcode-ir=X,usercode=X,usercode-ir=X\n"
    "                              [,capture=X][,kind=fixed|fpga]\n"
    "  fpga                        the state of every FPGA of the chain\n"
    "  trace on|off|show|clear     the bus trace\n"
    "  remove                      delete the board\n"
    "  --help, --version           this text, the program's version\n"
    "Numbers: 0x-hex or decimal. Faults and chain settings stay until reset.\n";

int usage_error(const char *why) {
  if (why) std::fprintf(stderr, "boardsim: %s\n", why);
  std::fputs(kUsage, stderr);
  return 2;
}

using Args = std::vector<std::string>;

bool need(const Args &a, size_t lo, size_t hi) { return a.size() >= lo && a.size() <= hi; }

// Hex digits needed for an instruction code of an IR of `bits` bits.
int ir_digits(int bits) { return (bits + 3) / 4; }

int run(lbsim::BoardControl &board, const Args &a) {
  const std::string &cmd = a[0];
  using boardsim::parse_number;
  if (cmd == "reset" && need(a, 1, 1)) {
    board.reset();
    return 0;
  }
  if (cmd == "set-id" && need(a, 2, 2)) {
    const auto word = parse_number(a[1]);
    if (!word) return usage_error("bad identity word");
    board.set_identity(*word);
    return 0;
  }
  if (cmd == "peek" && need(a, 2, 2)) {
    const auto addr = parse_number(a[1]);
    uint32_t value = 0;
    if (!addr || !board.peek(*addr, &value)) return usage_error("bad register address");
    std::printf("0x%08X\n", value);
    return 0;
  }
  if (cmd == "poke" && need(a, 3, 3)) {
    const auto addr = parse_number(a[1]);
    const auto value = parse_number(a[2]);
    if (!addr || !value) return usage_error("bad number");
    if (!board.poke(*addr, *value)) return usage_error("bad register address");
    return 0;
  }
  if (cmd == "i2c-peek" && need(a, 3, 3)) {
    const auto chip = parse_number(a[1], 0xFF);
    const auto offset = parse_number(a[2], 0xFF);
    uint8_t value = 0;
    if (!chip || !offset) return usage_error("bad number");
    if (!board.i2c_peek(static_cast<uint8_t>(*chip), static_cast<uint8_t>(*offset), &value))
      return usage_error("no such I2C device");
    std::printf("0x%02X\n", value);
    return 0;
  }
  if (cmd == "i2c-poke" && need(a, 4, 4)) {
    const auto chip = parse_number(a[1], 0xFF);
    const auto offset = parse_number(a[2], 0xFF);
    const auto value = parse_number(a[3], 0xFF);
    if (!chip || !offset || !value) return usage_error("bad number");
    if (!board.i2c_poke(static_cast<uint8_t>(*chip), static_cast<uint8_t>(*offset),
                        static_cast<uint8_t>(*value)))
      return usage_error("no such I2C device");
    return 0;
  }
  if (cmd == "selector" && need(a, 1, 1)) {
    for (int i = 0; i < 4; ++i) std::printf("REG %d 0x%X\n", i, board.selector_register(i));
    return 0;
  }
  if (cmd == "stuck" && need(a, 4, 4)) {
    const auto addr = parse_number(a[1]);
    const auto bit = parse_number(a[2], 31);
    const auto level = parse_number(a[3], 1);
    if (!addr || !bit || !level) return usage_error("bad number");
    if (!board.set_stuck_bit(*addr, static_cast<int>(*bit), static_cast<int>(*level)))
      return usage_error("bad register address, or too many faulty registers");
    return 0;
  }
  if (cmd == "fail-access" && need(a, 2, 2)) {
    const auto addr = parse_number(a[1]);
    if (!addr || !board.set_access_fail(*addr))
      return usage_error("bad register address, or too many faulty registers");
    return 0;
  }
  if (cmd == "noack" && need(a, 2, 2)) {
    const auto chip = parse_number(a[1], 0xFF);
    if (!chip || !board.set_i2c_noack(static_cast<uint8_t>(*chip)))
      return usage_error("no such I2C device");
    return 0;
  }
  if (cmd == "badbyte" && need(a, 2, 3)) {
    const auto chip = parse_number(a[1], 0xFF);
    const auto mask = a.size() == 3 ? parse_number(a[2], 0xFF) : std::optional<uint32_t>(1);
    if (!chip || !mask || *mask == 0) return usage_error("bad chip or XOR mask");
    if (!board.set_i2c_bad_byte(static_cast<uint8_t>(*chip), static_cast<uint8_t>(*mask)))
      return usage_error("no such I2C device");
    return 0;
  }
  if (cmd == "fail-init" && need(a, 2, 2)) {
    const auto err = parse_number(a[1], 4095);
    if (!err) return usage_error("bad errno");
    board.set_init_fail(static_cast<int>(*err));
    return 0;
  }
  if (cmd == "fail-map" && need(a, 1, 2)) {
    const auto err = a.size() == 2 ? parse_number(a[1], 4095) : std::optional<uint32_t>(ENOMEM);
    if (!err) return usage_error("bad errno");
    board.set_map_fail(static_cast<int>(*err));
    return 0;
  }
  if (cmd == "chain" && a.size() == 1) {
    int i = 0;
    for (const lbsim::TapDeviceConfig &d : board.chain()) {
      const int w = ir_digits(d.ir_length);
      std::printf("DEVICE %d IR %d IDCODE 0x%08X IDCODE-IR 0x%0*X USERCODE 0x%08X USERCODE-IR 0x%0*X KIND %s\n",
                  i++, d.ir_length, d.idcode, w, d.idcode_ir, d.usercode, w, d.usercode_ir,
                  d.kind == lbsim::TapKind::kFpga ? "fpga" : "fixed");
    }
    return 0;
  }
  if (cmd == "chain" && a.size() >= 3 && a[1] == "set") {
    std::vector<lbsim::TapDeviceConfig> devices;
    for (size_t i = 2; i < a.size(); ++i) {
      std::string why;
      const auto device = boardsim::parse_device(a[i], &why);
      if (!device) return usage_error(("device " + std::to_string(i - 2) + ": " + why).c_str());
      devices.push_back(*device);
    }
    std::string why;
    if (!board.set_chain(devices, &why)) return usage_error(why.c_str());
    return 0;
  }
  if (cmd == "fpga" && need(a, 1, 1)) {
    const std::vector<lbsim::BoardControl::Fpga> fpgas = board.fpgas();
    if (fpgas.empty()) {
      std::fprintf(stderr, "boardsim: the chain has no FPGA\n");
      return 1;
    }
    for (const lbsim::BoardControl::Fpga &f : fpgas)
      std::printf("FPGA %d CONFIGURED %s BUSY %s BITS %u CRC 0x%08X ERROR %s\n", f.device,
                  f.state.configured ? "yes" : "no", f.state.busy ? "yes" : "no", f.state.bits,
                  f.state.crc, lbsim::fpga_error_name(f.state.error));
    return 0;
  }
  if (cmd == "trace" && need(a, 2, 2)) {
    if (a[1] == "on" || a[1] == "off") {
      board.trace_on(a[1] == "on");
      return 0;
    }
    if (a[1] == "clear") {
      board.trace_clear();
      return 0;
    }
    if (a[1] == "show") {
      const uint64_t dropped = board.trace_dropped();
      const std::vector<std::string> lines = board.trace_lines();
      if (dropped)
        std::fprintf(stderr, "boardsim: %llu earlier records were overwritten\n",
                     static_cast<unsigned long long>(dropped));
      for (const std::string &line : lines) std::printf("%s\n", line.c_str());
      return 0;
    }
  }
  return usage_error(("bad command: " + cmd).c_str());
}

}  // namespace

int main(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  Args args(argv + 1, argv + argc);
  if (args.empty()) return usage_error(nullptr);
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (args[0] == "--version") {
    print_version("boardsim");
    return 0;
  }
  const std::string name = lbsim::board_name_from_env();
  if (!lbsim::board_name_valid(name)) {
    std::fprintf(stderr, "boardsim: bad board name '%s' in LB_SIM\n", name.c_str());
    return 2;
  }
  if (args[0] == "remove") {
    if (args.size() != 1) return usage_error("remove takes no arguments");
    const int err = lbsim::BoardControl::remove(name);
    if (err != 0 && err != ENOENT) {
      std::fprintf(stderr, "boardsim: remove '%s': %s\n", name.c_str(), std::strerror(err));
      return 1;
    }
    return 0;
  }
  std::unique_ptr<lbsim::BoardControl> board = lbsim::BoardControl::open(name);
  if (!board) {
    std::fprintf(stderr, "boardsim: board '%s': %s\n", name.c_str(), std::strerror(errno));
    return 1;
  }
  return run(*board, args);
}
