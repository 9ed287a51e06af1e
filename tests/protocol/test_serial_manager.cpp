#include <QApplication>
#include <QDir>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "console_capture.h"
#include "receiver_signals.h"
#include "serial_driver_peer.h"
#include "serial_manager.h"
#include "set_serial.h"

namespace {

using namespace std::chrono;

int thread_count() { return static_cast<int>(QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot).size()); }

class SerialManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer_.start());
        manager_ = std::make_shared<SerialManager>("en");
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* d = qobject_cast<SetSerial*>(w)) dialog_ = d;
        ASSERT_NE(dialog_, nullptr);
        button_ = dialog_->findChild<QPushButton*>("serial_open_close_pushButton");
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
    QPushButton* button_ = nullptr;
    SerialReceiver* rx_ = nullptr;
    std::vector<bool> states_;
};

TEST_F(SerialManagerTest, OpenThroughTheDialogPollsStatusAndCloseJoins) {
    ReceiverSignals<SerialReceiver> events(rx_, Qt::AutoConnection);
    peer_.driver().set_error_bits(0x0010);
    const int threads_before = thread_count();

    // An empty list or a missing device opens nothing; the idle thread serves the next open.
    ConsoleCapture console;
    std::vector<std::string> none;
    dialog_->device_number_changed_slot(none);
    QTest::mouseClick(button_, Qt::LeftButton);
    press_open_close("/nonexistent/ttyNothing");
    EXPECT_FALSE(link_open());
    EXPECT_EQ(console.lines_starting("[ERROR] Serial open failed!").size(), 2u);
    EXPECT_TRUE(rx_->has_receive_thread());

    // The dialog runs modal and on top until cancelled; the open happens from inside it.
    bool on_top = false;
    QWidget* modal = nullptr;
    QTimer::singleShot(50, dialog_, [&] {
        on_top = dialog_->windowFlags() & Qt::WindowStaysOnTopHint;
        modal = QApplication::activeModalWidget();
        press_open_close(peer_.slave_path());
        QTest::mouseClick(dialog_->findChild<QPushButton*>("cancle_pushButton"), Qt::LeftButton);
    });
    manager_->show_set_serial_dialog();
    EXPECT_TRUE(on_top);
    EXPECT_EQ(modal, dialog_);
    EXPECT_EQ(dialog_->windowModality(), Qt::ApplicationModal);
    EXPECT_FALSE(dialog_->isVisible());
    EXPECT_TRUE(link_open());
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
    for (size_t i = 1; i < polls.size(); ++i)
        EXPECT_NEAR(duration_cast<milliseconds>(polls[i].at - polls[i - 1].at).count(), 1000, 150);
    for (const auto& r : polls) EXPECT_EQ(r.bytes, QByteArray::fromHex("ff318a23010b000000210a"));
    ASSERT_TRUE(events.wait_for_count(3, 1000));
    EXPECT_EQ(events.names()[0], "error_frame(16)");

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
}

TEST_F(SerialManagerTest, EveryForwarderReachesTheDriver) {
    std::vector<StampedMoitonState> samples;
    QObject::connect(rx_, &DeviceReceiver::motor_motion_state_signal, rx_,
                     [&](QVector<StampedMoitonState>& b) {
                         for (auto& s : b) samples.push_back(s);
                         b.clear();
                     },
                     Qt::DirectConnection);
    press_open_close(peer_.slave_path());
    ASSERT_TRUE(link_open());

    manager_->request_driver_version();
    manager_->set_start_time(steady_clock::now() - seconds(5));
    manager_->enable_motor();
    const float target[5] = {1.0f, 2.0f, 3.0f, 4.0f, 5.0f};
    manager_->send_motion_target(target);
    manager_->request_firmware_param();
    manager_->write_firmware_param(FirmwareParams{6, 2, 500, 10, 3});
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
}

TEST_F(SerialManagerTest, UnpluggingWhileOpenIsSurvivedAndTheLinkReopens) {
    ReceiverSignals<SerialReceiver> events(rx_, Qt::AutoConnection);
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
    events.clear();
    manager_->request_driver_version();
    ASSERT_TRUE(wait_until([&] {
        const auto n = events.names();
        return std::find(n.begin(), n.end(), "version(2,3)") != n.end();
    }, 2000));
    ASSERT_TRUE(wait_until([&] { return states_.size() == 3; }, 1500));
    EXPECT_TRUE(states_[2]);

    QTest::mouseClick(button_, Qt::LeftButton);
    EXPECT_FALSE(link_open());
    EXPECT_FALSE(rx_->has_receive_thread());
}

// The first calibration is confirmed; the second, 3 s later, meets a silent driver and fails once.
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
    ASSERT_TRUE(wait_until([&] { return console.contains("[INFO] Info calibrate_start_slot()"); }, 2000));

    script.silent = true;
    peer_.driver().set_calibration_script(script);
    QTest::qWait(static_cast<int>(3000 - duration_cast<milliseconds>(steady_clock::now() - t0).count()));
    manager_->calibrate_motor();
    ASSERT_TRUE(wait_until([&] { return console.contains("[INFO] Calibration started"); }, 5000));
    EXPECT_GE(steady_clock::now() - t0, milliseconds(6600));  // a coarse timer may fire up to 5% early
    EXPECT_EQ(failed, 0);
    ASSERT_TRUE(wait_until([&] { return failed == 1; }, 4000));
    EXPECT_GE(steady_clock::now() - t0, milliseconds(9600));
    QTest::qWait(100);
    EXPECT_EQ(failed, 1);
    EXPECT_EQ(console.lines_starting("[INFO] Info calibrate_start_slot()").size(), 1u);
    EXPECT_EQ(console.lines_starting("[INFO] Calibration started").size(), 1u);
    EXPECT_EQ(console.lines_starting("[ERROR] Calibration start failed").size(), 1u);
    EXPECT_EQ(peer_.request_count(21), 2);
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
    size_t at = 0;
    for (const char* line : {"[INFO] Destruct SerialManager", "[INFO] Dectruct SerialReceiver",
                             "[INFO] Destruct SerialSender", "[INFO] Destruct DeviceScanner",
                             "[INFO] Dectruct SetSerial", "[INFO] Destruct QtSerial"}) {
        const auto found = std::find(lines.begin() + at, lines.end(), line);
        ASSERT_NE(found, lines.end()) << line << " missing or out of order";
        at = found - lines.begin() + 1;
    }
    peer_.driver().set_motion_stream(0.0);
}

}  // namespace
