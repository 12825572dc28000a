// jbi_check_crc on arbitrary blocks: never reads outside the block, and writes its outputs
// only when it says it did.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "stapl/src/jbiexprt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  uint16_t expected = 0xA5A5, actual = 0x5A5A;
  const auto n = static_cast<int32_t>(size);
  int rc = jbi_check_crc(data, n, &expected, &actual);
  if (rc != JBI_RC_SUCCESS && rc != JBI_RC_CRC_MISMATCH && rc != JBI_RC_FILE_ACCESS) std::abort();
  if (rc == JBI_RC_FILE_ACCESS && (expected != 0xA5A5 || actual != 0x5A5A)) std::abort();
  if (rc == JBI_RC_SUCCESS && expected != actual) std::abort();
  if (rc == JBI_RC_CRC_MISMATCH && expected == actual) std::abort();
  if (jbi_check_crc(data, n, nullptr, nullptr) != rc) std::abort();
  return 0;
}
