// jbi_execute on arbitrary files, with the JTAG port replaced by the default scan chain
// simulated in-process. Each input runs the file's first action (every optional procedure
// asked for) or, for a format 1 file, its code, under an instruction budget: a legal program
// may loop for ever. Whatever the file declares or pads, the player's heap never holds more
// than the memory budget at any moment of the run.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "stapl/src/fuzz/sim_chain_port.h"
#include "stapl/src/jbiexprt.h"
#include "stapl/src/jbijtag.h"
#include "stapl/src/jbistub.h"

namespace {

constexpr long kInstructionBudget = 20000;
constexpr long kTckBudget = 1000000;
constexpr unsigned long kLargestBlock = 64ul << 20;
constexpr unsigned long kMemoryBudget = 32ul << 20;

}  // namespace

namespace {

// Names of the first action and its procedures, copied while the list is freed.
std::string first_action(const uint8_t *data, int32_t size, std::vector<std::string> &procs) {
  int format = 0, actions = 0, procedures = 0;
  if (jbi_get_file_info(data, size, &format, &actions, &procedures) != 0 || actions < 1) {
    return {};
  }
  const char *name = nullptr;
  const char *description = nullptr;
  JBI_PROCINFO *list = nullptr;
  jbi_get_action_info(data, size, 0, &name, &description, &list);
  std::string action = name != nullptr ? name : "";
  while (list != nullptr) {
    JBI_PROCINFO *next = list->next;
    if (procs.size() < 16) procs.push_back(list->name);
    jbi_free(list);
    list = next;
  }
  return action;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // Programs print; the fuzzer's own report goes to standard error.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  verbose = 1;
  jbi_tck_limit = kTckBudget;
  jbi_malloc_max_block = kLargestBlock;
  jbi_memory_budget = kMemoryBudget;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > (1u << 20)) return 0;
  const auto n = static_cast<int32_t>(size);
  std::vector<std::string> procs;
  std::string action = first_action(data, n, procs);
  std::vector<std::string> init;
  for (const std::string &p : procs) init.push_back(p + "=1");
  std::vector<const char *> init_list;
  for (const std::string &entry : init) init_list.push_back(entry.c_str());
  init_list.push_back(nullptr);

  fuzz_port::reset();
  jbi_instruction_limit = kInstructionBudget;
  const long live_before = jbi_malloc_live_blocks;
  jbi_malloc_peak_bytes = jbi_malloc_live_bytes;
  long error_address = -1;
  int exit_code = -1;
  int format = 0;
  int rc = jbi_execute(data, static_cast<long>(size), action.empty() ? nullptr : action.c_str(),
                       init_list.data(), 1, &error_address, &exit_code, &format);
  if (rc < 0 || rc >= JBI_RC_COUNT) std::abort();
  // Everything the run took from the player's heap is back.
  if (jbi_malloc_live_blocks != live_before) std::abort();
  // At no moment did the run hold more than its budget.
  if (jbi_malloc_peak_bytes > kMemoryBudget) std::abort();
  return 0;
}
