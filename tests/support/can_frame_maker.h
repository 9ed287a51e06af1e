#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "can_frame.h"

// A CanFrame with the given identifier and DLC; bytes beyond the eighth are dropped,
// missing ones stay zero.
inline CanFrame make_can_frame(uint32_t id, uint8_t dlc, const std::vector<uint8_t>& bytes) {
    CanFrame f;
    f.id = id;
    f.dlc = dlc;
    for (std::size_t i = 0; i < bytes.size() && i < 8; ++i) f.data[i] = bytes[i];
    return f;
}
