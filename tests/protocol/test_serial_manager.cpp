// The serial link manager end to end: dialog, pseudo-terminal, simulated driver.
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "console_capture.h"
#include "serial_driver_peer.h"
#include "serial_manager.h"
#include "serial_test_util.h"
#include "set_serial.h"

namespace {

using namespace std::chrono;

int thread_count() { return static_cast<int>(QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot).size()); }

// The one device dialog alive (each manager owns one).
SetSerial* dialog_of_manager() {
    SetSerial* found = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* d = qobject_cast<SetSerial*>(w)) found = d;
    return found;
}

class SerialManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer_.start());
        manager_ = std::make_shared<SerialManager>("en");
        dialog_ = dialog_of_manager();
        ASSERT_NE(dialog_, nullptr);
        combo_ = dialog_->findChild<QComboBox*>("device_select_comboBox");
        button_ = dialog_->findChild<QPushButton*>("serial_open_close_pushButton");
        ASSERT_NE(combo_, nullptr);
        ASSERT_NE(button_, nullptr);
        rx_ = manager_->serial_receiver();
        // The main window's connection: the start report reaches the manager directly.
        QObject::connect(rx_, &SerialReceiver::calibration_start_signal, manager_.get(),
                         &SerialManager::calibrate_start_slot, Qt::DirectConnection);
        QObject::connect(manager_->device_scanner(), &DeviceScanner::state_changed_signal, manager_.get(),
                         [this](bool s) { states_.push_back(s); });
    }
    void TearDown() override {
        manager_.reset();
        peer_.stop();
    }

    // Chooses `path` in the dialog (ptys are never listed by the scanner) and presses the button.
    void press_open_close(const std::string& path) {
        std::vector<std::string> names{path};
        dialog_->device_number_changed_slot(names);
        QTest::mouseClick(button_, Qt::LeftButton);
    }

    bool link_open() { return manager_->serial_interface()->is_open(); }

    SerialDriverPeer peer_;
    std::shared_ptr<SerialManager> manager_;
    SetSerial* dialog_ = nullptr;
    QComboBox* combo_ = nullptr;
    QPushButton* button_ = nullptr;
    SerialReceiver* rx_ = nullptr;
    std::vector<bool> states_;
};

TEST_F(SerialManagerTest, OpenThroughTheDialogPollsStatusAndCloseJoins) {
    EXPECT_FALSE(link_open());
    EXPECT_FALSE(rx_->has_receive_thread());
    ReceiverEvents events(rx_);
    peer_.driver().set_error_bits(0x0010);

    const int threads_before = thread_count();
    ConsoleCapture console;
    press_open_close(peer_.slave_path());
    EXPECT_TRUE(link_open());
    EXPECT_TRUE(rx_->has_receive_thread());
    EXPECT_EQ(thread_count(), threads_before + 1);
    EXPECT_EQ(console.lines_starting("[INFO] Serial opened!").size(), 1u);

    // The scanner reports the new state and relabels the dialog's button.
    ASSERT_TRUE(wait_until([&] { return states_.size() == 1; }, 1500));
    EXPECT_TRUE(states_[0]);
    EXPECT_EQ(button_->text(), "Close");

    // One status request a second while open, each answered with the error bits.
    const auto opened = steady_clock::now();
    ASSERT_TRUE(peer_.wait_for_requests(33, 3, 4000));
    EXPECT_LT(steady_clock::now() - opened, milliseconds(3400));
    const auto polls = peer_.requests(33);
    for (size_t i = 1; i < polls.size(); ++i) {
        const auto gap = duration_cast<milliseconds>(polls[i].at - polls[i - 1].at).count();
        EXPECT_NEAR(gap, 1000, 150);
    }
    for (const auto& r : polls) EXPECT_EQ(r.bytes, QByteArray::fromHex("ff318a23010b000000210a"));
    ASSERT_TRUE(wait_until([&] { return events.events.size() >= 3; }, 1000));
    EXPECT_EQ(events.events[0], "error_bits 16");

    // Closing joins the thread and closes the port; polling stops.
    QTest::mouseClick(button_, Qt::LeftButton);
    EXPECT_FALSE(link_open());
    EXPECT_FALSE(rx_->has_receive_thread());
    EXPECT_EQ(thread_count(), threads_before);
    ASSERT_TRUE(wait_until([&] { return states_.size() == 2; }, 1500));
    EXPECT_FALSE(states_[1]);
    EXPECT_EQ(button_->text(), "Open");
    const int polled = peer_.request_count(33);
    QTest::qWait(2300);
    EXPECT_EQ(peer_.request_count(33), polled);

    // Opening again starts one fresh thread.
    press_open_close(peer_.slave_path());
    EXPECT_TRUE(link_open());
    EXPECT_EQ(thread_count(), threads_before + 1);
    manager_->request_driver_version();
    ASSERT_TRUE(peer_.wait_for_requests(25, 1, 1000));
}

