#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <vector>
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

// Command in bits 10-5, reply flag clear, the motor id's low four bits below.
TEST(CanId, CommandAndMotorId) {
    EXPECT_EQ(make_can_id(4, 1), 0x081);
    EXPECT_EQ(make_can_id(24, 15), 0x30F);
    EXPECT_EQ(make_can_id(31, 0), 31 << 5);
    for (int cmd = 0; cmd < 32; ++cmd)
        for (int id = 0; id < 256; ++id) {
            const uint16_t can_id = make_can_id(uint8_t(cmd), uint8_t(id));
            ASSERT_EQ(can_id >> 5, cmd) << id;
            ASSERT_EQ(can_id & 0x1F, id & 0x0F) << cmd << " " << id;
        }
}

// A NaN in any slot sends nothing and leaves the bytes alone.
TEST(MotionCommand, NanIsRefusedInEverySlot) {
    for (int slot = 0; slot < 5; ++slot) {
        float in[5] = {1, 1, 1, 1, 1};
        in[slot] = std::numeric_limits<float>::quiet_NaN();
        uint8_t out[8] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
        EXPECT_FALSE(pack_motion_command(out, in)) << slot;
        EXPECT_EQ(std::count(out, out + 8, 0xAA), 8) << slot;
    }
}

TEST(Scaling, EdgesClampingAndRoundTrip) {
    struct Row {
        float x, min, max;
        int64_t raw;
    } rows[] = {{25, 0, 50, 32767}, {50, 0, 50, 65535}, {40, 0, 40, 65535}, {0, 0, 40, 0},
                {51, 0, 50, 65535}, {-3, 0, 50, 0},     {std::numeric_limits<float>::quiet_NaN(), 0, 50, 0}};
    for (const Row& r : rows) EXPECT_EQ(float_to_uint(r.x, r.min, r.max, 16), r.raw) << r.x;
    EXPECT_FLOAT_EQ(uint_to_float(0, -40, 40, 20), -40.0f);
    EXPECT_FLOAT_EQ(uint_to_float(1048575, -40, 40, 20), 40.0f);
    EXPECT_FLOAT_EQ(uint_to_float(65535, 0, 50, 16), 50.0f);
    for (uint8_t bits : {8, 10, 14, 16, 20}) {
        const int32_t top = (1 << bits) - 1;
        for (int32_t raw : {0, 1, top / 2, top - 1, top})
            EXPECT_LE(std::llabs(float_to_uint(uint_to_float(raw, -40, 40, bits), -40, 40, bits) - raw), 1)
                << int(bits) << " " << raw;
    }
}

// All bits clear and all set give the range ends, whatever the DLC says.
TEST(MotionState, ExtremesWhateverTheDlc) {
    for (uint8_t byte : {0x00, 0xFF})
        for (uint8_t dlc : {8, 0}) {
            CanFrame f = make_can_frame(4 << 5 | 0x10, dlc, std::vector<uint8_t>(8, byte));
            const CanMotionState s = unpack_motion_state(f);
            const float end = byte ? 40.0f : -40.0f;
            EXPECT_FLOAT_EQ(s.position, end);
            EXPECT_FLOAT_EQ(s.velocity, end);
            EXPECT_FLOAT_EQ(s.torque, end);
            EXPECT_EQ(s.temp_type, byte & 1);
            EXPECT_FLOAT_EQ(s.temperature, byte ? 200.0f : -20.0f);
        }
}

}  // namespace
