// The main window over the serial link: a pseudo-terminal with the simulated
// driver behind it, the real managers, dialogs and widgets.
#include <QApplication>
#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QFile>
#include <QFileDialog>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QRegularExpression>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QTextBrowser>
#include <QTextEdit>
#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>
#include <qcustomplot.h>

#include "console_capture.h"
#include "file_contents.h"
#include "main_window.h"
#include "main_window_harness.h"
#include "save.h"
#include "serial_driver_peer.h"

namespace {

constexpr uint8_t kTargetCmd = 16;
constexpr uint8_t kEnableCmd = 18;
constexpr uint8_t kDisableCmd = 19;
constexpr uint8_t kVersionCmd = 25;

const char* const kDeviceGroup[] = {
    "set_param_pushButton", "calibration_pushButton", "set_zero_point_pushButton", "motor_reset_pushButton",
    "vision_tab",           "calibrate_tab",          "send_pushButton",           "save_checkBox",
    "motor_enable_disable_pushButton", "clear_curve_pushButton", "clear_error_pushButton",
};

bool matches(const char* pattern, const QString& text) {
    return QRegularExpression(QString::fromLatin1(pattern)).match(text).hasMatch();
}

bool all_zero(const SerialDriverPeer::Request& r) { return r.values == std::vector<float>(5, 0.0f); }

// The visible tip boxes' texts; every one carries `title`.
QStringList tips(MainWindow* w, const QString& title = QStringLiteral("Tips")) {
    QStringList out;
    for (QMessageBox* box : w->findChildren<QMessageBox*>())
        if (box->isVisible()) out << (box->windowTitle() == title ? box->text() : "wrong title: " + box->windowTitle());
    return out;
}

class SerialWindow : public ::testing::Test {
protected:
    void open(const std::string& lan = "en") {
        ASSERT_TRUE(peer.start());
        h = std::make_unique<WindowHarness>(lan);
        ASSERT_TRUE(h->open_serial(peer));
    }
    void TearDown() override { h.reset(); }

    QPushButton* button(const char* name) { return h->find<QPushButton>(name); }

    void enable_motor() {
        button("motor_enable_disable_pushButton")->click();
        QTRY_COMPARE_WITH_TIMEOUT(button("motor_enable_disable_pushButton")->text(), QStringLiteral("DISABLE"), 3000);
    }

    void set_target(const std::vector<float>& target) {
        const char* names[] = {"exp_angle_doubleSpinBox", "exp_angle_velocity_doubleSpinBox", "torque_doubleSpinBox",
                               "kp_doubleSpinBox", "kd_doubleSpinBox"};
        for (int i = 0; i < 5; ++i) h->find<QDoubleSpinBox>(names[i])->setValue(target[i]);
    }

    SerialDriverPeer peer;
    std::unique_ptr<WindowHarness> h;
};

}  // namespace

