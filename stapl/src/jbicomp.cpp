// Expansion of compressed Boolean arrays. The block comes from an untrusted file, so the
// expander keeps every read inside the block and every write inside the output buffer.
#include "stapl/src/jbicomp.h"

#include <bit>
#include <cstdint>
#include <cstring>

uint32_t jbi_in_index = 0;
uint32_t jbi_bits_avail = 0;
uint32_t jbi_in_length = 0;

unsigned int jbi_bits_required(unsigned int n) {
  return n == 0 ? 1u : static_cast<unsigned int>(std::bit_width(n));
}

unsigned int jbi_read_packed(const uint8_t *buffer, unsigned int bits) {
  unsigned int result = 0;
  unsigned int fill = 0;
  for (;;) {
    result |= static_cast<unsigned int>(buffer[jbi_in_index] >> (8 - jbi_bits_avail)) << fill;
    if (bits > jbi_bits_avail) {
      fill += jbi_bits_avail;
      bits -= jbi_bits_avail;
      ++jbi_in_index;
      jbi_bits_avail = 8;
    } else {
      result &= (1u << (fill + bits)) - 1;
      jbi_bits_avail -= bits;
      return result;
    }
  }
}

namespace {

// The expander's own reader: the same bit order as jbi_read_packed, bounded by the block.
class BlockReader {
 public:
  BlockReader(const uint8_t *in, uint32_t length) : in_(in), length_(length) {}

  // The next n (1..25) bits; sets the overrun flag, and yields 0, past the block's end.
  uint32_t read(unsigned n) {
    if (pos_ + n > uint64_t{length_} * 8) {
      overrun_ = true;
      return 0;
    }
    const uint64_t byte = pos_ >> 3;
    uint32_t word;
    if (byte + 4 <= length_) {
      word = uint32_t{in_[byte]} | uint32_t{in_[byte + 1]} << 8 | uint32_t{in_[byte + 2]} << 16 |
             uint32_t{in_[byte + 3]} << 24;
    } else {
      word = 0;
      for (uint64_t k = byte; k < length_; ++k) word |= uint32_t{in_[k]} << (8 * (k - byte));
    }
    word >>= pos_ & 7;
    pos_ += n;
    return word & ((uint32_t{1} << n) - 1);
  }

  bool overrun() const { return overrun_; }
  uint64_t position() const { return pos_; }

 private:
  const uint8_t *in_;
  uint32_t length_;
  uint64_t pos_ = 0;
  bool overrun_ = false;
};

}  // namespace

uint32_t jbi_uncompress(const uint8_t *in, uint32_t in_length, uint8_t *out, uint32_t out_length,
                        int version) {
  jbi_in_length = in_length;
  jbi_in_index = 0;
  jbi_bits_avail = 8;
  const uint32_t match_data_length = version <= 0 ? 8192 : 8191;

  if (out_length > 0) std::memset(out, 0, out_length);

  BlockReader reader(in, in_length);
  const uint32_t length_low = reader.read(16);
  const uint32_t data_length = length_low | reader.read(16) << 16;
  if (reader.overrun() || data_length > out_length) return 0;

  bool refused = false;
  uint32_t i = 0;
  while (i < data_length) {
    if (reader.read(1) == 0) {
      const uint32_t missing = data_length - i;
      const unsigned literals = missing < 3 ? missing : 3;
      const uint32_t bytes = reader.read(8 * literals);
      for (unsigned k = 0; k < literals; ++k) out[i + k] = static_cast<uint8_t>(bytes >> (8 * k));
      i += literals;
    } else {
      const uint32_t window = i < match_data_length ? i : match_data_length;
      const uint32_t offset = reader.read(jbi_bits_required(window));
      const uint32_t length = reader.read(8);
      // A reference before the first output byte has nothing to copy from.
      if (offset > i) {
        refused = true;
        break;
      }
      const uint32_t missing = data_length - i;
      const uint32_t n = length < missing ? length : missing;
      if (offset == 0) {
        // Each byte would be copied onto itself: it keeps the zero it was cleared to.
      } else if (offset >= n) {
        std::memcpy(out + i, out + i - offset, n);
      } else if (offset == 1) {
        std::memset(out + i, out[i - 1], n);
      } else {
        for (uint32_t k = 0; k < n; ++k) out[i + k] = out[i + k - offset];
      }
      i += n;
    }
    if (reader.overrun()) break;
  }

  jbi_in_index = static_cast<uint32_t>(reader.position() >> 3);
  jbi_bits_avail = 8 - static_cast<uint32_t>(reader.position() & 7);
  if (refused || reader.overrun()) {
    // A stream cut short or pointing before its start is refused whole.
    std::memset(out, 0, out_length);
    return 0;
  }
  return data_length;
}
