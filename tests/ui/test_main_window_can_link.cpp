// The main window's CAN link: controls, labels, the both-links-open state, the
// curve button's rules and the status texts (the gs_usb library down to the USB
// layer, an emulated adapter and the simulated driver on its bus).
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QTabWidget>
#include <QTest>
#include <gtest/gtest.h>
#include <qcustomplot.h>

#include "can_codec.h"
#include "can_driver_on_adapter.h"
#include "console_capture.h"
#include "emulated_usb_backend.h"
#include "main_window_harness.h"
#include "typed_entry.h"
#include "serial_driver_peer.h"
#include "wait_until.h"

namespace {

const char* const kDeviceGroup[] = {
    "set_param_pushButton",   "calibration_pushButton",          "set_zero_point_pushButton",
    "motor_reset_pushButton", "save_checkBox",                   "motor_enable_disable_pushButton",
    "clear_curve_pushButton", "clear_error_pushButton",
};

using CanLink = CanWindowTest;

// The visible message boxes, wherever they belong: "title: text".
QStringList visible_boxes() {
    QStringList out;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible())
            out << box->windowTitle() + ": " + box->text();
    return out;
}

bool contains_all(const QString& text, const QStringList& parts) {
    for (const QString& part : parts)
        if (!text.contains(part)) return false;
    return true;
}

}  // namespace

// An adapter present but not usable: the CAN dialog says why it is not listed, without a
// box from the polls, and Open shows a box with the reason; so does an adapter that
// fails to open after it was listed. Once the cause is gone, the line goes too.
TEST(CanAdapterRefused, TheDialogAndABoxSayWhy) {
    using Options = EmulatedGsUsbAdapter::Options;
    Options no_permission;
    no_permission.no_permission = true;
    Options kernel;
    kernel.kernel_driver = true;
    kernel.kernel_interface = "can0";
    using Step = std::function<void(EmulatedGsUsbAdapter&)>;
    const Step can0_up = [](EmulatedGsUsbAdapter& a) { a.set_kernel_interface_up(true); };
    const Step can0_down = [](EmulatedGsUsbAdapter& a) { a.set_kernel_interface_up(false); };
    struct Row {
        const char* lan;
        Options options;
        Step before, at_open, fix;  // before the window; after the listing, before Open; mends it
        QStringList line, box;      // parts of the dialog's line (empty: none) and of the box
    } rows[] = {
        {"en", no_permission, {}, {}, {}, {"no permission", "udev rule"}, {"Cannot open", "udev rule"}},
        {"zh", kernel, can0_up, {}, can0_down, {"can0", "ip link set can0 down"},
         {QString::fromUtf8("无法打开"), "ip link set can0 down"}},
        // Listed while can0 was down, taken up before Open.
        {"en", kernel, {}, can0_up, {}, {}, {"adapter 0", "can0", "ip link set can0 down"}},
        // The adapter refuses the bit timing.
        {"en", {}, {}, [](EmulatedGsUsbAdapter& a) { a.fail_request(1); }, {}, {}, {"adapter 0", "bit timing"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.box.join(" ").toStdString());
        ConsoleCapture quiet;
        auto backend = EmulatedUsbBackend::install();
        auto adapter = backend->add_adapter(row.options);
        if (row.before) row.before(*adapter);
        WindowHarness h(row.lan);
        QWidget* set_can = top_level_named("SetCan");
        ASSERT_NE(set_can, nullptr);
        auto* combo = set_can->findChild<QComboBox*>(QStringLiteral("device_select_comboBox"));
        auto line = [set_can] {
            auto* label = set_can->findChild<QLabel*>(QStringLiteral("adapter_problem_label"));
            return label ? label->text() : QStringLiteral("<no line>");
        };
        if (row.line.isEmpty()) {
            EXPECT_TRUE(wait_until([&] { return combo->count() == 1; }, 3000));
            EXPECT_TRUE(line().isEmpty()) << line().toStdString();
        } else {
            EXPECT_TRUE(wait_until([&] { return contains_all(line(), row.line); }, 3000)) << line().toStdString();
            EXPECT_EQ(combo->count(), 0);
            QTest::qWait(1100);  // polls go by: none of them brings up a box
        }
        EXPECT_TRUE(visible_boxes().isEmpty()) << visible_boxes().join("|").toStdString();

        if (row.at_open) row.at_open(*adapter);
        set_can->findChild<QLineEdit*>(QStringLiteral("can_id_lineEdit"))->setText(QStringLiteral("1"));
        set_can->findChild<QPushButton*>(QStringLiteral("open_close_pushButton"))->click();
        EXPECT_TRUE(wait_until([&] { return !visible_boxes().isEmpty(); }, 2000));
        const QStringList boxes = visible_boxes();
        EXPECT_EQ(boxes.size(), 1) << boxes.join("|").toStdString();
        EXPECT_TRUE(boxes.size() == 1 && contains_all(boxes[0], row.box)) << boxes.join("|").toStdString();
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QMessageBox*>(w)) box->close();
        EXPECT_FALSE(adapter->is_open());

        if (row.fix) {
            row.fix(*adapter);
            EXPECT_TRUE(wait_until([&] { return combo->count() == 1 && line().isEmpty(); }, 3000)) << line().toStdString();
        }
    }
    EmulatedUsbBackend::uninstall();
}

