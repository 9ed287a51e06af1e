// The main window's serial link labels, plots and motor enable/disable with the run
// log (a pseudo-terminal with the simulated driver behind it).
#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QRegularExpression>
#include <QTabWidget>
#include <QTest>
#include <gtest/gtest.h>
#include <qcustomplot.h>

#include <chrono>
#include <utility>
#include <vector>

#include "file_contents.h"
#include "main_window_harness.h"
#include "serial_manager.h"
#include "save.h"
#include "serial_driver_peer.h"
#include "typed_entry.h"
#include "wait_until.h"

namespace {

constexpr uint8_t kTarget = 16, kEnable = 18, kDisable = 19, kVersion = 25;

using SerialLink = SerialWindowTest;

}  // namespace

// Telemetry, version and rate labels while open; cleared version when closed; a
// reopen asks for the version again.
TEST_F(SerialLink, LabelsFollowTheLink) {
    peer.driver().set_common_state(24.5f, 35.5f, 40.25f);
    const auto reports_from = std::chrono::steady_clock::now();
    peer.driver().set_common_state_interval(std::chrono::milliseconds(100));
    open("zh");
    // Each count the window gets, with the most reports the driver can have sent by then.
    std::vector<std::pair<uint32_t, int64_t>> ticks;
    QObject::connect(h->window()->serial_manager()->serial_receiver(), &DeviceReceiver::fps_signal, h->window(),
                     [&](FrameCount count) {
                         const auto since = std::chrono::steady_clock::now() - reports_from;
                         ticks.emplace_back(count.common_count, since / std::chrono::milliseconds(100));
                     });
    auto* tabs = h->find<QTabWidget>("tabWidget");
    EXPECT_TRUE(tabs->isTabEnabled(1) && tabs->isTabEnabled(2));
    EXPECT_TRUE(h->button("clear_error_pushButton")->isEnabled());
    EXPECT_EQ(h->text("voltage_label1"), QString::fromUtf8("电压"));
    EXPECT_TRUE(wait_until([&] { return h->text("driver_version_label") == "V2-3"; }, 2000));
    EXPECT_TRUE(wait_until([&] { return h->text("motor_temp_label") == "35.50"; }, 2000));
    EXPECT_EQ(h->text("voltage_label"), QStringLiteral("24.50"));
    EXPECT_EQ(h->text("driver_temp_label"), QStringLiteral("40.25"));
    // The serial receiver's counts, with the serial captions; about 10 reports a second.
    // Each count holds the reports since the last one: together they never exceed
    // what the driver sent, however late a count comes.
    const QRegularExpression rate(QString::fromUtf8("^状态刷新率: ([0-9]+)$"));
    ASSERT_TRUE(wait_until([&] { return ticks.size() >= 2 && ticks.back().first >= 5; }, 5000))
        << h->text("common_count_label").toStdString();
    EXPECT_EQ(rate.match(h->text("common_count_label")).captured(1), QString::number(ticks.back().first));
    int64_t counted = 0;
    for (const auto& [count, sent] : ticks) {
        counted += count;
        EXPECT_LE(counted, sent);
    }
    EXPECT_EQ(h->text("motion_count_label"), QString::fromUtf8("波形刷新率: 0"));
    EXPECT_EQ(peer.request_count(kVersion), 1);

    ASSERT_TRUE(h->serial_link(nullptr));
    EXPECT_FALSE(tabs->isTabEnabled(1) || tabs->isTabEnabled(2));
    EXPECT_TRUE(h->text("driver_version_label").isEmpty());
    EXPECT_EQ(h->button("open_can_pushButton")->text(), QString::fromUtf8("打开CAN"));
    ASSERT_TRUE(h->serial_link(&peer));
    EXPECT_TRUE(peer.wait_for_requests(kVersion, 2, 2000));
    QTest::qWait(100);
    EXPECT_EQ(peer.request_count(kVersion), 2);
}

