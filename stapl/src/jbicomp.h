// Expansion of the compressed Boolean arrays of a byte-code file, and the bit reader under it.
//
// Block layout: a 4-byte little-endian expanded length, then groups read LSB first across
// byte boundaries. Flag 0: up to three literal bytes. Flag 1: a back-reference, offset of
// jbi_bits_required(min(produced, window)) bits, then an 8-bit length.
#pragma once

#include <cstdint>

// Bit reader state; reset by every jbi_uncompress.
extern uint32_t jbi_in_index;
extern uint32_t jbi_bits_avail;
extern uint32_t jbi_in_length;

// Number of binary digits of n (1 for 0).
unsigned int jbi_bits_required(unsigned int n);

// The next `bits` (1..16) bits of the stream at `buffer`, first bit read as bit 0.
// Trusts the caller that the bytes exist; jbi_uncompress does its own bounds keeping.
unsigned int jbi_read_packed(const uint8_t *buffer, unsigned int bits);

// Expands the `in_length`-byte block at `in` into `out` (`out_length` bytes, cleared first).
// `version` 0 is format 1 (window 8192), 1 is format 2 (window 8191).
// Returns the expanded length, or 0 when it does not fit `out`, or when the stream runs past
// its block or a back-reference reaches before the start of the output.
uint32_t jbi_uncompress(const uint8_t *in, uint32_t in_length, uint8_t *out, uint32_t out_length,
                        int version);
