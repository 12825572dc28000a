// Reading SVF text one statement at a time. A statement runs to ';'; "!" and "//" start a
// comment to the end of the line; words are compared without letter case. Bit data stays in
// the text as hexadecimal (a span between the parentheses) until the player expands it, so
// reading a statement never allocates, whatever length it announces.
#pragma once

#include <cstdint>

#include "stapl/src/jbijtag.h"

enum SVF_COMMAND : int {
  SVF_ENDDR,
  SVF_ENDIR,
  SVF_FREQUENCY,
  SVF_HDR,
  SVF_HIR,
  SVF_PIO,
  SVF_PIOMAP,
  SVF_RUNTEST,
  SVF_SDR,
  SVF_SIR,
  SVF_STATE,
  SVF_TDR,
  SVF_TIR,
  SVF_TRST,
};

// The longest scan a statement may announce, in bits (128 MiB of data per bit string).
constexpr uint32_t SVF_MAX_SCAN_BITS = 1u << 30;
// The most states one STATE statement may list.
constexpr int SVF_MAX_PATH = 32;

// Hexadecimal digits (and blanks) between parentheses; `text` is null when absent.
struct SVF_HEX {
  const char *text;
  int64_t length;
};

struct SVF_STATEMENT {
  int line;  // where the statement's first word stands
  SVF_COMMAND command;
  // SIR, SDR, HIR, TIR, HDR, TDR
  uint32_t length;
  SVF_HEX tdi, tdo, mask, smask;
  // STATE: the path (the last is where it ends); ENDIR, ENDDR: states[0]
  JBIE_JTAG_STATE states[SVF_MAX_PATH];
  int state_count;
  // RUNTEST; a state absent is JBI_ILLEGAL_JTAG_STATE, a number absent is negative
  JBIE_JTAG_STATE run_state;
  JBIE_JTAG_STATE end_state;
  double run_count;
  int run_clock_is_tck;  // 1 TCK, 0 SCK (only meaningful with a run count)
  double min_time;
  double max_time;
  // FREQUENCY: cycles per second, negative when absent
  double frequency;
};

struct SVF_PARSER {
  const char *text;
  int64_t size;
  int64_t pos;
  int line;
};

void svf_parser_init(SVF_PARSER *parser, const char *text, int64_t size);

// Reads the next statement. 1 when one was read, 0 at the end of the text, -1 for text that
// is not SVF: `error` then holds the reason and `statement->line` the line it starts on.
int svf_parse_next(SVF_PARSER *parser, SVF_STATEMENT *statement, char *error, int error_size);

// Expands `hex` into `length` bits (bit 0, the first shifted, is the last digit's lowest
// bit), zero-filled above the digits given. `bits` holds (length + 7) / 8 bytes. The parser
// has already checked the digits and that no set bit lies beyond `length`.
void svf_hex_to_bits(SVF_HEX hex, uint32_t length, uint8_t *bits);
