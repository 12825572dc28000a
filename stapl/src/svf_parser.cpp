#include "stapl/src/svf_parser.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "stapl/src/svf_tap.h"

namespace {

enum TokenKind { TOKEN_END, TOKEN_WORD, TOKEN_DATA, TOKEN_SEMICOLON, TOKEN_BAD };

struct Token {
  TokenKind kind;
  const char *text;
  int64_t length;
  int line;
};

struct CommandName {
  const char *name;
  SVF_COMMAND command;
};

const CommandName command_names[] = {
    {"ENDDR", SVF_ENDDR},   {"ENDIR", SVF_ENDIR},     {"FREQUENCY", SVF_FREQUENCY},
    {"HDR", SVF_HDR},       {"HIR", SVF_HIR},         {"PIO", SVF_PIO},
    {"PIOMAP", SVF_PIOMAP}, {"RUNTEST", SVF_RUNTEST}, {"SDR", SVF_SDR},
    {"SIR", SVF_SIR},       {"STATE", SVF_STATE},     {"TDR", SVF_TDR},
    {"TIR", SVF_TIR},       {"TRST", SVF_TRST},
};

bool is_word_char(char c) {
  return !std::isspace(static_cast<unsigned char>(c)) && c != ';' && c != '(' && c != ')' &&
         c != '!';
}

bool word_is(const Token &t, const char *upper) {
  if (t.kind != TOKEN_WORD) return false;
  const int64_t n = static_cast<int64_t>(std::strlen(upper));
  if (t.length != n) return false;
  for (int64_t i = 0; i < n; ++i)
    if (std::toupper(static_cast<unsigned char>(t.text[i])) != upper[i]) return false;
  return true;
}

Token next_token(SVF_PARSER *p) {
  for (;;) {
    if (p->pos >= p->size) return {TOKEN_END, nullptr, 0, p->line};
    const char c = p->text[p->pos];
    if (c == '\n') {
      ++p->line;
      ++p->pos;
    } else if (std::isspace(static_cast<unsigned char>(c))) {
      ++p->pos;
    } else if (c == '!' || (c == '/' && p->pos + 1 < p->size && p->text[p->pos + 1] == '/')) {
      while (p->pos < p->size && p->text[p->pos] != '\n') ++p->pos;
    } else {
      break;
    }
  }
  const int line = p->line;
  const char c = p->text[p->pos];
  if (c == ';') {
    ++p->pos;
    return {TOKEN_SEMICOLON, p->text + p->pos - 1, 1, line};
  }
  if (c == '(') {
    // Data runs to megabytes: the library's searches beat a loop over its characters.
    const int64_t start = ++p->pos;
    const char *from = p->text + start;
    const auto *close =
        static_cast<const char *>(std::memchr(from, ')', static_cast<size_t>(p->size - start)));
    const char *end = close != nullptr ? close : p->text + p->size;
    for (const char *nl = from;
         (nl = static_cast<const char *>(std::memchr(nl, '\n', static_cast<size_t>(end - nl))));
         ++nl)
      ++p->line;
    if (close == nullptr) {
      p->pos = p->size;
      return {TOKEN_BAD, p->text + start - 1, 1, line};
    }
    p->pos = close - p->text + 1;
    return {TOKEN_DATA, from, close - from, line};
  }
  if (c == ')') {
    ++p->pos;
    return {TOKEN_BAD, p->text + p->pos - 1, 1, line};
  }
  const int64_t start = p->pos;
  while (p->pos < p->size && is_word_char(p->text[p->pos])) {
    // "//" ends a word as it starts a comment.
    if (p->text[p->pos] == '/' && p->pos + 1 < p->size && p->text[p->pos + 1] == '/') break;
    ++p->pos;
  }
  return {TOKEN_WORD, p->text + start, p->pos - start, line};
}

// Errors name what was found, cut short.
int fail(char *error, int size, const char *what, const Token &t) {
  if (t.kind == TOKEN_END)
    std::snprintf(error, static_cast<size_t>(size), "%s, found the end of the file", what);
  else if (t.kind == TOKEN_SEMICOLON)
    std::snprintf(error, static_cast<size_t>(size), "%s, found ';'", what);
  else
    std::snprintf(error, static_cast<size_t>(size), "%s, found '%.*s'", what,
                  static_cast<int>(t.length > 24 ? 24 : t.length), t.text);
  return -1;
}

bool read_number(const Token &t, double *value) {
  if (t.kind != TOKEN_WORD || t.length == 0 || t.length > 63) return false;
  char text[64];
  std::memcpy(text, t.text, static_cast<size_t>(t.length));
  text[t.length] = 0;
  char *end = nullptr;
  const double v = std::strtod(text, &end);
  if (*end != 0 || !std::isfinite(v) || v < 0) return false;
  // strtod also reads "inf", "nan" and hexadecimal forms; SVF numbers start with a digit or '.'.
  if (!std::isdigit(static_cast<unsigned char>(text[0])) && text[0] != '.') return false;
  *value = v;
  return true;
}

bool read_length(const Token &t, uint32_t *length) {
  if (t.kind != TOKEN_WORD || t.length == 0 || t.length > 10) return false;
  uint64_t v = 0;
  for (int64_t i = 0; i < t.length; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(t.text[i]))) return false;
    v = v * 10 + static_cast<uint64_t>(t.text[i] - '0');
  }
  if (v > SVF_MAX_SCAN_BITS) return false;
  *length = static_cast<uint32_t>(v);
  return true;
}

