// The serial side (manager, link, sender, receiver) against the simulated driver
// behind a real pseudo-terminal.
#include <QTest>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "console_capture.h"
#include "param_check.h"
#include "receiver_signals.h"
#include "serial_driver_peer.h"
#include "serial_manager.h"

namespace {

QByteArray reply(uint8_t cmd, std::vector<float> v = {}) { return build_serial_frame(cmd, v.data(), int(v.size())); }
// A 32-bit word as the one value, bit for bit.
QByteArray word_reply(uint8_t cmd, uint32_t w) { return build_serial_frame(cmd, reinterpret_cast<float*>(&w), 1); }

class SerialManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer.start());
        manager->set_intervals(3600 * 1000, 300);  // status requested only when a test asks
        manager->device_open_close_slot(QString::fromStdString(peer.slave_path()));
        ASSERT_TRUE(manager->serial_interface()->is_open());
    }
    bool wait_for(const std::vector<std::string>& expected) {
        return wait_until([&] { return events.names().size() >= expected.size(); }, 3000) && events.names() == expected;
    }

    SerialDriverPeer peer;
    std::shared_ptr<SerialManager> manager = std::make_shared<SerialManager>("en");
    ReceiverSignals<SerialReceiver> events{manager->serial_receiver(), Qt::AutoConnection};
};

// The bytes the manager writes: a simple and a long frame, and the requests the
// window tests do not count (replies: see the next test). Nothing once closed.
TEST_F(SerialManagerTest, RequestsGoOutByteExactAndNoneOnceClosed) {
    const float t[5] = {1, 2, 3, 4, 5};
    const std::pair<std::function<void()>, const char*> rows[] = {
        {[&] { manager->enable_motor(); }, "ff318a23010b00000012fb"},
        {[&] { manager->send_motion_target(t); }, "ff318a23011f000000100000803f0000004000004040000080400000a0402c"},
        {[&] { manager->write_firmware_param(FirmwareParams{6, 2, 500, 10, 3}); },
         "ff318a23011f000000110000c040000000400000fa4300002041000040406c" "ff318a23010b0000001801"},  // and re-read
        {[&] { manager->flash_firmware_param(); }, "ff318a23010b0000001700"},
        {[&] { manager->calibrate_motor(); }, "ff318a23010b00000015fe"},
        {[&] { manager->motor_status_checker_slot(); }, "ff318a23010b000000210a"},
    };
    for (const auto& [op, hex] : rows) {
        peer.clear_received();
        op();
        const QByteArray bytes = QByteArray::fromHex(hex);
        EXPECT_TRUE(wait_until([&] { return peer.raw_received().contains(bytes); }, 3000)) << hex;
    }
    manager->device_open_close_slot("");
    ASSERT_FALSE(manager->serial_interface()->is_open());
    ConsoleCapture console;
    manager->motor_status_checker_slot();  // a status request due on the closed link: nothing is written
    EXPECT_FALSE(console.contains("Write error")) << console.text();
}

TEST_F(SerialManagerTest, EveryReplyDecodesThroughNoise) {
    ConsoleCapture quiet;
    QByteArray bytes = QByteArray(25600, '\xFF') + reply(1);  // a second of a floating line, then at once a reply
    // A head of 13 bytes whose sum is right: taken as a frame, it would swallow the next reply's head.
    bytes += QByteArray::fromHex("FF318A23010D0000006F") + reply(7);
    for (uint8_t cmd : {18, 8, 5, 6, 21, 32, 34}) bytes += reply(cmd);
    bytes += reply(9, {2.9f}) + reply(9, {-1.5f}) + reply(17, {0.25f}) + word_reply(33, 0x00010005);
    bytes += reply(4, {24.5f, 36.25f, -100.0f}) + reply(16, {0.125f, 7.0f, 8.0f});
    bytes += reply(3, {8.0f, 1.0f, 1000.0f, 0.5f, 12.5f}) + reply(19, {1.0f, 9.0f, 0.0f, 0.0f, 0.0f});
    bytes += reply(2) + reply(10, {1}) + reply(42, {1, 2, 3}) + reply(20, {1, 2, 3, 4, 5});  // none is known
    for (int i = 0; i < 12; ++i) bytes += reply(static_cast<uint8_t>(37 + i), {1.0f + i});
    for (uint32_t step : {0u, 3u, 9u, 0x10004u}) bytes += word_reply(36, step);
    peer.send_bytes(bytes);
    EXPECT_TRUE(wait_for({"enable_sucess", "disable_sucess", "reset_success", "zero_point", "calibration_start",
                          "calibration_sucess", "motion_param_send_success", "error_reset", "set_param_success",
                          "phase_sequence(2)", "phase_sequence(-1)", "compensation(0.25)", "error_frame(5)",
                          "common(24.5,36.25,-100)", "angle(0.125)", "firm(8,1,1000,0.5,12.5)", "version(1,9)",
                          "csv(1)", "param_check(0)", "csv(0)", "param_check(3)", "csv(0)", "param_check(9)",
                          "csv(0)", "param_check(4)"}))
        << ::testing::PrintToString(events.names());
    const auto checks = events.checks();
    ASSERT_EQ(checks.size(), 4u);
    EXPECT_EQ(check_values(checks[0]), (std::array<float, 12>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
    EXPECT_EQ(check_values(checks[1]), (std::array<float, 12>{}));  // each check starts from cleared values
    for (int i = 0; i < 4; ++i) EXPECT_EQ(checks[i].result, check_step_text(std::array<uint32_t, 4>{0, 3, 7, 7}[i])) << i;
    EXPECT_EQ(check_step_text(3), QByteArray::fromHex("b5e7b8d0b2bbbacfb8f1").toStdString());  // GBK 电感不合格
}

}  // namespace
