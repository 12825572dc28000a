// The assembler: the readable text form (described in README.md) to a Program.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tools/src/stapl/bytecode_program.h"

namespace stapl {

struct AsmResult {
  Program program;                  // complete only when `errors` is empty
  std::vector<std::string> errors;  // "NAME:LINE: message", in source order
};

// `source_name` only prefixes the messages. Stops collecting after a screenful of errors.
AsmResult assemble(std::string_view source, const std::string &source_name);

}  // namespace stapl
