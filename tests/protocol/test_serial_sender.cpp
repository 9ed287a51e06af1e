#include <QByteArray>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <limits>
#include <memory>

#include "console_capture.h"
#include "pty_peer.h"
#include "qt_serial.h"
#include "serial_sender.h"

namespace {

QByteArray hex(const char* text) { return QByteArray::fromHex(text); }

std::string dump_line(const QByteArray& bytes) {
    std::string line = "[INFO] Sending data: ";
    for (unsigned char b : bytes) {
        char part[8];
        std::snprintf(part, sizeof part, "0x%02x ", b);
        line += part;
    }
    return line;
}

class SerialSenderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer_.open());
        link_ = std::make_shared<QtSerial>();
        ASSERT_EQ(link_->open(peer_.slave_path()), 0);
        sender_ = std::make_unique<SerialSender>(link_);
    }
    void TearDown() override {
        sender_.reset();
        link_->close();
    }

    PtyPeer peer_;
    std::shared_ptr<QtSerial> link_;
    std::unique_ptr<SerialSender> sender_;
};

TEST_F(SerialSenderTest, EveryShortRequestHasItsExactBytesAndLines) {
    struct Row {
        void (SerialSender::*op)();
        const char* cmd_and_sum;
        const char* own_line;  // nullptr: none
    };
    const Row rows[] = {
        {&SerialSender::enable_motor, "12fb", "[INFO] Enable motor"},
        {&SerialSender::disable_motor, "13fc", "[INFO] Diable motor"},
        {&SerialSender::reset_motor, "14fd", "[INFO] Reset motor"},
        {&SerialSender::start_calibration, "15fe", "[INFO] Start calibration"},
        {&SerialSender::set_zero_point, "16ff", "[INFO] Set zero point"},
        {&SerialSender::flash_firmware_param, "1700", "[INFO] Flash firmware param"},
        {&SerialSender::request_firmware_param, "1801", "[INFO] Request firmware param"},
        {&SerialSender::request_driver_version, "1902", "[INFO] Request driver version"},
        {&SerialSender::clear_error, "2009", "[INFO] Clear error"},
        {&SerialSender::request_status, "210a", nullptr},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.cmd_and_sum);
        ConsoleCapture console;
        (sender_.get()->*r.op)();
        const QByteArray expected = hex("ff318a23010b000000") + hex(r.cmd_and_sum);
        EXPECT_EQ(peer_.read_until(11, 1000).toHex(), expected.toHex());
        std::vector<std::string> want;
        if (r.own_line) want.push_back(r.own_line);
        want.push_back(dump_line(expected));
        EXPECT_EQ(console.lines(), want);
    }
}

TEST_F(SerialSenderTest, MotionTargetsCarryFiveFloatsBitForBit) {
    ConsoleCapture console;
    const float zero[5] = {0, 0, 0, 0, 0};
    sender_->send_motion_target(zero);
    QByteArray expected = hex("ff318a23011f00000010") + QByteArray(20, '\0') + hex("0d");
    EXPECT_EQ(peer_.read_until(31, 1000).toHex(), expected.toHex());

    const float one[5] = {1.0f, 0, 0, 0, 0};
    sender_->send_motion_target(one);
    QByteArray got = peer_.read_until(31, 1000);
    ASSERT_EQ(got.size(), 31);
    EXPECT_EQ(got.mid(10, 4), hex("0000803f"));
    EXPECT_EQ(static_cast<uint8_t>(got[30]), 0xCC);

    const float odd[5] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                          -2.5f, 30.0f, 0.5f};
    sender_->send_motion_target(odd);
    got = peer_.read_until(31, 1000);
    ASSERT_EQ(got.size(), 31);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(std::memcmp(got.constData() + 10 + 4 * i, &odd[i], 4), 0) << i;
    EXPECT_EQ(static_cast<uint8_t>(got[30]),
              byte_sum_checksum(reinterpret_cast<const uint8_t*>(got.constData()), 31));
    // Motion targets have no line of their own, only the dump.
    const auto lines = console.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], dump_line(expected));
}

TEST_F(SerialSenderTest, FirmwareParamWriteThenRequestOneSecondLater) {
    ConsoleCapture console;
    const auto t0 = std::chrono::steady_clock::now();
    sender_->write_firmware_param(FirmwareParams{9, 3, 1500, 200, 12.5f});
    const auto elapsed = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(elapsed, std::chrono::milliseconds(1000));
    EXPECT_LT(elapsed, std::chrono::milliseconds(1500));

    const QByteArray got = peer_.read_until(42, 1000);
    ASSERT_EQ(got.size(), 42);
    const float values[5] = {9.0f, 3.0f, 1500.0f, 200.0f, 12.5f};
    const QByteArray write_frame = build_serial_frame(17, values, 5);
    EXPECT_EQ(got.left(31).toHex(), write_frame.toHex());
    EXPECT_EQ(got.mid(31).toHex(), hex("ff318a23010b0000001801").toHex());
    EXPECT_EQ(console.lines(), (std::vector<std::string>{"[INFO] Write firmware param", dump_line(write_frame),
                                                         "[INFO] Request firmware param",
                                                         dump_line(got.mid(31))}));
}

TEST_F(SerialSenderTest, RawBytesGoOutUnframed) {
    ConsoleCapture console;
    QByteArray raw = hex("01ab");
    sender_->send_raw(raw);
    EXPECT_EQ(peer_.read_until(2, 1000), hex("01ab"));
    QByteArray empty;
    sender_->send_raw(empty);
    EXPECT_TRUE(peer_.read_for(50).isEmpty());
    QByteArray high = hex("ff80");
    sender_->send_raw(high);
    EXPECT_EQ(peer_.read_until(2, 1000), hex("ff80"));
    EXPECT_EQ(console.lines(), (std::vector<std::string>{"[INFO] Sending data: 0x01 0xab ",
                                                         "[INFO] Sending data: ",
                                                         "[INFO] Sending data: 0xff 0x80 "}));
}

TEST(SerialSenderLifecycle, RequestOnAClosedLinkIsStillDumped) {
    auto link = std::make_shared<QtSerial>();
    SerialSender sender(link);
    ConsoleCapture console;
    sender.reset_motor();
    EXPECT_EQ(console.lines(),
              (std::vector<std::string>{"[INFO] Reset motor",
                                        "[INFO] Sending data: 0xff 0x31 0x8a 0x23 0x01 0x0b 0x00 0x00 0x00 0x14 0xfd ",
                                        "[ERROR] Write error"}));
}

}  // namespace
