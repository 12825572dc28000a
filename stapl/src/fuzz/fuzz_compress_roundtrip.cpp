// The compressor of `stapl asm` against the player's expander: whatever the data, the block
// expands to exactly that data, in both formats.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "stapl/src/jbicomp.h"
#include "tools/src/stapl/compressor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 4096) return 0;
  std::span<const uint8_t> input(data, size);
  for (int format = 1; format <= 2; ++format) {
    std::vector<uint8_t> block = stapl::compress_block(input, format);
    std::vector<uint8_t> out(size + 1, 0);
    uint32_t got = jbi_uncompress(block.data(), static_cast<uint32_t>(block.size()), out.data(),
                                  static_cast<uint32_t>(size), format - 1);
    if (got != size) std::abort();
    for (size_t i = 0; i < size; ++i) {
      if (out[i] != data[i]) std::abort();
    }
  }
  return 0;
}
