#include "crc32.h"

uint32_t crc32_update(uint32_t crc, const uint8_t* data, uint32_t length) {
    for (uint32_t i = 0; i < length; ++i) crc = (crc << 8) ^ kCrc32Table[((crc >> 24) ^ data[i]) & 0xFF];
    return crc;
}

uint32_t crc32_calculate(const uint8_t* data, uint32_t length) { return crc32_update(0, data, length); }
