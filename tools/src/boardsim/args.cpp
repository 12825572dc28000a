#include "tools/src/boardsim/args.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <vector>

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

std::optional<double> parse_fraction(const std::string &word) {
  if (word.empty() || word.size() > 20) return std::nullopt;
  for (char c : word)
    if (!std::isdigit(static_cast<unsigned char>(c)) && c != '.') return std::nullopt;
  char *end = nullptr;
  const double value = std::strtod(word.c_str(), &end);
  if (end != word.c_str() + word.size() || value < 0 || value > 1) return std::nullopt;
  return value;
}

bool parse_hex_bits(const std::string &word, uint8_t *bits, uint32_t max_bits) {
  std::memset(bits, 0, (max_bits + 7) / 8);
  size_t start = 0;
  if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) start = 2;
  if (start >= word.size()) return false;
  uint32_t bit = 0;
  for (size_t i = word.size(); i-- > start;) {
    const unsigned char c = static_cast<unsigned char>(word[i]);
    if (c == '_') continue;
    if (!std::isxdigit(c)) return false;
    const unsigned digit =
        std::isdigit(c) ? c - '0' : static_cast<unsigned>(std::tolower(c) - 'a' + 10);
    for (int k = 0; k < 4; ++k, ++bit) {
      if (!((digit >> k) & 1)) continue;
      if (bit >= max_bits) return false;
      bits[bit / 8] = static_cast<uint8_t>(bits[bit / 8] | (1u << (bit % 8)));
    }
  }
  return true;
}

namespace {

// "CODE:BITS:capture=HEX[:expect=HEX]" after "instr=".
bool parse_instruction(const std::string &text, lbsim::TapInstruction *in, std::string *error) {
  std::vector<std::string> parts;
  for (size_t from = 0;;) {
    const size_t colon = text.find(':', from);
    parts.push_back(text.substr(from, colon - from));
    if (colon == std::string::npos) break;
    from = colon + 1;
  }
  *in = lbsim::TapInstruction{};
  const auto code = parts.size() >= 2 ? parse_number(parts[0]) : std::nullopt;
  const auto length =
      parts.size() >= 2 ? parse_number(parts[1], lbsim::kTapMaxDrBits) : std::nullopt;
  if (!code || !length || *length == 0) {
    *error = "instr= takes CODE:BITS:capture=HEX[:expect=HEX], BITS 1 to 4096";
    return false;
  }
  in->code = *code;
  in->length = *length;
  bool captured = false;
  for (size_t i = 2; i < parts.size(); ++i) {
    const size_t eq = parts[i].find('=');
    const std::string key = parts[i].substr(0, eq);
    const std::string value = eq == std::string::npos ? "" : parts[i].substr(eq + 1);
    uint8_t *bits = key == "capture" ? in->capture : key == "expect" ? in->expect : nullptr;
    if (!bits) {
      *error = "instr= knows capture= and expect=, got '" + parts[i] + "'";
      return false;
    }
    if (!parse_hex_bits(value, bits, in->length)) {
      *error = key + " value is not hexadecimal or does not fit " + parts[1] + " bits";
      return false;
    }
    if (key == "capture") captured = true;
    if (key == "expect") in->has_expect = 1;
  }
  if (!captured) {
    *error = "instr= needs capture=HEX";
    return false;
  }
  return true;
}

}  // namespace

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
    if (key == "instr") {
      if (config.instruction_count >= lbsim::kTapMaxInstructions) {
        *error = "a device has at most 8 own instructions";
        return std::nullopt;
      }
      if (!parse_instruction(item.substr(eq + 1), &config.instructions[config.instruction_count],
                             error))
        return std::nullopt;
      ++config.instruction_count;
      pos = end + 1;
      continue;
    }
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
