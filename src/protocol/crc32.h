#pragma once
// CRC-32 of the firmware image check: polynomial 0x04C11DB7, not reflected, initial
// value 0, no final XOR. "123456789" gives 0x89A1897F.
#include <array>
#include <cstdint>

namespace detail {
constexpr std::array<uint32_t, 256> make_crc32_table() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t reg = i << 24;
        for (int bit = 0; bit < 8; ++bit) reg = (reg & 0x80000000u) ? (reg << 1) ^ 0x04C11DB7u : (reg << 1);
        table[i] = reg;
    }
    return table;
}
}  // namespace detail

inline constexpr std::array<uint32_t, 256> kCrc32Table = detail::make_crc32_table();

// Continues a running CRC over more bytes.
uint32_t crc32_update(uint32_t crc, const uint8_t* data, uint32_t length);

// The CRC of one buffer; 0 for an empty one.
uint32_t crc32_calculate(const uint8_t* data, uint32_t length);
