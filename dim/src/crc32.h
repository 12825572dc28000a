// CRC-32 of a byte-code file as the download services publish it: the IEEE 802.3 polynomial
// in its reflected form (0xEDB88320), initial value 0xFFFFFFFF, final complement; the check
// value of "123456789" is 0xCBF43926. It tells two files apart; the file's own 16-bit CRC
// is the player's business.
#pragma once

#include <cstddef>
#include <cstdint>

uint32_t crc32_of(const unsigned char *data, size_t size);
