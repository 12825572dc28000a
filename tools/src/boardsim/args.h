// Parsing of boardsim's command words: numbers and TAP device descriptions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/lb/sim/tap_chain.h"

namespace boardsim {

// "0x..." hexadecimal or plain decimal, the whole word, at most `max`. No sign, no blanks.
std::optional<uint32_t> parse_number(const std::string &word, uint32_t max = 0xFFFFFFFFu);

// A fraction from 0 to 1 ("0.25", "1", "0"); nullopt otherwise.
std::optional<double> parse_fraction(const std::string &word);

// Hexadecimal of any length ("0x" optional) into a bit string of `max_bits` bits, bit i in
// bit (i mod 8) of byte (i div 8), the number's least significant bit first. False when a
// digit is bad or a set bit lies at or beyond `max_bits`.
bool parse_hex_bits(const std::string &word, uint8_t *bits, uint32_t max_bits);

// "ir=10,idcode=0x028120DD,idcode-ir=0x006,usercode=0x00C3F557,usercode-ir=0x007"
// (optional "capture=0x1", "kind=fixed" (the default) or "kind=fpga", and any number of
// own instructions "instr=CODE:BITS:capture=HEX[:expect=HEX]"). On failure returns
// nullopt with the reason in *error.
std::optional<lbsim::TapDeviceConfig> parse_device(const std::string &word, std::string *error);

}  // namespace boardsim
