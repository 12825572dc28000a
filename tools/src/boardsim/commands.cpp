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

// The words of a command after its name, with the options that say when a fault acts
// (--every N, --prob P --seed S) taken out into *when. False (after a usage message) for a
// bad option.
bool refuse(const char *why) {
  usage_error(why);
  return false;
}

bool take_when(const Args &a, size_t from, Args *rest, lbsim::Intermittent *when) {
  *when = lbsim::Intermittent{};
  std::optional<uint32_t> every, seed;
  std::optional<double> prob;
  for (size_t i = from; i < a.size(); ++i) {
    const std::string &w = a[i];
    if (w == "--every" || w == "--prob" || w == "--seed") {
      if (i + 1 >= a.size()) return refuse((w + " needs a value").c_str());
      const std::string &v = a[++i];
      if (w == "--every") {
        every = parse_number(v);
        if (!every || *every == 0) return refuse("--every takes a count from 1");
      } else if (w == "--seed") {
        seed = parse_number(v);
        if (!seed) return refuse("bad --seed");
      } else {
        prob = parse_fraction(v);
        if (!prob) return refuse("--prob takes a number from 0 to 1");
      }
      continue;
    }
    rest->push_back(w);
  }
  if (every && prob) return refuse("--every and --prob exclude each other");
  if (seed && !prob) return refuse("--seed goes with --prob");
  if (every) *when = lbsim::intermittent_every(*every);
  if (prob)
    *when = lbsim::intermittent_random(static_cast<uint32_t>(*prob * lbsim::kPpm + 0.5),
                                       seed.value_or(1));
  return true;
}

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
  Args w;
  lbsim::Intermittent when;
  if (!take_when(a, 1, &w, &when)) return 2;
  if (w.size() != 3) return usage_error("stuck takes ADDR BIT 0|1");
  const auto addr = parse_number(w[0]);
  const auto bit = parse_number(w[1], 31);
  const auto level = parse_number(w[2], 1);
  if (!addr || !bit || !level) return usage_error("bad number");
  if (!t.board->set_stuck_bit(*addr, static_cast<int>(*bit), static_cast<int>(*level), when))
    return usage_error("bad register address, or too many faulty registers");
  return 0;
}

int fail_access(const Target &t, const Args &a) {
  Args w;
  lbsim::Intermittent when;
  if (!take_when(a, 1, &w, &when)) return 2;
  if (w.empty() || w.size() > 2) return usage_error("fail-access takes ADDR [read|write]");
  uint32_t ops = lbsim::kFaultOnRead | lbsim::kFaultOnWrite;
  if (w.size() == 2) {
    if (w[1] == "read")
      ops = lbsim::kFaultOnRead;
    else if (w[1] == "write")
      ops = lbsim::kFaultOnWrite;
    else
      return usage_error("fail-access: read or write");
  }
  const auto addr = parse_number(w[0]);
  if (!addr || !t.board->set_access_fail(*addr, ops, when))
    return usage_error("bad register address, or too many faulty registers");
  return 0;
}

int noack(const Target &t, const Args &a) {
  Args w;
  lbsim::Intermittent when;
  if (!take_when(a, 1, &w, &when)) return 2;
  const auto chip = w.size() == 1 ? parse_number(w[0], 0xFF) : std::nullopt;
  if (!chip || !t.board->set_i2c_noack(static_cast<uint8_t>(*chip), when))
    return usage_error("no such I2C device");
  return 0;
}

int badbyte(const Target &t, const Args &a) {
  Args w;
  lbsim::Intermittent when;
  if (!take_when(a, 1, &w, &when)) return 2;
  std::optional<uint32_t> only;
  Args pos;
  for (size_t i = 0; i < w.size(); ++i) {
    if (w[i] == "--only") {
      only = i + 1 < w.size() ? parse_number(w[++i], 0xFF) : std::nullopt;
      if (!only) return usage_error("--only takes a byte value");
    } else {
      pos.push_back(w[i]);
    }
  }
  if (pos.empty() || pos.size() > 2) return usage_error("badbyte takes CHIP [XOR]");
  const auto chip = parse_number(pos[0], 0xFF);
  const auto mask = pos.size() == 2 ? parse_number(pos[1], 0xFF) : std::optional<uint32_t>(1);
  if (!chip || !mask || *mask == 0) return usage_error("bad chip or XOR mask");
  if (!t.board->set_i2c_bad_byte(static_cast<uint8_t>(*chip), static_cast<uint8_t>(*mask),
                                 only ? static_cast<int>(*only) : -1, when))
    return usage_error("no such I2C device");
  return 0;
}

