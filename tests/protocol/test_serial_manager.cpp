// The whole serial side (manager, dialog, link, sender, receiver, scanner) against
// the simulated driver behind a real pseudo-terminal.
#include <QApplication>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>

#include "console_capture.h"
#include "param_check.h"
#include "receiver_signals.h"
#include "serial_driver_peer.h"
#include "serial_manager.h"
#include "set_serial.h"

namespace {

using namespace std::chrono;
using Lines = std::vector<std::string>;

float from_bits(uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

class SerialManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer.start());
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* d = qobject_cast<SetSerial*>(w)) dialog = d;
        ASSERT_NE(dialog, nullptr);
        button = dialog->findChild<QPushButton*>("serial_open_close_pushButton");
        // As the main window connects them: the start report reaches the manager directly,
        // motion samples are taken out of the buffer in the GUI thread.
        QObject::connect(rx, &SerialReceiver::calibration_start_signal, manager.get(),
                         &SerialManager::calibrate_start_slot, Qt::DirectConnection);
        QObject::connect(rx, &DeviceReceiver::motor_motion_state_signal, rx, [this](QVector<StampedMoitonState>& b) {
            samples.insert(samples.end(), b.begin(), b.end());
            b.clear();
        }, Qt::DirectConnection);
        QObject::connect(rx, &DeviceReceiver::fps_signal, [this](FrameCount c) { counts.push_back(c); });
        events = std::make_unique<ReceiverSignals<SerialReceiver>>(rx, Qt::AutoConnection);
    }
    // Chooses `path` in the dialog (ptys are never listed by the scanner) and presses the button.
    void press_open_close(const std::string& path) {
        std::vector<std::string> names{path};
        dialog->device_number_changed_slot(names);
        QTest::mouseClick(button, Qt::LeftButton);
    }
    bool open_link() {
        press_open_close(peer.slave_path());
        return manager->serial_interface()->is_open() && wait_until([&] { return button->text() == "Close"; }, 1500);
    }
    // The signals so far, without the answers to the idle status poll.
    Lines names() {
        Lines out;
        for (auto& n : events->names())
            if (n != "error_frame(0)") out.push_back(n);
        return out;
    }
    bool wait_for(const Lines& expected) {
        return wait_until([&] { return names().size() >= expected.size(); }, 3000) && names() == expected;
    }

    SerialDriverPeer peer;
    std::shared_ptr<SerialManager> manager = std::make_shared<SerialManager>("en");
    SerialReceiver* rx = manager->serial_receiver();
    SetSerial* dialog = nullptr;
    QPushButton* button = nullptr;
    std::unique_ptr<ReceiverSignals<SerialReceiver>> events;
    std::vector<StampedMoitonState> samples;
    std::vector<FrameCount> counts;
};

TEST_F(SerialManagerTest, OpenPollsTheStatusEverySecondCloseStopsAndReopens) {
    ConsoleCapture console;
    press_open_close("/nonexistent/ttyNothing");
    EXPECT_FALSE(manager->serial_interface()->is_open());
    EXPECT_TRUE(rx->has_receive_thread());  // the idle thread serves the next open

    peer.driver().set_error_bits(0x0010);
    ASSERT_TRUE(open_link());
    ASSERT_TRUE(peer.wait_for_requests(33, 2, 3000));
    const auto polls = peer.requests(33);
    EXPECT_NEAR(duration_cast<milliseconds>(polls[1].at - polls[0].at).count(), 1000, 300);
    EXPECT_EQ(polls[0].bytes, QByteArray::fromHex("ff318a23010b000000210a"));
    EXPECT_TRUE(wait_for({"error_frame(16)", "error_frame(16)"}));

    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_FALSE(manager->serial_interface()->is_open());
    EXPECT_FALSE(rx->has_receive_thread());
    console.clear();
    ASSERT_TRUE(wait_until([&] { return button->text() == "Open"; }, 1500));
    QTest::qWait(1100);  // a status poll falls due on the closed link: nothing is written
    EXPECT_FALSE(console.contains("Write error")) << console.text();

    ASSERT_TRUE(open_link());
    EXPECT_TRUE(rx->has_receive_thread());
    peer.driver().set_motion_stream(1000.0);  // destroyed while replies stream in: joins at once
}

