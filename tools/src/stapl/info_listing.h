// `stapl info`: everything a byte-code file holds, in readable form.
#pragma once

#include <cstdint>
#include <ostream>
#include <span>
#include <string>

namespace stapl {

// Prints format, CRC check, header offsets, notes, actions with their procedures, the
// procedure and symbol tables and the disassembled code. Any block is accepted; parts that
// lie outside it are reported as such. Returns 0 for a recognised file whose CRC matches,
// 1 otherwise.
int print_info(std::ostream &out, std::span<const uint8_t> image, const std::string &name);

}  // namespace stapl
