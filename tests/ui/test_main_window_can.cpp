// The main window over the CAN link: the gs_usb library down to the USB layer,
// an emulated adapter, and the simulated driver on its bus.
#include <QDoubleSpinBox>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <array>
#include <cmath>
#include <gtest/gtest.h>
#include <qcustomplot.h>

#include "can_codec.h"
#include "can_driver_on_adapter.h"
#include "console_capture.h"
#include "emulated_usb_backend.h"
#include "main_window.h"
#include "main_window_harness.h"
#include "serial_driver_peer.h"

namespace {

const char* const kDeviceGroup[] = {
    "set_param_pushButton", "calibration_pushButton", "set_zero_point_pushButton", "motor_reset_pushButton",
    "save_checkBox",          "motor_enable_disable_pushButton", "clear_curve_pushButton",
    "clear_error_pushButton", "update_firmware_pushButton",
};

// The payload a motion command for `target` carries.
std::vector<uint8_t> payload_of(std::array<float, 5> target) {
    uint8_t packed[8] = {};
    EXPECT_TRUE(pack_motion_command(packed, target.data()));
    return {packed, packed + 8};
}

std::vector<uint8_t> payload(const CanDriverPeer::Request& r) { return {r.frame.data, r.frame.data + 8}; }

// Records the texts a label had when it was painted.
class PaintRecorder : public QObject {
public:
    explicit PaintRecorder(QLabel* label) : label_(label) { label->installEventFilter(this); }
    ~PaintRecorder() override { label_->removeEventFilter(this); }
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint && (texts.isEmpty() || texts.last() != label_->text()))
            texts << label_->text();
        return false;
    }
    QStringList texts;

private:
    QLabel* label_;
};

class CanWindow : public ::testing::Test {
protected:
    void SetUp() override {
        backend = EmulatedUsbBackend::install();
        adapter = backend->add_adapter();
        peer = start_can_driver_on(adapter, 1);
    }

    void TearDown() override {
        h.reset();
        adapter->set_bus_listener(nullptr);
        peer->stop();
        EmulatedUsbBackend::uninstall();
    }

    void open(const std::string& lan = "en") {
        h = std::make_unique<WindowHarness>(lan);
        ASSERT_TRUE(h->open_can());
    }

    QPushButton* button(const char* name) { return h->find<QPushButton>(name); }

    void enable_motor() {
        button("motor_enable_disable_pushButton")->click();
        QTRY_COMPARE_WITH_TIMEOUT(button("motor_enable_disable_pushButton")->text(), QStringLiteral("DISABLE"), 3000);
    }

    std::shared_ptr<EmulatedUsbBackend> backend;
    std::shared_ptr<EmulatedGsUsbAdapter> adapter;
    std::unique_ptr<CanDriverPeer> peer;
    std::unique_ptr<WindowHarness> h;
};

}  // namespace

TEST_F(CanWindow, LinkOpenSetsControlsAndAsksTheVersionOnce) {
    h = std::make_unique<WindowHarness>("en");
    ConsoleCapture log;
    ASSERT_TRUE(h->open_can());

    auto* tabs = h->find<QTabWidget>("tabWidget");
    auto expect_link_state = [&](bool open) {
        for (const char* name : kDeviceGroup) EXPECT_EQ(h->find<QWidget>(name)->isEnabled(), open) << name;
        EXPECT_FALSE(tabs->isTabEnabled(1) || tabs->isTabEnabled(2));  // serial only
        EXPECT_FALSE(h->find<QWidget>("calibrate_tab")->isEnabled());
        EXPECT_EQ(button("open_can_pushButton")->text(), open ? QStringLiteral("Close connection") : QStringLiteral("CAN"));
        EXPECT_EQ(button("open_serial_pushButton")->text(), QStringLiteral("TTL Serial"));
        EXPECT_EQ(button("open_serial_pushButton")->isEnabled(), !open);
    };
    expect_link_state(true);
    EXPECT_TRUE(h->find<QWidget>("vision_tab")->isEnabled());
    EXPECT_TRUE(h->find<QLabel>("voltage_label1")->text().isEmpty());
    EXPECT_TRUE(h->find<QLabel>("voltage_label")->text().isEmpty());
    EXPECT_TRUE(log.contains("[INFO] Can is on and serial is off!\n"));

    QTRY_COMPARE_WITH_TIMEOUT(h->find<QLabel>("driver_version_label")->text(), QStringLiteral("V2-3"), 2000);
    EXPECT_EQ(peer->request_count(CanCommand::kGetFwVersion), 1);

    // Frame counts come from the CAN receiver: one rate, the motion label empty.
    QTRY_VERIFY_WITH_TIMEOUT(h->find<QLabel>("common_count_label")->text().startsWith(QStringLiteral("Update Rate: ")),
                             2500);
    EXPECT_TRUE(h->find<QLabel>("motion_count_label")->text().isEmpty());

    ASSERT_TRUE(h->close_can());
    expect_link_state(false);
    EXPECT_TRUE(h->find<QLabel>("driver_version_label")->text().isEmpty());
    EXPECT_EQ(peer->request_count(CanCommand::kGetFwVersion), 1);
}

