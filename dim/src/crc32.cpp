#include "dim/src/crc32.h"

#include <array>

namespace {

// Eight tables: eight bytes per step, as fast as memory for the largest files.
using Tables = std::array<std::array<uint32_t, 256>, 8>;

Tables make_tables() {
  Tables t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[0][i] = c;
  }
  for (uint32_t i = 0; i < 256; ++i)
    for (int k = 1; k < 8; ++k) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
  return t;
}

const Tables tables = make_tables();

}  // namespace

uint32_t crc32_of(const unsigned char *data, size_t size) {
  uint32_t c = 0xFFFFFFFFu;
  while (size >= 8) {
    const uint32_t lo = c ^ (data[0] | data[1] << 8 | data[2] << 16 | uint32_t{data[3]} << 24);
    c = tables[7][lo & 0xFF] ^ tables[6][(lo >> 8) & 0xFF] ^ tables[5][(lo >> 16) & 0xFF] ^
        tables[4][lo >> 24] ^ tables[3][data[4]] ^ tables[2][data[5]] ^ tables[1][data[6]] ^
        tables[0][data[7]];
    data += 8;
    size -= 8;
  }
  while (size-- > 0) c = tables[0][(c ^ *data++) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}
