// Feeds arbitrary bytes through the frame reader in chunks whose sizes come from the input,
// then decodes every frame as every kind a peer could claim it to be.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/dim/wire.h"

namespace w = dim::wire;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  // The first byte picks the chunk size, so both the scratch and the big-frame paths run.
  const std::size_t chunk = 1 + data[0] % 64;
  ++data;
  --size;
  // Small limits let the big-frame path run without huge inputs.
  w::FrameReader reader(4096, 256);
  std::vector<w::Frame> frames;
  std::size_t pos = 0;
  while (pos < size) {
    auto buf = reader.buffer();
    if (buf.empty()) __builtin_trap();
    const std::size_t n = std::min({chunk, buf.size(), size - pos});
    std::memcpy(buf.data(), data + pos, n);
    pos += n;
    if (reader.commit(n, frames)) break;
  }
  for (const auto &f : frames) {
    if (f.size < 1 || f.size > 4096) __builtin_trap();
    (void)w::decode_register(f);
    (void)w::decode_register_reply(f);
    (void)w::decode_add_entry(f);
    (void)w::decode_entry_refused(f);
    (void)w::decode_entry_accepted(f);
    (void)w::decode_lookup(f);
    (void)w::decode_lookup_reply(f);
    (void)w::decode_list(f);
    (void)w::decode_list_reply(f);
    (void)w::decode_subscribe(f);
    (void)w::decode_sub_id(f);
    if (auto d = w::decode_data(f)) {
      volatile uint8_t sum = 0;
      for (std::size_t i = 0; i < d->size; ++i) sum = sum + d->data[i];
    }
    if (auto c = w::decode_command(f)) {
      if (c->data + c->size != f.body.get() + f.size) __builtin_trap();
    }
  }
  return 0;
}
