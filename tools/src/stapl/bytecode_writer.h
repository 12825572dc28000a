// Lays a Program out as a byte-code file.
//
// Order in the file: header, string table, note strings, note table, action table (format 2),
// procedure table (format 2), symbol table, data section, code section, then the stored CRC.
// The debug section is empty, so it starts where the CRC does.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/src/stapl/bytecode_program.h"

namespace stapl {

struct WriteResult {
  std::vector<uint8_t> bytes;  // the file, when `error` is empty
  std::string error;
};

// The program's string pool is extended with the names and descriptions the tables need;
// offsets the code already uses stay valid.
WriteResult write_bytecode(Program &program);

}  // namespace stapl