// Open: the device group and the firmware button on, the serial-only tabs off, no
// voltage caption; the version asked once; one rate caption. Closed: all off.
TEST_F(CanLink, ControlsAndLabelsFollowTheLink) {
    open("en");
    for (const char* name : kDeviceGroup) EXPECT_TRUE(h->find(name)->isEnabled()) << name;
    EXPECT_TRUE(h->button("update_firmware_pushButton")->isEnabled());
    auto* tabs = h->find<QTabWidget>("tabWidget");
    EXPECT_FALSE(tabs->isTabEnabled(1) || tabs->isTabEnabled(2) || h->find("calibrate_tab")->isEnabled());
    EXPECT_TRUE(h->find("vision_tab")->isEnabled());
    EXPECT_EQ(h->button("open_serial_pushButton")->text(), QStringLiteral("TTL Serial"));
    EXPECT_FALSE(h->button("open_serial_pushButton")->isEnabled());
    EXPECT_TRUE(h->text("voltage_label1").isEmpty() && h->text("voltage_label").isEmpty());
    EXPECT_TRUE(wait_until([&] { return h->text("driver_version_label") == "V2-3"; }, 2000));
    EXPECT_TRUE(wait_until([&] { return h->text("common_count_label").startsWith("Update Rate: "); }, 2500));
    EXPECT_TRUE(h->text("motion_count_label").isEmpty());

    ASSERT_TRUE(h->can_link(false));
    for (const char* name : kDeviceGroup) EXPECT_FALSE(h->find(name)->isEnabled()) << name;
    EXPECT_FALSE(h->button("update_firmware_pushButton")->isEnabled());
    EXPECT_TRUE(h->text("driver_version_label").isEmpty());
    EXPECT_TRUE(h->button("open_serial_pushButton")->isEnabled());
    EXPECT_EQ(h->button("open_can_pushButton")->text(), QStringLiteral("CAN"));
    EXPECT_EQ(peer->request_count(CanCommand::kGetFwVersion), 1);
}

// Opening CAN behind an open serial link (through the hidden CAN dialog): both
// buttons read close and stay usable, commands go nowhere; closing serial leaves
// CAN open with the device group off.
TEST_F(CanLink, BothLinksOpenIsAnErrorState) {
    SerialDriverPeer serial;
    ASSERT_TRUE(serial.start());
    h = std::make_unique<WindowHarness>("zh");
    ASSERT_TRUE(h->serial_link(&serial));
    ASSERT_FALSE(h->button("open_can_pushButton")->isEnabled());
    QWidget* set_can = top_level_named("SetCan");
    ASSERT_NE(set_can, nullptr);
    // The scan runs off the GUI thread: the adapter is listed once its result is in.
    auto* combo = set_can->findChild<QComboBox*>(QStringLiteral("device_select_comboBox"));
    ASSERT_NE(combo, nullptr);
    ASSERT_TRUE(wait_until([combo] { return combo->count() > 0; }, 2000));
    set_can->findChild<QLineEdit*>(QStringLiteral("can_id_lineEdit"))->setText(QStringLiteral("1"));
    set_can->findChild<QPushButton*>(QStringLiteral("open_close_pushButton"))->click();
    ASSERT_TRUE(wait_until([&] { return h->button("open_can_pushButton")->isEnabled(); }, 2000));
    EXPECT_TRUE(h->button("open_serial_pushButton")->isEnabled());
    EXPECT_EQ(h->button("open_serial_pushButton")->text(), QString::fromUtf8("关闭串口"));
    EXPECT_EQ(h->button("open_can_pushButton")->text(), QString::fromUtf8("关闭CAN"));
    const int serial_resets = serial.request_count(20);
    h->button("motor_reset_pushButton")->click();
    QTest::qWait(100);
    EXPECT_EQ(peer->request_count(CanCommand::kResetMotor), 0);
    EXPECT_EQ(serial.request_count(20), serial_resets);

    ASSERT_TRUE(h->serial_link(nullptr));
    EXPECT_FALSE(h->button("motor_reset_pushButton")->isEnabled());
    EXPECT_FALSE(h->button("open_serial_pushButton")->isEnabled());
    EXPECT_EQ(h->button("open_can_pushButton")->text(), QString::fromUtf8("关闭CAN"));
}