std::optional<uint32_t> i2c_steps(const std::string &word) {
  if (word == "start") return lbsim::kI2cStepStart;
  if (word == "byte") return lbsim::kI2cStepByte;
  if (word == "receive") return lbsim::kI2cStepReceive;
  if (word == "stop") return lbsim::kI2cStepStop;
  if (word == "all")
    return lbsim::kI2cStepStart | lbsim::kI2cStepByte | lbsim::kI2cStepReceive |
           lbsim::kI2cStepStop;
  return std::nullopt;
}

int i2c_hang(const Target &t, const Args &a) {
  Args w;
  lbsim::Intermittent when;
  if (!take_when(a, 1, &w, &when)) return 2;
  const auto steps = w.size() == 1 ? i2c_steps(w[0]) : std::nullopt;
  if (!steps) return usage_error("i2c-hang takes start, byte, receive, stop or all");
  t.board->set_i2c_hang(*steps, when);
  return 0;
}

int i2c_timing(const Target &t, const Args &a) {
  if (a.size() == 1) {
    const lbsim::I2cTiming timing = t.board->i2c_timing();
    switch (timing.mode) {
      case lbsim::I2cTimingMode::kReads:
        std::printf("I2C STEP ENDS AFTER %u STATUS READS\n", timing.value);
        break;
      case lbsim::I2cTimingMode::kTime:
        std::printf("I2C BYTE %u NS\n", timing.value);
        break;
      default:
        std::printf("I2C INSTANT\n");
        break;
    }
    return 0;
  }
  lbsim::I2cTiming timing{lbsim::I2cTimingMode::kInstant, 0};
  if (a.size() == 2 && a[1] == "instant") {
    // as set
  } else if (a.size() == 3 && a[1] == "reads") {
    const auto reads = parse_number(a[2], 1000000);
    if (!reads || *reads == 0) return usage_error("i2c-timing reads takes a count from 1");
    timing = {lbsim::I2cTimingMode::kReads, *reads};
  } else if (a.size() == 2) {
    const auto us = parse_number(a[1], 4000000);
    if (!us || *us == 0) return usage_error("i2c-timing takes 1 to 4000000 microseconds");
    timing = {lbsim::I2cTimingMode::kTime, *us * 1000};
  } else {
    return usage_error("i2c-timing takes US, reads N or instant");
  }
  if (!t.board->set_i2c_timing(timing)) return usage_error("bad I2C timing");
  return 0;
}

int clear(const Target &t, const Args &a) {
  const std::string &what = a[1];
  const auto arg = [&a](size_t i, uint32_t max) {
    return i < a.size() ? parse_number(a[i], max) : std::nullopt;
  };
  bool done = false;
  if (what == "stuck" && (a.size() == 3 || a.size() == 4)) {
    const auto addr = arg(2, 0xFFFFFFFFu);
    const auto bit = a.size() == 4 ? arg(3, 31) : std::optional<uint32_t>(32);
    if (!addr || !bit) return usage_error("clear stuck takes ADDR [BIT]");
    done = t.board->clear_stuck_bit(*addr, *bit == 32 ? -1 : static_cast<int>(*bit));
  } else if (what == "fail-access" && a.size() == 3) {
    const auto addr = arg(2, 0xFFFFFFFFu);
    if (!addr) return usage_error("clear fail-access takes ADDR");
    done = t.board->clear_access_fail(*addr);
  } else if ((what == "noack" || what == "badbyte") && a.size() == 3) {
    const auto chip = arg(2, 0xFF);
    if (!chip) return usage_error("clear noack and badbyte take CHIP");
    done = what == "noack" ? t.board->clear_i2c_noack(static_cast<uint8_t>(*chip))
                           : t.board->clear_i2c_bad_byte(static_cast<uint8_t>(*chip));
  } else if (what == "i2c-hang" && a.size() == 2) {
    done = t.board->clear_i2c_hang();
  } else if ((what == "fail-init" || what == "fail-map") && a.size() == 2) {
    if (what == "fail-init")
      t.board->set_init_fail(0);
    else
      t.board->set_map_fail(0);
    return 0;
  } else {
    return usage_error(
        "clear takes stuck ADDR [BIT], fail-access ADDR, noack CHIP, "
        "badbyte CHIP, i2c-hang, fail-init or fail-map");
  }
  if (!done) {
    std::fprintf(stderr, "boardsim: no such fault\n");
    return 1;
  }
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
        i, d.ir_length, d.idcode, w, d.idcode_ir, d.usercode, w, d.usercode_ir,
        d.kind == lbsim::TapKind::kFpga ? "fpga" : "fixed");
    for (uint32_t k = 0; k < d.instruction_count; ++k)
      std::printf("DEVICE %d INSTR 0x%0*X BITS %u%s\n", i, w, d.instructions[k].code,
                  d.instructions[k].length, d.instructions[k].has_expect ? " EXPECT" : "");
    ++i;
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

