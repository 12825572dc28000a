#include "tools/src/stapl/asm_lexer.h"

#include <cctype>

namespace stapl {
namespace {

bool ident_start(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool ident_char(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.';
}

// Removes a trailing comment; quotes and character literals may contain ';' and '#'.
std::string strip_comment(std::string_view line) {
  char quote = 0;
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (quote != 0) {
      if (c == '\\') {
        ++i;
      } else if (c == quote) {
        quote = 0;
      }
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == ';' || c == '#') {
      return std::string(line.substr(0, i));
    }
  }
  return std::string(line);
}

std::string lower(std::string s) {
  for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads one escape after a backslash at text[i]; advances i past it.
bool read_escape(const std::string &text, size_t &i, char &out, std::string &error) {
  if (i + 1 >= text.size()) {
    error = "unfinished escape sequence";
    return false;
  }
  char c = text[i + 1];
  i += 2;
  switch (c) {
    case 'n':
      out = '\n';
      return true;
    case 't':
      out = '\t';
      return true;
    case 'r':
      out = '\r';
      return true;
    case '0':
      out = '\0';
      return true;
    case '\\':
    case '"':
    case '\'':
      out = c;
      return true;
    case 'x': {
      int hi = i < text.size() ? hex_value(text[i]) : -1;
      int lo = i + 1 < text.size() ? hex_value(text[i + 1]) : -1;
      if (hi < 0 || lo < 0) {
        error = "\\x needs two hexadecimal digits";
        return false;
      }
      out = static_cast<char>(hi * 16 + lo);
      i += 2;
      return true;
    }
    default:
      error = std::string("unknown escape sequence \\") + c;
      return false;
  }
}

bool read_number(const std::string &text, size_t &i, int64_t &value, std::string &error) {
  size_t start = i;
  bool negative = false;
  if (text[i] == '-') {
    negative = true;
    ++i;
  }
  int base = 10;
  if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'b' || text[i + 1] == 'B')) {
    base = 2;
    i += 2;
  }
  size_t digits_start = i;
  uint64_t magnitude = 0;
  bool too_big = false;
  while (i < text.size() && (ident_char(text[i]))) {
    int d = hex_value(text[i]);
    if (text[i] == '_') {
      ++i;
      continue;
    }
    if (d < 0 || d >= base) {
      error = "bad digit '" + std::string(1, text[i]) + "' in number '" +
              text.substr(start, i - start + 1) + "'";
      return false;
    }
    magnitude = magnitude * base + d;
    if (magnitude > 0xFFFFFFFFull) too_big = true;
    ++i;
  }
  if (i == digits_start) {
    error = "number without digits";
    return false;
  }
  if (too_big || (negative && magnitude > 0x80000000ull)) {
    error = "number '" + text.substr(start, i - start) + "' does not fit in 32 bits";
    return false;
  }
  value = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
  return true;
}

// The string literal whose opening quote is text[i], escapes resolved; i ends after the
// closing quote.
bool read_string(const std::string &text, size_t &i, std::string &out, std::string &error) {
  ++i;
  while (true) {
    if (i >= text.size()) {
      error = "string without closing quote";
      return false;
    }
    if (text[i] == '"') {
      ++i;
      return true;
    }
    char ch = text[i];
    if (ch == '\\') {
      if (!read_escape(text, i, ch, error)) return false;
    } else {
      ++i;
    }
    out.push_back(ch);
  }
}

// The code of the character literal whose opening quote is text[i]; i ends after the
// closing quote.
bool read_char(const std::string &text, size_t &i, int64_t &value, std::string &error) {
  char ch = 0;
  if (i + 1 < text.size() && text[i + 1] == '\\') {
    ++i;
    if (!read_escape(text, i, ch, error)) return false;
  } else if (i + 1 < text.size() && text[i + 1] != '\'') {
    ch = text[i + 1];
    i += 2;
  } else {
    error = "empty character literal";
    return false;
  }
  if (i >= text.size() || text[i] != '\'') {
    error = "character literal without closing quote";
    return false;
  }
  ++i;
  value = static_cast<unsigned char>(ch);
  return true;
}

void tokenize(SourceLine &line) {
  const std::string &t = line.text;
  size_t i = 0;
  while (i < t.size()) {
    char c = t[i];
    if (std::isspace(static_cast<unsigned char>(c))) {
      ++i;
      continue;
    }
    Token tok;
    tok.column = i;
    if (c == '.' && i + 1 < t.size() && ident_start(t[i + 1])) {
      size_t j = i + 1;
      while (j < t.size() && ident_char(t[j])) ++j;
      tok.kind = Token::kDirective;
      tok.text = t.substr(i + 1, j - i - 1);
      i = j;
    } else if (ident_start(c)) {
      size_t j = i;
      while (j < t.size() && ident_char(t[j])) ++j;
      tok.kind = Token::kIdent;
      tok.text = t.substr(i, j - i);
      i = j;
      // Array data after "= hex" or "= bin" is digits, not tokens: keep it raw.
      bool after_equals = !line.tokens.empty() && line.tokens.back().kind == Token::kPunct &&
                          line.tokens.back().punct == '=';
      if (after_equals && (lower(tok.text) == "hex" || lower(tok.text) == "bin")) {
        line.tokens.push_back(std::move(tok));
        Token data;
        data.kind = Token::kData;
        data.column = i;
        data.text = t.substr(i);
        line.tokens.push_back(std::move(data));
        return;
      }
    } else if (std::isdigit(static_cast<unsigned char>(c)) ||
               (c == '-' && i + 1 < t.size() &&
                std::isdigit(static_cast<unsigned char>(t[i + 1])))) {
      tok.kind = Token::kNumber;
      if (!read_number(t, i, tok.number, line.error)) return;
    } else if (c == '"') {
      tok.kind = Token::kString;
      if (!read_string(t, i, tok.text, line.error)) return;
    } else if (c == '\'') {
      tok.kind = Token::kNumber;
      if (!read_char(t, i, tok.number, line.error)) return;
    } else if (c == ':' || c == ',' || c == '=' || c == '[' || c == ']') {
      tok.kind = Token::kPunct;
      tok.punct = c;
      ++i;
    } else {
      line.error = "unexpected character '" + std::string(1, c) + "'";
      return;
    }
    line.tokens.push_back(std::move(tok));
  }
}

}  // namespace

std::vector<SourceLine> split_source(std::string_view source) {
  std::vector<SourceLine> lines;
  SourceLine pending;
  bool continuing = false;
  int number = 0;
  size_t pos = 0;
  while (pos <= source.size()) {
    size_t end = source.find('\n', pos);
    if (end == std::string_view::npos) end = source.size();
    std::string_view raw = source.substr(pos, end - pos);
    ++number;
    if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
    std::string text = strip_comment(raw);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
    bool more = !text.empty() && text.back() == '\\';
    if (more) text.pop_back();
    if (!continuing) {
      pending = SourceLine{};
      pending.number = number;
    } else {
      pending.text += ' ';
    }
    pending.text += text;
    continuing = more;
    if (!continuing) {
      tokenize(pending);
      pending.tokens.push_back(Token{});  // kEnd
      pending.tokens.back().column = pending.text.size();
      lines.push_back(std::move(pending));
    }
    if (end == source.size()) break;
    pos = end + 1;
  }
  if (continuing) {
    tokenize(pending);
    pending.tokens.push_back(Token{});
    pending.tokens.back().column = pending.text.size();
    lines.push_back(std::move(pending));
  }
  return lines;
}

}  // namespace stapl
