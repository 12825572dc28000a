// Start-up of a run (variable table, initial values, choice of action and procedures),
// moving along the procedure chain, and the clean-up that releases everything.
//
// The tables are checked here once, before the first instruction: the symbol, action and
// procedure tables and every array's initial data must lie inside the block, and a procedure
// chain must end. A file that breaks one of these is refused with result 2.
#include <cstring>

#include "stapl/src/jbicomp.h"
#include "stapl/src/jbijtag.h"
#include "stapl/src/jbimain_machine.h"

namespace {

constexpr uint32_t kActionEntrySize = 12;
constexpr uint32_t kProcEntrySize = 13;

uint32_t symbol_entry_size(const JbiMachine *m) { return 11u + 2u * m->h.version; }

const unsigned char *proc_entry(const JbiMachine *m, uint32_t index) {
  return m->program + m->h.proc_table + uint64_t{kProcEntrySize} * index;
}

bool chain_continues(const JbiMachine *m, uint32_t next) {
  return next != 0 && next < m->h.proc_count;
}

// Optional procedures run only when asked for; recommended ones unless asked to skip.
bool runnable(const JbiMachine *m, uint32_t index) {
  const uint8_t a = m->proc_attributes[index];
  return a != 1 && (a & (JBI_PROC_SKIP | JBI_PROC_RUN)) != JBI_PROC_SKIP;
}

// Splits an init-list entry "NAME=value". False for an entry without "=" or with a name too
// long for the message buffer (such a name matches nothing, rather than a cut-off prefix).
bool split_init_entry(JbiMachine *m, const char *entry, int32_t *value) {
  int length = 0;
  while (entry[length] != '\0' && entry[length] != '=') ++length;
  if (entry[length] != '=' || length > JBI_MESSAGE_LENGTH) return false;
  std::memcpy(m->message_buffer, entry, static_cast<size_t>(length));
  m->message_buffer[length] = '\0';
  *value = jbi_atol(entry + length + 1);
  return true;
}

bool tables_fit(const JbiMachine *m) {
  const JbiHeader &h = m->h;
  const int64_t size = m->program_size;
  if (h.code_section > h.debug_section || h.debug_section > size) return false;
  if (!jbi_span_ok(size, h.symbol_table, uint64_t{h.symbol_count} * symbol_entry_size(m))) {
    return false;
  }
  if (h.version == 1) {
    if (!jbi_span_ok(size, h.proc_table, uint64_t{h.proc_count} * kProcEntrySize)) return false;
    if (!jbi_span_ok(size, h.action_table, uint64_t{h.action_count} * kActionEntrySize)) {
      return false;
    }
  }
  return true;
}

bool allocate_tables(JbiMachine *m) {
  const uint32_t symbols = m->h.symbol_count;
  if (symbols > 0) {
    m->variables = static_cast<intptr_t *>(jbi_malloc(symbols * sizeof(intptr_t)));
    if (m->variables == nullptr) return false;
    m->variable_size = static_cast<int32_t *>(jbi_malloc(symbols * sizeof(int32_t)));
    if (m->variable_size == nullptr) return false;
    m->attributes = static_cast<uint8_t *>(jbi_malloc(symbols));
    if (m->attributes == nullptr) return false;
    std::memset(m->variables, 0, symbols * sizeof(intptr_t));
    std::memset(m->variable_size, 0, symbols * sizeof(int32_t));
    std::memset(m->attributes, 0, symbols);
  }
  if (m->h.version == 1 && m->h.proc_count > 0) {
    m->proc_attributes = static_cast<uint8_t *>(jbi_malloc(m->h.proc_count));
    if (m->proc_attributes == nullptr) return false;
    std::memset(m->proc_attributes, 0, m->h.proc_count);
  }
  return true;
}

// A compressed Boolean array: unpacked once into owned storage. Returns a result code.
int load_compressed(JbiMachine *m, uint32_t i, uint64_t offset, uint32_t block_length) {
  if (block_length < 4 || !jbi_span_ok(m->program_size, offset, block_length)) {
    return JBI_RC_FILE_ACCESS;
  }
  const uint32_t length = jbi_get_dword(m->program + offset);
  // Every group takes at least 9 bits of the stream and yields at most 255 bytes; a stated
  // length beyond that cannot come out of this block.
  const uint64_t most = (uint64_t{block_length - 4} * 8 / 9 + 1) * 255;
  if (length > most) return JBI_RC_FILE_ACCESS;
  auto *buffer = static_cast<unsigned char *>(jbi_alloc_storage(length == 0 ? 1 : length));
  if (buffer == nullptr) return JBI_RC_OUT_OF_MEMORY;
  m->variables[i] = reinterpret_cast<intptr_t>(buffer);
  m->attributes[i] |= JBI_ATTR_OWNED;
  if (jbi_uncompress(m->program + offset, block_length, buffer, length, m->h.version) != length) {
    return JBI_RC_FILE_ACCESS;
  }
  m->variable_size[i] = static_cast<int32_t>(length * 8);
  return JBI_RC_SUCCESS;
}

// One symbol's entry of the variable table. Returns a result code.
int load_symbol(JbiMachine *m, uint32_t i) {
  const unsigned char *entry = m->program + m->h.symbol_table + uint64_t{symbol_entry_size(m)} * i;
  const int wide = 2 * m->h.version;
  const uint8_t attr = entry[0] & 0x7F;
  const uint32_t value = jbi_be32(entry + 3 + wide);
  const int32_t size = static_cast<int32_t>(jbi_be32(entry + 7 + wide));
  m->attributes[i] = attr;
  m->variable_size[i] = size;
  const uint64_t offset = uint64_t{m->h.data_section} + value;

  if ((attr & 0x0C) == 0x04) {  // scalar with initial value
    m->variables[i] = static_cast<int32_t>(value);
    return JBI_RC_SUCCESS;
  }
  if ((attr & 0x1E) == 0x0E) return load_compressed(m, i, offset, static_cast<uint32_t>(size));
  if ((attr & 0x1E) == 0x0C || (attr & 0x1C) == 0x1C) {  // initial data used in place
    const uint64_t bytes = (attr & JBI_ATTR_INTEGER)
                               ? uint64_t{4} * static_cast<uint32_t>(size)
                               : (uint64_t{static_cast<uint32_t>(size)} + 7) / 8;
    if (size < 0 || !jbi_span_ok(m->program_size, offset, bytes)) return JBI_RC_FILE_ACCESS;
    m->variables[i] = static_cast<intptr_t>(offset);
    return JBI_RC_SUCCESS;
  }
  if ((attr & 0x0C) == 0x08) {  // array without initial data
    m->attributes[i] |= JBI_ATTR_OWNED;
    if (size <= 0) return JBI_RC_SUCCESS;
    const uint64_t bytes = (attr & JBI_ATTR_INTEGER)
                               ? uint64_t{4} * static_cast<uint32_t>(size)
                               : (uint64_t{static_cast<uint32_t>(size)} + 7) / 8;
    void *storage = jbi_alloc_storage(bytes);
    if (storage == nullptr) return JBI_RC_OUT_OF_MEMORY;
    std::memset(storage, 0, bytes);
    m->variables[i] = reinterpret_cast<intptr_t>(storage);
    return JBI_RC_SUCCESS;
  }
  m->variables[i] = 0;  // scalar without initial value
  return JBI_RC_SUCCESS;
}

// Format 1: NAME=value sets every scalar symbol of that name. Array symbols keep their
// storage: a number in place of it would leave the array unusable and its memory lost.
void apply_initial_values(JbiMachine *m, const char *const *init_list) {
  for (; *init_list != nullptr; ++init_list) {
    int32_t value;
    if (!split_init_entry(m, *init_list, &value)) continue;
    for (uint32_t i = 0; i < m->h.symbol_count; ++i) {
      const unsigned char *entry =
          m->program + m->h.symbol_table + uint64_t{symbol_entry_size(m)} * i;
      const char *name =
          jbi_file_string(m->program, m->program_size, m->h.string_table, jbi_be16(entry + 1));
      if (name == nullptr) {
        m->status = JBI_RC_FILE_ACCESS;
        return;
      }
      if (jbi_stricmp(m->message_buffer, name) == 0 && !(m->attributes[i] & JBI_ATTR_ARRAY)) {
        m->variables[i] = value;
      }
    }
  }
}

// Format 2: the action's procedure chain, with the caller's choices applied. Returns the
// action's first procedure index, or sets status (24 no such action, 2 broken tables).
bool choose_action(JbiMachine *m, const char *action, const char *const *init_list,
                   uint32_t *first) {
  if (action == nullptr) {
    m->status = JBI_RC_ACTION_NOT_FOUND;
    return false;
  }
  const JbiHeader &h = m->h;
  bool found = false;
  for (uint32_t i = 0; i < h.action_count && !found; ++i) {
    const unsigned char *entry = m->program + h.action_table + uint64_t{kActionEntrySize} * i;
    const char *name =
        jbi_file_string(m->program, m->program_size, h.string_table, jbi_be32(entry));
    if (name == nullptr) {
      m->status = JBI_RC_FILE_ACCESS;
      return false;
    }
    if (jbi_stricmp(name, action) == 0) {
      found = true;
      *first = jbi_be32(entry + 8);
    }
  }
  if (!found) {
    m->status = JBI_RC_ACTION_NOT_FOUND;
    return false;
  }
  // Each procedure can be visited once; a longer walk has met a loop in the chain.
  uint32_t steps = 0;
  for (uint32_t i = *first;;) {
    if (i >= h.proc_count || ++steps > h.proc_count) {
      m->status = JBI_RC_FILE_ACCESS;
      return false;
    }
    const unsigned char *entry = proc_entry(m, i);
    const char *name =
        jbi_file_string(m->program, m->program_size, h.string_table, jbi_be32(entry));
    if (name == nullptr) {
      m->status = JBI_RC_FILE_ACCESS;
      return false;
    }
    m->proc_attributes[i] = entry[8] & 3;
    if (m->proc_attributes[i] != 0 && init_list != nullptr) {
      for (const char *const *e = init_list; *e != nullptr; ++e) {
        int32_t value;
        if (split_init_entry(m, *e, &value) && jbi_stricmp(m->message_buffer, name) == 0) {
          m->proc_attributes[i] |= value == 0 ? JBI_PROC_SKIP : JBI_PROC_RUN;
        }
      }
    }
    i = jbi_be32(entry + 4);
    if (!chain_continues(m, i)) break;
  }
  return true;
}

void enter_procedure(JbiMachine *m, uint32_t index) {
  m->current_proc = static_cast<int32_t>(index);
  jbi_jump(m, jbi_be32(proc_entry(m, index) + 9));
}

}  // namespace

