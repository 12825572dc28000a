// jbi_uncompress on arbitrary blocks. The first input byte picks the format and how large
// the output buffer is compared with the length the block claims; the rest is the block.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "stapl/src/jbicomp.h"
#include "stapl/src/jbiexprt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const int version = data[0] & 1;
  const int fit = (data[0] >> 1) & 3;  // 0 exact, 1 larger, 2 smaller, 3 empty
  const uint8_t *block = data + 1;
  const auto block_length = static_cast<uint32_t>(size - 1);
  uint32_t claimed = block_length >= 4 ? jbi_get_dword(block) : 0;
  if (claimed > (1u << 20)) claimed = 1u << 20;
  uint32_t out_length = claimed;
  if (fit == 1) out_length = claimed + 100;
  if (fit == 2) out_length = claimed / 2;
  if (fit == 3) out_length = 0;
  // Block and output get allocations of exactly their sizes, so that any access past
  // either end is caught (a zero-byte allocation still has an address of its own).
  std::unique_ptr<uint8_t[]> in(new uint8_t[block_length]);
  for (uint32_t i = 0; i < block_length; ++i) in[i] = block[i];
  std::unique_ptr<uint8_t[]> out(new uint8_t[out_length]);
  uint32_t got = jbi_uncompress(in.get(), block_length, out.get(), out_length, version);
  if (got > out_length) std::abort();
  if (got != 0 && block_length >= 4 && got != jbi_get_dword(block)) std::abort();
  return 0;
}
