// Parsing of boardsim's command words: numbers and TAP device descriptions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/lb/sim/tap_chain.h"

namespace boardsim {

// "0x..." hexadecimal or plain decimal, the whole word, at most `max`. No sign, no blanks.
std::optional<uint32_t> parse_number(const std::string &word, uint32_t max = 0xFFFFFFFFu);

// "ir=10,idcode=0x028120DD,idcode-ir=0x006,usercode=0x00C3F557,usercode-ir=0x007"
// (optional "capture=0x1", "kind=fixed" (the default) or "kind=fpga"). On failure returns
// nullopt with the reason in *error.
std::optional<lbsim::TapDeviceConfig> parse_device(const std::string &word, std::string *error);

}  // namespace boardsim
