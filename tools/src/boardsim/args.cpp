#include "tools/src/boardsim/args.h"

#include <cctype>

namespace boardsim {

std::optional<uint32_t> parse_number(const std::string &word, uint32_t max) {
  size_t i = 0;
  unsigned base = 10;
  if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
    base = 16;
    i = 2;
  }
  if (i >= word.size()) return std::nullopt;
  uint64_t value = 0;
  for (; i < word.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(word[i]);
    unsigned digit;
    if (std::isdigit(c)) {
      digit = c - '0';
    } else if (base == 16 && std::isxdigit(c)) {
      digit = static_cast<unsigned>(std::tolower(c) - 'a' + 10);
    } else {
      return std::nullopt;
    }
    value = value * base + digit;
    if (value > max) return std::nullopt;
  }
  return static_cast<uint32_t>(value);
}

std::optional<lbsim::TapDeviceConfig> parse_device(const std::string &word, std::string *error) {
  lbsim::TapDeviceConfig config;
  enum : unsigned { kIr = 1, kIdcode = 2, kIdcodeIr = 4, kUsercode = 8, kUsercodeIr = 16 };
  unsigned seen = 0;
  size_t pos = 0;
  while (pos <= word.size()) {
    size_t end = word.find(',', pos);
    if (end == std::string::npos) end = word.size();
    const std::string item = word.substr(pos, end - pos);
    const size_t eq = item.find('=');
    if (eq == std::string::npos) {
      *error = "expected KEY=VALUE, got '" + item + "'";
      return std::nullopt;
    }
    const std::string key = item.substr(0, eq);
    if (key == "kind") {
      const std::string kind = item.substr(eq + 1);
      if (kind == "fpga") {
        config.kind = lbsim::TapKind::kFpga;
      } else if (kind == "fixed") {
        config.kind = lbsim::TapKind::kFixed;
      } else {
        *error = "kind must be fixed or fpga, got '" + kind + "'";
        return std::nullopt;
      }
      pos = end + 1;
      continue;
    }
    const std::optional<uint32_t> value = parse_number(item.substr(eq + 1));
    if (!value) {
      *error = "bad number in '" + item + "'";
      return std::nullopt;
    }
    if (key == "ir") {
      if (*value > 255) {
        *error = "IR length must be 2 to 32";
        return std::nullopt;
      }
      config.ir_length = static_cast<uint8_t>(*value);
      seen |= kIr;
    } else if (key == "idcode") {
      config.idcode = *value;
      seen |= kIdcode;
    } else if (key == "idcode-ir") {
      config.idcode_ir = *value;
      seen |= kIdcodeIr;
    } else if (key == "usercode") {
      config.usercode = *value;
      seen |= kUsercode;
    } else if (key == "usercode-ir") {
      config.usercode_ir = *value;
      seen |= kUsercodeIr;
    } else if (key == "capture") {
      config.ir_capture = *value;
    } else {
      *error = "unknown key '" + key + "'";
      return std::nullopt;
    }
    pos = end + 1;
  }
  if (seen != (kIr | kIdcode | kIdcodeIr | kUsercode | kUsercodeIr)) {
    *error = "a device needs ir, idcode, idcode-ir, usercode and usercode-ir";
    return std::nullopt;
  }
  if (const char *why = lbsim::tap_device_config_error(config)) {
    *error = why;
    return std::nullopt;
  }
  return config;
}

}  // namespace boardsim
