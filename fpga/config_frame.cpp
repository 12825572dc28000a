#include "fpga/config_frame.h"

#include "platform/lb/sim/tap_chain.h"

namespace fpga {

void BitString::push(int bit) {
  if (size % 8 == 0) bytes.push_back(0);
  if (bit) bytes[size / 8] |= static_cast<uint8_t>(1u << (size % 8));
  ++size;
}

void BitString::push_word(uint32_t word) {
  for (int i = 0; i < 32; ++i) push((word >> i) & 1);
}

BitString make_data(uint64_t bits, uint64_t seed) {
  // splitmix64: fixed arithmetic, so a seed gives the same file on every machine.
  uint64_t state = seed;
  const auto next = [&state] {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  };
  BitString data;
  data.bytes.resize((bits + 7) / 8);
  data.size = bits;
  for (size_t i = 0; i < data.bytes.size(); i += 8) {
    const uint64_t r = next();
    for (size_t k = 0; k < 8 && i + k < data.bytes.size(); ++k)
      data.bytes[i + k] = static_cast<uint8_t>(r >> (8 * k));
  }
  if (bits % 8) data.bytes.back() &= static_cast<uint8_t>((1u << (bits % 8)) - 1);
  return data;
}

uint32_t crc32_bits(const BitString &bits) {
  // Whole bytes through a table, the tail bit by bit; both give the same register.
  static const auto table = [] {
    std::vector<uint32_t> t(256);
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
      t[n] = c;
    }
    return t;
  }();
  uint32_t crc = 0xFFFFFFFFu;
  const uint64_t whole = bits.size / 8;
  for (uint64_t i = 0; i < whole; ++i) crc = (crc >> 8) ^ table[(crc ^ bits.bytes[i]) & 0xFF];
  for (uint64_t i = whole * 8; i < bits.size; ++i)
    crc = (crc >> 1) ^ (0xEDB88320u & (0u - ((crc ^ static_cast<uint32_t>(bits.at(i))) & 1u)));
  return ~crc;
}

BitString make_frame(const BitString &data, uint32_t crc) {
  BitString frame;
  frame.bytes.reserve(data.bytes.size() + 13);
  frame.push_word(lbsim::kFpgaSyncWord);
  frame.push_word(static_cast<uint32_t>(data.size));
  if (data.size % 8 == 0) {
    // Byte-aligned here (64 bits in): copy whole bytes.
    frame.bytes.insert(frame.bytes.end(), data.bytes.begin(), data.bytes.end());
    frame.size += data.size;
  } else {
    for (uint64_t i = 0; i < data.size; ++i) frame.push(data.at(i));
  }
  frame.push_word(crc);
  return frame;
}

std::string hex_digits(const BitString &bits, size_t digits_per_line) {
  static const char kHex[] = "0123456789ABCDEF";
  const uint64_t digits = (bits.size + 3) / 4;
  std::string out;
  out.reserve(digits + digits / digits_per_line * 4 + 8);
  for (uint64_t d = digits; d-- > 0;) {
    const unsigned nibble = (bits.bytes[d / 2] >> (d % 2 ? 4 : 0)) & 0xF;
    out += kHex[nibble];
    if (d > 0 && (digits - d) % digits_per_line == 0) out += " \\\n    ";
  }
  return out;
}

}  // namespace fpga