TEST_F(CanWindow, BothLinksOpenIsAnErrorState) {
    SerialDriverPeer serial_peer;
    ASSERT_TRUE(serial_peer.start());
    h = std::make_unique<WindowHarness>("zh");
    ConsoleCapture log;
    ASSERT_TRUE(h->open_serial(serial_peer));
    ASSERT_FALSE(button("open_can_pushButton")->isEnabled());

    // The CAN dialog still lives (hidden); opening through it gives mode 3.
    QWidget* set_can = top_level_named("SetCan");
    ASSERT_NE(set_can, nullptr);
    set_can->findChild<QLineEdit*>(QStringLiteral("can_id_lineEdit"))->setText(QStringLiteral("1"));
    set_can->findChild<QPushButton*>(QStringLiteral("open_close_pushButton"))->click();
    QTRY_VERIFY_WITH_TIMEOUT(log.contains("[ERROR] Can and serial is both on!\n"), 2000);
    EXPECT_TRUE(button("open_serial_pushButton")->isEnabled());
    EXPECT_TRUE(button("open_can_pushButton")->isEnabled());
    EXPECT_EQ(button("open_serial_pushButton")->text(), QString::fromUtf8("关闭串口"));
    EXPECT_EQ(button("open_can_pushButton")->text(), QString::fromUtf8("关闭CAN"));

    // Commands go nowhere in mode 3.
    const int resets = peer->request_count(CanCommand::kResetMotor);
    button("motor_reset_pushButton")->click();
    QTest::qWait(100);
    EXPECT_EQ(peer->request_count(CanCommand::kResetMotor), resets);

    // Closing the serial side leaves the CAN link with the device group off.
    ASSERT_TRUE(h->close_serial());
    EXPECT_TRUE(log.contains("[INFO] Can is on and serial is off!\n"));
    EXPECT_FALSE(button("motor_reset_pushButton")->isEnabled());
    EXPECT_FALSE(button("open_serial_pushButton")->isEnabled());
}

TEST_F(CanWindow, EnableStreamStopAndCurveButton) {
    open();
    ConsoleCapture log;
    enable_motor();
    EXPECT_EQ(peer->request_count(CanCommand::kEnableMotor), 1);
    EXPECT_TRUE(button("set_curve_pushButton")->isEnabled());  // CAN and enabled
    EXPECT_FALSE(button("update_firmware_pushButton")->isEnabled());

    h->find<QDoubleSpinBox>("exp_angle_doubleSpinBox")->setValue(2.0);
    h->find<QDoubleSpinBox>("kp_doubleSpinBox")->setValue(20.0);
    h->find<QDoubleSpinBox>("kd_doubleSpinBox")->setValue(1.5);
    const int before = peer->request_count(CanCommand::kMotionControl);
    button("send_motion_param_pushButton")->click();
    EXPECT_TRUE(log.contains("[INFO] Send_hz: 1000\n"));
    EXPECT_FALSE(button("set_curve_pushButton")->isEnabled());
    ASSERT_TRUE(peer->wait_for_requests(CanCommand::kMotionControl, before + 300, 3000));
    button("stop_step_send_pushButton")->click();
    EXPECT_TRUE(button("set_curve_pushButton")->isEnabled());  // CAN: back on
    QTest::qWait(200);

    const auto zero = payload_of({}), target = payload_of({2.0f, 0, 0, 20.0f, 1.5f});
    const auto all = peer->requests(CanCommand::kMotionControl);
    std::vector<CanDriverPeer::Request> frames(all.begin() + before, all.end());
    ASSERT_GE(frames.size(), 301u);
    EXPECT_EQ(payload(frames.back()), zero);
    frames.pop_back();
    for (const auto& r : frames) {
        ASSERT_EQ(payload(r), target);  // one all-zero target only, at the end
        EXPECT_EQ(r.motor_id, 1);
    }
    // Streamed at the CAN rate: about 1 ms apart, never faster.
    const double span_ms = std::chrono::duration<double, std::milli>(frames.back().at - frames.front().at).count();
    const double mean_interval = span_ms / static_cast<double>(frames.size() - 1);
    EXPECT_GT(mean_interval, 0.9);
    EXPECT_LT(mean_interval, 3.0);

    // The measured replies were plotted with the targets.
    auto* angle = h->find<QCustomPlot>("angle_plot");
    EXPECT_GT(angle->graph(0)->dataCount(), 250);
    EXPECT_GT(angle->graph(1)->dataCount(), 250);
    // After the zero target; the fixed-point zero may read as -0.00.
    EXPECT_LT(std::abs(h->find<QLabel>("angle_label")->text().toDouble()), 0.01);
    EXPECT_EQ(h->find<QLabel>("angle_label")->text().length() - h->find<QLabel>("angle_label")->text().indexOf('.'), 3);

    button("motor_enable_disable_pushButton")->click();
    QTRY_COMPARE_WITH_TIMEOUT(button("motor_enable_disable_pushButton")->text(), QStringLiteral("ENABLE"), 3000);
    EXPECT_EQ(peer->request_count(CanCommand::kDisableMotor), 1);
    EXPECT_TRUE(button("update_firmware_pushButton")->isEnabled());  // CAN and disabled
    EXPECT_FALSE(button("set_curve_pushButton")->isEnabled());
}

