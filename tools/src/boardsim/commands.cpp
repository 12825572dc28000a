#include "tools/src/boardsim/commands.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include "tools/src/boardsim/args.h"

namespace boardsim {
namespace {

// Hex digits needed for an instruction code of an IR of `bits` bits.
int ir_digits(int bits) { return (bits + 3) / 4; }

int reset(const Target &t, const Args &) {
  t.board->reset();
  return 0;
}

int set_id(const Target &t, const Args &a) {
  const auto word = parse_number(a[1]);
  if (!word) return usage_error("bad identity word");
  t.board->set_identity(*word);
  return 0;
}

int peek(const Target &t, const Args &a) {
  const auto addr = parse_number(a[1]);
  uint32_t value = 0;
  if (!addr || !t.board->peek(*addr, &value)) return usage_error("bad register address");
  std::printf("0x%08X\n", value);
  return 0;
}

int poke(const Target &t, const Args &a) {
  const auto addr = parse_number(a[1]);
  const auto value = parse_number(a[2]);
  if (!addr || !value) return usage_error("bad number");
  if (!t.board->poke(*addr, *value)) return usage_error("bad register address");
  return 0;
}

int i2c_peek(const Target &t, const Args &a) {
  const auto chip = parse_number(a[1], 0xFF);
  const auto offset = parse_number(a[2], 0xFF);
  uint8_t value = 0;
  if (!chip || !offset) return usage_error("bad number");
  if (!t.board->i2c_peek(static_cast<uint8_t>(*chip), static_cast<uint8_t>(*offset), &value))
    return usage_error("no such I2C device");
  std::printf("0x%02X\n", value);
  return 0;
}

int i2c_poke(const Target &t, const Args &a) {
  const auto chip = parse_number(a[1], 0xFF);
  const auto offset = parse_number(a[2], 0xFF);
  const auto value = parse_number(a[3], 0xFF);
  if (!chip || !offset || !value) return usage_error("bad number");
  if (!t.board->i2c_poke(static_cast<uint8_t>(*chip), static_cast<uint8_t>(*offset),
                         static_cast<uint8_t>(*value)))
    return usage_error("no such I2C device");
  return 0;
}

int selector(const Target &t, const Args &) {
  for (int i = 0; i < 4; ++i) std::printf("REG %d 0x%X\n", i, t.board->selector_register(i));
  return 0;
}

int stuck(const Target &t, const Args &a) {
  const auto addr = parse_number(a[1]);
  const auto bit = parse_number(a[2], 31);
  const auto level = parse_number(a[3], 1);
  if (!addr || !bit || !level) return usage_error("bad number");
  if (!t.board->set_stuck_bit(*addr, static_cast<int>(*bit), static_cast<int>(*level)))
    return usage_error("bad register address, or too many faulty registers");
  return 0;
}

int fail_access(const Target &t, const Args &a) {
  const auto addr = parse_number(a[1]);
  if (!addr || !t.board->set_access_fail(*addr))
    return usage_error("bad register address, or too many faulty registers");
  return 0;
}

int noack(const Target &t, const Args &a) {
  const auto chip = parse_number(a[1], 0xFF);
  if (!chip || !t.board->set_i2c_noack(static_cast<uint8_t>(*chip)))
    return usage_error("no such I2C device");
  return 0;
}

int badbyte(const Target &t, const Args &a) {
  const auto chip = parse_number(a[1], 0xFF);
  const auto mask = a.size() == 3 ? parse_number(a[2], 0xFF) : std::optional<uint32_t>(1);
  if (!chip || !mask || *mask == 0) return usage_error("bad chip or XOR mask");
  if (!t.board->set_i2c_bad_byte(static_cast<uint8_t>(*chip), static_cast<uint8_t>(*mask)))
    return usage_error("no such I2C device");
  return 0;
}

int fail_init(const Target &t, const Args &a) {
  const auto err = parse_number(a[1], 4095);
  if (!err) return usage_error("bad errno");
  t.board->set_init_fail(static_cast<int>(*err));
  return 0;
}

int fail_map(const Target &t, const Args &a) {
  const auto err = a.size() == 2 ? parse_number(a[1], 4095) : std::optional<uint32_t>(ENOMEM);
  if (!err) return usage_error("bad errno");
  t.board->set_map_fail(static_cast<int>(*err));
  return 0;
}

int chain_show(const Target &t, const Args &) {
  int i = 0;
  for (const lbsim::TapDeviceConfig &d : t.board->chain()) {
    const int w = ir_digits(d.ir_length);
    std::printf(
        "DEVICE %d IR %d IDCODE 0x%08X IDCODE-IR 0x%0*X USERCODE 0x%08X USERCODE-IR 0x%0*X KIND "
        "%s\n",
        i++, d.ir_length, d.idcode, w, d.idcode_ir, d.usercode, w, d.usercode_ir,
        d.kind == lbsim::TapKind::kFpga ? "fpga" : "fixed");
  }
  return 0;
}

int chain_set(const Target &t, const Args &a) {
  std::vector<lbsim::TapDeviceConfig> devices;
  for (size_t i = 2; i < a.size(); ++i) {
    std::string why;
    const auto device = parse_device(a[i], &why);
    if (!device) return usage_error(("device " + std::to_string(i - 2) + ": " + why).c_str());
    devices.push_back(*device);
  }
  std::string why;
  if (!t.board->set_chain(devices, &why)) return usage_error(why.c_str());
  return 0;
}

int fpga(const Target &t, const Args &) {
  const std::vector<lbsim::BoardControl::Fpga> fpgas = t.board->fpgas();
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

int trace(const Target &t, const Args &a) {
  if (a[1] == "on" || a[1] == "off") {
    t.board->trace_on(a[1] == "on");
    return 0;
  }
  if (a[1] == "clear") {
    t.board->trace_clear();
    return 0;
  }
  if (a[1] == "show") {
    const uint64_t dropped = t.board->trace_dropped();
    const std::vector<std::string> lines = t.board->trace_lines();
    if (dropped)
      std::fprintf(stderr, "boardsim: %llu earlier records were overwritten\n",
                   static_cast<unsigned long long>(dropped));
    for (const std::string &line : lines) std::printf("%s\n", line.c_str());
    return 0;
  }
  return bad_command(a);
}

// Removing must not open the board first, which would create it. Words after it are named
// as such rather than as a bad command.
int remove_board(const Target &t, const Args &a) {
  if (a.size() != 1) return usage_error("remove takes no arguments");
  const int err = lbsim::BoardControl::remove(t.name);
  if (err != 0 && err != ENOENT) {
    std::fprintf(stderr, "boardsim: remove '%s': %s\n", t.name.c_str(), std::strerror(err));
    return 1;
  }
  return 0;
}

constexpr size_t kAny = static_cast<size_t>(-1);

// In the order of the usage text.
constexpr Command kCommands[] = {
    {"reset", nullptr, 0, 0, true, "reset",
     "power-on contents, no faults, default chain, trace off", reset},
    {"set-id", nullptr, 1, 1, true, "set-id WORD", "identity word in EEPROM bytes 0..3", set_id},
    {"peek", nullptr, 1, 1, true, "peek ADDR", "print a register", peek},
    {"poke", nullptr, 2, 2, true, "poke ADDR VALUE",
     "write a register (with its effects, untraced)", poke},
    {"i2c-peek", nullptr, 2, 2, true, "i2c-peek CHIP OFFSET",
     "print a byte or register of an I2C device", i2c_peek},
    {"i2c-poke", nullptr, 3, 3, true, "i2c-poke CHIP OFFSET BYTE",
     "set a byte or register of an I2C device", i2c_poke},
    {"selector", nullptr, 0, 0, true, "selector", "print the four scan-chain selector registers",
     selector},
    {"stuck", nullptr, 3, 3, true, "stuck ADDR BIT 0|1", "a register bit stuck at a level", stuck},
    {"fail-access", nullptr, 1, 1, true, "fail-access ADDR", "every access of ADDR fails (EIO)",
     fail_access},
    {"noack", nullptr, 1, 1, true, "noack CHIP", "the I2C device stops acknowledging", noack},
    {"badbyte", nullptr, 1, 2, true, "badbyte CHIP [XOR]",
     "bytes read from the device are XORed with XOR (0x01)", badbyte},
    {"fail-init", nullptr, 1, 1, true, "fail-init ERRNO",
     "lb_init_s fails with ERRNO (0 removes the fault)", fail_init},
    {"fail-map", nullptr, 0, 1, true, "fail-map [ERRNO]",
     "lb_map fails with ERRNO (default ENOMEM; 0 removes)", fail_map},
    {"chain", nullptr, 0, 0, true, "chain", "the TAP chain, one device per line, TDI to TDO",
     chain_show},
    {"chain", "set", 1, kAny, true, "chain set DEVICE...",
     "DEVICE: ir=N,idcode=X,idcode-ir=X,usercode=X,usercode-ir=X\n"
     "[,capture=X][,kind=fixed|fpga]",
     chain_set},
    {"fpga", nullptr, 0, 0, true, "fpga", "the state of every FPGA of the chain", fpga},
    {"trace", nullptr, 1, 1, true, "trace on|off|show|clear", "the bus trace", trace},
    {"remove", nullptr, 0, kAny, false, "remove", "delete the board", remove_board},
};

// The synopsis column is this wide, the help column starts after it.
constexpr int kSynopsisWidth = 28;

std::string make_usage() {
  std::string text = "usage: boardsim COMMAND [ARGS]   (board: $LB_SIM, default \"default\")\n";
  auto row = [&text](const std::string &synopsis, const std::string &help) {
    const std::string indent(2 + kSynopsisWidth, ' ');
    text += "  " + synopsis + std::string(kSynopsisWidth - synopsis.size(), ' ');
    for (size_t from = 0;;) {
      const size_t end = help.find('\n', from);
      text += help.substr(from, end - from) + "\n";
      if (end == std::string::npos) break;
      text += indent;
      from = end + 1;
    }
  };
  for (const Command &c : kCommands) row(c.synopsis, c.help);
  row("--help, --version", "this text, the program's version");
  text += "Numbers: 0x-hex or decimal. Faults and chain settings stay until reset.\n";
  return text;
}

}  // namespace

const Command *find_command(const Args &args) {
  for (const Command &c : kCommands) {
    if (args.empty() || args[0] != c.name) continue;
    size_t words = 1;
    if (c.subcommand) {
      if (args.size() < 2 || args[1] != c.subcommand) continue;
      words = 2;
    }
    const size_t count = args.size() - words;
    if (count >= c.min_args && count <= c.max_args) return &c;
  }
  return nullptr;
}

const std::string &usage_text() {
  static const std::string text = make_usage();
  return text;
}

int usage_error(const char *why) {
  if (why) std::fprintf(stderr, "boardsim: %s\n", why);
  std::fputs(usage_text().c_str(), stderr);
  return 2;
}

int bad_command(const Args &args) { return usage_error(("bad command: " + args[0]).c_str()); }

}  // namespace boardsim
