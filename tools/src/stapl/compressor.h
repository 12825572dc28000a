// The compressor for Boolean array data: the inverse of the player's expander.
//
// Block: a 4-byte little-endian expanded length, then groups written least significant bit
// first across byte boundaries. Flag 0 and three literal bytes (only those still missing at
// the end), or flag 1, a back-reference offset whose width grows with the output produced so
// far (bits of min(produced, window)), and an 8-bit length.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace stapl {

// Compresses `data` for a file of `format_version` 1 (window 8192) or 2 (window 8191).
// The parse is chosen for the fewest bits: the result never needs more than 25 bits per
// three input bytes, plus the 4-byte length and a final partial byte.
std::vector<uint8_t> compress_block(std::span<const uint8_t> data, int format_version);

}  // namespace stapl
