// What the byte-code player offers its host: result codes and their texts, the file queries,
// the string and byte routines, the interpreter entry point, and the host services that the
// program linking the player supplies (printing, export, memory).
//
// The player reads the caller's image in place and never writes to it, so every routine takes
// the image as a pointer to const bytes; strings it hands back (names, descriptions) point into
// that image.
#pragma once

#include <cstdint>

// ---- Result codes ------------------------------------------------------------------------
// One code space for the queries, the interpreter and the scan engine; error_text[code] is
// the text the download driver prints.
enum {
  JBI_RC_SUCCESS = 0,
  JBI_RC_OUT_OF_MEMORY = 1,
  JBI_RC_FILE_ACCESS = 2,
  JBI_RC_SYNTAX = 3,
  JBI_RC_UNEXPECTED_END = 4,
  JBI_RC_UNDEFINED_SYMBOL = 5,
  JBI_RC_REDEFINED_SYMBOL = 6,
  JBI_RC_INTEGER_OVERFLOW = 7,
  JBI_RC_DIVIDE_BY_ZERO = 8,
  JBI_RC_CRC_MISMATCH = 9,
  JBI_RC_INTERNAL = 10,
  JBI_RC_BOUNDS = 11,
  JBI_RC_TYPE_MISMATCH = 12,
  JBI_RC_ASSIGN_TO_CONSTANT = 13,
  JBI_RC_NEXT_UNEXPECTED = 14,
  JBI_RC_POP_UNEXPECTED = 15,
  JBI_RC_RETURN_UNEXPECTED = 16,
  JBI_RC_ILLEGAL_SYMBOL = 17,
  JBI_RC_VECTOR_SIGNAL = 18,
  JBI_RC_CANCELLED = 19,
  JBI_RC_STACK_OVERFLOW = 20,
  JBI_RC_ILLEGAL_OPCODE = 21,
  JBI_RC_PHASE = 22,
  JBI_RC_SCOPE = 23,
  JBI_RC_ACTION_NOT_FOUND = 24,
};
constexpr int JBI_RC_COUNT = 25;

extern const char *const error_text[JBI_RC_COUNT];

// ---- File queries ------------------------------------------------------------------------
// A node of an action's procedure list. Nodes come one by one from jbi_malloc; the caller frees
// each with jbi_free. `name` points into the image and is never freed.
struct JBI_PROCINFO {
  const char *name;
  uint8_t attributes;  // 0 always runs, 1 optional, 2 or 3 recommended
  JBI_PROCINFO *next;
};

// 0 when the stored CRC matches the bytes before it, 9 when not (both outputs written),
// 2 for an unrecognised block or a CRC that lies beyond the block (no output written).
int jbi_check_crc(const unsigned char *program, int32_t program_size, uint16_t *expected_crc,
                  uint16_t *actual_crc);

// 0 or 2. Writes *format_version (1 or 2) on success; the two counts only for format 2.
int jbi_get_file_info(const unsigned char *program, int32_t program_size, int *format_version,
                      int *action_count, int *procedure_count);

// Cursor mode (offset not null): delivers note *offset and advances the cursor.
// Lookup mode (offset null): finds the first note whose key equals `key` regardless of case.
// Copies at most `length` bytes into key/value (NUL only when the text is shorter).
// 0, 2 (unrecognised block) or 4 (no such note).
int jbi_get_note(const unsigned char *program, int32_t program_size, int32_t *offset, char *key,
                 char *value, int length);

// Format 2 only. Writes *name, *description only when the action has one, and appends one
// node per procedure of the action's chain to *procedure_list. 0, 1 (a node is missing) or 2.
// An action whose entry is readable but whose chain is not (it loops or leaves the block)
// still gets *name and *description written, and 2 with no node.
int jbi_get_action_info(const unsigned char *program, int32_t program_size, int index,
                        const char **name, const char **description, JBI_PROCINFO **procedure_list);