TEST_F(CanWindow, ErrorBitsStopTheStreamAndDisableTheMotor) {
    open("zh");
    button("motor_enable_disable_pushButton")->click();
    QTRY_COMPARE_WITH_TIMEOUT(button("motor_enable_disable_pushButton")->text(), QString::fromUtf8("电机失能"), 3000);
    EXPECT_EQ(h->find<QLabel>("status_label")->text(), QString::fromUtf8("使能成功"));
    h->find<QDoubleSpinBox>("exp_angle_doubleSpinBox")->setValue(-1.0);
    button("send_motion_param_pushButton")->click();
    ASSERT_TRUE(peer->wait_for_requests(CanCommand::kMotionControl, 50, 2000));

    ConsoleCapture log;
    peer->driver().set_error_bits(0x0030);  // CAN timeout and driver over-temperature
    QTRY_COMPARE_WITH_TIMEOUT(h->find<QLabel>("status_label")->text(), QString::fromUtf8("驱动器过温,已失能!"), 3000);
    {
        // The disable goes out between the state line and the bit's line, and the
        // confirmation soon overwrites the status line, so the wait above may end
        // on this report or the next one.
        const auto lines = log.lines();
        const size_t state = find_line(lines, "[ERROR] error_bit_set: 30");
        EXPECT_LT(find_line(lines, "[ERROR] Driver over temp!", state), lines.size()) << log.text();
        EXPECT_EQ(find_line(lines, "[ERROR] Can timeout!"), lines.size()) << log.text();
    }
    QTRY_COMPARE_WITH_TIMEOUT(button("motor_enable_disable_pushButton")->text(), QString::fromUtf8("电机使能"), 3000);
    EXPECT_EQ(peer->request_count(CanCommand::kDisableMotor), 1);

    const int frames = peer->request_count(CanCommand::kMotionControl);
    QTest::qWait(100);
    EXPECT_EQ(peer->request_count(CanCommand::kMotionControl), frames);
    EXPECT_EQ(payload(peer->requests(CanCommand::kMotionControl).back()), payload_of({}));
    peer->driver().set_error_bits(0);
}

TEST_F(CanWindow, FirmwareUpdateReportsItsProgressOnTheStatusLine) {
    open();
    ASSERT_TRUE(button("update_firmware_pushButton")->isEnabled());
    QTemporaryDir dir;
    const QString image_path = dir.path() + QStringLiteral("/image.bin");
    QByteArray image;
    for (int i = 0; i < 100; ++i) image.append(static_cast<char>(i * 7 + 3));
    QFile file(image_path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(image) == image.size());
    file.close();
    auto* status = h->find<QLabel>("status_label");
    // The update blocks the event loop; what it shows must be painted at once.
    PaintRecorder painted(status);
    on_next_modal_of<QFileDialog>([image_path](QFileDialog* chooser) {
        chooser->selectFile(image_path);
        QMetaObject::invokeMethod(chooser, "accept");
        on_next_modal_of<QMessageBox>([](QMessageBox* confirm) { confirm->button(QMessageBox::Ok)->click(); });
    });
    button("update_firmware_pushButton")->click();  // returns after the whole update
    EXPECT_EQ(status->text(), QStringLiteral("Firmware is updated."));
    EXPECT_TRUE(painted.texts.contains(QStringLiteral("Updating...Please wait.")))
        << painted.texts.join('|').toStdString();
    EXPECT_EQ(peer->image(), image + QByteArray(4, '\0'));
    EXPECT_EQ(peer->dfu_count(), 1);
}