TEST_F(SerialManagerTest, DeviceDialogRunsModalAndOnTopUntilCancelled) {
    bool shown = false, on_top = false;
    Qt::WindowModality modality = Qt::NonModal;
    QWidget* modal = nullptr;
    QTimer::singleShot(50, dialog_, [&] {
        shown = dialog_->isVisible();
        on_top = dialog_->windowFlags() & Qt::WindowStaysOnTopHint;
        modality = dialog_->windowModality();
        modal = QApplication::activeModalWidget();
        QTest::mouseClick(dialog_->findChild<QPushButton*>("cancle_pushButton"), Qt::LeftButton);
    });
    manager_->show_set_serial_dialog();  // returns only when the dialog is closed
    EXPECT_TRUE(shown);
    EXPECT_TRUE(on_top);
    EXPECT_EQ(modality, Qt::ApplicationModal);
    EXPECT_EQ(modal, dialog_);
    EXPECT_FALSE(dialog_->isVisible());
    EXPECT_FALSE(link_open());
}

TEST_F(SerialManagerTest, EveryForwarderReachesTheDriver) {
    ReceiverEvents events(rx_);
    std::vector<StampedMoitonState> samples;
    QObject::connect(rx_, &DeviceReceiver::motor_motion_state_signal, rx_,
                     [&](QVector<StampedMoitonState>& b) {
                         for (auto& s : b) samples.push_back(s);
                         b.clear();
                     },
                     Qt::DirectConnection);
    peer_.driver().set_version(3.0f, 14.0f);
    press_open_close(peer_.slave_path());
    ASSERT_TRUE(link_open());

    manager_->request_driver_version();
    ASSERT_TRUE(wait_until([&] { return !events.events.empty(); }, 2000));
    EXPECT_EQ(events.events[0], "version 3 14");

    manager_->set_start_time(steady_clock::now() - seconds(5));
    manager_->enable_motor();
    const float target[5] = {1.0f, 2.0f, 3.0f, 4.0f, 5.0f};
    manager_->send_motion_target(target);
    manager_->request_firmware_param();
    FirmwareParams p;
    p.gear_ratio = 6.0f;
    p.can_id = 2.0f;
    p.current_bandwidth = 500.0f;
    p.can_timeout = 10.0f;
    p.current_limit = 3.0f;
    manager_->write_firmware_param(p);
    manager_->flash_firmware_param();
    manager_->set_zero_point();
    manager_->reset_motor();
    manager_->clear_error();
    manager_->disable_motor();
    QByteArray raw = QByteArray::fromHex("a5a5");
    manager_->send_raw(raw);
    ASSERT_TRUE(peer_.wait_for_requests(19, 1, 2000));
    ASSERT_TRUE(peer_.wait_for_raw(11 * 10 + 31 * 2 + 2, 2000));

    std::vector<int> cmds;
    for (const auto& r : peer_.requests())
        if (r.cmd != 33) cmds.push_back(r.cmd);
    EXPECT_EQ(cmds, (std::vector<int>{25, 18, 16, 24, 17, 24, 23, 22, 20, 32, 19}));
    EXPECT_EQ(peer_.requests(16)[0].values, (std::vector<float>{1, 2, 3, 4, 5}));
    EXPECT_EQ(peer_.requests(17)[0].values, (std::vector<float>{6, 2, 500, 10, 3}));
    EXPECT_TRUE(peer_.raw_received().contains(QByteArray::fromHex("ff318a23010b00000013fc") + raw));
    EXPECT_EQ(peer_.driver().flashed_params(), (SimulatedDriver::Params{6, 2, 500, 10, 3}));

    ASSERT_TRUE(wait_until([&] { return samples.size() == 1; }, 2000));
    EXPECT_EQ(samples[0].position, 1.0f);
    EXPECT_GE(samples[0].time, 5.0f);
    EXPECT_LT(samples[0].time, 7.0f);
    ASSERT_TRUE(wait_until([&] { return events.events.size() >= 10; }, 2000));
}

