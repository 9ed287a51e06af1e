#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <limits>
#include <random>

#include "can_codec.h"

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

struct Fields {
    uint32_t p, v, t, kp, kd;
};

Fields pack(float p, float v, float t, float kp, float kd) {
    const float in[5] = {p, v, t, kp, kd};
    uint8_t b[8] = {};
    EXPECT_TRUE(pack_motion_command(b, in));
    return {uint32_t(b[0] | b[1] << 8), uint32_t(b[2] | (b[3] & 0x3F) << 8), uint32_t(b[6] | b[7] << 8),
            uint32_t(b[3] >> 6 | b[4] << 2), b[5]};
}

// A motion reply from raw field values.
CanFrame reply(uint32_t p20, uint32_t v20, uint32_t t16, uint8_t temp7, uint8_t type) {
    CanFrame f;
    f.id = (4 << 5) | 0x10;
    f.dlc = 8;
    const uint8_t b[8] = {uint8_t(p20), uint8_t(p20 >> 8), uint8_t(((p20 >> 16) & 0x0F) | ((v20 & 0x0F) << 4)),
                          uint8_t(v20 >> 4), uint8_t(v20 >> 12), uint8_t(t16), uint8_t(t16 >> 8),
                          uint8_t((temp7 << 1) | (type & 1))};
    std::memcpy(f.data, b, 8);
    return f;
}

// The range edges and values beyond them (unclamped they would wrap) exactly, random
// values within one step, against the driver's mapping in double precision: clamp,
// scale to 2^bits - 1, truncate.
TEST(MotionCommand, EdgesAndRandomValuesMatchTheReferenceMapping) {
    auto field = [](double x, double min, double max, int bits) {
        return int64_t((std::min(std::max(x, min), max) - min) / (max - min) * ((1 << bits) - 1));
    };
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> any(-60.0f, 1100.0f), signed_value(-45.0f, 45.0f);
    const float edges[] = {-kInf, -1e30f, -1000, -41, -40, -1, 0, 1, 40, 41, 51, 52, 1023, 2000, kInf};
    for (int i = 0; i < 2000; ++i) {
        const float p = i < 15 ? edges[i] : signed_value(rng), v = i < 15 ? edges[14 - i] : signed_value(rng),
                    t = i < 15 ? edges[(i + 5) % 15] : signed_value(rng), kp = i < 15 ? edges[(i + 9) % 15] : any(rng),
                    kd = i < 15 ? edges[(i + 12) % 15] : any(rng) / 20;
        const Fields f = pack(p, v, t, kp, kd);
        const int64_t got[5] = {f.p, f.v, f.t, f.kp, f.kd};
        const int64_t want[5] = {field(p, -40, 40, 16), field(v, -40, 40, 14), field(t, -40, 40, 16),
                                 field(kp, 0, 1023, 10), field(kd, 0, 51, 8)};
        for (int k = 0; k < 5; ++k)
            ASSERT_LE(std::llabs(got[k] - want[k]), i < 15 ? 0 : 1) << k << ": " << p << " " << v << " " << t << " " << kp << " " << kd;
        // A reply carries position and velocity on 20 bits, torque on 16, temperature on 7, the type on 1.
        const uint32_t raw[5] = {uint32_t(rng() & 0xFFFFF), uint32_t(rng() & 0xFFFFF), uint32_t(rng() & 0xFFFF), uint32_t(rng() & 0x7F), uint32_t(rng() & 1)};
        const CanMotionState s = unpack_motion_state(reply(raw[0], raw[1], raw[2], uint8_t(raw[3]), uint8_t(raw[4])));
        EXPECT_NEAR(s.position, raw[0] * 80.0 / 0xFFFFF - 40, 1e-4);
        EXPECT_NEAR(s.velocity, raw[1] * 80.0 / 0xFFFFF - 40, 1e-4);
        ASSERT_NEAR(s.torque, raw[2] * 80.0 / 0xFFFF - 40, 1e-3) << raw[2];
        ASSERT_NEAR(s.temperature, raw[3] * 220.0 / 0x7F - 20, 1e-3) << raw[3];
        ASSERT_EQ(s.temp_type, int(raw[4]));
    }
}

}  // namespace
