#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <limits>
#include <random>

#include "can_codec.h"

namespace {

constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
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

TEST(CanId, MotorIdNeverTouchesCommandOrReplyBits) {
    EXPECT_EQ(make_can_id(4, 1), 0x081);
    for (int cmd = 0; cmd < 32; ++cmd) {
        for (int id = 0; id < 256; ++id) {
            const uint16_t can_id = make_can_id(static_cast<uint8_t>(cmd), static_cast<uint8_t>(id));
            ASSERT_EQ(can_id >> 5, cmd) << "cmd " << cmd << " id " << id;
            ASSERT_EQ(can_id & 0x1F, id & 0x0F) << "cmd " << cmd << " id " << id;
        }
    }
}

TEST(MotionCommand, ZeroTargetVector) {
    const float in[5] = {0, 0, 0, 0, 0};
    uint8_t out[8] = {};
    ASSERT_TRUE(pack_motion_command(out, in));
    const uint8_t zero_vector[8] = {0xFF, 0x7F, 0xFF, 0x1F, 0x00, 0x00, 0xFF, 0x7F};
    EXPECT_EQ(0, std::memcmp(out, zero_vector, 8));
}

TEST(MotionCommand, NanIsRefusedInEverySlot) {
    for (int slot = 0; slot < 5; ++slot) {
        float in[5] = {1, 1, 1, 1, 1};
        in[slot] = kNan;
        uint8_t out[8] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
        EXPECT_FALSE(pack_motion_command(out, in)) << "slot " << slot;
        for (uint8_t b : out) EXPECT_EQ(b, 0xAA);
    }
    EXPECT_EQ(float_to_uint(kNan, 0.0f, 50.0f, 16), 0);
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
        // A reply carries position and velocity on 20 bits, torque on 16.
        const uint32_t raw[3] = {rng() & 0xFFFFF, rng() & 0xFFFFF, rng() & 0xFFFF};
        const CanMotionState s = unpack_motion_state(reply(raw[0], raw[1], raw[2], 0, 0));
        EXPECT_NEAR(s.position, raw[0] * 80.0 / 0xFFFFF - 40, 1e-4);
        EXPECT_NEAR(s.velocity, raw[1] * 80.0 / 0xFFFFF - 40, 1e-4);
        ASSERT_NEAR(s.torque, raw[2] * 80.0 / 0xFFFF - 40, 1e-3) << raw[2];
    }
}

TEST(MotionState, RangeEndsTemperatureAndType) {
    struct Row {
        CanFrame frame;
        float p, v, t;
        int type;
        float temp;
    };
    CanFrame ones;
    for (auto& b : ones.data) b = 0xFF;
    ones.dlc = 0;  // the payload is read whatever the DLC says
    const Row rows[] = {
        {reply(0, 0, 0, 0, 0), -40, -40, -40, 0, -20},
        {ones, 40, 40, 40, 1, 200},
        {reply(0, 0, 0, 127, 0), -40, -40, -40, 0, 200},
        {reply(0, 0, 0, 0, 1), -40, -40, -40, 1, -20},
    };
    for (const Row& r : rows) {
        const CanMotionState s = unpack_motion_state(r.frame);
        EXPECT_FLOAT_EQ(s.position, r.p);
        EXPECT_FLOAT_EQ(s.velocity, r.v);
        EXPECT_FLOAT_EQ(s.torque, r.t);
        EXPECT_EQ(s.temp_type, r.type);
        EXPECT_FLOAT_EQ(s.temperature, r.temp);
    }
}

}  // namespace
