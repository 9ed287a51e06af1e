#pragma once
#include <array>
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

// A motion-state reply of `motor` from raw fields, as the driver packs them: position
// and velocity on 20 bits, torque on 16, temperature on 7, its type on 1.
inline CanFrame make_motion_reply(uint8_t motor, uint32_t p, uint32_t v, uint32_t t, uint32_t temp, uint32_t type) {
    return make_can_frame(4 << 5 | 0x10 | motor, 8,
                          {uint8_t(p), uint8_t(p >> 8), uint8_t((p >> 16 & 0x0F) | (v & 0x0F) << 4), uint8_t(v >> 4),
                           uint8_t(v >> 12), uint8_t(t), uint8_t(t >> 8), uint8_t(temp << 1 | (type & 1))});
}

// The raw fields of a motion command as the driver reads them: position, velocity,
// torque, Kp, Kd.
inline std::array<uint32_t, 5> motion_command_fields(const uint8_t* b) {
    return {uint32_t(b[0] | b[1] << 8), uint32_t(b[2] | (b[3] & 0x3F) << 8), uint32_t(b[6] | b[7] << 8),
            uint32_t(b[3] >> 6 | b[4] << 2), b[5]};
}
