// The main window over the CAN link: the gs_usb library down to the USB layer,
// an emulated adapter and the simulated driver on its bus; a serial peer for the
// switch between the links.
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QTabWidget>
#include <QTest>
#include <array>
#include <cmath>
#include <gtest/gtest.h>

#include "can_codec.h"
#include "can_driver_on_adapter.h"
#include "console_capture.h"
#include "emulated_usb_backend.h"
#include "main_window_harness.h"
#include "serial_driver_peer.h"
#include "wait_until.h"

namespace {

std::vector<uint8_t> payload_of(std::array<float, 5> target) {
    uint8_t packed[8] = {};
    pack_motion_command(packed, target.data());
    return {packed, packed + 8};
}
std::vector<uint8_t> payload(const CanDriverPeer::Request& r) { return {r.frame.data, r.frame.data + 8}; }

class CanWindow : public ::testing::Test {
protected:
    void SetUp() override {
        backend = EmulatedUsbBackend::install();
        adapter = backend->add_adapter();
        peer = start_can_driver_on(adapter, 1);
        ASSERT_TRUE(serial.start());
    }
    void TearDown() override {
        h.reset();
        adapter->set_bus_listener(nullptr);
        peer->stop();
        EmulatedUsbBackend::uninstall();
    }
    QString text(const char* label) { return h->find<QLabel>(label)->text(); }
    int motion() { return peer->request_count(CanCommand::kMotionControl); }

    std::shared_ptr<EmulatedUsbBackend> backend;
    std::shared_ptr<EmulatedGsUsbAdapter> adapter;
    std::unique_ptr<CanDriverPeer> peer;
    SerialDriverPeer serial;
    std::unique_ptr<WindowHarness> h;
};

}  // namespace

// Serial, then CAN, then serial again: commands, rates, controls and the curve
// follow the open link; both links open is an error state.
TEST_F(CanWindow, LinkSwitchingAndBothLinksOpen) {
    h = std::make_unique<WindowHarness>("en");
    auto* tabs = h->find<QTabWidget>("tabWidget");
    auto reset_reaches = [&](bool can) {
        const int can_before = peer->request_count(CanCommand::kResetMotor), serial_before = serial.request_count(20);
        h->button("motor_reset_pushButton")->click();
        QTest::qWait(150);
        EXPECT_EQ(peer->request_count(CanCommand::kResetMotor) - can_before, can ? 1 : 0);
        EXPECT_EQ(serial.request_count(20) - serial_before, can ? 0 : 1);
    };
    ASSERT_TRUE(h->serial_link(&serial));
    reset_reaches(false);
    ASSERT_TRUE(h->serial_link(nullptr));
    ASSERT_TRUE(h->can_link(true));
    for (const char* name : {"set_param_pushButton", "calibration_pushButton", "motor_enable_disable_pushButton",
                             "clear_error_pushButton", "update_firmware_pushButton", "vision_tab"})
        EXPECT_TRUE(h->find<QWidget>(name)->isEnabled()) << name;
    EXPECT_FALSE(tabs->isTabEnabled(1) || tabs->isTabEnabled(2) || h->find<QWidget>("calibrate_tab")->isEnabled());
    EXPECT_FALSE(h->button("open_serial_pushButton")->isEnabled());
    EXPECT_TRUE(text("voltage_label1").isEmpty());
    ASSERT_TRUE(wait_until([&] { return text("driver_version_label") == "V2-3"; }, 2000));
    EXPECT_EQ(peer->request_count(CanCommand::kGetFwVersion), 1);
    ASSERT_TRUE(wait_until([&] { return text("common_count_label").startsWith("Update Rate: "); }, 2500));
    EXPECT_TRUE(text("motion_count_label").isEmpty());
    reset_reaches(true);
    {
        ConsoleCapture log;
        curve_start(1, {{"position_A_doubleSpinBox", 1.0}, {"position_f_doubleSpinBox", 1.0}});
        EXPECT_TRUE(log.contains("mode_ is: 2\n[INFO] Send_hz: 1000\n")) << log.text();
    }
    ASSERT_TRUE(peer->wait_for_requests(CanCommand::kMotionControl, 200, 3000));
    curve_stop();
    ASSERT_TRUE(h->can_link(false));
    EXPECT_FALSE(h->button("update_firmware_pushButton")->isEnabled());
    EXPECT_TRUE(text("driver_version_label").isEmpty());
    ASSERT_TRUE(h->serial_link(&serial));
    reset_reaches(false);
    EXPECT_TRUE(tabs->isTabEnabled(2));

    // The CAN dialog still lives hidden; opening through it gives both links.
    ConsoleCapture log;
    QWidget* set_can = top_level_named("SetCan");
    auto* combo = set_can->findChild<QComboBox*>(QStringLiteral("device_select_comboBox"));
    ASSERT_TRUE(wait_until([&] { return combo->count() > 0; }, 2000));
    set_can->findChild<QPushButton*>(QStringLiteral("open_close_pushButton"))->click();
    ASSERT_TRUE(wait_until([&] { return log.contains("[ERROR] Can and serial is both on!\n"); }, 2000));
    EXPECT_EQ(h->button("open_can_pushButton")->text() + h->button("open_serial_pushButton")->text(),
              QStringLiteral("Close connectionClose connection"));
    EXPECT_TRUE(h->button("open_can_pushButton")->isEnabled() && h->button("open_serial_pushButton")->isEnabled());
    const int serial_resets = serial.request_count(20);
    h->button("motor_reset_pushButton")->click();
    QTest::qWait(100);
    EXPECT_EQ(serial.request_count(20), serial_resets);  // nothing goes out in mode 3
    ASSERT_TRUE(h->serial_link(nullptr));
    EXPECT_TRUE(log.contains("[INFO] Can is on and serial is off!\n"));
    EXPECT_FALSE(h->button("motor_reset_pushButton")->isEnabled());
}

