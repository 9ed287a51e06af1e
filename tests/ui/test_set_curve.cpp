// The curve dialog driving a real CurveSender through the real link managers, with
// the simulated driver on a pseudo-terminal (serial) and behind the emulated gs_usb
// adapter (CAN), and the main window's form standing by for the two buttons it locks.
#include <QDoubleSpinBox>
#include <QMainWindow>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "can_codec.h"
#include "can_driver_on_adapter.h"
#include "can_manager.h"
#include "console_capture.h"
#include "emulated_usb_backend.h"
#include "sender_test_util.h"
#include "serial_driver_peer.h"
#include "serial_manager.h"
#include "set_curve.h"
#include "ui_mainwindow.h"
#include "wait_until.h"

namespace {

using Clock = std::chrono::steady_clock;
using Target = std::array<float, 5>;
constexpr uint8_t kSerialMotionCmd = 16;

class SetCurveTest : public ::testing::Test {
protected:
    void SetUp() override {
        backend_ = EmulatedUsbBackend::install();
        adapter_ = backend_->add_adapter();
        can_peer_ = start_can_driver_on(adapter_, 0);
        serial_peer_ = std::make_unique<SerialDriverPeer>();
        ASSERT_TRUE(serial_peer_->start());

        serial_manager_ = std::make_shared<SerialManager>("en");
        can_manager_ = std::make_shared<CanManager>("en");
        main_window_ = std::make_unique<QMainWindow>();
        main_ui_ = std::make_unique<Ui_MainWindow>();
        main_ui_->setupUi(main_window_.get());
        dialog_ = std::make_unique<SetCurve>(serial_manager_, can_manager_, main_ui_.get());
        // As the main window wires them.
        QObject::connect(serial_manager_->device_scanner(), &DeviceScanner::state_changed_signal, dialog_.get(),
                         &SetCurve::serial_state_changed_slot);
        QObject::connect(can_manager_->device_scanner(), &DeviceScanner::state_changed_signal,
                         dialog_.get(), &SetCurve::can_state_changed_slot);
        QObject::connect(serial_manager_->device_scanner(), &DeviceScanner::state_changed_signal, dialog_.get(),
                         [this](bool state) { serial_state_ = state; });
        QObject::connect(can_manager_->device_scanner(), &DeviceScanner::state_changed_signal,
                         dialog_.get(), [this](bool state) { can_state_ = state; });
        QObject::connect(can_manager_->device_scanner(), &DeviceScanner::number_changed_signal,
                         dialog_.get(), [this](std::vector<std::string>& devices) { can_listed_ = !devices.empty(); });
        QObject::connect(dialog_->curve_sender_.get(), &CurveSender::target_motion_state_signal, dialog_.get(),
                         [this](QVector<StampedMoitonState> batch) { published_ += batch; });
    }

    void TearDown() override {
        dialog_.reset();
        main_ui_.reset();
        main_window_.reset();
        serial_manager_.reset();
        can_manager_.reset();
        adapter_->set_bus_listener(nullptr);
        can_peer_.reset();
        serial_peer_.reset();
        adapter_.reset();
        EmulatedUsbBackend::uninstall();
        backend_.reset();
    }

    template <typename T>
    T* child(const char* name) {
        T* widget = dialog_->findChild<T*>(name);
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }

    // Opens or closes a link and waits for its scanner's report.
    void toggle_serial(bool open) {
        serial_manager_->device_open_close_slot(QString::fromStdString(serial_peer_->slave_path()));
        ASSERT_TRUE(wait_until([&] { return serial_state_ == open; }, 3000));
    }
    void toggle_can(bool open) {
        // An open adapter is not listed; a closed one is listed again at the next scan.
        if (open) {
            ASSERT_TRUE(wait_until([&] { return can_listed_; }, 3000));
        }
        can_manager_->device_open_close_slot("0");
        ASSERT_TRUE(wait_until([&] { return can_state_ == open; }, 3000));
    }

    // Picks the tab, sets the spin boxes and presses start; returns the lines written.
    std::vector<std::string> start(int tab, std::initializer_list<std::pair<const char*, double>> spins) {
        child<QTabWidget>("mode_tabWidget")->setCurrentIndex(tab);
        for (const auto& [name, value] : spins) child<QDoubleSpinBox>(name)->setValue(value);
        ConsoleCapture console;
        QTest::mouseClick(child<QPushButton>("start_pushButton"), Qt::LeftButton);
        return sender_lines(console);
    }
    void stop() { QTest::mouseClick(child<QPushButton>("stop_pushButton"), Qt::LeftButton); }

