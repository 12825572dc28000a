// The file queries the download driver runs before it executes a file: CRC check, format and
// counts, notes, and the actions with their procedure lists. Each is a plain read of the
// caller's block; an offset or count that would lead outside the block makes the file
// unrecognised (result 2) rather than being followed.
#include <algorithm>

#include "stapl/src/jbiexprt.h"
#include "stapl/src/jbimain_file.h"

const char *const error_text[JBI_RC_COUNT] = {
    "success",
    "out of memory",
    "file access error",
    "syntax error",
    "unexpected end of file",
    "undefined symbol",
    "redefined symbol",
    "integer overflow",
    "divide by zero",
    "CRC mismatch",
    "internal error",
    "bounds error",
    "type mismatch",
    "assignment to constant",
    "NEXT unexpected",
    "POP unexpected",
    "RETURN unexpected",
    "illegal symbol name",
    "vector signal name not found",
    "execution cancelled",
    "stack overflow",
    "illegal instruction code",
    "phase error",
    "scope error",
    "action not found",
};

namespace {

// CRC-16/X-25 (the HDLC frame check sequence), bit by bit.
uint16_t crc_x25(const unsigned char *data, uint32_t length) {
  uint32_t reg = 0xFFFF;
  for (uint32_t i = 0; i < length; ++i) {
    uint32_t byte = data[i];
    for (int bit = 0; bit < 8; ++bit, byte >>= 1) {
      reg = ((reg ^ byte) & 1) ? (reg >> 1) ^ 0x8408 : reg >> 1;
    }
  }
  return static_cast<uint16_t>(~reg);
}

constexpr uint32_t kNoteEntrySize = 8;
constexpr uint32_t kActionEntrySize = 12;
constexpr uint32_t kProcEntrySize = 13;

struct NoteEntry {
  const char *key;
  const char *value;
};

// Key and value of note `index`, or false when the entry or its strings lie outside the block.
bool read_note(const unsigned char *program, int64_t size, const JbiHeader &h, uint32_t index,
               NoteEntry *note) {
  const uint64_t at = h.note_table + uint64_t{kNoteEntrySize} * index;
  if (!jbi_span_ok(size, at, kNoteEntrySize)) return false;
  note->key = jbi_file_string(program, size, h.note_strings, jbi_be32(program + at));
  note->value = jbi_file_string(program, size, h.note_strings, jbi_be32(program + at + 4));
  return note->key != nullptr && note->value != nullptr;
}

// Procedure table entry `index`: its name and the fields the chain walk needs.
struct ProcEntry {
  const char *name;
  uint32_t next;
  uint8_t attributes;
};

bool read_proc(const unsigned char *program, int64_t size, const JbiHeader &h, uint32_t index,
               ProcEntry *proc) {
  if (index >= h.proc_count) return false;
  const uint64_t at = h.proc_table + uint64_t{kProcEntrySize} * index;
  if (!jbi_span_ok(size, at, kProcEntrySize)) return false;
  proc->name = jbi_file_string(program, size, h.string_table, jbi_be32(program + at));
  proc->next = jbi_be32(program + at + 4);
  proc->attributes = program[at + 8] & 3;
  return proc->name != nullptr;
}

}  // namespace

int jbi_check_crc(const unsigned char *program, int32_t program_size, uint16_t *expected_crc,
                  uint16_t *actual_crc) {
  JbiHeader h;
  if (!jbi_read_header(program, program_size, &h)) return JBI_RC_FILE_ACCESS;
  // Both bytes of the stored CRC must be in the block, not just the first.
  if (!jbi_span_ok(program_size, h.crc_section, 2)) return JBI_RC_FILE_ACCESS;
  const uint16_t stored = static_cast<uint16_t>(jbi_be16(program + h.crc_section));
  const uint16_t computed = crc_x25(program, h.crc_section);
  if (expected_crc != nullptr) *expected_crc = stored;
  if (actual_crc != nullptr) *actual_crc = computed;
  return stored == computed ? JBI_RC_SUCCESS : JBI_RC_CRC_MISMATCH;
}

int jbi_get_file_info(const unsigned char *program, int32_t program_size, int *format_version,
                      int *action_count, int *procedure_count) {
  JbiHeader h;
  if (!jbi_read_header(program, program_size, &h)) return JBI_RC_FILE_ACCESS;
  *format_version = h.version + 1;
  if (h.version == 1) {
    *action_count = static_cast<int>(h.action_count);
    *procedure_count = static_cast<int>(h.proc_count);
  }
  return JBI_RC_SUCCESS;
}

