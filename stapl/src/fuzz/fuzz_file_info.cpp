// jbi_get_file_info on arbitrary blocks.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "stapl/src/jbiexprt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  int format = -7, actions = -7, procedures = -7;
  int rc = jbi_get_file_info(data, static_cast<int32_t>(size), &format, &actions, &procedures);
  if (rc == JBI_RC_SUCCESS) {
    if (format != 1 && format != 2) std::abort();
    // A format 1 file leaves the counts as the caller set them.
    if (format == 1 && (actions != -7 || procedures != -7)) std::abort();
  } else if (rc != JBI_RC_FILE_ACCESS || format != -7) {
    std::abort();
  }
  return 0;
}
