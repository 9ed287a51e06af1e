// The curve dialog driving a real CurveSender through the real link managers, with
// the simulated driver on a pseudo-terminal (serial) and behind the emulated gs_usb
// adapter (CAN), and the main window's form standing by for the two buttons it locks.
#include <QDoubleSpinBox>
#include <QMainWindow>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
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
#include "typed_entry.h"
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
        // An open adapter is not listed; a closed one is listed again at a later scan,
        // so an open right after a close may find no adapter yet: tried again.
        if (open) ASSERT_TRUE(wait_until([&] { return can_listed_; }, 3000));
        ASSERT_TRUE(wait_until([&] {
            if (can_state_ != open) can_manager_->device_open_close_slot("0");
            return can_state_ == open;
        }, 3000));
    }

    void set_spin(const char* name, double value) { child<QDoubleSpinBox>(name)->setValue(value); }

    // Presses start and checks the link and rate it reports.
    void start_expecting(int mode, uint32_t rate) {
        ConsoleCapture console;
        QTest::mouseClick(child<QPushButton>("start_pushButton"), Qt::LeftButton);
        const uint32_t interval_ns = 1000000000u / rate;
        EXPECT_EQ(sender_lines(console),
                  (std::vector<std::string>{"mode_ is: " + std::to_string(mode), "[INFO] Send_hz: " + std::to_string(rate),
                                            "[INFO] Send_interval_ns_: " + std::to_string(interval_ns),
                                            "[INFO] Sleep_interval_us_: " + std::to_string(interval_ns / 5000)}));
    }

    void expect_running_locks(bool running) {
        EXPECT_EQ(child<QPushButton>("start_pushButton")->isEnabled(), !running);
        EXPECT_EQ(child<QTabWidget>("mode_tabWidget")->isEnabled(), !running);
        EXPECT_TRUE(child<QPushButton>("stop_pushButton")->isEnabled());
        EXPECT_EQ(main_ui_->motor_enable_disable_pushButton->isEnabled(), !running);
        EXPECT_EQ(main_ui_->send_motion_param_pushButton->isEnabled(), !running);
    }

    // Mean spacing of the published points in ms: about 10 at 100 Hz, about 1 at 1000 Hz.
    // Only the side of 5 ms is checked, so a loaded machine cannot flip it.
    double mean_spacing_ms() const {
        if (published_.size() < 2) return 0.0;
        return 1000.0 * (published_.back().time - published_.front().time) / (published_.size() - 1);
    }

    // Every published point was sent once, in order, as the curve of `type` with `p`;
    // the stop added one all-zero target.
    // The last batch of published points comes with the sender's next 20 ms flush,
    // later still when the machine is busy: waited for, not assumed.
    void wait_for_published(const std::function<int()>& sent) {
        wait_until([&] { return sent() == published_.size() + 1; }, 3000);
    }
    void expect_curve_on_serial(uint8_t type, const Target& p) {
        wait_for_published([&] { return serial_peer_->request_count(kSerialMotionCmd); });
        const auto requests = serial_peer_->requests(kSerialMotionCmd);
        ASSERT_FALSE(published_.isEmpty());
        EXPECT_GT(mean_spacing_ms(), 5.0) << "serial streams at 100 Hz";
        ASSERT_EQ(requests.size(), static_cast<size_t>(published_.size()) + 1);
        for (int i = 0; i <= published_.size(); ++i) {
            const Target expected = i < published_.size() ? curve_target(type, published_[i].time, p) : Target{};
            ASSERT_EQ(requests[i].values.size(), 5u);
            ASSERT_EQ(std::memcmp(requests[i].values.data(), expected.data(), sizeof(Target)), 0) << "target " << i;
        }
    }
    void expect_curve_on_can(uint8_t type, const Target& p) {
        wait_for_published([&] { return can_peer_->request_count(CanCommand::kMotionControl); });
        const auto frames = can_peer_->requests(CanCommand::kMotionControl);
        ASSERT_FALSE(published_.isEmpty());
        EXPECT_LT(mean_spacing_ms(), 5.0) << "CAN streams at 1000 Hz";
        ASSERT_EQ(frames.size(), static_cast<size_t>(published_.size()) + 1);
        for (int i = 0; i <= published_.size(); ++i) {
            const Target expected = i < published_.size() ? curve_target(type, published_[i].time, p) : Target{};
            uint8_t packed[8] = {};
            pack_motion_command(packed, expected.data());
            ASSERT_EQ(std::memcmp(packed, frames[i].frame.data, 8), 0) << "frame " << i;
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

TEST_F(SetCurveTest, DialogIsAStayOnTopToolThatNeverEndsTheApplication) {
    EXPECT_FALSE(dialog_->testAttribute(Qt::WA_QuitOnClose));
    EXPECT_EQ(dialog_->parent(), nullptr);
    const Qt::WindowFlags flags = dialog_->windowFlags();
    EXPECT_TRUE(flags & Qt::WindowStaysOnTopHint);
    EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_FALSE(dialog_->windowIcon().isNull()) << "../icon/icon.png from the working directory";
    EXPECT_EQ(child<QDoubleSpinBox>("torque_A_doubleSpinBox")->maximum(), 50.0);
    EXPECT_EQ(child<QDoubleSpinBox>("position_A_doubleSpinBox")->maximum(), 100.0);
    EXPECT_EQ(child<QDoubleSpinBox>("position_Kp_doubleSpinBox")->maximum(), 99.99);
    EXPECT_EQ(child<QDoubleSpinBox>("torque_f_doubleSpinBox")->minimum(), 0.0);
}

TEST_F(SetCurveTest, TorqueTabOverSerialStreamsAtOneHundredHertzAndStopUnlocks) {
    toggle_serial(true);
    dialog_->set_start_time(Clock::now());
    set_spin("torque_A_doubleSpinBox", 2.5);
    set_spin("torque_f_doubleSpinBox", 1.0);
    // Position-tab values must not leak into a torque curve.
    set_spin("position_C_doubleSpinBox", 3.0);
    set_spin("position_Kp_doubleSpinBox", 9.0);
    child<QTabWidget>("mode_tabWidget")->setCurrentIndex(0);
    start_expecting(1, 100);
    expect_running_locks(true);
    ASSERT_TRUE(serial_peer_->wait_for_requests(kSerialMotionCmd, 20, 3000));
    // A second press cannot happen (the button is locked); the spin boxes are read only at start.
    set_spin("torque_A_doubleSpinBox", 40.0);
    QTest::mouseClick(child<QPushButton>("stop_pushButton"), Qt::LeftButton);
    expect_running_locks(false);
    QTest::qWait(100);
    expect_curve_on_serial(0, {2.5f, 1.0f, 0.0f, 0.0f, 0.0f});
    EXPECT_EQ(can_peer_->request_count(CanCommand::kMotionControl), 0);
}

TEST_F(SetCurveTest, PositionTabOverCanStreamsAtOneThousandHertz) {
    toggle_can(true);
    dialog_->set_start_time(Clock::now());
    child<QTabWidget>("mode_tabWidget")->setCurrentIndex(1);
    set_spin("position_A_doubleSpinBox", 1.25);
    set_spin("position_f_doubleSpinBox", 2.0);
    set_spin("position_C_doubleSpinBox", 0.5);
    set_spin("position_Kp_doubleSpinBox", 30.0);
    set_spin("position_Kd_doubleSpinBox", 1.5);
    set_spin("torque_A_doubleSpinBox", 7.0);
    start_expecting(2, 1000);
    expect_running_locks(true);
    ASSERT_TRUE(can_peer_->wait_for_requests(CanCommand::kMotionControl, 200, 3000));
    QTest::mouseClick(child<QPushButton>("stop_pushButton"), Qt::LeftButton);
    expect_running_locks(false);
    QTest::qWait(100);
    expect_curve_on_can(1, {1.25f, 2.0f, 0.5f, 30.0f, 1.5f});
    EXPECT_EQ(serial_peer_->request_count(kSerialMotionCmd), 0);
}

// Over serial too, an entry a box cannot take refuses the start when the click
// takes the focus from the box ("1,5" would be read as 15); the message names the
// box in Chinese.
TEST_F(SetCurveTest, TypedEntryTheBoxCannotTakeRefusesTheStart) {
    toggle_serial(true);
    child<QTabWidget>("mode_tabWidget")->setCurrentIndex(0);
    set_spin("torque_f_doubleSpinBox", 1.0);
    ASSERT_TRUE(type_entry(child<QDoubleSpinBox>("torque_A_doubleSpinBox"), QStringLiteral("1,5")));
    QTest::mouseClick(child<QPushButton>("start_pushButton"), Qt::LeftButton);
    QTest::qWait(100);
    auto* box = dialog_->findChild<QMessageBox*>();
    ASSERT_TRUE(box && box->isVisible());
    EXPECT_EQ(box->text(), QString::fromUtf8("幅值A 只能填写 0.00 到 50.00 之间、最多 2 位小数的数字，“1,5”无效。"));
    EXPECT_EQ(serial_peer_->request_count(kSerialMotionCmd), 0);
    expect_running_locks(false);
}

TEST_F(SetCurveTest, ModeFollowsTheLastLinkThatOpened) {
    toggle_serial(true);
    toggle_serial(false);
    toggle_can(true);
    toggle_can(false);
    toggle_can(true);
    child<QTabWidget>("mode_tabWidget")->setCurrentIndex(0);
    set_spin("torque_A_doubleSpinBox", 1.0);
    set_spin("torque_f_doubleSpinBox", 0.5);
    {
        ConsoleCapture console;
        dialog_->on_start_pushButton_clicked();
        EXPECT_EQ(sender_lines(console).at(0), "mode_ is: 2");
    }
    ASSERT_TRUE(can_peer_->wait_for_requests(CanCommand::kMotionControl, 50, 3000));
    dialog_->on_stop_pushButton_clicked();
    QTest::qWait(100);
    expect_curve_on_can(0, {1.0f, 0.5f, 0.0f, 0.0f, 0.0f});
}

// With the last link closed Start is refused with a message; nothing is sent or recorded.
TEST_F(SetCurveTest, WithoutAnOpenLinkStartIsRefused) {
    toggle_serial(true);
    toggle_serial(false);
    child<QTabWidget>("mode_tabWidget")->setCurrentIndex(1);
    set_spin("position_A_doubleSpinBox", 1.0);
    set_spin("position_f_doubleSpinBox", 1.0);
    dialog_->on_start_pushButton_clicked();
    auto* box = dialog_->findChild<QMessageBox*>();
    EXPECT_EQ(box ? box->text().toStdString() : "", "没有打开的连接，无法开始曲线。请先打开串口或CAN。");
    QTest::qWait(60);
    EXPECT_TRUE(published_.isEmpty());
    expect_running_locks(false);
    EXPECT_EQ(serial_peer_->request_count(kSerialMotionCmd), 0);
    EXPECT_EQ(can_peer_->request_count(CanCommand::kMotionControl), 0);
}

TEST_F(SetCurveTest, StopReenablesTheMainWindowButtonsEvenWhenIdle) {
    main_ui_->motor_enable_disable_pushButton->setEnabled(false);
    main_ui_->send_motion_param_pushButton->setEnabled(false);
    QTest::mouseClick(child<QPushButton>("stop_pushButton"), Qt::LeftButton);
    expect_running_locks(false);
}

TEST_F(SetCurveTest, ClosingTheDialogLeavesTheCurveRunning) {
    toggle_serial(true);
    child<QTabWidget>("mode_tabWidget")->setCurrentIndex(0);
    set_spin("torque_A_doubleSpinBox", 1.0);
    set_spin("torque_f_doubleSpinBox", 1.0);
    dialog_->show();
    dialog_->on_start_pushButton_clicked();
    ASSERT_TRUE(serial_peer_->wait_for_requests(kSerialMotionCmd, 3, 3000));
    dialog_->close();
    EXPECT_FALSE(dialog_->isVisible());
    const int at_close = serial_peer_->request_count(kSerialMotionCmd);
    EXPECT_TRUE(serial_peer_->wait_for_requests(kSerialMotionCmd, at_close + 5, 3000));
    expect_running_locks(true);
}

TEST_F(SetCurveTest, DestructionStopsARunningCurve) {
    toggle_serial(true);
    child<QTabWidget>("mode_tabWidget")->setCurrentIndex(0);
    set_spin("torque_A_doubleSpinBox", 1.0);
    set_spin("torque_f_doubleSpinBox", 1.0);
    dialog_->set_start_time(Clock::now());
    dialog_->on_start_pushButton_clicked();
    ASSERT_TRUE(serial_peer_->wait_for_requests(kSerialMotionCmd, 5, 3000));
    dialog_.reset();
    // Settled once the two all-zero targets came (later on a busy machine).
    const auto zero_at = [&](std::size_t from_end) {
        const auto requests = serial_peer_->requests(kSerialMotionCmd);
        return requests.size() >= from_end && requests[requests.size() - from_end].values == std::vector<float>(5, 0.0f);
    };
    wait_until([&] { return zero_at(1) && zero_at(2); }, 3000);
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
