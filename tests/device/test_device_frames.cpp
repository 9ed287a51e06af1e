#include <gtest/gtest.h>

#include "can_frame.h"
#include "serial_frame.h"

namespace {

QByteArray bytes(std::initializer_list<int> list) {
    QByteArray out;
    for (int b : list) out.append(static_cast<char>(b));
    return out;
}

TEST(SerialWireFrame, SimpleRequestsAreByteExact) {
    EXPECT_EQ(build_serial_frame(18), bytes({0xFF, 0x31, 0x8A, 0x23, 0x01, 0x0B, 0, 0, 0, 0x12, 0xFB}));
    EXPECT_EQ(build_serial_frame(33), bytes({0xFF, 0x31, 0x8A, 0x23, 0x01, 0x0B, 0, 0, 0, 0x21, 0x0A}));
}

TEST(SerialWireFrame, Complex1AndComplex5Frames) {
    const float one = 1.0f;
    EXPECT_EQ(build_serial_frame(9, &one, 1),
              bytes({0xFF, 0x31, 0x8A, 0x23, 0x01, 0x0F, 0, 0, 0, 0x09, 0x00, 0x00, 0x80, 0x3F, 0xB5}));
    const float zeros[5] = {0, 0, 0, 0, 0};
    QByteArray expected = bytes({0xFF, 0x31, 0x8A, 0x23, 0x01, 0x1F, 0, 0, 0, 0x10});
    expected.append(QByteArray(20, '\0'));
    expected.append(static_cast<char>(0x0D));
    EXPECT_EQ(build_serial_frame(16, zeros, 5), expected);
}

TEST(SerialWireFrame, ChecksumEdges) {
    const uint8_t header[4] = {0xFF, 0x31, 0x8A, 0x23};
    EXPECT_EQ(byte_sum_checksum(header, 5), 0xDD);  // first four bytes summed
    EXPECT_EQ(byte_sum_checksum(header, 0), 0);
    EXPECT_EQ(byte_sum_checksum(header, 1), 0);
    EXPECT_EQ(byte_sum_checksum(header, 2), 0xFF);
}

TEST(SerialWireFrame, DecodeRoundTripAndRejectsOddLengths) {
    const float values[3] = {1.5f, -2.25f, 100.0f};
    SerialFrame frame;
    ASSERT_TRUE(decode_serial_frame(build_serial_frame(23, values, 3), frame));
    EXPECT_EQ(frame.header, kSerialHeaderWord);
    EXPECT_EQ(frame.type, 1);
    EXPECT_EQ(frame.length, 23u);
    EXPECT_EQ(frame.cmd, 23);
    ASSERT_EQ(frame.payload.size(), 3u);
    EXPECT_FLOAT_EQ(frame.payload[1], -2.25f);

    SerialFrame untouched;
    EXPECT_FALSE(decode_serial_frame(QByteArray(19, '\0'), untouched));
    EXPECT_EQ(untouched.length, 0u);
    EXPECT_TRUE(untouched.payload.empty());
}

TEST(CanFrameRecord, HexStringRunsFromLastByteDown) {
    CanFrame f;
    const uint8_t data[8] = {0x01, 0x02, 0x0A, 0, 0, 0, 0, 0xFF};
    f.set_data(data);
    EXPECT_EQ(f.to_hex_string(), " ff 0 0 0 0 a 2 1");
}

TEST(CanFrameRecord, SetDataAtIgnoresOutOfRangeAndCopyIsWhole) {
    CanFrame f;
    f.set_id(0x123);
    f.set_dlc(3);
    f.set_data_at(2, 0x55);
    f.set_data_at(8, 0x77);
    EXPECT_EQ(f.get_data_at(2), 0x55);
    EXPECT_EQ(f.to_hex_string(), " 0 0 0 0 0 55 0 0");
    CanFrame g;
    g = f;
    g = g;
    EXPECT_EQ(g.get_id(), 0x123u);
    EXPECT_EQ(g.get_dlc(), 3);
    EXPECT_EQ(g.get_data_at(2), 0x55);
}

}  // namespace
