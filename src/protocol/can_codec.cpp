#include "can_codec.h"

#include <cmath>

uint16_t make_can_id(uint8_t cmd, uint8_t motor_id) {
    return static_cast<uint16_t>((static_cast<uint16_t>(cmd) << 5) | (motor_id & 0x0F));
}

int64_t float_to_uint(const float& x, const float& min, const float& max, const uint8_t& bits) {
    if (std::isnan(x)) return 0;
    float v = x;
    if (v < min) v = min;
    if (v > max) v = max;
    const float span = static_cast<float>((int64_t{1} << bits) - 1);
    const float scaled = span * (v - min) / (max - min);
    return static_cast<int64_t>(scaled);
}

float uint_to_float(const int32_t& raw, const float& min, const float& max, const uint8_t& bits) {
    const float span = static_cast<float>((int64_t{1} << bits) - 1);
    return (max - min) * static_cast<float>(raw) / span + min;
}

bool pack_motion_command(uint8_t out[8], const float in[5]) {
    for (int i = 0; i < 5; ++i) {
        if (std::isnan(in[i])) return false;
    }
    const float m = kCanMotionLimit;
    const uint32_t p = static_cast<uint32_t>(float_to_uint(in[0], -m, m, 16));
    const uint32_t v = static_cast<uint32_t>(float_to_uint(in[1], -m, m, 14));
    const uint32_t t = static_cast<uint32_t>(float_to_uint(in[2], -m, m, 16));
    const uint32_t kp = static_cast<uint32_t>(float_to_uint(in[3], 0.0f, kCanKpMax, 10));
    const uint32_t kd = static_cast<uint32_t>(float_to_uint(in[4], 0.0f, kCanKdMax, 8));
    out[0] = static_cast<uint8_t>(p & 0xFF);
    out[1] = static_cast<uint8_t>((p >> 8) & 0xFF);
    out[2] = static_cast<uint8_t>(v & 0xFF);
    out[3] = static_cast<uint8_t>(((kp & 0x03) << 6) | ((v >> 8) & 0x3F));
    out[4] = static_cast<uint8_t>((kp >> 2) & 0xFF);
    out[5] = static_cast<uint8_t>(kd & 0xFF);
    out[6] = static_cast<uint8_t>(t & 0xFF);
    out[7] = static_cast<uint8_t>((t >> 8) & 0xFF);
    return true;
}

CanMotionState unpack_motion_state(const CanFrame& frame) {
    const uint8_t* b = frame.data;
    const uint32_t p20 = b[0] | (uint32_t{b[1]} << 8) | (uint32_t{b[2] & 0x0Fu} << 16);
    const uint32_t v20 = (b[2] >> 4) | (uint32_t{b[3]} << 4) | (uint32_t{b[4]} << 12);
    const uint32_t t16 = b[5] | (uint32_t{b[6]} << 8);
    CanMotionState s;
    s.position = static_cast<float>(p20) * 80.0f / 1048575.0f - 40.0f;
    s.velocity = static_cast<float>(v20) * 80.0f / 1048575.0f - 40.0f;
    s.torque = static_cast<float>(t16) * 80.0f / 65535.0f - 40.0f;
    s.temp_type = b[7] & 1;
    s.temperature = static_cast<float>(b[7] >> 1) * 220.0f / 127.0f - 20.0f;
    return s;
}
