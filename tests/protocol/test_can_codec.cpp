#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "can_codec.h"

namespace {

struct Fields {
    uint32_t p, v, t, kp, kd;
};

Fields split(const uint8_t b[8]) {
    Fields f;
    f.p = b[0] | (b[1] << 8);
    f.v = b[2] | ((b[3] & 0x3F) << 8);
    f.kp = (b[3] >> 6) | (b[4] << 2);
    f.kd = b[5];
    f.t = b[6] | (b[7] << 8);
    return f;
}

Fields pack(float p, float v, float t, float kp, float kd) {
    const float in[5] = {p, v, t, kp, kd};
    uint8_t out[8] = {};
    EXPECT_TRUE(pack_motion_command(out, in));
    return split(out);
}

// Builds a motion reply from raw field values.
CanFrame reply(uint32_t p20, uint32_t v20, uint32_t t16, uint8_t temp7, uint8_t type) {
    CanFrame f;
    f.id = (4 << 5) | 0x10;
    f.dlc = 8;
    f.data[0] = p20 & 0xFF;
    f.data[1] = (p20 >> 8) & 0xFF;
    f.data[2] = ((p20 >> 16) & 0x0F) | ((v20 & 0x0F) << 4);
    f.data[3] = (v20 >> 4) & 0xFF;
    f.data[4] = (v20 >> 12) & 0xFF;
    f.data[5] = t16 & 0xFF;
    f.data[6] = (t16 >> 8) & 0xFF;
    f.data[7] = static_cast<uint8_t>((temp7 << 1) | (type & 1));
    return f;
}

TEST(CanId, CommandAndMotorId) {
    EXPECT_EQ(make_can_id(4, 1), 0x081);
    EXPECT_EQ(make_can_id(24, 15), 0x30F);
    EXPECT_EQ(make_can_id(31, 0), 31 << 5);
}

TEST(CanId, MotorIdNeverTouchesCommandOrReplyBits) {
    for (int cmd = 0; cmd < 32; ++cmd) {
        for (int id = 0; id < 256; ++id) {
            const uint16_t can_id = make_can_id(static_cast<uint8_t>(cmd), static_cast<uint8_t>(id));
            ASSERT_EQ(can_id >> 5, cmd) << "cmd " << cmd << " id " << id;
            ASSERT_EQ(can_id & 0x10, 0) << "reply flag set for id " << id;
            ASSERT_EQ(can_id & 0x0F, id & 0x0F);
        }
    }
}

TEST(MotionCommand, AllZeroVector) {
    const float in[5] = {0, 0, 0, 0, 0};
    uint8_t out[8] = {};
    ASSERT_TRUE(pack_motion_command(out, in));
    const uint8_t expected[8] = {0xFF, 0x7F, 0xFF, 0x1F, 0x00, 0x00, 0xFF, 0x7F};
    EXPECT_EQ(0, std::memcmp(out, expected, 8));
}

TEST(MotionCommand, FieldEdges) {
    EXPECT_EQ(pack(40, 0, 0, 0, 0).p, 65535u);
    EXPECT_EQ(pack(-40, 0, 0, 0, 0).p, 0u);
    EXPECT_EQ(pack(0, 40, 0, 0, 0).v, 16383u);
    EXPECT_EQ(pack(0, -40, 0, 0, 0).v, 0u);
    EXPECT_EQ(pack(0, 0, 40, 0, 0).t, 65535u);
    EXPECT_EQ(pack(0, 0, -40, 0, 0).t, 0u);

    const float in[5] = {0, 0, 0, 1023, 51};
    uint8_t out[8] = {};
    ASSERT_TRUE(pack_motion_command(out, in));
    EXPECT_EQ(out[3] >> 6, 3);
    EXPECT_EQ(out[3] & 0x3F, 0x1F);  // velocity bits untouched by kp
    EXPECT_EQ(out[4], 0xFF);
    EXPECT_EQ(out[5], 0xFF);
    // Full velocity with zero kp keeps kp bits clear.
    const Fields f = pack(0, 40, 0, 0, 0);
    EXPECT_EQ(f.kp, 0u);
    EXPECT_EQ(f.kd, 0u);
}

TEST(MotionCommand, OutOfRangeSaturatesInsteadOfWrapping) {
    EXPECT_EQ(pack(41, 0, 0, 0, 0).p, 65535u);  // unclamped this would be 0x0332
    EXPECT_EQ(pack(-41, 0, 0, 0, 0).p, 0u);
    EXPECT_EQ(pack(0, 1000, 0, 0, 0).v, 16383u);
    EXPECT_EQ(pack(0, -1000, 0, 0, 0).v, 0u);
    EXPECT_EQ(pack(0, 0, 1e30f, 0, 0).t, 65535u);
    EXPECT_EQ(pack(0, 0, -std::numeric_limits<float>::infinity(), 0, 0).t, 0u);
    EXPECT_EQ(pack(0, 0, 0, 2000, 0).kp, 1023u);
    EXPECT_EQ(pack(0, 0, 0, -5, 0).kp, 0u);
    EXPECT_EQ(pack(0, 0, 0, 0, 60).kd, 255u);
    EXPECT_EQ(pack(0, 0, 0, 0, -1).kd, 0u);
    // Clamping one field never spills into a neighbour.
    const Fields f = pack(0, 1000, 0, 2000, 0);
    EXPECT_EQ(f.v, 16383u);
    EXPECT_EQ(f.kp, 1023u);
    EXPECT_EQ(f.p, 32767u);
}

TEST(MotionCommand, NanIsRefusedInEverySlot) {
    for (int slot = 0; slot < 5; ++slot) {
        float in[5] = {1, 1, 1, 1, 1};
        in[slot] = std::numeric_limits<float>::quiet_NaN();
        uint8_t out[8] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
        EXPECT_FALSE(pack_motion_command(out, in)) << "slot " << slot;
        for (uint8_t b : out) EXPECT_EQ(b, 0xAA);
    }
}

TEST(MotionCommand, RoundTripWithinOneStep) {
    const float values[] = {-40.0f, -39.999f, -12.345f, -0.001f, 0.0f, 0.5f, 7.77f, 39.99f, 40.0f};
    for (float x : values) {
        const Fields f = pack(x, x, x, 0, 0);
        EXPECT_NEAR(uint_to_float(f.p, -40, 40, 16), x, 80.0 / 65535) << x;
        EXPECT_NEAR(uint_to_float(f.v, -40, 40, 14), x, 80.0 / 16383) << x;
        EXPECT_NEAR(uint_to_float(f.t, -40, 40, 16), x, 80.0 / 65535) << x;
    }
    for (float kp : {0.0f, 1.0f, 511.4f, 1022.9f, 1023.0f}) {
        EXPECT_NEAR(uint_to_float(pack(0, 0, 0, kp, 0).kp, 0, 1023, 10), kp, 1.0) << kp;
    }
    for (float kd : {0.0f, 0.2f, 25.5f, 50.9f, 51.0f}) {
        EXPECT_NEAR(uint_to_float(pack(0, 0, 0, 0, kd).kd, 0, 51, 8), kd, 0.2) << kd;
    }
}

TEST(Scaling, FloatToUintAndBack) {
    EXPECT_EQ(float_to_uint(25.0f, 0.0f, 50.0f, 16), 32767);
    EXPECT_EQ(float_to_uint(50.0f, 0.0f, 50.0f, 16), 65535);
    EXPECT_EQ(float_to_uint(40.0f, 0.0f, 40.0f, 16), 65535);
    EXPECT_EQ(float_to_uint(0.0f, 0.0f, 40.0f, 16), 0);
    EXPECT_EQ(float_to_uint(51.0f, 0.0f, 50.0f, 16), 65535);
    EXPECT_EQ(float_to_uint(-3.0f, 0.0f, 50.0f, 16), 0);
    EXPECT_EQ(float_to_uint(std::numeric_limits<float>::quiet_NaN(), 0.0f, 50.0f, 16), 0);
    EXPECT_FLOAT_EQ(uint_to_float(0, -40, 40, 20), -40.0f);
    EXPECT_FLOAT_EQ(uint_to_float(1048575, -40, 40, 20), 40.0f);
    EXPECT_FLOAT_EQ(uint_to_float(65535, 0, 50, 16), 50.0f);
    for (uint8_t bits : {8, 10, 14, 16, 20}) {
        const int32_t top = (1 << bits) - 1;
        for (int32_t raw : {0, 1, top / 2, top - 1, top}) {
            const float x = uint_to_float(raw, -40, 40, bits);
            const int64_t back = float_to_uint(x, -40, 40, bits);
            EXPECT_LE(std::llabs(back - raw), 1) << int(bits) << " " << raw;
        }
    }
}

TEST(MotionState, ExtremeVectors) {
    CanFrame zeros = reply(0, 0, 0, 0, 0);
    CanMotionState s = unpack_motion_state(zeros);
    EXPECT_FLOAT_EQ(s.position, -40.0f);
    EXPECT_FLOAT_EQ(s.velocity, -40.0f);
    EXPECT_FLOAT_EQ(s.torque, -40.0f);
    EXPECT_EQ(s.temp_type, 0);
    EXPECT_FLOAT_EQ(s.temperature, -20.0f);

    CanFrame ones;
    for (auto& b : ones.data) b = 0xFF;
    s = unpack_motion_state(ones);
    EXPECT_FLOAT_EQ(s.position, 40.0f);
    EXPECT_FLOAT_EQ(s.velocity, 40.0f);
    EXPECT_FLOAT_EQ(s.torque, 40.0f);
    EXPECT_EQ(s.temp_type, 1);
    EXPECT_FLOAT_EQ(s.temperature, 200.0f);
}

TEST(MotionState, FieldsAreIndependentAtTheirEdges) {
    // Each field at its maximum with the others at zero, so the shared byte 2 is checked.
    CanMotionState s = unpack_motion_state(reply(0xFFFFF, 0, 0, 0, 0));
    EXPECT_FLOAT_EQ(s.position, 40.0f);
    EXPECT_FLOAT_EQ(s.velocity, -40.0f);
    s = unpack_motion_state(reply(0, 0xFFFFF, 0, 0, 0));
    EXPECT_FLOAT_EQ(s.position, -40.0f);
    EXPECT_FLOAT_EQ(s.velocity, 40.0f);
    EXPECT_FLOAT_EQ(s.torque, -40.0f);
    s = unpack_motion_state(reply(0, 0, 0xFFFF, 0, 0));
    EXPECT_FLOAT_EQ(s.velocity, -40.0f);
    EXPECT_FLOAT_EQ(s.torque, 40.0f);
    EXPECT_FLOAT_EQ(s.temperature, -20.0f);
    s = unpack_motion_state(reply(0, 0, 0, 127, 0));
    EXPECT_EQ(s.temp_type, 0);
    EXPECT_FLOAT_EQ(s.temperature, 200.0f);
    s = unpack_motion_state(reply(0, 0, 0, 0, 1));
    EXPECT_EQ(s.temp_type, 1);
    EXPECT_FLOAT_EQ(s.temperature, -20.0f);
    // Midpoints.
    s = unpack_motion_state(reply(0x80000, 0x80000, 0x8000, 0, 0));
    EXPECT_NEAR(s.position, 0.0f, 1e-4);
    EXPECT_NEAR(s.velocity, 0.0f, 1e-4);
    EXPECT_NEAR(s.torque, 0.0f, 1e-3);
}

TEST(MotionState, DlcIsIgnored) {
    CanFrame f = reply(0xFFFFF, 0xFFFFF, 0xFFFF, 127, 1);
    f.dlc = 0;
    const CanMotionState s = unpack_motion_state(f);
    EXPECT_FLOAT_EQ(s.position, 40.0f);
    EXPECT_FLOAT_EQ(s.temperature, 200.0f);
}

}  // namespace