// `trace show` options: what to keep and how to print it.
struct ShowOptions {
  lbsim::TraceFilter filter;
  bool fold = false;
  bool times = false;
  bool summary = false;
};

bool parse_kinds(const std::string &list, uint32_t *kinds) {
  *kinds = 0;
  size_t from = 0;
  while (from <= list.size()) {
    size_t end = list.find(',', from);
    if (end == std::string::npos) end = list.size();
    const std::string k = list.substr(from, end - from);
    if (k == "read")
      *kinds |= lbsim::kTraceClassRead;
    else if (k == "write")
      *kinds |= lbsim::kTraceClassWrite;
    else if (k == "tck")
      *kinds |= lbsim::kTraceClassTck;
    else if (k == "i2c")
      *kinds |= lbsim::kTraceClassI2c;
    else if (k == "lines")
      *kinds |= lbsim::kTraceClassLines;
    else if (k == "tap")
      *kinds |= lbsim::kTraceClassTap;
    else
      return false;
    from = end + 1;
  }
  return true;
}

bool parse_show(const Args &a, ShowOptions *o) {
  for (size_t i = 2; i < a.size(); ++i) {
    const std::string &w = a[i];
    const bool has_value = i + 1 < a.size();
    if (w == "--fold") {
      o->fold = true;
    } else if (w == "--times") {
      o->times = true;
    } else if (w == "--summary") {
      o->summary = true;
    } else if (w == "--kind" && has_value) {
      if (!parse_kinds(a[++i], &o->filter.kinds))
        return refuse("--kind takes read, write, tck, i2c, lines, tap, separated by commas");
    } else if (w == "--pid" && has_value) {
      const auto pid = parse_number(a[++i]);
      if (!pid || *pid == 0) return refuse("bad --pid");
      o->filter.pid = *pid;
    } else if (w == "--addr" && has_value) {
      const std::string range = a[++i];
      const size_t dash = range.find('-');
      const auto lo = parse_number(range.substr(0, dash));
      const auto hi = dash == std::string::npos ? lo : parse_number(range.substr(dash + 1));
      if (!lo || !hi || *hi < *lo) return refuse("--addr takes ADDR or LOW-HIGH");
      o->filter.by_address = true;
      o->filter.addr_lo = *lo;
      o->filter.addr_hi = *hi;
    } else {
      return refuse(("trace show: bad option " + w).c_str());
    }
  }
  return true;
}

int trace_show(const Target &t, const Args &a) {
  ShowOptions o;
  if (!parse_show(a, &o)) return 2;
  size_t gap = 0;
  const uint64_t dropped = t.board->trace_dropped();
  std::vector<lbsim::TraceRecord> records = t.board->trace_records(&gap);
  std::vector<lbsim::TraceRecord> kept;
  size_t kept_gap = 0;
  for (size_t i = 0; i < records.size(); ++i) {
    if (i == gap) kept_gap = kept.size();
    if (lbsim::trace_filter_keeps(o.filter, records[i])) kept.push_back(records[i]);
  }
  if (gap >= records.size()) kept_gap = kept.size();
  if (dropped)
    std::fprintf(stderr, "boardsim: %llu records after the first %zu were dropped\n",
                 static_cast<unsigned long long>(dropped), gap);
  if (o.summary) {
    for (const std::string &line : lbsim::trace_summary(kept)) std::printf("%s\n", line.c_str());
    if (dropped) std::printf("DROPPED %llu\n", static_cast<unsigned long long>(dropped));
    return 0;
  }
  for (size_t i = 0; i < kept.size(); ++i) {
    if (dropped && i == kept_gap)
      std::printf("DROPPED %llu\n", static_cast<unsigned long long>(dropped));
    const lbsim::TraceRecord &r = kept[i];
    const std::string text = lbsim::trace_format(r);
    char prefix[48] = "";
    if (o.times)
      std::snprintf(prefix, sizeof prefix, "%llu %u ", static_cast<unsigned long long>(r.time_ns),
                    r.pid);
    if (o.fold) {
      if (r.count > 1)
        std::printf("%s%s x%u\n", prefix, text.c_str(), r.count);
      else
        std::printf("%s%s\n", prefix, text.c_str());
      continue;
    }
    for (uint32_t n = 0; n < r.count; ++n) std::printf("%s%s\n", prefix, text.c_str());
  }
  if (dropped && kept_gap == kept.size() && gap < records.size())
    std::printf("DROPPED %llu\n", static_cast<unsigned long long>(dropped));
  return 0;
}