TEST_F(SerialWindow, LinkOpenAndCloseSetControlsTextsAndRates) {
    ASSERT_TRUE(peer.start());
    h = std::make_unique<WindowHarness>("zh");
    ConsoleCapture log;
    peer.driver().set_common_state(24.5f, 35.5f, 40.25f);
    peer.driver().set_common_state_interval(std::chrono::milliseconds(100));
    ASSERT_TRUE(h->open_serial(peer));

    auto* tabs = h->find<QTabWidget>("tabWidget");
    auto expect_link_state = [&](bool open) {
        for (const char* name : kDeviceGroup) EXPECT_EQ(h->find<QWidget>(name)->isEnabled(), open) << name;
        EXPECT_EQ(tabs->isTabEnabled(1) && tabs->isTabEnabled(2), open);
        EXPECT_FALSE(button("update_firmware_pushButton")->isEnabled());
        EXPECT_EQ(button("open_serial_pushButton")->text(), QString::fromUtf8(open ? "关闭串口" : "打开串口"));
        EXPECT_TRUE(button("open_serial_pushButton")->isEnabled());
        EXPECT_EQ(button("open_can_pushButton")->text(), QString::fromUtf8("打开CAN"));
        EXPECT_EQ(button("open_can_pushButton")->isEnabled(), !open);
    };
    expect_link_state(true);
    EXPECT_EQ(h->find<QLabel>("voltage_label1")->text(), QString::fromUtf8("电压"));
    EXPECT_TRUE(log.contains("[INFO] Serial is on and can is off!\n"));

    QTRY_COMPARE_WITH_TIMEOUT(h->find<QLabel>("driver_version_label")->text(), QStringLiteral("V2-3"), 2000);
    QTRY_COMPARE_WITH_TIMEOUT(h->find<QLabel>("motor_temp_label")->text(), QStringLiteral("35.50"), 2000);
    EXPECT_EQ(h->find<QLabel>("voltage_label")->text(), QStringLiteral("24.50"));
    EXPECT_EQ(h->find<QLabel>("driver_temp_label")->text(), QStringLiteral("40.25"));

    // The frame counts now come from the serial receiver, with the serial captions.
    QTRY_VERIFY_WITH_TIMEOUT(
        h->find<QLabel>("common_count_label")->text().startsWith(QString::fromUtf8("状态刷新率: ")), 2500);
    EXPECT_TRUE(h->find<QLabel>("motion_count_label")->text().startsWith(QString::fromUtf8("波形刷新率: ")));
    QTRY_VERIFY_WITH_TIMEOUT(h->find<QLabel>("common_count_label")->text() != QString::fromUtf8("状态刷新率: 0"),
                             2500);
    EXPECT_EQ(peer.request_count(kVersionCmd), 1);

    ASSERT_TRUE(h->close_serial());
    expect_link_state(false);
    EXPECT_TRUE(h->find<QLabel>("driver_version_label")->text().isEmpty());
    EXPECT_TRUE(log.contains("[INFO] Can and serial is both off!\n"));

    // Reopening asks for the version once more and keeps a single rate connection.
    ASSERT_TRUE(h->open_serial(peer));
    QTRY_COMPARE_WITH_TIMEOUT(peer.request_count(kVersionCmd), 2, 2000);
    EXPECT_EQ(button("open_serial_pushButton")->text(), QString::fromUtf8("关闭串口"));
}

TEST_F(SerialWindow, PlotsRefreshOnlyOnNewSamplesAndFollowTheData) {
    open();
    auto* angle = h->find<QCustomPlot>("angle_plot");
    auto* torque = h->find<QCustomPlot>("torque_plot");
    // A marker point that only a refresh of the plot would replace.
    angle->graph(0)->addData(100.0, 100.0);
    const QCPRange idle_x = angle->xAxis->range();
    QTest::qWait(150);
    EXPECT_EQ(angle->graph(0)->dataCount(), 1) << "refreshed without a changed buffer";
    EXPECT_EQ(angle->xAxis->range(), idle_x);

    // 20 unsolicited samples; the driver numbers them in the position field.
    peer.driver().set_motion_stream(200.0, 20);
    QTRY_COMPARE_WITH_TIMEOUT(angle->graph(0)->dataCount(), 20, 3000);
    QTest::qWait(60);
    QSharedPointer<QCPGraphDataContainer> kept(new QCPGraphDataContainer);
    kept->add(*angle->graph(0)->data());
    angle->graph(0)->data()->removeBefore(1e9);  // empties the drawn data only
    QTest::qWait(150);
    EXPECT_EQ(angle->graph(0)->dataCount(), 0) << "refreshed without new samples";
    angle->graph(0)->setData(kept);
    peer.driver().set_motion_stream(0.0);
    // Only the measured buffer holds samples: the ranges follow it alone.
    auto data = angle->graph(0)->data();
    const double first_t = data->begin()->key;
    const double last_t = (data->end() - 1)->key;
    EXPECT_NE(angle->xAxis->range().upper, idle_x.upper);
    EXPECT_DOUBLE_EQ(angle->xAxis->range().lower, static_cast<double>(static_cast<float>(first_t)));
    EXPECT_DOUBLE_EQ(angle->xAxis->range().upper, static_cast<double>(static_cast<float>(last_t) + 0.3f));
    EXPECT_DOUBLE_EQ(angle->yAxis->range().lower, -0.5);
    EXPECT_DOUBLE_EQ(angle->yAxis->range().upper, 19.5);
    EXPECT_EQ(torque->xAxis->range(), angle->xAxis->range());
    EXPECT_EQ(h->find<QLabel>("angle_label")->text(), QStringLiteral("19.00"));
    EXPECT_EQ(angle->graph(1)->dataCount(), 0);

    // Clearing redraws empty curves once; the ranges stay where they were.
    const QCPRange before_clear = angle->yAxis->range();
    button("clear_curve_pushButton")->click();
    QTRY_COMPARE_WITH_TIMEOUT(angle->graph(0)->dataCount(), 0, 1000);
    EXPECT_EQ(angle->yAxis->range(), before_clear);
}