// The plots redraw only on new samples and span the samples they hold; clearing
// empties them and keeps the ranges.
TEST_F(SerialLink, PlotsRefreshOnlyOnNewSamplesAndFollowTheData) {
    open();
    auto* angle = h->find<QCustomPlot>("angle_plot");
    auto* torque = h->find<QCustomPlot>("torque_plot");
    // A marker point that only a refresh of the plot would replace.
    angle->graph(0)->addData(100.0, 100.0);
    const QCPRange idle_x = angle->xAxis->range();
    QTest::qWait(150);
    EXPECT_EQ(angle->graph(0)->dataCount(), 1) << "refreshed without a changed buffer";
    EXPECT_EQ(angle->xAxis->range(), idle_x);

    // 20 unsolicited samples, numbered by the driver in the position field.
    peer.driver().set_motion_stream(200.0, 20);
    ASSERT_TRUE(wait_until([&] { return angle->graph(0)->dataCount() == 20; }, 3000));
    QTest::qWait(60);
    QSharedPointer<QCPGraphDataContainer> kept(new QCPGraphDataContainer);
    kept->add(*angle->graph(0)->data());
    angle->graph(0)->data()->removeBefore(1e9);  // empties the drawn data only
    QTest::qWait(150);
    EXPECT_EQ(angle->graph(0)->dataCount(), 0) << "refreshed without new samples";
    angle->graph(0)->setData(kept);
    // Only the measured buffer holds samples: the ranges follow it alone.
    const double first_t = kept->begin()->key, last_t = (kept->end() - 1)->key;
    EXPECT_EQ(angle->xAxis->range(), QCPRange(double(float(first_t)), double(float(last_t) + 0.3f)));
    EXPECT_EQ(angle->yAxis->range(), QCPRange(-0.5, 19.5));
    EXPECT_EQ(torque->xAxis->range(), angle->xAxis->range());
    EXPECT_EQ(h->text("angle_label"), QStringLiteral("19.00"));
    EXPECT_EQ(angle->graph(1)->dataCount(), 0);

    const QCPRange before_clear = angle->yAxis->range();
    h->button("clear_curve_pushButton")->click();
    ASSERT_TRUE(wait_until([&] { return angle->graph(0)->dataCount() == 0; }, 1000));
    EXPECT_EQ(angle->yAxis->range(), before_clear);
}

// Save cancelled: no enable. Accepted: the enable, status and time, the locked
// controls, a run log named by the time; the disable button: the disable request,
// its status text, and the log ends.
TEST_F(SerialLink, EnableWithRunLogAndDisable) {
    open();
    QTemporaryDir dir;
    const QString folder = dir.path();
    h->find<QCheckBox>("save_checkBox")->setChecked(true);
    on_next_modal_of<Save>([](Save* s) { s->findChild<QPushButton*>("cancel_pushButton")->click(); });
    h->button("motor_enable_disable_pushButton")->click();
    QTest::qWait(100);
    EXPECT_EQ(peer.request_count(kEnable), 0);
    EXPECT_EQ(h->button("motor_enable_disable_pushButton")->text(), "ENABLE");

    answer_run_log_dialog(folder);
    ASSERT_TRUE(h->toggle_motor("DISABLE"));
    EXPECT_EQ(peer.request_count(kEnable), 1);
    EXPECT_EQ(h->text("status_label"), QStringLiteral("Motor is enabled."));
    EXPECT_TRUE(QRegularExpression("^\\d\\d:\\d\\d:\\d\\d$").match(h->text("time_label")).hasMatch());
    EXPECT_FALSE(h->find("down_left_widget")->isEnabled() || h->find("save_checkBox")->isEnabled());
    EXPECT_TRUE(h->find("send_motion_param_pushButton")->isEnabled());
    const QStringList logs = QDir(folder).entryList({QStringLiteral("hv-motor-tool-log-*.csv")});
    ASSERT_EQ(logs.size(), 1);
    EXPECT_TRUE(QRegularExpression("^hv-motor-tool-log-\\d{4}-\\d\\d-\\d\\d-\\d\\d-\\d\\d-\\d\\d\\.csv$")
                    .match(logs[0])
                    .hasMatch());

    // Streaming locks the enable button; stopping frees it, the curve stays off on serial.
    h->button("send_motion_param_pushButton")->click();
    ASSERT_TRUE(peer.wait_for_requests(kTarget, 5, 2000));
    EXPECT_FALSE(h->button("motor_enable_disable_pushButton")->isEnabled());
    EXPECT_TRUE(h->button("stop_step_send_pushButton")->isEnabled());
    h->button("stop_step_send_pushButton")->click();
    EXPECT_TRUE(h->button("motor_enable_disable_pushButton")->isEnabled());
    EXPECT_FALSE(h->button("set_curve_pushButton")->isEnabled());

    ASSERT_TRUE(h->toggle_motor("ENABLE"));
    EXPECT_EQ(peer.request_count(kDisable), 1);
    EXPECT_EQ(h->text("status_label"), QStringLiteral("Motor is disabled."));
    const QByteArray log = file_bytes(folder + "/" + logs[0]);
    EXPECT_TRUE(log.startsWith("\nCreated by Halvren Motor Tool\n")) << log.left(40).toStdString();
    EXPECT_TRUE(log.endsWith("Log ended\n"));
}