TEST_F(SerialManagerTest, FailedOpenLeavesAnIdleThreadThatTheNextOpenReuses) {
    ReceiverEvents events(rx_);
    const int threads_before = thread_count();
    ConsoleCapture console;
    press_open_close("/nonexistent/ttyNothing");
    EXPECT_FALSE(link_open());
    EXPECT_TRUE(rx_->has_receive_thread());
    EXPECT_EQ(thread_count(), threads_before + 1);
    EXPECT_TRUE(console.contains("[ERROR] Serial open failed!"));

    press_open_close(peer_.slave_path());
    EXPECT_TRUE(link_open());
    EXPECT_EQ(thread_count(), threads_before + 1);
    manager_->enable_motor();
    ASSERT_TRUE(wait_until([&] { return !events.events.empty(); }, 2000));
    EXPECT_EQ(events.events[0], "enable");
}

TEST_F(SerialManagerTest, EmptyDeviceListOpensNothing) {
    std::vector<std::string> none;
    dialog_->device_number_changed_slot(none);
    ConsoleCapture console;
    QTest::mouseClick(button_, Qt::LeftButton);
    EXPECT_FALSE(link_open());
    EXPECT_TRUE(console.contains("[ERROR] Serial open failed!"));
}

TEST_F(SerialManagerTest, UnpluggingWhileOpenIsSurvivedAndTheLinkReopens) {
    ReceiverEvents events(rx_);
    peer_.driver().set_motion_stream(500.0);
    press_open_close(peer_.slave_path());
    ASSERT_TRUE(link_open());
    ASSERT_TRUE(wait_until([&] { return states_.size() == 1; }, 1500));
    ASSERT_TRUE(peer_.wait_for_requests(33, 1, 1500));
    const int threads_open = thread_count();

    // Pull the adapter while replies stream in and requests go out.
    peer_.unplug();
    manager_->enable_motor();
    const float target[5] = {0, 0, 0, 0, 0};
    manager_->send_motion_target(target);
    ASSERT_TRUE(wait_until([&] { return states_.size() == 2; }, 3000)) << "scanner never saw the loss";
    EXPECT_FALSE(states_[1]);
    EXPECT_FALSE(link_open());
    EXPECT_EQ(button_->text(), "Open");
    QTest::qWait(1200);  // status polls meet a closed link and send nothing
    EXPECT_EQ(thread_count(), threads_open - 1);  // only the peer's own thread has gone

    // Plug in again (a new pty) and open it through the dialog.
    peer_.driver().set_motion_stream(0.0);
    ASSERT_TRUE(peer_.start());
    peer_.clear_received();
    press_open_close(peer_.slave_path());
    ASSERT_TRUE(link_open());
    EXPECT_TRUE(rx_->has_receive_thread());
    EXPECT_EQ(thread_count(), threads_open);  // the idle thread serves the new link
    events.events.clear();
    manager_->request_driver_version();
    ASSERT_TRUE(wait_until([&] {
        return std::find(events.events.begin(), events.events.end(), "version 2 3") != events.events.end();
    }, 2000));
    ASSERT_TRUE(wait_until([&] { return states_.size() == 3; }, 1500));
    EXPECT_TRUE(states_[2]);

    // And closed again.
    QTest::mouseClick(button_, Qt::LeftButton);
    EXPECT_FALSE(link_open());
    EXPECT_FALSE(rx_->has_receive_thread());
}