int trace(const Target &t, const Args &a) {
  if (a[1] == "on") {
    if (a.size() == 4 && a[2] == "--size") {
      const auto size = parse_number(a[3]);
      if (!size || !t.board->trace_set_capacity(*size))
        return usage_error("--size takes 16 to 1048576 records");
    } else if (a.size() != 2) {
      return usage_error("trace on takes only --size N");
    }
    t.board->trace_on(true);
    return 0;
  }
  if (a[1] == "show") return trace_show(t, a);
  if (a.size() != 2) return bad_command(a);
  if (a[1] == "off") {
    t.board->trace_on(false);
    return 0;
  }
  if (a[1] == "clear") {
    t.board->trace_clear();
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
    {"stuck", nullptr, 3, 7, true, "stuck ADDR BIT 0|1 [WHEN]", "a register bit stuck at a level",
     stuck},
    {"fail-access", nullptr, 1, 6, true, "fail-access ADDR [read|write] [WHEN]",
     "accesses of ADDR fail (EIO): all, or reads or writes only", fail_access},
    {"noack", nullptr, 1, 5, true, "noack CHIP [WHEN]", "the I2C device stops acknowledging",
     noack},
    {"badbyte", nullptr, 1, 8, true, "badbyte CHIP [XOR] [--only V] [WHEN]",
     "bytes read from the device are XORed with XOR (0x01);\n"
     "with --only, only a byte whose true value is V",
     badbyte},
    {"i2c-hang", nullptr, 1, 5, true, "i2c-hang STEP [WHEN]",
     "the I2C master never ends a STEP: start, byte, receive,\nstop or all (done never comes)",
     i2c_hang},
    {"clear", nullptr, 1, 3, true, "clear FAULT [ARGS]",
     "remove one fault, nothing else: stuck ADDR [BIT],\n"
     "fail-access ADDR, noack CHIP, badbyte CHIP, i2c-hang,\nfail-init, fail-map",
     clear},
    {"i2c-timing", nullptr, 0, 2, true, "i2c-timing [US|reads N|instant]",
     "how long an I2C byte takes (a start or stop a ninth):\n"
     "US microseconds (power-on 100), or until the Nth status\n"
     "read, or no time; without arguments prints it",
     i2c_timing},
    {"fail-init", nullptr, 1, 1, true, "fail-init ERRNO",
     "lb_init_s fails with ERRNO (0 removes the fault)", fail_init},
    {"fail-map", nullptr, 0, 1, true, "fail-map [ERRNO]",
     "lb_map fails with ERRNO (default ENOMEM; 0 removes)", fail_map},
    {"chain", nullptr, 0, 0, true, "chain", "the TAP chain, one device per line, TDI to TDO",
     chain_show},
    {"chain", "set", 1, kAny, true, "chain set DEVICE...",
     "DEVICE: ir=N,idcode=X,idcode-ir=X,usercode=X,usercode-ir=X\n"
     "[,capture=X][,kind=fixed|fpga][,instr=CODE:BITS:capture=HEX\n"
     "[:expect=HEX]]... (own instructions, registers up to\n"
     "4096 bits, HEX of any length, bit 0 first out)",
     chain_set},
    {"fpga", nullptr, 0, 0, true, "fpga", "the state of every FPGA of the chain", fpga},
    {"trace", nullptr, 1, 12, true, "trace on [--size N]|off|clear",
     "the bus trace: N records kept (power-on 262144),\n"
     "the first quarter and the newest; repeats are folded",
     trace},
    {"trace", "show", 0, 12, true, "trace show [OPTIONS]",
     "every record, oldest first; --fold: repeats as one line\n"
     "with xCOUNT; --times: ns since on and pid first;\n"
     "--addr LOW[-HIGH], --kind read,write,tck,i2c,lines,tap,\n"
     "--pid PID keep only those; --summary: counts per\n"
     "address, TCK cycles, TAP records, I2C transactions",
     trace},
    {"remove", nullptr, 0, kAny, false, "remove", "delete the board", remove_board},
};

// The synopsis column is this wide, the help column starts after it.
constexpr int kSynopsisWidth = 38;

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
  text += "Numbers: 0x-hex or decimal. Faults and chain settings stay until reset or clear.\n";
  text += "WHEN: --every N (the fault acts on every Nth access) or --prob P [--seed S]\n";
  text += "(on each access with probability P, 0..1; the same seed repeats a run).\n";
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