// ---- String and byte routines (used throughout the player instead of <cstring>) ----------
int jbi_strlen(const char *string);
int32_t jbi_atol(const char *buffer);
void jbi_ltoa(char *buffer, int32_t number);  // buffer holds at least 12 bytes
char jbi_toupper(int ch);
int jbi_stricmp(const char *left, const char *right);
void jbi_strncpy(char *left, const char *right, int count);
void jbi_make_dword(unsigned char *buf, uint32_t num);  // little-endian
uint32_t jbi_get_dword(const unsigned char *buf);       // little-endian

// ---- Interpreter -------------------------------------------------------------------------
// Runs a format 1 program from its first instruction, or the procedures of `action` of a
// format 2 program. init_list is a null-terminated list of "NAME=value" texts, or null.
// Everything the run allocates is released before it returns, on every path.
int jbi_execute(const unsigned char *program, long program_size, const char *action,
                const char *const *init_list, int reset_jtag, long *error_address, int *exit_code,
                int *format_version);

// Instruction budget for harnesses that run untrusted programs (fuzz targets, `stapl run
// --max-steps`). 0, the default, means no limit: a byte-code program may legitimately loop
// until it exits. When the limit is reached the run ends with JBI_RC_CANCELLED at the
// instruction that would have exceeded it.
extern long jbi_instruction_limit;

// ---- Stopping a run from outside -------------------------------------------------------
// jbi_request_stop asks the run in progress to end: the interpreter looks before every
// instruction it does not execute inline (the JTAG, print, export and array ones among them)
// and at least every 16384 instructions, and the scan engine every 4096 TCK cycles of a long
// scan or wait and every 10 ms of a timed wait, so the run ends within milliseconds with
// JBI_RC_CANCELLED at the instruction it was executing, after releasing everything as on any
// other error. It only sets a lock-free atomic flag, so it is safe from another thread or a
// signal handler.
//
// The request is sticky: it stays set, and refuses every run started afterwards (with
// JBI_RC_CANCELLED before the first instruction), until the host calls jbi_clear_stop. A host
// that shuts down therefore stops a run that is about to start as surely as one that is under
// way, provided it never clears the flag once it is stopping. A host that wants to run clears
// the flag first, before it decides to start the run, never after a stop may have been asked.
void jbi_request_stop(void);
void jbi_clear_stop(void);
// True while a stop request is set.
bool jbi_stop_requested(void);

// Instruction and data register bits shifted by every run of this process so far, counted
// as the scan engine clocks them (in pieces of at most 4096 within a long scan). Any thread
// may read it while a run goes on; a host showing a run's progress takes the difference
// from the value it read when the run started.
uint64_t jbi_bits_shifted(void);

// ---- Budgets of a run --------------------------------------------------------------------
// Wall-clock seconds one run may take (0, the default, means no limit). The clock is read
// every 16384 instructions, every 4096 TCK cycles of a long scan or wait and every 10 ms of a
// timed wait, so a run ends soon after its time, with JBI_RC_CANCELLED.
extern long jbi_time_limit;

// Which budget ended the last run of jbi_execute, so the host can tell a looping file from a
// broken board. JBI_END_NONE when the run ended for any other reason.
enum {
  JBI_END_NONE = 0,
  JBI_END_STOP = 1,          // jbi_request_stop (result 19)
  JBI_END_INSTRUCTIONS = 2,  // jbi_instruction_limit (result 19)
  JBI_END_TCK = 3,           // jbi_tck_limit (result 19)
  JBI_END_TIME = 4,          // jbi_time_limit (result 19)
  JBI_END_MEMORY = 5,        // jbi_memory_budget (result 1)
};
int jbi_run_end_cause(void);

// ---- Host services (supplied by the program that links the player) -----------------------
extern int verbose;  // when 0 the export services print nothing

void jbi_message(const char *message_text);
void jbi_export_integer(const char *key, int32_t value);
void jbi_export_boolean_array(const char *key, const unsigned char *data, int32_t count);
char conv_to_hex(int value);
void *jbi_malloc(unsigned int size);
void jbi_free(void *ptr);