// An error that persists is reported again on every status reply, but the motor
// is disabled once; bits above the named ones show their code. The test asks for
// each status: two replies on their way before the DISABLE's ack would both ask for it.
TEST_F(SerialLink, PersistingErrorDisablesOnce) {
    open();
    SerialManager* serial = h->window()->serial_manager();
    serial->set_intervals(3600 * 1000, 300);
    ASSERT_TRUE(h->toggle_motor("DISABLE"));
    peer.driver().set_error_bits(0x0006);
    serial->motor_status_checker_slot();
    ASSERT_TRUE(wait_until([&] { return h->button("motor_enable_disable_pushButton")->text() == "ENABLE"; }, 3000));
    for (int i = 0; i < 2; ++i) {
        h->find<QLabel>("status_label")->setText(QStringLiteral("seen"));
        serial->motor_status_checker_slot();
        EXPECT_TRUE(wait_until([&] { return h->text("status_label") == "Undervoltage! Motor is disabled."; }, 2000));
    }
    EXPECT_EQ(peer.request_count(kDisable), 1);
    peer.driver().set_error_bits(0x0100);
    serial->motor_status_checker_slot();
    EXPECT_TRUE(wait_until([&] { return h->text("status_label") == "Error code: 0x100"; }, 2000));
    EXPECT_EQ(peer.request_count(kDisable), 1);
    peer.driver().set_error_bits(0);
}

// A new target while a step streams: the same stream takes it over (one thread at
// 100 Hz, not two); without the save box no run log is written.
TEST_F(SerialLink, NewTargetTakesOverTheStream) {
    open();
    ASSERT_TRUE(h->toggle_motor("DISABLE"));
    set_spins(h->window(), {{"exp_angle_doubleSpinBox", 1.0}, {"kp_doubleSpinBox", 5.0}});
    const auto from = std::chrono::steady_clock::now();
    h->button("send_motion_param_pushButton")->click();
    ASSERT_TRUE(peer.wait_for_requests(kTarget, 10, 5000));
    set_spins(h->window(), {{"exp_angle_doubleSpinBox", -1.0}});
    h->button("send_motion_param_pushButton")->click();
    const std::vector<float> taken_over{-1.0f, 0.0f, 0.0f, 5.0f, 0.0f};
    ASSERT_TRUE(peer.wait_for_last(kTarget, taken_over, 5000));
    const int count = peer.request_count(kTarget);
    ASSERT_TRUE(peer.wait_for_requests(kTarget, count + 50, 5000));
    h->button("stop_step_send_pushButton")->click();
    const auto to = std::chrono::steady_clock::now();
    ASSERT_TRUE(peer.wait_for_last(kTarget, std::vector<float>(5, 0.0f), 5000));
    // One stream sends a target at most every 10 ms; a second one would add its own.
    EXPECT_LE(peer.request_count(kTarget) - 1, (to - from) / std::chrono::milliseconds(10) + 1);
    EXPECT_TRUE(QDir(h->dir()).entryList({QStringLiteral("hv-motor-tool-log-*.csv")}).isEmpty());
}

