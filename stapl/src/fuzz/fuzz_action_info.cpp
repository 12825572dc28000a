// jbi_get_action_info on arbitrary blocks for every action index (and a few outside the
// table); every list node is freed, so the leak checker sees any node the query loses.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>

#include "stapl/src/jbiexprt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const auto n = static_cast<int32_t>(size);
  int format = 0, actions = 0, procedures = 0;
  jbi_get_file_info(data, n, &format, &actions, &procedures);
  int last = actions < 1000 ? actions : 1000;
  for (int index = -1; index <= last; ++index) {
    const char *name = nullptr;
    const char *description = nullptr;
    JBI_PROCINFO *list = nullptr;
    int rc = jbi_get_action_info(data, n, index, &name, &description, &list);
    if (rc != JBI_RC_SUCCESS && rc != JBI_RC_OUT_OF_MEMORY && rc != JBI_RC_FILE_ACCESS) {
      std::abort();
    }
    if (rc == JBI_RC_SUCCESS && name == nullptr) std::abort();
    // The strings lie inside the block and end inside it.
    for (const char *s : {name, description}) {
      if (s == nullptr) continue;
      const auto *p = reinterpret_cast<const uint8_t *>(s);
      if (p < data || p >= data + size) std::abort();
      (void)jbi_strlen(s);
    }
    while (list != nullptr) {
      JBI_PROCINFO *next = list->next;
      if (list->attributes > 3) std::abort();
      (void)jbi_strlen(list->name);
      jbi_free(list);
      list = next;
    }
  }
  return 0;
}
