#include <gtest/gtest.h>

#include "can_frame.h"
#include "serial_frame.h"

namespace {

QByteArray hex(const char* text) { return QByteArray::fromHex(text); }

TEST(SerialWireFrame, BuiltFramesAreByteExact) {
    const float one = 1.0f, zeros[5] = {};
    EXPECT_EQ(build_serial_frame(18), hex("FF318A23010B00000012FB"));
    EXPECT_EQ(build_serial_frame(33), hex("FF318A23010B000000210A"));
    EXPECT_EQ(build_serial_frame(9, &one, 1), hex("FF318A23010F000000090000803FB5"));
    EXPECT_EQ(build_serial_frame(16, zeros, 5), hex("FF318A23011F00000010") + QByteArray(20, '\0') + hex("0D"));
}

TEST(SerialWireFrame, ChecksumSkipsTheLastByteAndShortCounts) {
    const uint8_t header[4] = {0xFF, 0x31, 0x8A, 0x23};
    EXPECT_EQ(byte_sum_checksum(header, 5), 0xDD);
    EXPECT_EQ(byte_sum_checksum(header, 2), 0xFF);
    EXPECT_EQ(byte_sum_checksum(header, 1), 0);
    EXPECT_EQ(byte_sum_checksum(header, 0), 0);
}

TEST(SerialWireFrame, DecodeRoundTripAndRejectsOddLengths) {
    const float values[3] = {1.5f, -2.25f, 100.0f};
    SerialFrame frame;
    ASSERT_TRUE(decode_serial_frame(build_serial_frame(23, values, 3), frame));
    EXPECT_EQ(frame.header, kSerialHeaderWord);
    EXPECT_EQ(frame.type, 1);
    EXPECT_EQ(frame.length, 23u);
    EXPECT_EQ(frame.cmd, 23);
    EXPECT_EQ(frame.payload, (std::vector<float>{1.5f, -2.25f, 100.0f}));

    SerialFrame untouched;
    EXPECT_FALSE(decode_serial_frame(QByteArray(19, '\0'), untouched));
    EXPECT_EQ(untouched.length, 0u);
    EXPECT_TRUE(untouched.payload.empty());
}

TEST(CanFrameRecord, HexStringOutOfRangeWriteAndCopy) {
    CanFrame f;
    const uint8_t data[8] = {0x01, 0x02, 0x0A, 0, 0, 0, 0, 0xFF};
    f.set_data(data);
    EXPECT_EQ(f.to_hex_string(), " ff 0 0 0 0 a 2 1");  // last byte first

    f.set_id(0x123);
    f.set_dlc(3);
    f.set_data_at(2, 0x55);
    f.set_data_at(8, 0x77);  // ignored
    EXPECT_EQ(f.to_hex_string(), " ff 0 0 0 0 55 2 1");
    CanFrame g;
    g = f;
    g = g;
    EXPECT_EQ(g.get_id(), 0x123u);
    EXPECT_EQ(g.get_dlc(), 3);
    EXPECT_EQ(g.to_hex_string(), f.to_hex_string());
}

}  // namespace
