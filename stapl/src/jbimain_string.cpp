// The player's own string and byte routines; the rest of the player uses these instead of
// the standard library's so that their exact behaviour (case folding of ASCII letters only,
// copies that stop without a NUL) is the same on every host.
#include "stapl/src/jbiexprt.h"

int jbi_strlen(const char *string) {
  int length = 0;
  while (string[length] != '\0') ++length;
  return length;
}

int32_t jbi_atol(const char *buffer) {
  uint32_t value = 0;  // wraps modulo 2^32 on long runs of digits
  for (; *buffer >= '0' && *buffer <= '9'; ++buffer) {
    value = value * 10u + static_cast<uint32_t>(*buffer - '0');
  }
  return static_cast<int32_t>(value);
}

void jbi_ltoa(char *buffer, int32_t number) {
  // Work on the magnitude as unsigned so that -2147483648 needs no special case.
  uint32_t magnitude =
      number < 0 ? 0u - static_cast<uint32_t>(number) : static_cast<uint32_t>(number);
  char digits[10];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + magnitude % 10u);
    magnitude /= 10u;
  } while (magnitude != 0);
  int at = 0;
  if (number < 0) buffer[at++] = '-';
  while (count > 0) buffer[at++] = digits[--count];
  buffer[at] = '\0';
}

char jbi_toupper(int ch) {
  const unsigned char byte = static_cast<unsigned char>(ch);
  if (byte >= 'a' && byte <= 'z') return static_cast<char>(byte - ('a' - 'A'));
  return static_cast<char>(byte);
}

int jbi_stricmp(const char *left, const char *right) {
  signed char l;
  signed char r;
  do {
    l = static_cast<signed char>(jbi_toupper(*left++));
    r = static_cast<signed char>(jbi_toupper(*right++));
  } while (l == r && l != '\0');
  return l - r;
}

void jbi_strncpy(char *left, const char *right, int count) {
  for (int i = 0; i < count; ++i) {
    left[i] = right[i];
    if (right[i] == '\0') break;
  }
}

void jbi_make_dword(unsigned char *buf, uint32_t num) {
  buf[0] = static_cast<unsigned char>(num);
  buf[1] = static_cast<unsigned char>(num >> 8);
  buf[2] = static_cast<unsigned char>(num >> 16);
  buf[3] = static_cast<unsigned char>(num >> 24);
}

uint32_t jbi_get_dword(const unsigned char *buf) {
  return uint32_t{buf[0]} | (uint32_t{buf[1]} << 8) | (uint32_t{buf[2]} << 16) |
         (uint32_t{buf[3]} << 24);
}