JBIE_JTAG_STATE read_state(const Token &t) {
  if (t.kind != TOKEN_WORD || t.length > 16) return JBI_ILLEGAL_JTAG_STATE;
  return svf_state_from_name(t.text, static_cast<int>(t.length));
}

// What each character is in bit data: a digit's value, a blank, or neither.
constexpr int8_t hex_blank = -1;
constexpr int8_t hex_bad = -2;
struct HexTable {
  int8_t kind[256];
  constexpr HexTable() : kind() {
    for (int c = 0; c < 256; ++c) kind[c] = hex_bad;
    for (int c = '0'; c <= '9'; ++c) kind[c] = static_cast<int8_t>(c - '0');
    for (int c = 'a'; c <= 'f'; ++c) kind[c] = static_cast<int8_t>(c - 'a' + 10);
    for (int c = 'A'; c <= 'F'; ++c) kind[c] = static_cast<int8_t>(c - 'A' + 10);
    // The blanks of isspace in the C locale.
    kind[static_cast<unsigned char>(' ')] = hex_blank;
    for (int c = '\t'; c <= '\r'; ++c) kind[c] = hex_blank;
  }
};
constexpr HexTable hex_table;

inline int hex_kind(char c) { return hex_table.kind[static_cast<unsigned char>(c)]; }

// Hex digits only, and no set bit at or beyond `length`.
bool check_hex(SVF_HEX hex, uint32_t length, const char **why) {
  int64_t digits = 0;
  int64_t top_at = -1;  // ordinal of the most significant non-zero digit
  int top = 0;
  for (int64_t i = 0; i < hex.length; ++i) {
    const int v = hex_kind(hex.text[i]);
    if (v < 0) {
      if (v == hex_blank) continue;
      *why = "data that is not hexadecimal";
      return false;
    }
    if (v != 0 && top_at < 0) {
      top = v;
      top_at = digits;
    }
    ++digits;
  }
  if (digits == 0) {
    *why = "empty data";
    return false;
  }
  if (top_at < 0) return true;
  const int64_t digits_after_top = digits - 1 - top_at;
  int top_bit = 3;
  while ((top >> top_bit) == 0) --top_bit;
  const uint64_t highest =
      static_cast<uint64_t>(digits_after_top) * 4 + static_cast<uint64_t>(top_bit);
  if (highest >= length) {
    *why = "data with set bits beyond the length";
    return false;
  }
  return true;
}

