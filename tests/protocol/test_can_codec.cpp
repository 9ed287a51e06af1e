#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <limits>

#include "can_codec.h"

namespace {

constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

struct Fields {
    uint32_t p, v, t, kp, kd;
    bool operator==(const Fields& o) const { return p == o.p && v == o.v && t == o.t && kp == o.kp && kd == o.kd; }
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

TEST(MotionCommand, EdgesSaturateInsteadOfWrappingAndStayInTheirField) {
    const float in[5] = {0, 0, 0, 0, 0};
    uint8_t out[8] = {};
    ASSERT_TRUE(pack_motion_command(out, in));
    const uint8_t zero_vector[8] = {0xFF, 0x7F, 0xFF, 0x1F, 0x00, 0x00, 0xFF, 0x7F};
    EXPECT_EQ(0, std::memcmp(out, zero_vector, 8));

    struct Row {
        float p, v, t, kp, kd;
        Fields want;
    };
    const Row rows[] = {
        {40, 0, 0, 0, 0, {65535, 8191, 32767, 0, 0}},
        {-40, 0, 0, 0, 0, {0, 8191, 32767, 0, 0}},
        {41, 0, 0, 0, 0, {65535, 8191, 32767, 0, 0}},  // unclamped this would wrap to about -39
        {-41, 0, 0, 0, 0, {0, 8191, 32767, 0, 0}},
        {0, 40, 0, 0, 0, {32767, 16383, 32767, 0, 0}},
        {0, -1000, 0, 0, 0, {32767, 0, 32767, 0, 0}},
        {0, 0, 1e30f, 0, 0, {32767, 8191, 65535, 0, 0}},
        {0, 0, -kInf, 0, 0, {32767, 8191, 0, 0, 0}},
        {0, 0, 0, 1023, 51, {32767, 8191, 32767, 1023, 255}},
        {0, 0, 0, 2000, 60, {32767, 8191, 32767, 1023, 255}},
        {0, 0, 0, -5, -1, {32767, 8191, 32767, 0, 0}},
        {0, 1000, 0, 2000, 0, {32767, 16383, 32767, 1023, 0}},
    };
    for (const Row& r : rows) {
        const Fields f = pack(r.p, r.v, r.t, r.kp, r.kd);
        EXPECT_TRUE(f == r.want) << r.p << " " << r.v << " " << r.t << " " << r.kp << " " << r.kd << " -> " << f.p
                                 << " " << f.v << " " << f.t << " " << f.kp << " " << f.kd;
    }
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

TEST(MotionCommand, RoundTripWithinOneStep) {
    for (float x : {-40.0f, -39.999f, -12.345f, -0.001f, 0.0f, 0.5f, 7.77f, 39.99f, 40.0f}) {
        const Fields f = pack(x, x, x, 0, 0);
        EXPECT_NEAR(uint_to_float(f.p, -40, 40, 16), x, 80.0 / 65535) << x;
        EXPECT_NEAR(uint_to_float(f.v, -40, 40, 14), x, 80.0 / 16383) << x;
        EXPECT_NEAR(uint_to_float(f.t, -40, 40, 16), x, 80.0 / 65535) << x;
    }
    for (float kp : {0.0f, 1.0f, 511.4f, 1022.9f, 1023.0f})
        EXPECT_NEAR(uint_to_float(pack(0, 0, 0, kp, 0).kp, 0, 1023, 10), kp, 1.0) << kp;
    for (float kd : {0.0f, 0.2f, 25.5f, 50.9f, 51.0f})
        EXPECT_NEAR(uint_to_float(pack(0, 0, 0, 0, kd).kd, 0, 51, 8), kd, 0.2) << kd;
    for (uint8_t bits : {8, 10, 14, 16, 20}) {
        const int32_t top = (1 << bits) - 1;
        for (int32_t raw : {0, 1, top / 2, top - 1, top}) {
            const int64_t back = float_to_uint(uint_to_float(raw, -40, 40, bits), -40, 40, bits);
            EXPECT_LE(std::llabs(back - raw), 1) << int(bits) << " " << raw;
        }
    }
}

TEST(MotionState, FieldsAreIndependentAtTheirEdges) {
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
        // Each field at its maximum with the others at zero, so the shared byte 2 is checked.
        {reply(0xFFFFF, 0, 0, 0, 0), 40, -40, -40, 0, -20},
        {reply(0, 0xFFFFF, 0, 0, 0), -40, 40, -40, 0, -20},
        {reply(0, 0, 0xFFFF, 0, 0), -40, -40, 40, 0, -20},
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
    const CanMotionState mid = unpack_motion_state(reply(0x80000, 0x80000, 0x8000, 0, 0));
    EXPECT_NEAR(mid.position, 0.0f, 1e-4);
    EXPECT_NEAR(mid.velocity, 0.0f, 1e-4);
    EXPECT_NEAR(mid.torque, 0.0f, 1e-3);
}

}  // namespace