    void expect_running_locks(bool running) {
        EXPECT_EQ(child<QPushButton>("start_pushButton")->isEnabled(), !running);
        EXPECT_EQ(child<QTabWidget>("mode_tabWidget")->isEnabled(), !running);
        EXPECT_TRUE(child<QPushButton>("stop_pushButton")->isEnabled());
        EXPECT_EQ(main_ui_->motor_enable_disable_pushButton->isEnabled(), !running);
        EXPECT_EQ(main_ui_->send_motion_param_pushButton->isEnabled(), !running);
    }

    // Every published point was sent once, in order, as the curve of `type` with `p`
    // (serial values, or CAN payloads); the stop added one all-zero target.
    void expect_curve_sent(bool can, uint8_t type, const Target& p) {
        const auto serial = serial_peer_->requests(kSerialMotionCmd);
        const auto frames = can_peer_->requests(CanCommand::kMotionControl);
        ASSERT_FALSE(published_.isEmpty());
        ASSERT_EQ(can ? frames.size() : serial.size(), static_cast<size_t>(published_.size()) + 1);
        EXPECT_EQ(can ? serial.size() : frames.size(), 0u);
        for (int i = 0; i <= published_.size(); ++i) {
            const Target expected = i < published_.size() ? curve_target(type, published_[i].time, p) : Target{};
            if (can) {
                uint8_t packed[8] = {};
                pack_motion_command(packed, expected.data());
                ASSERT_EQ(std::memcmp(packed, frames[i].frame.data, 8), 0) << "frame " << i;
            } else {
                ASSERT_EQ(serial[i].values, std::vector<float>(expected.begin(), expected.end())) << "target " << i;
            }
        }
    }

