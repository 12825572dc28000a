// fpga_config_gen: writes the byte-code source of a configuration for the simulated FPGA,
// from the template fpga/configure.stapl.in, and a sidecar text file with what a good load
// leaves in the FPGA.
//
//   fpga_config_gen --template configure.stapl.in --bits N --seed S [--idcode X]
//                   [--flip-bit K] [--action NAME] --stapl OUT.stapl --sidecar OUT.txt
//
// --flip-bit flips data bit K after the CRC was computed (a corrupted download), --action
// renames the loading action (default "configure"). Sidecar lines: "bits N", "crc 0x..."
// (the frame's CRC word), "data_crc 0x..." (CRC-32 of the data bits the file shifts; differs
// from crc when a bit was flipped), "idcode 0x..." (the IDCODE the program expects), "seed S".
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>

#include "fpga/config_frame.h"
#include "platform/lb/sim/tap_chain.h"

namespace {

constexpr const char *kUsage =
    "usage: fpga_config_gen --template FILE --bits N --seed S [--idcode X] [--flip-bit K]\n"
    "                       [--action NAME] --stapl OUT --sidecar OUT\n";

int usage(const std::string &why) {
  std::fprintf(stderr, "fpga_config_gen: %s\n%s", why.c_str(), kUsage);
  return 2;
}

std::optional<uint64_t> number(const std::string &s, uint64_t max) {
  if (s.empty() || s[0] == '-' || s[0] == '+') return std::nullopt;
  errno = 0;
  char *end = nullptr;
  const unsigned long long v = std::strtoull(s.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || v > max) return std::nullopt;
  return v;
}

std::string hex32(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", v);
  return buf;
}

// Writes `text` to `path` through a temporary file, so a failed run leaves no half file.
bool write_file(const std::string &path, const std::string &text) {
  const std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) return false;
  }
  return std::rename(tmp.c_str(), path.c_str()) == 0;
}

// Replaces every @NAME@ of the template; an unknown name is an error.
std::optional<std::string> fill(const std::string &tmpl,
                                const std::map<std::string, std::string> &values,
                                std::string *unknown) {
  std::string out;
  out.reserve(tmpl.size() + values.at("FRAME_HEX").size());
  size_t pos = 0;
  while (true) {
    const size_t at = tmpl.find('@', pos);
    if (at == std::string::npos) break;
    const size_t end = tmpl.find('@', at + 1);
    if (end == std::string::npos) break;
    const std::string name = tmpl.substr(at + 1, end - at - 1);
    const auto it = values.find(name);
    if (it == values.end()) {
      *unknown = name;
      return std::nullopt;
    }
    out.append(tmpl, pos, at - pos);
    out += it->second;
    pos = end + 1;
  }
  out.append(tmpl, pos, std::string::npos);
  return out;
}

}  // namespace

int main(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  std::map<std::string, std::string> opt;
  for (int i = 1; i < argc; i += 2) {
    const std::string key = argv[i];
    if (key.rfind("--", 0) != 0 || i + 1 >= argc) return usage("bad argument '" + key + "'");
    opt[key.substr(2)] = argv[i + 1];
  }
  for (const auto &[key, value] : opt)
    if (key != "template" && key != "bits" && key != "seed" && key != "idcode" &&
        key != "flip-bit" && key != "action" && key != "stapl" && key != "sidecar")
      return usage("unknown option --" + key);
  for (const char *need : {"template", "bits", "seed", "stapl", "sidecar"})
    if (!opt.count(need)) return usage(std::string("--") + need + " is needed");

  const auto bits = number(opt["bits"], lbsim::kFpgaMaxConfigBits);
  const auto seed = number(opt["seed"], UINT64_MAX);
  const auto idcode = number(opt.count("idcode") ? opt["idcode"] : "0x028120DD", 0xFFFFFFFFu);
  if (!bits || *bits == 0)
    return usage("--bits must be 1 to " + std::to_string(lbsim::kFpgaMaxConfigBits));
  if (!seed) return usage("bad --seed");
  if (!idcode) return usage("bad --idcode");
  std::optional<uint64_t> flip;
  if (opt.count("flip-bit")) {
    flip = number(opt["flip-bit"], *bits - 1);
    if (!flip) return usage("--flip-bit must name a data bit");
  }
  const std::string action = opt.count("action") ? opt["action"] : "configure";
  if (action.empty() ||
      action.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_") !=
          std::string::npos)
    return usage("bad --action name");

  std::ifstream in(opt["template"], std::ios::binary);
  std::stringstream tmpl;
  tmpl << in.rdbuf();
  if (!in) {
    std::fprintf(stderr, "fpga_config_gen: cannot read %s\n", opt["template"].c_str());
    return 1;
  }

  fpga::BitString data = fpga::make_data(*bits, *seed);
  const uint32_t crc = fpga::crc32_bits(data);
  if (flip) data.flip(*flip);
  const uint32_t data_crc = flip ? fpga::crc32_bits(data) : crc;
  const fpga::BitString frame = fpga::make_frame(data, crc);

  std::string title = "Configuration of " + std::to_string(*bits) + " bits for the simulated FPGA";
  if (flip) title += ", data bit " + std::to_string(*flip) + " flipped after the CRC was taken";
  const std::map<std::string, std::string> values = {
      {"TITLE", title},
      {"BITS", std::to_string(*bits)},
      {"SEED", std::to_string(*seed)},
      {"ACTION", action},
      {"IDCODE", hex32(static_cast<uint32_t>(*idcode))},
      {"IDCODE_MASKED", hex32(static_cast<uint32_t>(*idcode) & 0x0FFFFFFFu)},
      {"CRC", hex32(crc)},
      {"FRAME_BITS", std::to_string(frame.size)},
      {"FRAME_LAST", std::to_string(frame.size - 1)},
      {"FRAME_HEX", fpga::hex_digits(frame)},
      {"IR_IDCODE", "0x006"},
      {"IR_START", hex32(lbsim::kFpgaStartIr)},
      {"IR_LOAD", hex32(lbsim::kFpgaLoadIr)},
      {"IR_END", hex32(lbsim::kFpgaEndIr)},
      {"IR_STATUS", hex32(lbsim::kFpgaStatusIr)},
      {"IR_CRC", hex32(lbsim::kFpgaCrcIr)},
      {"IR_COUNT", hex32(lbsim::kFpgaCountIr)},
      {"STATUS_DONE", hex32(lbsim::kFpgaStatusDone)},
      {"STATUS_DONE_OR_ERROR", hex32(lbsim::kFpgaStatusDone | lbsim::kFpgaStatusError)},
      {"STATUS_ERROR_SHIFT", std::to_string(lbsim::kFpgaStatusErrorShift)},
  };
  std::string unknown;
  const std::optional<std::string> source = fill(tmpl.str(), values, &unknown);
  if (!source) {
    std::fprintf(stderr, "fpga_config_gen: %s: unknown placeholder @%s@\n", opt["template"].c_str(),
                 unknown.c_str());
    return 1;
  }
  const std::string sidecar = "bits " + std::to_string(*bits) + "\ncrc " + hex32(crc) +
                              "\ndata_crc " + hex32(data_crc) + "\nidcode " +
                              hex32(static_cast<uint32_t>(*idcode)) + "\nseed " +
                              std::to_string(*seed) + "\n";
  if (!write_file(opt["stapl"], *source) || !write_file(opt["sidecar"], sidecar)) {
    std::fprintf(stderr, "fpga_config_gen: cannot write %s: %s\n", opt["stapl"].c_str(),
                 std::strerror(errno));
    return 1;
  }
  return 0;
}