// A target box takes only a number within its range and decimals. Another entry
// stays as typed when Send takes the focus, Send is refused with a message naming
// the box and its range, and nothing goes out; a number the box takes then goes out
// as typed.
TEST_F(SerialLink, TargetBoxesSendOnlyTheNumberTyped) {
    open();
    ASSERT_TRUE(h->toggle_motor("DISABLE"));
    const char* const boxes[] = {"exp_angle_doubleSpinBox", "exp_angle_velocity_doubleSpinBox", "torque_doubleSpinBox",
                                 "kp_doubleSpinBox", "kd_doubleSpinBox"};
    const QString position = "Position takes a number from -40.00 to 40.00 with at most 2 decimals, not \"%1\".";
    const QString torque = "Torque takes a number from -40.00 to 40.00 with at most 2 decimals, not \"%1\".";
    struct Row {
        int box;
        const char* typed;
        QString refusal;
        const char* taken;  // typed next
        float sent;
    } rows[] = {
        {0, "1e9", position, "-1.5", -1.5f},
        {1, "150", "Velocity takes a number from -40.00 to 40.00 with at most 2 decimals, not \"%1\".", "40", 40},
        {2, "41", torque, "-40", -40},
        {2, "1,5", torque, "1.5", 1.5f},
        {2, "-1.5e1", torque, "-15", -15},
        {4, "60", "Kd takes a number from 0.00 to 51.00 with at most 2 decimals, not \"%1\".", "51", 51},
        {0, "0.005", position, "0.01", 0.01f},
        {3, "1,000", "Kp takes a number from 0.00 to 1023.00 with at most 2 decimals, not \"%1\".", "1023", 1023},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.typed);
        for (const char* name : boxes) h->find<QAbstractSpinBox>(name)->setProperty("value", 0.0);
        peer.clear_received();
        auto* box = h->find<QAbstractSpinBox>(boxes[row.box]);
        ASSERT_TRUE(type_entry(box, QString::fromUtf8(row.typed)));
        QTest::mouseClick(h->button("send_motion_param_pushButton"), Qt::LeftButton);
        QTest::qWait(100);
        EXPECT_EQ(visible_tips(h->window()), QStringList{"Warning: " + row.refusal.arg(row.typed)});
        EXPECT_EQ(box->text(), QString::fromUtf8(row.typed));
        EXPECT_EQ(peer.request_count(kTarget), 0);
        for (QMessageBox* b : h->window()->findChildren<QMessageBox*>()) b->close();

        ASSERT_TRUE(type_entry(box, QString::fromUtf8(row.taken)));
        QTest::mouseClick(h->button("send_motion_param_pushButton"), Qt::LeftButton);
        ASSERT_TRUE(peer.wait_for_requests(kTarget, 3, 5000));
        EXPECT_TRUE(visible_tips(h->window()).isEmpty());
        std::vector<float> expected(5, 0.0f);
        expected[row.box] = row.sent;
        EXPECT_EQ(peer.requests(kTarget).front().values, expected);
        h->button("stop_step_send_pushButton")->click();
        // The stop's zero goes out last: once it is in, nothing of this row is on its way.
        ASSERT_TRUE(peer.wait_for_last(kTarget, std::vector<float>(5, 0.0f), 5000));
    }
}