TEST_F(SerialManagerTest, CalibrationStartedThenUnconfirmedThreeSecondsLater) {
    SimulatedDriver::CalibrationScript script;
    script.start_delay = milliseconds(200);
    peer_.driver().set_calibration_script(script);
    int failed = 0;
    QObject::connect(manager_.get(), &SerialManager::calibrate_failed_signal, manager_.get(), [&] { ++failed; });
    press_open_close(peer_.slave_path());
    ASSERT_TRUE(link_open());

    ConsoleCapture console;
    const auto t0 = steady_clock::now();
    manager_->calibrate_motor();
    EXPECT_LT(steady_clock::now() - t0, milliseconds(100));  // nothing blocks
    ASSERT_TRUE(peer_.wait_for_requests(21, 1, 1000));
    ASSERT_TRUE(wait_until([&] { return console.contains("[INFO] Info calibrate_start_slot()"); }, 2000));

    // The second call meets a driver that stays silent.
    script.silent = true;
    peer_.driver().set_calibration_script(script);
    QTest::qWait(static_cast<int>(3000 - duration_cast<milliseconds>(steady_clock::now() - t0).count()));
    manager_->calibrate_motor();
    ASSERT_TRUE(wait_until([&] { return console.contains("[INFO] Calibration started"); }, 5000));
    const auto first = steady_clock::now() - t0;
    EXPECT_GE(first, milliseconds(6600));  // a coarse timer may fire up to 5% early
    EXPECT_EQ(failed, 0);
    ASSERT_TRUE(wait_until([&] { return failed == 1; }, 4000));
    const auto second = steady_clock::now() - t0;
    EXPECT_GE(second, milliseconds(9600));
    QTest::qWait(100);
    EXPECT_EQ(failed, 1);
    EXPECT_EQ(console.lines_starting("[INFO] Info calibrate_start_slot()").size(), 1u);
    EXPECT_EQ(console.lines_starting("[INFO] Calibration started").size(), 1u);
    EXPECT_EQ(console.lines_starting("[ERROR] Calibration start failed").size(), 1u);
    EXPECT_EQ(peer_.request_count(21), 2);
}

TEST_F(SerialManagerTest, CalibrationWithASilentDriverFailsOnce) {
    SimulatedDriver::CalibrationScript script;
    script.silent = true;
    peer_.driver().set_calibration_script(script);
    int failed = 0;
    QObject::connect(manager_.get(), &SerialManager::calibrate_failed_signal, manager_.get(), [&] { ++failed; });
    press_open_close(peer_.slave_path());
    ConsoleCapture console;
    manager_->calibrate_motor();
    QTest::qWait(6500);  // a coarse 7000 ms timer fires within 5%
    EXPECT_EQ(failed, 0);
    ASSERT_TRUE(wait_until([&] { return failed == 1; }, 1500));
    QTest::qWait(100);
    EXPECT_EQ(failed, 1);
    EXPECT_EQ(console.lines_starting("[ERROR] Calibration start failed").size(), 1u);
    EXPECT_FALSE(console.contains("[INFO] Calibration started"));
}

TEST_F(SerialManagerTest, DestroyingWhileOpenJoinsThroughTheReceiver) {
    peer_.driver().set_motion_stream(1000.0);
    press_open_close(peer_.slave_path());
    ASSERT_TRUE(link_open());
    QTest::qWait(100);
    const int threads_open = thread_count();
    ConsoleCapture console;
    const auto t0 = steady_clock::now();
    manager_.reset();
    EXPECT_LT(steady_clock::now() - t0, milliseconds(500));
    EXPECT_EQ(thread_count(), threads_open - 1);
    const auto lines = console.lines();
    auto at = [&](const std::string& l) { return std::find(lines.begin(), lines.end(), l) - lines.begin(); };
    const auto manager_line = at("[INFO] Destruct SerialManager");
    const auto receiver_line = at("[INFO] Dectruct SerialReceiver");
    ASSERT_LT(static_cast<size_t>(receiver_line), lines.size());
    EXPECT_LT(manager_line, receiver_line);
    EXPECT_LT(receiver_line, at("[INFO] Destruct SerialSender"));
    EXPECT_LT(at("[INFO] Destruct SerialSender"), at("[INFO] Destruct DeviceScanner"));
    EXPECT_LT(at("[INFO] Destruct DeviceScanner"), at("[INFO] Dectruct SetSerial"));
    EXPECT_LT(at("[INFO] Dectruct SetSerial"), at("[INFO] Destruct QtSerial"));
    EXPECT_LT(static_cast<size_t>(at("[INFO] Destruct QtSerial")), lines.size());
    peer_.driver().set_motion_stream(0.0);
}

}  // namespace