// One row per request: what the manager writes and what the driver's reply yields.
TEST_F(SerialManagerTest, EveryRequestGoesOutByteExactAndItsReplyComesBack) {
    ASSERT_TRUE(open_link());
    SimulatedDriver::CalibrationScript script;
    script.cogging_map = {0.5f};
    script.compensation = {-0.25f};
    script.check_step = 2;
    peer.driver().set_calibration_script(script);
    const float target[5] = {1, 2, 3, 4, 5};
    QByteArray raw = QByteArray::fromHex("a5a5");
    const struct { std::function<void()> op; const char* bytes; Lines replies; } rows[] = {
        {[&] { manager->enable_motor(); }, "ff318a23010b00000012fb", {"enable_sucess"}},
        {[&] { manager->send_motion_target(target); },
         "ff318a23011f000000100000803f0000004000004040000080400000a0402c", {}},
        {[&] { manager->disable_motor(); }, "ff318a23010b00000013fc", {"disable_sucess"}},
        {[&] { manager->reset_motor(); }, "ff318a23010b00000014fd", {"reset_success"}},
        {[&] { manager->set_zero_point(); }, "ff318a23010b00000016ff", {"zero_point"}},
        {[&] { manager->request_firmware_param(); }, "ff318a23010b0000001801", {"firm(8,1,1000,0,10)"}},
        {[&] { manager->request_driver_version(); }, "ff318a23010b0000001902", {"version(2,3)"}},
        {[&] { manager->clear_error(); }, "ff318a23010b0000002009", {"error_reset"}},
        {[&] { manager->write_firmware_param(FirmwareParams{6, 2, 500, 10, 3}); },
         "ff318a23011f000000110000c040000000400000fa4300002041000040406c" "ff318a23010b0000001801",
         {"set_param_success", "firm(6,2,500,10,3)", "firm(6,2,500,10,3)"}},  // re-read a second later
        {[&] { manager->flash_firmware_param(); }, "ff318a23010b0000001700", {}},
        {[&] { manager->send_raw(raw); }, "a5a5", {}},
        {[&] { manager->calibrate_motor(); }, "ff318a23010b00000015fe",
         {"calibration_start", "phase_sequence(1)", "angle(0.5)", "compensation(-0.25)", "csv(0)", "param_check(2)",
          "calibration_sucess"}},
    };
    for (const auto& row : rows) {
        events->clear();
        peer.clear_received();
        row.op();
        const QByteArray bytes = QByteArray::fromHex(row.bytes);
        ASSERT_TRUE(wait_until([&] { return peer.raw_received().contains(bytes); }, 3000)) << row.bytes;
        EXPECT_TRUE(wait_for(row.replies)) << row.bytes << ::testing::PrintToString(names());
    }
    EXPECT_EQ(peer.driver().flashed_params(), (SimulatedDriver::Params{6, 2, 500, 10, 3}));
    EXPECT_EQ(check_values(events->checks().at(0)), script.check_values);
    EXPECT_EQ(events->checks().at(0).result, check_step_text(2));
    ASSERT_EQ(samples.size(), 1u);
    EXPECT_EQ(samples[0].position, 1.0f);
}