// Step at 1000 Hz, an error stops it with one zero target, and a firmware update
// stops a running curve before the first firmware frame.
TEST_F(CanWindow, StreamErrorAndFirmwareUpdate) {
    h = std::make_unique<WindowHarness>("en");
    ASSERT_TRUE(h->can_link(true));
    ASSERT_TRUE(h->toggle_motor("DISABLE"));
    EXPECT_TRUE(h->button("set_curve_pushButton")->isEnabled());
    EXPECT_FALSE(h->button("update_firmware_pushButton")->isEnabled());
    set_spins(h->window(), {{"exp_angle_doubleSpinBox", 2.0}, {"kp_doubleSpinBox", 20.0}, {"kd_doubleSpinBox", 1.5}});
    const int before = motion();
    h->button("send_motion_param_pushButton")->click();
    ASSERT_TRUE(peer->wait_for_requests(CanCommand::kMotionControl, before + 300, 3000));
    peer->driver().set_error_bits(0x0030);
    ASSERT_TRUE(wait_until([&] { return h->button("motor_enable_disable_pushButton")->text() == "ENABLE"; }, 3000));
    // The disable's confirmation may overwrite the message until the next report.
    EXPECT_TRUE(wait_until([&] { return text("status_label") == "Driver overtemperature! Motor is disabled."; }, 2500));
    EXPECT_EQ(peer->request_count(CanCommand::kDisableMotor), 1);
    peer->driver().set_error_bits(0);
    QTest::qWait(100);
    auto frames = peer->requests(CanCommand::kMotionControl);
    frames.erase(frames.begin(), frames.begin() + before);
    EXPECT_EQ(int(frames.size()) + before, motion());
    EXPECT_EQ(payload(frames.back()), payload_of({}));
    EXPECT_LT(std::abs(text("angle_label").toDouble()), 0.01);  // the reply to the zero target came last
    frames.pop_back();
    for (const auto& r : frames) ASSERT_EQ(payload(r), payload_of({2.0f, 0, 0, 20.0f, 1.5f}));
    const double mean_ms =
        std::chrono::duration<double, std::milli>(frames.back().at - frames.front().at).count() / (frames.size() - 1);
    EXPECT_GT(mean_ms, 0.9);
    EXPECT_LT(mean_ms, 3.0);
    EXPECT_TRUE(h->button("update_firmware_pushButton")->isEnabled());  // CAN and disabled

    QTemporaryDir dir;
    const QString image_path = dir.path() + QStringLiteral("/image.bin");
    QByteArray image(100, '\x5a');
    QFile file(image_path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(image) == image.size());
    file.close();
    curve_start(0, {{"torque_A_doubleSpinBox", 1.0}, {"torque_f_doubleSpinBox", 1.0}});
    ASSERT_TRUE(peer->wait_for_requests(CanCommand::kMotionControl, motion() + 50, 3000));
    on_next_modal_of<QFileDialog>([image_path](QFileDialog* chooser) {
        chooser->selectFile(image_path);
        QMetaObject::invokeMethod(chooser, "accept");
        on_next_modal_of<QMessageBox>([](QMessageBox* confirm) { confirm->button(QMessageBox::Ok)->click(); });
    });
    h->button("update_firmware_pushButton")->click();  // returns after the whole update
    EXPECT_EQ(text("status_label"), QStringLiteral("Firmware is updated."));
    EXPECT_EQ(peer->image(), image + QByteArray(4, '\0'));
    const auto all = peer->requests();
    const auto start = std::find_if(all.begin(), all.end(),
                                    [](const auto& r) { return r.cmd == CanCommand::kWriteAppBackStart; });
    ASSERT_NE(start, all.end());
    EXPECT_TRUE(std::none_of(start, all.end(), [](const auto& r) { return r.cmd == CanCommand::kMotionControl; }));
    const auto last_motion = std::find_if(std::make_reverse_iterator(start), all.rend(),
                                          [](const auto& r) { return r.cmd == CanCommand::kMotionControl; });
    ASSERT_NE(last_motion, all.rend());
    EXPECT_EQ(payload(*last_motion), payload_of({}));
}