    std::shared_ptr<EmulatedUsbBackend> backend_;
    std::shared_ptr<EmulatedGsUsbAdapter> adapter_;
    std::unique_ptr<CanDriverPeer> can_peer_;
    std::unique_ptr<SerialDriverPeer> serial_peer_;
    std::shared_ptr<SerialManager> serial_manager_;
    std::shared_ptr<CanManager> can_manager_;
    std::unique_ptr<QMainWindow> main_window_;
    std::unique_ptr<Ui_MainWindow> main_ui_;
    std::unique_ptr<SetCurve> dialog_;
    bool serial_state_ = false;
    bool can_state_ = false;
    bool can_listed_ = false;
    QVector<StampedMoitonState> published_;
};

const std::vector<std::string> kHundredHertz = {"[INFO] Send_hz: 100", "[INFO] Send_interval_ns_: 10000000",
                                                "[INFO] Sleep_interval_us_: 2000"};
const std::vector<std::string> kThousandHertz = {"[INFO] Send_hz: 1000", "[INFO] Send_interval_ns_: 1000000",
                                                 "[INFO] Sleep_interval_us_: 200"};

std::vector<std::string> lines(const std::string& mode, std::vector<std::string> rate) {
    rate.insert(rate.begin(), "mode_ is: " + mode);
    return rate;
}

TEST_F(SetCurveTest, TorqueTabOverSerialStreamsAtOneHundredHertzAndStopUnlocks) {
    toggle_serial(true);
    dialog_->set_start_time(Clock::now());
    // Position-tab values must not leak into a torque curve.
    EXPECT_EQ(start(0, {{"torque_A_doubleSpinBox", 2.5}, {"torque_f_doubleSpinBox", 1.0},
                        {"position_C_doubleSpinBox", 3.0}, {"position_Kp_doubleSpinBox", 9.0}}),
              lines("1", kHundredHertz));
    expect_running_locks(true);
    ASSERT_TRUE(serial_peer_->wait_for_requests(kSerialMotionCmd, 20, 3000));
    // The spin boxes are read only at start.
    child<QDoubleSpinBox>("torque_A_doubleSpinBox")->setValue(40.0);
    stop();
    expect_running_locks(false);
    QTest::qWait(100);
    expect_curve_sent(false, 0, {2.5f, 1.0f, 0.0f, 0.0f, 0.0f});
}

// The mode follows the link that opened last; closing it leaves the mode as it was.
TEST_F(SetCurveTest, PositionTabOverCanStreamsAtOneThousandHertz) {
    toggle_serial(true);
    toggle_serial(false);
    toggle_can(true);
    toggle_can(false);
    toggle_can(true);
    dialog_->set_start_time(Clock::now());
    EXPECT_EQ(start(1, {{"position_A_doubleSpinBox", 1.25}, {"position_f_doubleSpinBox", 2.0},
                        {"position_C_doubleSpinBox", 0.5}, {"position_Kp_doubleSpinBox", 30.0},
                        {"position_Kd_doubleSpinBox", 1.5}, {"torque_A_doubleSpinBox", 7.0}}),
              lines("2", kThousandHertz));
    expect_running_locks(true);
    ASSERT_TRUE(can_peer_->wait_for_requests(CanCommand::kMotionControl, 200, 3000));
    stop();
    expect_running_locks(false);
    QTest::qWait(100);
    expect_curve_sent(true, 1, {1.25f, 2.0f, 0.5f, 30.0f, 1.5f});
}

TEST_F(SetCurveTest, WithoutALinkTheCurveIsRecordedButSentNowhere) {
    EXPECT_FALSE(dialog_->testAttribute(Qt::WA_QuitOnClose));
    EXPECT_EQ(dialog_->parent(), nullptr);
    EXPECT_TRUE(dialog_->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_FALSE(dialog_->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
    EXPECT_FALSE(dialog_->windowIcon().isNull()) << "../icon/icon.png from the working directory";
    // Stop re-enables the main window's buttons even when nothing runs.
    main_ui_->motor_enable_disable_pushButton->setEnabled(false);
    main_ui_->send_motion_param_pushButton->setEnabled(false);
    stop();
    expect_running_locks(false);

    EXPECT_EQ(start(1, {{"position_A_doubleSpinBox", 1.0}, {"position_f_doubleSpinBox", 1.0}}),
              lines("0", kThousandHertz));
    ASSERT_TRUE(wait_until([&] { return published_.size() >= 20; }, 3000));
    stop();
    QTest::qWait(60);
    EXPECT_EQ(serial_peer_->request_count(kSerialMotionCmd), 0);
    EXPECT_EQ(can_peer_->request_count(CanCommand::kMotionControl), 0);
}

// Closing only hides the dialog; destroying it stops the curve.
TEST_F(SetCurveTest, ClosingLeavesTheCurveRunningDestructionStopsIt) {
    toggle_serial(true);
    dialog_->show();
    start(0, {{"torque_A_doubleSpinBox", 1.0}, {"torque_f_doubleSpinBox", 1.0}});
    ASSERT_TRUE(serial_peer_->wait_for_requests(kSerialMotionCmd, 3, 3000));
    dialog_->close();
    EXPECT_FALSE(dialog_->isVisible());
    const int at_close = serial_peer_->request_count(kSerialMotionCmd);
    EXPECT_TRUE(serial_peer_->wait_for_requests(kSerialMotionCmd, at_close + 5, 3000));
    expect_running_locks(true);
    {
        ConsoleCapture console;
        dialog_.reset();
        EXPECT_EQ(sender_lines(console),
                  (std::vector<std::string>{"[INFO] Dectruct SetCurve", "[INFO] Destruct CurveSender"}));
    }
    QTest::qWait(100);
    const auto requests = serial_peer_->requests(kSerialMotionCmd);
    const int settled = static_cast<int>(requests.size());
    QTest::qWait(60);
    EXPECT_EQ(serial_peer_->request_count(kSerialMotionCmd), settled);
    // The dialog stops the sender, then the sender's own destruction stops it again:
    // two all-zero targets end the stream.
    ASSERT_GE(requests.size(), 3u);
    EXPECT_EQ(requests[settled - 1].values, std::vector<float>(5, 0.0f));
    EXPECT_EQ(requests[settled - 2].values, std::vector<float>(5, 0.0f));
    EXPECT_NE(requests[settled - 3].values, std::vector<float>(5, 0.0f));
    // Destruction leaves the main window's buttons as they were.
    EXPECT_FALSE(main_ui_->motor_enable_disable_pushButton->isEnabled());
}

}  // namespace