void *jbi_alloc_storage(uint64_t bytes) {
  if (bytes == 0 || bytes > JBI_MAX_STORAGE_BYTES) return nullptr;
  return jbi_malloc(static_cast<unsigned int>(bytes));
}

void jbi_jump(JbiMachine *m, uint32_t offset) {
  const uint32_t target = m->h.code_section + offset;  // 32-bit arithmetic, as the file's
  if (target < m->h.code_section || target >= m->h.debug_section) {
    m->status = JBI_RC_BOUNDS;
    return;
  }
  m->pc = target;
}

void jbi_start_run(JbiMachine *m, const char *action, const char *const *init_list) {
  if (!jbi_read_header(m->program, m->program_size, &m->h) || !tables_fit(m)) {
    m->status = JBI_RC_FILE_ACCESS;
  } else if (!allocate_tables(m)) {
    m->status = JBI_RC_OUT_OF_MEMORY;
  } else {
    for (uint32_t i = 0; i < m->h.symbol_count; ++i) {
      const int result = load_symbol(m, i);
      if (result != JBI_RC_SUCCESS) m->status = result;
    }
    if (m->status == 0 && m->h.version == 0 && init_list != nullptr) {
      apply_initial_values(m, init_list);
    }
  }
  if (m->status != 0) m->done = 1;
  // Also after a failed start-up: the engine then holds no state of an earlier run, so the
  // clean-up's optional reset never clocks a TAP this file did not touch.
  jbi_init_jtag();
  m->pc = m->h.code_section;
  m->message_buffer[0] = '\0';

  uint32_t first = 0;
  if (m->status == 0 && m->h.version == 1 && choose_action(m, action, init_list, &first)) {
    for (uint32_t i = first;;) {
      if (runnable(m, i)) {
        enter_procedure(m, i);
        break;
      }
      i = jbi_be32(proc_entry(m, i) + 4);
      if (!chain_continues(m, i)) {
        m->done = 1;  // nothing of the action runs: complete at once, exit code untouched
        break;
      }
    }
  }
  if (m->status != 0) m->done = 1;
  m->message_buffer[0] = '\0';
  m->message_length = 0;
}

void jbi_next_procedure(JbiMachine *m) {
  uint32_t i = static_cast<uint32_t>(m->current_proc);
  for (;;) {
    i = jbi_be32(proc_entry(m, i) + 4);
    if (!chain_continues(m, i)) {
      *m->exit_code = 0;
      m->done = 1;
      return;
    }
    if (runnable(m, i)) {
      enter_procedure(m, i);
      return;
    }
  }
}

void jbi_end_run(JbiMachine *m, int reset_jtag) {
  jbi_free_jtag_padding_buffers(reset_jtag);
  if (m->attributes != nullptr && m->variables != nullptr) {
    for (uint32_t i = 0; i < m->h.symbol_count; ++i) {
      if ((m->attributes[i] & JBI_ATTR_OWNED) && m->variables[i] != 0) {
        jbi_free(reinterpret_cast<void *>(m->variables[i]));
      }
    }
  }
  jbi_free(m->variables);
  jbi_free(m->variable_size);
  jbi_free(m->attributes);
  jbi_free(m->proc_attributes);
  m->variables = nullptr;
  m->variable_size = nullptr;
  m->attributes = nullptr;
  m->proc_attributes = nullptr;
}
