// Request frames as the far end of a real pseudo-terminal receives them.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <vector>

#include "console_capture.h"
#include "pty_peer.h"
#include "qt_serial.h"
#include "serial_sender.h"

namespace {

QByteArray hex(const char* text) { return QByteArray::fromHex(text); }

class SerialSenderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer_.open());
        ASSERT_EQ(link_->open(peer_.slave_path()), 0);
    }

    ConsoleCapture quiet_;
    PtyPeer peer_;
    std::shared_ptr<QtSerial> link_ = std::make_shared<QtSerial>();
    SerialSender sender_{link_};
};

TEST_F(SerialSenderTest, EveryShortRequestHasItsCommandAndSum) {
    const std::pair<void (SerialSender::*)(), uint8_t> rows[] = {
        {&SerialSender::enable_motor, 18},          {&SerialSender::disable_motor, 19},
        {&SerialSender::reset_motor, 20},           {&SerialSender::start_calibration, 21},
        {&SerialSender::set_zero_point, 22},        {&SerialSender::flash_firmware_param, 23},
        {&SerialSender::request_firmware_param, 24}, {&SerialSender::request_driver_version, 25},
        {&SerialSender::clear_error, 32},           {&SerialSender::request_status, 33},
    };
    for (const auto& [op, cmd] : rows) {
        (sender_.*op)();
        QByteArray expected = hex("ff318a23010b000000");
        expected += static_cast<char>(cmd), expected += static_cast<char>((0xE9 + cmd) & 0xFF);
        EXPECT_EQ(peer_.read_until(11, 1000).toHex(), expected.toHex()) << int(cmd);
    }
}

// Five floats bit for bit, NaN and infinity included, summed over the whole frame.
TEST_F(SerialSenderTest, MotionTargetsCarryFiveFloatsBitForBit) {
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    const struct { float v[5]; const char* head; int sum; } rows[] = {
        {{0, 0, 0, 0, 0}, "00000000", 0x0D},
        {{1.0f, 0, 0, 0, 0}, "0000803f", 0xCC},
        {{nan, inf, -2.5f, 30.0f, 0.5f}, "0000c07f", -1},
    };
    for (const auto& row : rows) {
        sender_.send_motion_target(row.v);
        const QByteArray got = peer_.read_until(31, 1000);
        ASSERT_EQ(got.size(), 31);
        EXPECT_EQ(got.left(10), hex("ff318a23011f00000010"));
        EXPECT_EQ(got.mid(10, 4).toHex(), QByteArray(row.head));
        for (int i = 0; i < 5; ++i) EXPECT_EQ(std::memcmp(got.constData() + 10 + 4 * i, &row.v[i], 4), 0) << i;
        uint8_t sum = 0;
        for (int i = 0; i < 30; ++i) sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(got[i]));
        EXPECT_EQ(static_cast<uint8_t>(got[30]), row.sum < 0 ? sum : row.sum);
    }
}

// The write, a one-second pause in the caller, then the request for the values in force.
TEST_F(SerialSenderTest, FirmwareParamWriteThenRequestOneSecondLater) {
    const FirmwareParams params{9.0f, 3.0f, 1500.0f, 200.0f, 12.5f};
    const float values[5] = {9.0f, 3.0f, 1500.0f, 200.0f, 12.5f};
    const QByteArray frames = build_serial_frame(17, values, 5) + hex("ff318a23010b0000001801");
    std::vector<std::chrono::milliseconds> pauses;  // each frame's, before it
    EXPECT_TRUE(sender_.write_firmware_param(params, [&](std::chrono::milliseconds pause, const std::function<void()>& send) {
        pauses.push_back(pause);
        send();
        return true;
    }));
    EXPECT_EQ(pauses, (std::vector<std::chrono::milliseconds>{std::chrono::milliseconds(0), std::chrono::seconds(1)}));
    EXPECT_EQ(peer_.read_until(42, 5000).toHex(), frames.toHex());
    // The plain step sleeps the pause in the caller.
    const auto t0 = std::chrono::steady_clock::now();
    sender_.write_firmware_param(params);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1000));
    EXPECT_EQ(peer_.read_until(42, 5000).toHex(), frames.toHex());
}

TEST_F(SerialSenderTest, RawBytesGoOutUnframed) {
    for (const char* bytes : {"01ab", "", "ff80"}) {
        QByteArray raw = hex(bytes);
        sender_.send_raw(raw);
        QByteArray got = peer_.read_until(raw.size(), 5000);
        got += peer_.read_until(1, 50);  // a frame around them would come here
        EXPECT_EQ(got, raw) << bytes;
    }
}

}  // namespace
