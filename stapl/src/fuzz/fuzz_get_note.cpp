// jbi_get_note on arbitrary blocks, in cursor mode through every note and in lookup mode,
// with buffer lengths that cut keys and values.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "stapl/src/jbiexprt.h"

namespace {

// Bytes past `length` must stay untouched: the query copies at most `length` bytes.
constexpr int kGuard = 8;

void check_guard(const char *buf, int length) {
  for (int i = length; i < length + kGuard; ++i) {
    if (buf[i] != '\x7F') std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const auto n = static_cast<int32_t>(size);
  for (int length : {1, 4, 33, 256}) {
    char key[256 + kGuard], value[256 + kGuard];
    int32_t cursor = 0;
    for (int count = 0; count < 100000; ++count) {
      std::memset(key, 0x7F, sizeof key);
      std::memset(value, 0x7F, sizeof value);
      int32_t before = cursor;
      int rc = jbi_get_note(data, n, &cursor, key, value, length);
      check_guard(key, length);
      check_guard(value, length);
      if (rc != JBI_RC_SUCCESS) {
        if (cursor != before) std::abort();
        break;
      }
      if (cursor != before + 1) std::abort();
    }
    std::memset(value, 0x7F, sizeof value);
    char wanted[] = "DESCRIPTION";
    jbi_get_note(data, n, nullptr, wanted, value, length);
    check_guard(value, length);
  }
  int32_t negative = -1;
  if (jbi_get_note(data, n, &negative, nullptr, nullptr, 16) == JBI_RC_SUCCESS) std::abort();
  return 0;
}