TEST_F(SerialManagerTest, RepliesDecodeThroughNoiseAndOddHeads) {
    ASSERT_TRUE(open_link());
    ConsoleCapture quiet;
    peer.send_noise(25600);  // a second of a floating line, then at once the reply
    peer.send_frame(1);
    peer.send_odd_head(13, 7);  // taken as a frame, it would swallow the next reply's header
    peer.send_odd_head(1, 8);
    peer.send_bytes(QByteArray::fromHex("0001020304"));
    for (uint8_t cmd : {5, 6, 18, 21, 32, 34}) peer.send_frame(cmd);
    peer.send_frame(9, {2.9f});
    peer.send_frame(9, {-1.5f});
    peer.send_frame(17, {0.25f});
    peer.send_frame(33, {from_bits(0x00010005)});  // payload bytes 05 00 01 00
    peer.send_frame(4, {24.5f, 36.25f, -100.0f});
    peer.send_frame(16, {0.125f, 7.0f, 8.0f});
    peer.send_frame(3, {8.0f, 1.0f, 1000.0f, 0.5f, 12.5f});
    peer.send_frame(19, {1.0f, 9.0f, 0.0f, 0.0f, 0.0f});
    peer.send_frame(2), peer.send_frame(10, {1}), peer.send_frame(42, {1, 2, 3}), peer.send_frame(20, {1, 2, 3, 4, 5});
    for (int i = 0; i < 12; ++i) peer.send_frame(static_cast<uint8_t>(37 + i), {1.0f + i});
    for (uint32_t step : {0u, 3u, 9u, 0x10004u}) peer.send_frame(36, {from_bits(step)});
    EXPECT_TRUE(wait_for({"enable_sucess", "disable_sucess", "zero_point", "calibration_start", "calibration_sucess",
                          "reset_success", "motion_param_send_success", "error_reset", "set_param_success",
                          "phase_sequence(2)", "phase_sequence(-1)", "compensation(0.25)", "error_frame(5)",
                          "common(24.5,36.25,-100)", "angle(0.125)", "firm(8,1,1000,0.5,12.5)", "version(1,9)",
                          "csv(1)", "param_check(0)", "csv(0)", "param_check(3)", "csv(0)", "param_check(9)",
                          "csv(0)", "param_check(4)"}))
        << ::testing::PrintToString(names());
    const auto checks = events->checks();
    ASSERT_EQ(checks.size(), 4u);
    EXPECT_EQ(check_values(checks[0]), (std::array<float, 12>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
    EXPECT_EQ(check_values(checks[1]), (std::array<float, 12>{}));  // each check starts from cleared values
    for (int i = 0; i < 4; ++i) EXPECT_EQ(checks[i].result, check_step_text(std::array<uint32_t, 4>{0, 3, 7, 7}[i])) << i;
    EXPECT_EQ(check_step_text(3), QByteArray::fromHex("b5e7b8d0b2bbbacfb8f1").toStdString());  // GBK 电感不合格
}

TEST_F(SerialManagerTest, MotionRepliesAreStampedCountedAndNoneIsLost) {
    ASSERT_TRUE(open_link());
    manager->set_start_time(steady_clock::now() - milliseconds(1500));
    peer.send_frame(2, {0.5f, -1.25f, 3.0f});
    ASSERT_TRUE(wait_until([&] { return samples.size() == 1; }, 2000));
    EXPECT_GE(samples[0].time, 1.5f);
    EXPECT_LT(samples[0].time, 2.5f);
    EXPECT_EQ(samples[0].velocity, -1.25f);
    EXPECT_EQ(samples[0].torque, 3.0f);

    samples.clear();
    manager->set_start_time(steady_clock::now());
    peer.driver().set_common_state_interval(milliseconds(100));
    peer.driver().set_motion_stream(1000.0, 2000);
    ASSERT_TRUE(wait_until([&] { return samples.size() >= 2000; }, 6000));
    const size_t ticks = counts.size();
    ASSERT_TRUE(wait_until([&] { return counts.size() >= ticks + 1; }, 1500));
    ASSERT_EQ(samples.size(), 2000u);
    for (size_t i = 0; i < samples.size(); ++i) ASSERT_EQ(samples[i].position, static_cast<float>(i));
    EXPECT_LT(samples[0].time, samples.back().time);
    FrameCount total{};
    for (const auto& c : counts) total.motion_count += c.motion_count, total.common_count += c.common_count;
    EXPECT_EQ(total.motion_count, 2001u);
    EXPECT_GE(total.common_count, 15u);
}

TEST_F(SerialManagerTest, UnpluggingWhileOpenIsSurvivedAndTheLinkReopens) {
    ASSERT_TRUE(open_link());
    peer.driver().set_motion_stream(500.0);
    QTest::qWait(50);
    peer.unplug();
    manager->enable_motor();
    ASSERT_TRUE(wait_until([&] { return button->text() == "Open"; }, 3000)) << "the loss was never seen";
    EXPECT_FALSE(manager->serial_interface()->is_open());
    peer.driver().set_motion_stream(0.0);
    ASSERT_TRUE(peer.start());  // plugged in again: a new pty
    ASSERT_TRUE(open_link());
    events->clear();
    manager->request_driver_version();
    EXPECT_TRUE(wait_for({"version(2,3)"}));
}

// The start report is judged when the window closes (the timer's slot, called here).
TEST_F(SerialManagerTest, CalibrationFailsOnlyWhenTheStartWasNeverReported) {
    ASSERT_TRUE(open_link());
    int failed = 0;
    QObject::connect(manager.get(), &SerialManager::calibrate_failed_signal, [&] { ++failed; });
    manager->calibrate_motor();
    ASSERT_TRUE(wait_until([&] { return !names().empty(); }, 2000));
    manager->calibrate_start_timer_slot();
    EXPECT_EQ(failed, 0);
    SimulatedDriver::CalibrationScript silent;
    silent.silent = true;
    peer.driver().set_calibration_script(silent);
    manager->calibrate_motor();
    ASSERT_TRUE(peer.wait_for_requests(21, 2, 2000));
    manager->calibrate_start_timer_slot();
    EXPECT_EQ(failed, 1);
}

}  // namespace
