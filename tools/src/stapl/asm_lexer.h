// Splits the assembler's source into logical lines and tokens.
//
// A logical line is one source line, or several joined by a backslash at the end; comments
// run from ';' or '#' (outside strings and characters) to the end of the line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace stapl {

struct Token {
  enum Kind { kIdent, kDirective, kNumber, kString, kPunct, kData, kEnd };
  Kind kind = kEnd;
  // identifier or directive (without the dot) as written; decoded string; raw array data
  // (the rest of the line after "= hex" or "= bin")
  std::string text;
  int64_t number = 0;  // kNumber; a character literal is its code
  char punct = 0;      // kPunct: one of : , = [ ]
  size_t column = 0;   // offset of the token in the line's text
};

struct SourceLine {
  int number = 0;             // first physical line
  std::string text;           // without comment and continuation marks
  std::vector<Token> tokens;  // ends with a kEnd token
  std::string error;          // set when the line cannot be split into tokens
};

std::vector<SourceLine> split_source(std::string_view source);

}  // namespace stapl