int parse_scan(SVF_PARSER *p, SVF_STATEMENT *st, char *error, int size) {
  Token t = next_token(p);
  if (!read_length(t, &st->length))
    return fail(error, size, "a scan length (0 to 1073741824 bits) expected", t);
  for (t = next_token(p); t.kind != TOKEN_SEMICOLON; t = next_token(p)) {
    SVF_HEX *field = nullptr;
    if (word_is(t, "TDI"))
      field = &st->tdi;
    else if (word_is(t, "TDO"))
      field = &st->tdo;
    else if (word_is(t, "MASK"))
      field = &st->mask;
    else if (word_is(t, "SMASK"))
      field = &st->smask;
    else
      return fail(error, size, "TDI, TDO, MASK, SMASK or ';' expected", t);
    if (field->text != nullptr) return fail(error, size, "each of TDI, TDO, MASK, SMASK once", t);
    const Token data = next_token(p);
    if (data.kind != TOKEN_DATA)
      return fail(error, size, "'(' with hexadecimal data expected", data);
    field->text = data.text;
    field->length = data.length;
    const char *why = nullptr;
    if (!check_hex(*field, st->length, &why)) {
      std::snprintf(error, static_cast<size_t>(size), "%.*s has %s", static_cast<int>(t.length),
                    t.text, why);
      return -1;
    }
  }
  return 1;
}

// "RUNTEST [run_state] (count TCK|SCK [time SEC] | time SEC) [MAXIMUM time SEC]
// [ENDSTATE end_state]"
int parse_runtest(SVF_PARSER *p, SVF_STATEMENT *st, char *error, int size) {
  Token t = next_token(p);
  st->run_state = read_state(t);
  if (st->run_state != JBI_ILLEGAL_JTAG_STATE) t = next_token(p);
  double number = 0;
  if (!read_number(t, &number)) return fail(error, size, "a count or a time expected", t);
  Token unit = next_token(p);
  if (word_is(unit, "TCK") || word_is(unit, "SCK")) {
    st->run_count = number;
    st->run_clock_is_tck = word_is(unit, "TCK");
    t = next_token(p);
    if (read_number(t, &number)) {
      unit = next_token(p);
      if (!word_is(unit, "SEC")) return fail(error, size, "SEC expected", unit);
      st->min_time = number;
      t = next_token(p);
    }
  } else if (word_is(unit, "SEC")) {
    st->min_time = number;
    t = next_token(p);
  } else {
    return fail(error, size, "TCK, SCK or SEC expected", unit);
  }
  if (word_is(t, "MAXIMUM")) {
    t = next_token(p);
    if (!read_number(t, &number)) return fail(error, size, "a time expected", t);
    unit = next_token(p);
    if (!word_is(unit, "SEC")) return fail(error, size, "SEC expected", unit);
    st->max_time = number;
    t = next_token(p);
  }
  if (word_is(t, "ENDSTATE")) {
    t = next_token(p);
    st->end_state = read_state(t);
    if (st->end_state == JBI_ILLEGAL_JTAG_STATE) return fail(error, size, "a state expected", t);
    t = next_token(p);
  }
  if (t.kind != TOKEN_SEMICOLON) return fail(error, size, "';' expected", t);
  return 1;
}

}  // namespace

void svf_parser_init(SVF_PARSER *parser, const char *text, int64_t size) {
  parser->text = text;
  parser->size = size;
  parser->pos = 0;
  parser->line = 1;
}

