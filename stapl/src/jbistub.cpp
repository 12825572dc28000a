// The player's host services: program messages, exported values and the player's heap.
// Everything goes to standard output and is flushed at once, so a station watching the
// server's output sees a program's progress while a long download runs.
#include "stapl/src/jbistub.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "stapl/src/jbiexprt.h"
#include "stapl/src/jbirun_limits.h"

int verbose = 0;
long jbi_malloc_live_blocks = 0;
long jbi_malloc_budget = -1;
unsigned long jbi_malloc_max_block = 0;
unsigned long jbi_memory_budget = JBI_DEFAULT_MEMORY_BUDGET;
unsigned long jbi_malloc_live_bytes = 0;
unsigned long jbi_malloc_peak_bytes = 0;

namespace {

// Each block carries its size in front of it, so jbi_free can take it off the live count.
// The header keeps the caller's part aligned as malloc's own blocks are.
constexpr size_t block_header = alignof(std::max_align_t);
static_assert(block_header >= sizeof(size_t));

// Bits per line of a long Boolean export, and the hexadecimal digits they make.
constexpr int32_t bits_per_line = 288;
constexpr int32_t digits_per_line = bits_per_line / 4;

// Writes elements low .. low + count - 1 as one hexadecimal number, most significant digit
// first (element `low` is its least significant bit), and a NUL. `out` holds
// (count + 3) / 4 + 1 chars.
void hex_string(const unsigned char *data, int32_t low, int32_t count, char *out) {
  const int32_t digits = (count + 3) / 4;
  for (int32_t d = 0; d < digits; ++d) {
    int value = 0;
    for (int32_t b = 0; b < 4 && 4 * d + b < count; ++b) {
      const int32_t element = low + 4 * d + b;
      value |= ((data[element >> 3] >> (element & 7)) & 1) << b;
    }
    out[digits - 1 - d] = conv_to_hex(value);
  }
  out[digits] = '\0';
}

}  // namespace

void jbi_message(const char *message_text) {
  std::printf("%s\n", message_text);
  std::fflush(stdout);
}

void jbi_export_integer(const char *key, int32_t value) {
  if (verbose == 0) return;
  std::printf("Export: key = \"%s\", value = %ld\n", key, static_cast<long>(value));
  std::fflush(stdout);
}

void jbi_export_boolean_array(const char *key, const unsigned char *data, int32_t count) {
  if (verbose == 0) return;
  // No bit array stands behind a negative count or a missing array.
  if (count < 0 || (count > 0 && data == nullptr)) return;
  char line[digits_per_line + 1];
  if (count <= bits_per_line) {
    hex_string(data, 0, count, line);
    std::printf("Export: key = \"%s\", %ld bits, value = HEX %s\n", key, static_cast<long>(count),
                line);
  } else {
    std::printf("Export: key = \"%s\", %ld bits, value = HEX\n", key, static_cast<long>(count));
    // Full lines from the top of the array down; the rest, the lowest elements, last.
    int32_t top = count;
    while (top > bits_per_line) {
      top -= bits_per_line;
      hex_string(data, top, bits_per_line, line);
      std::printf("%s\n", line);
    }
    hex_string(data, 0, top, line);
    std::printf("%s\n", line);
  }
  std::fflush(stdout);
}

char conv_to_hex(int value) {
  value &= 0xF;
  return static_cast<char>(value < 10 ? '0' + value : 'A' + (value - 10));
}

void *jbi_malloc(unsigned int size) {
  if (jbi_malloc_budget == 0) return nullptr;
  if (jbi_malloc_max_block != 0 && size > jbi_malloc_max_block) return nullptr;
  // Refused before anything is taken from the system: a file must not be able to make the
  // process large, even for a moment.
  if (jbi_memory_budget != 0 &&
      (size > jbi_memory_budget || jbi_malloc_live_bytes > jbi_memory_budget - size)) {
    jbi_limits_note(JBI_END_MEMORY);
    return nullptr;
  }
  // A zero-byte request still gets a block of its own, so null always means exhaustion.
  auto *block = static_cast<unsigned char *>(std::malloc(block_header + (size == 0 ? 1 : size)));
  if (block == nullptr) return nullptr;
  *reinterpret_cast<size_t *>(block) = size;
  if (jbi_malloc_budget > 0) --jbi_malloc_budget;
  ++jbi_malloc_live_blocks;
  jbi_malloc_live_bytes += size;
  if (jbi_malloc_live_bytes > jbi_malloc_peak_bytes) jbi_malloc_peak_bytes = jbi_malloc_live_bytes;
  return block + block_header;
}

void jbi_free(void *ptr) {
  if (ptr == nullptr) return;
  auto *block = static_cast<unsigned char *>(ptr) - block_header;
  --jbi_malloc_live_blocks;
  jbi_malloc_live_bytes -= *reinterpret_cast<size_t *>(block);
  std::free(block);
}