int jbi_get_note(const unsigned char *program, int32_t program_size, int32_t *offset, char *key,
                 char *value, int length) {
  JbiHeader h;
  if (!jbi_read_header(program, program_size, &h)) return JBI_RC_FILE_ACCESS;
  if (h.note_count == 0) return JBI_RC_UNEXPECTED_END;
  const int64_t count = h.note_count;
  NoteEntry note;
  if (offset != nullptr) {
    const int32_t i = *offset;
    if (i < 0 || i >= count) return JBI_RC_UNEXPECTED_END;
    if (!read_note(program, program_size, h, static_cast<uint32_t>(i), &note)) {
      return JBI_RC_FILE_ACCESS;
    }
    if (length > 0) {
      if (key != nullptr) jbi_strncpy(key, note.key, length);
      if (value != nullptr) jbi_strncpy(value, note.value, length);
    }
    *offset = i + 1;
    return JBI_RC_SUCCESS;
  }
  if (key == nullptr) return JBI_RC_UNEXPECTED_END;
  for (uint32_t i = 0; i < h.note_count; ++i) {
    if (!read_note(program, program_size, h, i, &note)) return JBI_RC_FILE_ACCESS;
    if (jbi_stricmp(key, note.key) == 0) {
      if (value != nullptr && length > 0) jbi_strncpy(value, note.value, length);
      return JBI_RC_SUCCESS;
    }
  }
  return JBI_RC_UNEXPECTED_END;
}

int jbi_get_action_info(const unsigned char *program, int32_t program_size, int index,
                        const char **name, const char **description,
                        JBI_PROCINFO **procedure_list) {
  JbiHeader h;
  if (!jbi_read_header(program, program_size, &h) || h.version != 1) return JBI_RC_FILE_ACCESS;
  if (index < 0 || static_cast<int64_t>(index) >= static_cast<int64_t>(h.action_count)) {
    return JBI_RC_FILE_ACCESS;
  }
  const uint64_t at = h.action_table + uint64_t{kActionEntrySize} * static_cast<uint32_t>(index);
  if (!jbi_span_ok(program_size, at, kActionEntrySize)) return JBI_RC_FILE_ACCESS;
  const char *action_name =
      jbi_file_string(program, program_size, h.string_table, jbi_be32(program + at));
  const uint32_t desc_id = jbi_be32(program + at + 4);
  const uint32_t first_proc = jbi_be32(program + at + 8);
  const bool has_description = desc_id < h.note_strings - h.string_table;
  const char *action_description =
      has_description ? jbi_file_string(program, program_size, h.string_table, desc_id) : nullptr;
  if (action_name == nullptr || (has_description && action_description == nullptr)) {
    return JBI_RC_FILE_ACCESS;
  }

  // The action exists, so its name is reported even when its chain is refused below: a lister
  // can then say which action is broken.
  *name = action_name;
  if (has_description) *description = action_description;

  // Walk the chain once to prove it is finite and readable before any node is built: a
  // chain can visit each procedure at most once, so a longer walk has met a loop. The count
  // comes from the file, so the walk is also capped by the entries the block can hold.
  ProcEntry proc;
  uint32_t steps = 0;
  const uint64_t entries_in_block = static_cast<uint64_t>(program_size) / kProcEntrySize + 1;
  const uint64_t max_steps = std::min<uint64_t>(h.proc_count, entries_in_block);
  for (uint32_t i = first_proc;; i = proc.next) {
    if (!read_proc(program, program_size, h, i, &proc) || ++steps > max_steps) {
      return JBI_RC_FILE_ACCESS;
    }
    if (proc.next == 0 || proc.next >= h.proc_count) break;
  }

  JBI_PROCINFO **tail = procedure_list;
  while (*tail != nullptr) tail = &(*tail)->next;
  int result = JBI_RC_SUCCESS;
  for (uint32_t i = first_proc;; i = proc.next) {
    read_proc(program, program_size, h, i, &proc);
    auto *node = static_cast<JBI_PROCINFO *>(jbi_malloc(sizeof(JBI_PROCINFO)));
    if (node == nullptr) {
      result = JBI_RC_OUT_OF_MEMORY;
    } else {
      node->name = proc.name;
      node->attributes = proc.attributes;
      node->next = nullptr;
      *tail = node;
      tail = &node->next;
    }
    if (proc.next == 0 || proc.next >= h.proc_count) break;
  }
  return result;
}