TEST_F(SerialWindow, EnableWithRunLogStreamStopAndDisable) {
    open();
    ConsoleCapture log;
    QTemporaryDir log_dir;
    const QString folder = log_dir.path();
    h->find<QCheckBox>("save_checkBox")->setChecked(true);

    // Cancelling the Save dialog enables nothing.
    on_next_modal_of<Save>([](Save* s) { s->findChild<QPushButton*>(QStringLiteral("cancel_pushButton"))->click(); });
    button("motor_enable_disable_pushButton")->click();
    EXPECT_TRUE(log.contains("[INFO] Save rejected\n"));
    QTest::qWait(100);
    EXPECT_EQ(peer.request_count(kEnableCmd), 0);

    on_next_modal_of<Save>([folder](Save* s) {
        on_next_modal_of<QFileDialog>([folder](QFileDialog* chooser) {
            chooser->setDirectory(folder);
            chooser->selectFile(folder);
            QMetaObject::invokeMethod(chooser, "accept");
        });
        s->findChild<QPushButton*>(QStringLiteral("folder_pushButton"))->click();
        s->findChild<QPushButton*>(QStringLiteral("comfirm_pushButton"))->click();
    });
    enable_motor();
    EXPECT_EQ(peer.request_count(kEnableCmd), 1);
    EXPECT_EQ(h->find<QLabel>("status_label")->text(), QStringLiteral("Motor is enabled."));
    EXPECT_TRUE(matches("^\\d\\d:\\d\\d:\\d\\d$", h->find<QLabel>("time_label")->text()));
    EXPECT_FALSE(h->find<QWidget>("down_left_widget")->isEnabled());
    EXPECT_TRUE(button("send_motion_param_pushButton")->isEnabled());
    EXPECT_FALSE(h->find<QCheckBox>("save_checkBox")->isEnabled());

    const QStringList logs = QDir(folder).entryList({QStringLiteral("hv-motor-tool-log-*.csv")});
    ASSERT_EQ(logs.size(), 1);
    EXPECT_TRUE(matches("^hv-motor-tool-log-\\d{4}(-\\d\\d){5}\\.csv$", logs.first()));
    const QString log_path = QDir(folder).absoluteFilePath(logs.first());

    const std::vector<float> target = {0.5f, 1.0f, 0.25f, 10.0f, 1.0f};
    set_target(target);
    const int before = peer.request_count(kTargetCmd);
    button("send_motion_param_pushButton")->click();
    EXPECT_TRUE(log.contains("[INFO] Send_hz: 100\n"));
    EXPECT_FALSE(button("motor_enable_disable_pushButton")->isEnabled());
    EXPECT_TRUE(button("stop_step_send_pushButton")->isEnabled());
    ASSERT_TRUE(peer.wait_for_requests(kTargetCmd, before + 30, 3000));

    button("stop_step_send_pushButton")->click();
    EXPECT_TRUE(button("motor_enable_disable_pushButton")->isEnabled());
    EXPECT_FALSE(button("set_curve_pushButton")->isEnabled());  // serial: stays off
    QTest::qWait(300);

    // Streamed at the serial rate: about 10 ms apart, never faster.
    const auto targets = peer.requests(kTargetCmd);
    std::vector<SerialDriverPeer::Request> streamed(targets.begin() + before, targets.end());
    ASSERT_GE(streamed.size(), 31u);
    EXPECT_TRUE(all_zero(streamed.back()));
    EXPECT_EQ(std::count_if(streamed.begin(), streamed.end(), all_zero), 1);
    streamed.pop_back();
    for (const auto& r : streamed) ASSERT_EQ(r.values, target);
    const double span_ms =
        std::chrono::duration<double, std::milli>(streamed.back().at - streamed.front().at).count();
    const double mean_interval = span_ms / static_cast<double>(streamed.size() - 1);
    EXPECT_GT(mean_interval, 9.0);
    EXPECT_LT(mean_interval, 25.0);

    // Every row of the log is a sample on the plots, and the other way round.
    const QStringList lines = QString::fromUtf8(file_bytes(log_path)).split('\n', Qt::SkipEmptyParts);
    ASSERT_GE(lines.size(), 2);
    EXPECT_EQ(lines[0], QStringLiteral("Created by Halvren Motor Tool"));
    EXPECT_EQ(lines[1], QStringLiteral("Time(s),Type,,Real,Target,,Real,Target,,Real,Target"));
    std::vector<QStringList> real_rows, target_rows;
    for (int i = 2; i < lines.size(); ++i) {
        const QStringList f = lines[i].split(',');
        ASSERT_EQ(f.size(), 11) << lines[i].toStdString();
        (f[1] == QLatin1String("real") ? real_rows : target_rows).push_back(f);
    }
    auto check_graph = [](QCustomPlot* plot, int graph, const std::vector<QStringList>& rows, int column) {
        auto data = plot->graph(graph)->data();
        ASSERT_EQ(data->size(), static_cast<int>(rows.size())) << plot->objectName().toStdString();
        int i = 0;
        for (auto it = data->begin(); it != data->end(); ++it, ++i) {
            EXPECT_NEAR(it->key, rows[i][0].toDouble(), 1e-5 * std::max(1.0, std::fabs(it->key)));
            EXPECT_NEAR(it->value, rows[i][column].toDouble(), 1e-5 * std::max(1.0, std::fabs(it->value)));
        }
    };
    ASSERT_GE(real_rows.size(), 30u);
    ASSERT_GE(target_rows.size(), 30u);
    const char* plots[] = {"angle_plot", "angle_velocity_plot", "torque_plot"};
    for (int i = 0; i < 3; ++i) {
        check_graph(h->find<QCustomPlot>(plots[i]), 0, real_rows, 3 + 3 * i);
        check_graph(h->find<QCustomPlot>(plots[i]), 1, target_rows, 4 + 3 * i);
    }
    for (const auto& row : target_rows) EXPECT_TRUE(row[4] == "0" || row[4] == "0.5") << row[4].toStdString();

    button("motor_enable_disable_pushButton")->click();
    QTRY_COMPARE_WITH_TIMEOUT(button("motor_enable_disable_pushButton")->text(), QStringLiteral("ENABLE"), 3000);
    EXPECT_EQ(peer.request_count(kDisableCmd), 1);
    EXPECT_EQ(h->find<QLabel>("status_label")->text(), QStringLiteral("Motor is disabled."));
    EXPECT_TRUE(file_bytes(log_path).endsWith("Log ended\n"));
}

