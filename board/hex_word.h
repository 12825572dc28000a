// The register address and value words of the command-line tools (rwreg, chainmux).
#pragma once

#include <cctype>
#include <cstdint>

enum { HEX_WORD_OK, HEX_WORD_NO_DIGIT, HEX_WORD_TOO_WIDE };

// Reads a hexadecimal number the way the scan format "%x" does: leading blanks, an optional
// sign and "0x", digits up to the first non-digit. Unlike "%x" it refuses a number of more
// than 32 significant bits (leading zeros do not count) instead of cutting it down to a
// register or value that was never typed.
inline int scan_hex_word(const char *text, uint32_t *out) {
  auto is_hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
  while (std::isspace(static_cast<unsigned char>(*text))) ++text;
  const bool negative = *text == '-';
  if (*text == '-' || *text == '+') ++text;
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X') && is_hex(text[2])) text += 2;
  if (!is_hex(*text)) return HEX_WORD_NO_DIGIT;
  while (*text == '0') ++text;
  uint32_t parsed = 0;
  for (int digits = 0; is_hex(*text); ++text) {
    if (++digits > 8) return HEX_WORD_TOO_WIDE;
    const char c = static_cast<char>(std::toupper(static_cast<unsigned char>(*text)));
    parsed = parsed * 16 + static_cast<uint32_t>(c <= '9' ? c - '0' : c - 'A' + 10);
  }
  *out = negative ? 0u - parsed : parsed;
  return HEX_WORD_OK;
}
