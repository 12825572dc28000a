// A configuration for the simulated FPGA: pseudo-random data bits from a seed, wrapped in
// the frame the device expects (sync word, length, data, CRC-32), and the pieces of text
// the byte-code source is made of.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fpga {

// Bits stored LSB first: bit i is bit (i mod 8) of byte (i div 8), the layout of the
// player's Boolean arrays, so bit 0 is the first bit shifted.
struct BitString {
  std::vector<uint8_t> bytes;
  uint64_t size = 0;

  void push(int bit);
  void push_word(uint32_t word);  // least significant bit first
  int at(uint64_t i) const { return (bytes[i / 8] >> (i % 8)) & 1; }
  void flip(uint64_t i) { bytes[i / 8] ^= static_cast<uint8_t>(1u << (i % 8)); }
};

// `bits` data bits from `seed`; the same seed always gives the same bits.
BitString make_data(uint64_t bits, uint64_t seed);

// The reflected CRC-32 (polynomial 0xEDB88320, start value and final XOR 0xFFFFFFFF) of the
// bits in order, the checksum the FPGA computes over the data it receives.
uint32_t crc32_bits(const BitString &bits);

// Sync word, length (data.size), data, `crc`.
BitString make_frame(const BitString &data, uint32_t crc);

// The bits as one Boolean-array initialiser of the assembler's text form: hexadecimal,
// most significant digit first (element 0 is the least significant bit), broken into lines
// of `digits_per_line` digits joined by a trailing backslash.
std::string hex_digits(const BitString &bits, size_t digits_per_line = 96);

}  // namespace fpga