// Motion replies while the window thinks the motor is off: the 30th batch enables it.
TEST_F(SerialWindow, ThirtyDisabledBatchesEnableTheMotor) {
    open();
    peer.driver().set_motion_stream(25.0, 40);  // one sample per 20 ms flush
    QTRY_COMPARE_WITH_TIMEOUT(peer.request_count(kEnableCmd), 1, 4000);
    QTRY_COMPARE_WITH_TIMEOUT(button("motor_enable_disable_pushButton")->text(), QStringLiteral("DISABLE"), 3000);
    QTRY_COMPARE_WITH_TIMEOUT(peer.driver().motion_stream_sent(), uint64_t(40), 3000);
    QTest::qWait(100);
    EXPECT_EQ(peer.request_count(kEnableCmd), 1);
    // The enable cleared the plots: only samples after it remain.
    EXPECT_LT(h->find<QCustomPlot>("angle_plot")->graph(0)->dataCount(), 15);
}

TEST_F(SerialWindow, CommandButtonsReachTheDriverAndReportSuccess) {
    open();
    ConsoleCapture log;
    auto* status = h->find<QLabel>("status_label");
    const std::tuple<const char*, uint8_t, const char*> commands[] = {
        {"set_zero_point_pushButton", 22, "Origin is set successfully."},
        {"motor_reset_pushButton", 20, "Reset is successful."},
        {"clear_error_pushButton", 32, "Error is cleared."},
    };
    for (const auto& [name, cmd, text] : commands) {
        button(name)->click();
        QTRY_COMPARE_WITH_TIMEOUT(status->text(), QString(text), 2000);
        EXPECT_EQ(peer.request_count(cmd), 1) << name;
    }

    // The parameter dialog opens without blocking and is filled from the reply.
    button("set_param_pushButton")->click();
    EXPECT_TRUE(log.contains("[INFO] Open set param window\n"));
    QWidget* set_param = top_level_named("SetParam");
    ASSERT_TRUE(set_param && set_param->isVisible());
    QTRY_COMPARE_WITH_TIMEOUT(status->text(), QStringLiteral("Successfully get parameters."), 2000);
    EXPECT_TRUE(log.contains("[INFO] Get param success!\n"));
    EXPECT_EQ(peer.request_count(24), 1);

    // Write and store: the write goes out, the driver acknowledges, then the store.
    set_param->findChild<QSpinBox*>(QStringLiteral("can_id_spinBox"))->setValue(5);
    set_param->findChild<QPushButton*>(QStringLiteral("flash_pushButton"))->click();
    ASSERT_TRUE(peer.wait_for_requests(23, 1, 3000));
    QTest::qWait(100);
    EXPECT_EQ(status->text(), QStringLiteral("Successfully get parameters."));
    EXPECT_EQ(peer.request_count(17), 1);
    EXPECT_EQ(peer.request_count(23), 1);
    EXPECT_EQ(peer.driver().params()[1], 5.0f);
    QTRY_COMPARE_WITH_TIMEOUT(peer.driver().flashed_params()[1], 5.0f, 2000);

    // The driver answers a write with its acknowledgement and the parameters at
    // once; an acknowledgement on its own shows the write's message.
    peer.send_frame(34);
    QTRY_COMPARE_WITH_TIMEOUT(status->text(), QStringLiteral("New parameters are saved."), 2000);
}