// The curve button: on with CAN and the motor enabled, off while a step streams,
// off again when disabled; the firmware button only with the motor off. The
// status texts in Chinese; a step at 1000 Hz ends with one zero target.
TEST_F(CanLink, CurveButtonRulesAndStatusTexts) {
    open("zh");
    ASSERT_TRUE(h->toggle_motor("电机失能"));
    EXPECT_EQ(h->text("status_label"), QString::fromUtf8("使能成功"));
    EXPECT_TRUE(h->button("set_curve_pushButton")->isEnabled());
    EXPECT_FALSE(h->button("update_firmware_pushButton")->isEnabled());

    // A Kd the box cannot take is refused, in the operator's language; nothing is sent.
    const int idle = peer->request_count(CanCommand::kMotionControl);
    ASSERT_TRUE(type_entry(h->find<QAbstractSpinBox>("kd_doubleSpinBox"), QStringLiteral("1e9")));
    QTest::mouseClick(h->button("send_motion_param_pushButton"), Qt::LeftButton);
    QTest::qWait(100);
    EXPECT_EQ(visible_tips(h->window()),
              QStringList{QString::fromUtf8("警告: 阻尼Kd 只能填写 0.00 到 51.00 之间、最多 2 位小数的数字，“1e9”无效。")});
    EXPECT_EQ(peer->request_count(CanCommand::kMotionControl), idle);
    for (QMessageBox* box : h->window()->findChildren<QMessageBox*>()) box->close();

    set_spins(h->window(), {{"exp_angle_doubleSpinBox", 2.0}, {"kp_doubleSpinBox", 20.0}, {"kd_doubleSpinBox", 1.5}});
    const int before = peer->request_count(CanCommand::kMotionControl);
    h->button("send_motion_param_pushButton")->click();
    EXPECT_FALSE(h->button("set_curve_pushButton")->isEnabled());
    ASSERT_TRUE(peer->wait_for_requests(CanCommand::kMotionControl, before + 300, 3000));
    h->button("stop_step_send_pushButton")->click();
    EXPECT_TRUE(h->button("set_curve_pushButton")->isEnabled());
    QTest::qWait(200);
    // The zero target and the replies plotted may come later on a busy machine.
    wait_until([&] {
        return payload(peer->requests(CanCommand::kMotionControl).back()) == motion_payload({}) &&
               h->find<QCustomPlot>("angle_plot")->graph(0)->dataCount() > 250;
    }, 3000);
    const auto all = peer->requests(CanCommand::kMotionControl);
    std::vector<CanDriverPeer::Request> frames(all.begin() + before, all.end());
    EXPECT_EQ(payload(frames.back()), motion_payload({}));
    frames.pop_back();
    for (const auto& r : frames) {
        ASSERT_EQ(payload(r), motion_payload({2.0f, 0, 0, 20.0f, 1.5f}));
        ASSERT_EQ(r.motor_id, 1);
    }
    // The replies were plotted with the targets; the label shows two decimals.
    auto* angle = h->find<QCustomPlot>("angle_plot");
    EXPECT_GT(angle->graph(0)->dataCount(), 250);
    EXPECT_GT(angle->graph(1)->dataCount(), 250);
    const QString shown = h->text("angle_label");
    EXPECT_LT(std::abs(shown.toDouble()), 0.01);
    EXPECT_EQ(shown.length() - shown.indexOf(QLatin1Char('.')), 3) << shown.toStdString();

    ASSERT_TRUE(h->toggle_motor("电机使能"));
    EXPECT_EQ(peer->request_count(CanCommand::kDisableMotor), 1);
    EXPECT_TRUE(h->button("update_firmware_pushButton")->isEnabled());
    EXPECT_FALSE(h->button("set_curve_pushButton")->isEnabled());

    // An error while enabled: the bit's text, the motor off.
    ASSERT_TRUE(h->toggle_motor("电机失能"));
    peer->driver().set_error_bits(0x0030);  // CAN timeout and driver over-temperature
    EXPECT_TRUE(wait_until([&] { return h->text("status_label") == QString::fromUtf8("驱动器过温,已失能!"); }, 3000));
    EXPECT_TRUE(wait_until([&] { return h->button("motor_enable_disable_pushButton")->text() == QString::fromUtf8("电机使能"); }, 3000));
    EXPECT_EQ(peer->request_count(CanCommand::kDisableMotor), 2);
    peer->driver().set_error_bits(0);
}