int svf_parse_next(SVF_PARSER *p, SVF_STATEMENT *st, char *error, int size) {
  std::memset(st, 0, sizeof *st);
  st->run_state = st->end_state = JBI_ILLEGAL_JTAG_STATE;
  st->run_count = st->min_time = st->max_time = st->frequency = -1;
  Token t = next_token(p);
  st->line = t.line;
  if (t.kind == TOKEN_END) return 0;
  bool known = false;
  for (const CommandName &c : command_names) {
    if (word_is(t, c.name)) {
      st->command = c.command;
      known = true;
    }
  }
  if (!known) return fail(error, size, "an SVF command expected", t);

  switch (st->command) {
    case SVF_SIR:
    case SVF_SDR:
    case SVF_HIR:
    case SVF_TIR:
    case SVF_HDR:
    case SVF_TDR:
      return parse_scan(p, st, error, size);
    case SVF_ENDIR:
    case SVF_ENDDR:
      t = next_token(p);
      st->states[0] = read_state(t);
      st->state_count = 1;
      if (!svf_is_stable(st->states[0]))
        return fail(error, size, "IDLE, RESET, DRPAUSE or IRPAUSE expected", t);
      t = next_token(p);
      if (t.kind != TOKEN_SEMICOLON) return fail(error, size, "';' expected", t);
      return 1;
    case SVF_STATE:
      for (t = next_token(p); t.kind != TOKEN_SEMICOLON; t = next_token(p)) {
        const JBIE_JTAG_STATE s = read_state(t);
        if (s == JBI_ILLEGAL_JTAG_STATE) return fail(error, size, "a state or ';' expected", t);
        if (st->state_count == SVF_MAX_PATH)
          return fail(error, size, "a path of at most 32 states", t);
        st->states[st->state_count++] = s;
      }
      if (st->state_count == 0) return fail(error, size, "a state expected", t);
      return 1;
    case SVF_RUNTEST:
      return parse_runtest(p, st, error, size);
    case SVF_FREQUENCY:
      t = next_token(p);
      if (t.kind == TOKEN_SEMICOLON) return 1;
      if (!read_number(t, &st->frequency)) return fail(error, size, "a frequency expected", t);
      t = next_token(p);
      if (!word_is(t, "HZ")) return fail(error, size, "HZ expected", t);
      t = next_token(p);
      if (t.kind != TOKEN_SEMICOLON) return fail(error, size, "';' expected", t);
      return 1;
    case SVF_TRST:
      t = next_token(p);
      if (!word_is(t, "ON") && !word_is(t, "OFF") && !word_is(t, "Z") && !word_is(t, "ABSENT"))
        return fail(error, size, "ON, OFF, Z or ABSENT expected", t);
      t = next_token(p);
      if (t.kind != TOKEN_SEMICOLON) return fail(error, size, "';' expected", t);
      return 1;
    case SVF_PIO:
    case SVF_PIOMAP:
      // Read to its end so that the player can name the statement it refuses.
      do {
        t = next_token(p);
      } while (t.kind != TOKEN_SEMICOLON && t.kind != TOKEN_END && t.kind != TOKEN_BAD);
      if (t.kind != TOKEN_SEMICOLON) return fail(error, size, "';' expected", t);
      return 1;
  }
  return fail(error, size, "an SVF command expected", t);
}

void svf_hex_to_bits(SVF_HEX hex, uint32_t length, uint8_t *bits) {
  if (length == 0) return;
  const size_t bytes = (static_cast<size_t>(length) + 7) / 8;
  // Two digits make a byte, the last digit its low half; the parser has made sure that no
  // digit reaching past `length` has a set bit.
  size_t filled = 0;
  unsigned low = 0;
  bool have_low = false;
  for (int64_t i = hex.length; i-- > 0 && filled < bytes;) {
    const int v = hex_kind(hex.text[i]);
    if (v < 0) continue;
    if (!have_low) {
      low = static_cast<unsigned>(v);
      have_low = true;
    } else {
      bits[filled++] = static_cast<uint8_t>(low | static_cast<unsigned>(v) << 4);
      have_low = false;
    }
  }
  if (have_low && filled < bytes) bits[filled++] = static_cast<uint8_t>(low);
  std::memset(bits + filled, 0, bytes - filled);
}
