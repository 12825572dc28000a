// Listing of a file's code section, one instruction per line with its offset from the start
// of the code section (the number the driver's "Error at address N" names).
#pragma once

#include <ostream>

#include "tools/src/stapl/file_view.h"

namespace stapl {

// Operands appear as the assembler reads them: symbols and TAP states by name, strings
// quoted, code offsets and plain numbers as numbers. Opcodes the machine does not know
// are shown with the operands it would still read; an instruction cut off by the end of
// the section is shown as such.
void print_disassembly(std::ostream &out, const FileView &file);

}  // namespace stapl