// Enabled without the run log; a second send changes the target of the one stream.
TEST_F(SerialWindow, RestreamKeepsOneThreadAndErrorBitsStopIt) {
    open();
    enable_motor();
    set_target({1.0f, 0, 0, 5.0f, 0.5f});
    button("send_motion_param_pushButton")->click();
    ASSERT_TRUE(peer.wait_for_requests(kTargetCmd, 10, 2000));
    set_target({0.75f, 0, 0, 3.0f, 0.2f});
    button("send_motion_param_pushButton")->click();
    QTest::qWait(200);
    EXPECT_EQ(peer.requests(kTargetCmd).back().values[0], 0.75f);
    // One thread at 100 Hz: about 50 frames in 500 ms, not twice that.
    const int count = peer.request_count(kTargetCmd);
    QTest::qWait(500);
    EXPECT_LT(peer.request_count(kTargetCmd) - count, 70);
    EXPECT_TRUE(QDir(h->dir()).entryList({QStringLiteral("hv-motor-tool-log-*.csv")}).isEmpty());

    ConsoleCapture log;
    peer.driver().set_error_bits(0x0006);
    QTRY_COMPARE_WITH_TIMEOUT(h->find<QLabel>("status_label")->text(),
                              QStringLiteral("Undervoltage! Motor is disabled."), 3000);
    {
        // The state in hex first; the stream's last target and the disable go out
        // before the bit's own line. The disable confirmation soon overwrites the
        // status line, so the wait above may end on this report or the next one.
        const auto lines = log.lines();
        const size_t state = find_line(lines, "[ERROR] error_bit_set: 6");
        const size_t bit = find_line(lines, "[ERROR] Under voltage!", state);
        ASSERT_LT(bit, lines.size()) << log.text();
        EXPECT_LT(find_line(lines, "[INFO] Diable motor", state), bit) << log.text();
        EXPECT_EQ(find_line(lines, "[ERROR] Over voltage!"), lines.size());
        EXPECT_TRUE(log.lines_starting("[ERROR] Error code").empty());
    }
    QTRY_COMPARE_WITH_TIMEOUT(button("motor_enable_disable_pushButton")->text(), QStringLiteral("ENABLE"), 3000);
    EXPECT_EQ(peer.request_count(kDisableCmd), 1);
    EXPECT_TRUE(button("motor_enable_disable_pushButton")->isEnabled());

    // The stream ended with one all-zero target.
    const int frames = peer.request_count(kTargetCmd);
    QTest::qWait(200);
    EXPECT_EQ(peer.request_count(kTargetCmd), frames);
    const auto targets = peer.requests(kTargetCmd);
    EXPECT_TRUE(all_zero(targets.back()));
    EXPECT_FALSE(all_zero(targets[targets.size() - 2]));

    // A persisting error is reported again, but nothing more is stopped or sent.
    log.clear();
    QTRY_VERIFY_WITH_TIMEOUT(log.contains("[ERROR] Under voltage!"), 2500);
    EXPECT_EQ(peer.request_count(kDisableCmd), 1);

    // Bits above 7 only: the code message.
    peer.driver().set_error_bits(0x0100);
    QTRY_COMPARE_WITH_TIMEOUT(h->find<QLabel>("status_label")->text(), QStringLiteral("Error code: 0x100"), 2500);
    EXPECT_TRUE(log.contains("[ERROR] error_bit_set: 100\n[ERROR] Error code: 0x100\n"));
    peer.driver().set_error_bits(0);
}

