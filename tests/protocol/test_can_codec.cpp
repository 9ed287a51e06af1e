#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <limits>
#include <random>

#include "can_codec.h"
#include "can_frame_maker.h"

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

std::array<uint32_t, 5> pack(float p, float v, float t, float kp, float kd) {
    const float in[5] = {p, v, t, kp, kd};
    uint8_t b[8] = {};
    EXPECT_TRUE(pack_motion_command(b, in));
    return motion_command_fields(b);
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
        const std::array<uint32_t, 5> got = pack(p, v, t, kp, kd);
        const int64_t want[5] = {field(p, -40, 40, 16), field(v, -40, 40, 14), field(t, -40, 40, 16),
                                 field(kp, 0, 1023, 10), field(kd, 0, 51, 8)};
        for (int k = 0; k < 5; ++k)
            ASSERT_LE(std::llabs(int64_t(got[k]) - want[k]), i < 15 ? 0 : 1) << k << ": " << p << " " << v << " " << t << " " << kp << " " << kd;
        // A reply carries position and velocity on 20 bits, torque on 16, temperature on 7, the type on 1.
        const uint32_t raw[5] = {uint32_t(rng() & 0xFFFFF), uint32_t(rng() & 0xFFFFF), uint32_t(rng() & 0xFFFF), uint32_t(rng() & 0x7F), uint32_t(rng() & 1)};
        const CanMotionState s = unpack_motion_state(make_motion_reply(0, raw[0], raw[1], raw[2], raw[3], raw[4]));
        EXPECT_NEAR(s.position, raw[0] * 80.0 / 0xFFFFF - 40, 1e-4);
        EXPECT_NEAR(s.velocity, raw[1] * 80.0 / 0xFFFFF - 40, 1e-4);
        ASSERT_NEAR(s.torque, raw[2] * 80.0 / 0xFFFF - 40, 1e-3) << raw[2];
        ASSERT_NEAR(s.temperature, raw[3] * 220.0 / 0x7F - 20, 1e-3) << raw[3];
        ASSERT_EQ(s.temp_type, int(raw[4]));
    }
}

}  // namespace