TEST_F(SerialWindow, CalibrationPlotsTheDriverDataAndShowsVerdicts) {
    open();
    ConsoleCapture log;
    SimulatedDriver::CalibrationScript script;
    script.cogging_map = {0.1f, 0.2f, 0.3f};
    script.compensation = {1.5f, -1.5f, 0.5f};
    script.check_step = 4;  // back-EMF coefficient out of range
    peer.driver().set_calibration_script(script);

    // A cancelled prompt sends nothing.
    on_next_modal_of<QInputDialog>([](QInputDialog* d) { d->reject(); });
    button("calibration_pushButton")->click();
    QTest::qWait(100);
    EXPECT_EQ(peer.driver().calibration_count(), 0);
    EXPECT_FALSE(log.contains("序列号"));

    QString prompt;
    on_next_modal_of<QInputDialog>([&](QInputDialog* d) {
        prompt = d->windowTitle() + QString(" %1..%2").arg(d->intMinimum()).arg(d->intMaximum());
        d->setIntValue(42);
        d->accept();
    });
    button("calibration_pushButton")->click();
    EXPECT_EQ(prompt, QString::fromUtf8("请输入关节序列号 0..1000"));
    EXPECT_TRUE(log.contains("[INFO] 序列号:42\n"));
    EXPECT_EQ(h->find<QTabWidget>("tabWidget")->currentIndex(), 1);
    EXPECT_FALSE(h->find<QWidget>("down_left_widget")->isEnabled());
    EXPECT_FALSE(h->find<QWidget>("vision_tab")->isEnabled());

    MainWindow* w = h->window();
    QTRY_VERIFY_WITH_TIMEOUT(tips(w).contains(QStringLiteral("Calibration is successful.")), 3000);
    for (const char* text : {"Calibration start", "Encode Direction: Forward", "Back EMF coefficient is defective"})
        EXPECT_TRUE(tips(w).contains(QString(text))) << tips(w).join('|').toStdString();
    EXPECT_FALSE(tips(w).join('|').contains("wrong title")) << tips(w).join('|').toStdString();
    EXPECT_TRUE(h->find<QWidget>("down_left_widget")->isEnabled());
    EXPECT_TRUE(h->find<QWidget>("vision_tab")->isEnabled());

    auto points = [](QCustomPlot* plot) {
        std::vector<std::pair<double, double>> out;
        for (auto it = plot->graph(0)->data()->begin(); it != plot->graph(0)->data()->end(); ++it)
            out.emplace_back(it->key, it->value);
        return out;
    };
    auto* angle = h->find<QCustomPlot>("calibrate_angle_plot");
    auto* comp = h->find<QCustomPlot>("calibrate_compensation_plot");
    using Points = std::vector<std::pair<double, double>>;
    EXPECT_EQ(points(angle), (Points{{0, double(0.1f)}, {1, double(0.2f)}, {2, double(0.3f)}}));
    EXPECT_EQ(points(comp), (Points{{0, 1.5}, {1, -1.5}, {2, 0.5}}));
    EXPECT_EQ(angle->yAxis->range(), QCPRange(double(0.1f), double(0.3f)));
    EXPECT_EQ(comp->yAxis->range(), QCPRange(-1.5, 1.5));
    EXPECT_DOUBLE_EQ(angle->xAxis->range().upper, 130.0);
    // The failed check went to not_pass.csv with the entered serial number.
    EXPECT_TRUE(file_bytes(QStringLiteral("not_pass.csv")).contains(", 42, "));

    // Each closed tip box logs its own text.
    for (QMessageBox* box : w->findChildren<QMessageBox*>()) box->close();
    QTest::qWait(50);
    EXPECT_TRUE(log.contains("[INFO] Calibration start QMessageBox destroyed!\n"));
    EXPECT_TRUE(log.contains("[INFO] Back EMF coefficient is defective QMessageBox destroyed!\n"));
    EXPECT_TRUE(tips(w).isEmpty());

    // A second run clears the plots first; a passed check shows no box.
    script.cogging_map = {0.7f};
    script.compensation = {};
    script.check_step = 0;
    script.phase_sequence = 0.0f;
    peer.driver().set_calibration_script(script);
    on_next_modal_of<QInputDialog>([](QInputDialog* d) {
        d->setIntValue(43);
        d->accept();
    });
    button("calibration_pushButton")->click();
    EXPECT_EQ(comp->graph(0)->dataCount(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(tips(w).contains(QStringLiteral("Calibration is successful.")), 3000);
    EXPECT_TRUE(tips(w).contains(QStringLiteral("Encoder Direction: Reverse")));
    EXPECT_FALSE(tips(w).contains(QStringLiteral("Back EMF coefficient is defective")));
    EXPECT_EQ(points(angle), (Points{{0, double(0.7f)}}));
    EXPECT_TRUE(file_bytes(QStringLiteral("pass.csv")).contains(", 43, "));
}

TEST_F(SerialWindow, CalibrationWithoutStartReportFails) {
    open("zh");
    SimulatedDriver::CalibrationScript script;
    script.silent = true;
    peer.driver().set_calibration_script(script);
    ConsoleCapture log;
    on_next_modal_of<QInputDialog>([](QInputDialog* d) {
        d->setIntValue(7);
        d->accept();
    });
    button("calibration_pushButton")->click();
    EXPECT_FALSE(h->find<QWidget>("down_left_widget")->isEnabled());
    const QString title = QString::fromUtf8("提示");
    QTRY_VERIFY_WITH_TIMEOUT(tips(h->window(), title).contains(QString::fromUtf8("校准失败")), 9000);
    EXPECT_FALSE(tips(h->window(), title).join('|').contains("wrong title"));
    EXPECT_TRUE(log.contains("[ERROR] Calibration start failed\n"));
    EXPECT_TRUE(h->find<QWidget>("down_left_widget")->isEnabled());
}

TEST_F(SerialWindow, TerminalSendsHexAndTextAndShowsReceivedChunks) {
    open();
    auto* input = h->find<QTextEdit>("input_textEdit");
    auto* view = h->find<QTextBrowser>("textBrowser");
    auto* hex = h->find<QRadioButton>("send_hex_radioButton");
    auto* ascii = h->find<QRadioButton>("send_ascii_radioButton");
    ASSERT_TRUE(hex->isChecked());
    ASSERT_TRUE(h->find<QTabWidget>("tabWidget")->isTabEnabled(2));

    auto send_and_expect = [&](const QString& text, const QByteArray& bytes) {
        peer.clear_received();
        input->setPlainText(text);
        button("send_pushButton")->click();
        EXPECT_TRUE(peer.wait_for_raw(bytes.size(), 2000)) << text.toStdString();
        QTest::qWait(30);
        EXPECT_TRUE(peer.raw_received().contains(bytes)) << text.toStdString();
    };
    send_and_expect(QStringLiteral("01 02 ff"), QByteArray("\x01\x02\xff", 3));
    send_and_expect(QStringLiteral("1 2"), QByteArray("\x12", 1));
    send_and_expect(QStringLiteral("ABC"), QByteArray("\xab\x0c", 2));
    EXPECT_EQ(input->toPlainText(), QStringLiteral("ABC"));  // kept after sending

    // The filter drops what is not hexadecimal from the end.
    input->clear();
    input->setFocus();
    QTest::keyClicks(input, QStringLiteral("12g"));
    EXPECT_EQ(input->toPlainText(), QStringLiteral("12"));
    EXPECT_EQ(input->textCursor().position(), 2);

    // Switching the mode clears the input; text goes out as UTF-8.
    ascii->setChecked(true);
    EXPECT_TRUE(input->toPlainText().isEmpty());
    send_and_expect(QString::fromUtf8("hé"), QByteArray("h\xc3\xa9", 3));
    hex->setChecked(true);
    EXPECT_TRUE(input->toPlainText().isEmpty());

    // Received chunks appear as lowercase hex, one paragraph each.
    view->clear();
    peer.send_bytes(QByteArray("\xff\x31\x0a", 3));
    QTRY_VERIFY_WITH_TIMEOUT(view->toPlainText().contains(QStringLiteral("ff 31 0a ")), 2000);
    button("clear_pushButton")->click();
    EXPECT_TRUE(view->toPlainText().isEmpty());

    // The view keeps the newest 5000 chunks; the last one shown is 5099 & 0xFF.
    for (int i = 0; i < 5100; ++i) {
        QByteArray chunk(1, static_cast<char>(i & 0xFF));
        h->window()->append_textBrowser_slot(chunk);
    }
    EXPECT_EQ(view->document()->blockCount(), 5000);
    EXPECT_TRUE(view->toPlainText().endsWith(QStringLiteral("eb ")));
}
