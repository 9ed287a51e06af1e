// Start-up, shutdown and the language switch of the main window.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>
#include <qcustomplot.h>

#include <cmath>
#include <limits>

#include "config_manager.h"
#include "console_capture.h"
#include "main_window.h"
#include "main_window_harness.h"
#include "process_launcher.h"
#include "serial_driver_peer.h"

namespace {

QByteArray read_file(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return f.readAll();
}

// The widgets that the initial lock turns off.
const char* const kLockedAtStart[] = {
    "set_param_pushButton",  "calibration_pushButton", "set_zero_point_pushButton", "motor_reset_pushButton",
    "vision_tab",            "calibrate_tab",          "send_pushButton",           "target_param_groupBox",
    "save_checkBox",         "motor_enable_disable_pushButton", "clear_curve_pushButton", "clear_error_pushButton",
    "set_curve_pushButton",  "send_motion_param_pushButton", "update_firmware_pushButton",
};

void expect_initial_locks(WindowHarness& h) {
    for (const char* name : kLockedAtStart) {
        auto* w = h.find<QWidget>(name);
        ASSERT_NE(w, nullptr) << name;
        EXPECT_FALSE(w->isEnabled()) << name;
    }
    EXPECT_TRUE(h.find<QPushButton>("open_serial_pushButton")->isEnabled());
    EXPECT_TRUE(h.find<QPushButton>("open_can_pushButton")->isEnabled());
    EXPECT_TRUE(h.find<QWidget>("down_left_widget")->isEnabled());
}

}  // namespace

TEST(MainWindowStart, ChineseConstruction) {
    ConsoleCapture log;
    WindowHarness h("zh");
    MainWindow* w = h.window();
    EXPECT_EQ(w->windowTitle(), QString::fromUtf8("Halvren 关节调试工具 v1.9.3"));
    EXPECT_EQ(h.find<QGroupBox>("groupBox")->title(), QString::fromUtf8("通讯设置"));
    EXPECT_EQ(h.find<QPushButton>("open_serial_pushButton")->text(), QString::fromUtf8("打开串口"));
    EXPECT_EQ(h.find<QPushButton>("open_can_pushButton")->text(), QString::fromUtf8("打开CAN"));
    EXPECT_EQ(h.find<QPushButton>("motor_enable_disable_pushButton")->text(), QString::fromUtf8("电机使能"));
    auto* tabs = h.find<QTabWidget>("tabWidget");
    EXPECT_EQ(tabs->tabText(0), QString::fromUtf8("可视化调试"));
    EXPECT_EQ(tabs->currentIndex(), 0);

    auto* angle = h.find<QCustomPlot>("angle_plot");
    EXPECT_EQ(angle->graphCount(), 2);
    EXPECT_EQ(angle->graph(0)->pen().color(), QColor(Qt::green));
    EXPECT_EQ(angle->graph(1)->pen().color(), QColor(Qt::blue));
    EXPECT_DOUBLE_EQ(angle->xAxis->range().lower, 0.0);
    EXPECT_DOUBLE_EQ(angle->xAxis->range().upper, static_cast<double>(3.3f));
    EXPECT_EQ(angle->xAxis->label(), QString::fromUtf8("时间(s)"));
    EXPECT_EQ(angle->yAxis->label(), QString::fromUtf8("角度(rad)"));
    EXPECT_EQ(h.find<QCustomPlot>("angle_velocity_plot")->yAxis->label(), QString::fromUtf8("角速度(rad/s)"));
    EXPECT_EQ(h.find<QCustomPlot>("torque_plot")->yAxis->label(), QString::fromUtf8("扭矩(Nm)"));
    auto* cal_angle = h.find<QCustomPlot>("calibrate_angle_plot");
    auto* cal_comp = h.find<QCustomPlot>("calibrate_compensation_plot");
    EXPECT_EQ(cal_angle->graphCount(), 1);
    EXPECT_EQ(cal_angle->xAxis->label(), QString::fromUtf8("时间"));
    EXPECT_EQ(cal_angle->yAxis->label(), QString::fromUtf8("电机和编码器校准"));
    EXPECT_EQ(cal_comp->yAxis->label(), QString::fromUtf8("电机齿槽转矩补偿校准"));
    EXPECT_DOUBLE_EQ(cal_comp->xAxis->range().upper, 130.0);
    EXPECT_EQ(cal_comp->graph(0)->lineStyle(), QCPGraph::lsNone);
    EXPECT_EQ(cal_comp->graph(0)->scatterStyle().shape(), QCPScatterStyle::ssCircle);
    EXPECT_EQ(angle->interactions(), QCP::Interactions(QCP::iRangeDrag | QCP::iRangeZoom));
    EXPECT_EQ(cal_angle->interactions(), QCP::Interactions());

    expect_initial_locks(h);

    // No link: the scanners report nothing, so no link-state line appears.
    QTest::qWait(700);
    EXPECT_FALSE(log.contains("Can and serial is both off!"));
    EXPECT_EQ(h.find<QPushButton>("open_serial_pushButton")->text(), QString::fromUtf8("打开串口"));
}

TEST(MainWindowStart, EnglishConstruction) {
    WindowHarness h("en");
    MainWindow* w = h.window();
    EXPECT_EQ(w->windowTitle(), QStringLiteral("Halvren Motor Tool v1.9.3"));
    // Form texts come from the translation; this one keeps the form's spelling.
    EXPECT_EQ(h.find<QPushButton>("open_serial_pushButton")->text(), QStringLiteral("TTL Srial"));
    EXPECT_EQ(h.find<QPushButton>("open_can_pushButton")->text(), QStringLiteral("CAN"));
    EXPECT_EQ(h.find<QGroupBox>("groupBox")->title(), QStringLiteral("Communication"));
    EXPECT_EQ(h.find<QPushButton>("motor_enable_disable_pushButton")->text(), QStringLiteral("ENABLE"));
    auto* tabs = h.find<QTabWidget>("tabWidget");
    EXPECT_EQ(tabs->tabText(0), QStringLiteral("Oscilloscope"));
    EXPECT_EQ(tabs->tabText(1), QStringLiteral("Calibration"));
    EXPECT_EQ(tabs->tabText(2), QStringLiteral("Serial Port Terminal"));
    // The language menu reads the same in both languages.
    EXPECT_EQ(h.find<QMenu>("menu_Language")->title(), QString::fromUtf8("设置/Settings"));
    EXPECT_EQ(h.find<QAction>("actionChinese")->text(), QString::fromUtf8("简体中文"));

    EXPECT_EQ(h.find<QCustomPlot>("angle_plot")->xAxis->label(), QStringLiteral("Time(s)"));
    EXPECT_EQ(h.find<QCustomPlot>("angle_plot")->yAxis->label(), QStringLiteral("Position(rad)"));
    EXPECT_EQ(h.find<QCustomPlot>("angle_velocity_plot")->yAxis->label(), QStringLiteral("Velocity(rad/s)"));
    EXPECT_EQ(h.find<QCustomPlot>("torque_plot")->yAxis->label(), QString::fromUtf8("Torque(N·m)"));
    EXPECT_EQ(h.find<QCustomPlot>("calibrate_angle_plot")->xAxis->label(), QStringLiteral("Time"));
    EXPECT_EQ(h.find<QCustomPlot>("calibrate_angle_plot")->yAxis->label(), QStringLiteral("Cogging Map"));
    EXPECT_EQ(h.find<QCustomPlot>("calibrate_compensation_plot")->yAxis->label(), QStringLiteral("Offset Lut"));
    expect_initial_locks(h);
}

TEST(MainWindowStart, OtherLanguageValueGivesEnglishCodeTexts) {
    WindowHarness h("fr");
    EXPECT_EQ(h.window()->windowTitle(), QStringLiteral("Halvren Motor Tool v1.9.3"));
    // No translator: the form keeps its Chinese texts.
    EXPECT_EQ(h.find<QPushButton>("open_serial_pushButton")->text(), QString::fromUtf8("打开串口"));
    EXPECT_EQ(h.find<QCustomPlot>("calibrate_angle_plot")->yAxis->label(), QStringLiteral("Cogging Map"));
}

// The version fields are truncated toward zero; a reply whose fields hold no
// integer (noise on the line) leaves the label as it was.
TEST(MainWindowStart, DriverVersionLabel) {
    WindowHarness h("zh");
    auto* label = h.find<QLabel>("driver_version_label");
    DriverVersion version;
    version.prefix = 1.9f;
    version.suffix = 3.0f;
    h.window()->driver_version_slot(version);
    EXPECT_EQ(label->text(), QStringLiteral("V1-3"));
    EXPECT_TRUE(label->isEnabled());

    ConsoleCapture log;
    for (float bad : {std::nanf(""), std::numeric_limits<float>::infinity(), -1.0e30f}) {
        version.prefix = 2.0f;
        version.suffix = bad;
        h.window()->driver_version_slot(version);
        EXPECT_EQ(label->text(), QStringLiteral("V1-3")) << bad;
        version.prefix = bad;
        version.suffix = 2.0f;
        h.window()->driver_version_slot(version);
        EXPECT_EQ(label->text(), QStringLiteral("V1-3")) << bad;
    }
    EXPECT_EQ(log.lines_starting("[WARN] Driver version ignored: ").size(), 6u);
}

TEST(MainWindowStart, ResizeScalesImages) {
    WindowHarness h("zh");
    h.window()->resize(1300, 760);
    QTest::qWait(50);
    auto* logo = h.find<QLabel>("logo_label");
    ASSERT_NE(logo->pixmap(), nullptr);
    EXPECT_FALSE(logo->pixmap()->isNull());
    EXPECT_LE(logo->pixmap()->width(), logo->width());
    auto* tip = h.find<QLabel>("p_text_label");
    ASSERT_NE(tip->pixmap(), nullptr);
    EXPECT_FALSE(tip->pixmap()->isNull());
    ASSERT_NE(h.find<QLabel>("kd_text_label")->pixmap(), nullptr);
    EXPECT_EQ(h.find<QLabel>("kd_text_label")->pixmap()->size(), tip->pixmap()->size());
    auto* indicator = h.find<QLabel>("indicator_label");
    ASSERT_NE(indicator->pixmap(), nullptr);
    EXPECT_LE(indicator->pixmap()->width(), indicator->width() - 18);
}

// Closing the window takes the parts down in order; the running streams stop and
// each sender's all-zero target still reaches the open link.
TEST(MainWindowStart, DestructionOrderAndFinalTargets) {
    SerialDriverPeer peer;
    ASSERT_TRUE(peer.start());
    auto h = std::make_unique<WindowHarness>("en");
    ASSERT_TRUE(h->open_serial(peer));

    // Enable, then stream a step target.
    h->find<QPushButton>("motor_enable_disable_pushButton")->click();
    QTRY_COMPARE_WITH_TIMEOUT(h->find<QPushButton>("motor_enable_disable_pushButton")->text(),
                              QStringLiteral("DISABLE"), 3000);
    h->find<QDoubleSpinBox>("exp_angle_doubleSpinBox")->setValue(1.25);
    h->find<QDoubleSpinBox>("kp_doubleSpinBox")->setValue(5.0);
    h->find<QPushButton>("send_motion_param_pushButton")->click();

    // The curve dialog learnt the serial link from the scanner; start a torque curve.
    QWidget* curve = find_top_level([](QWidget* w) { return w->objectName() == QLatin1String("SetCurve"); });
    if (!curve) {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->objectName() == QLatin1String("SetCurve")) curve = w;
    }
    ASSERT_NE(curve, nullptr);
    curve->findChild<QDoubleSpinBox*>(QStringLiteral("torque_A_doubleSpinBox"))->setValue(2.0);
    curve->findChild<QDoubleSpinBox*>(QStringLiteral("torque_f_doubleSpinBox"))->setValue(1.0);
    curve->findChild<QPushButton*>(QStringLiteral("start_pushButton"))->click();

    ASSERT_TRUE(peer.wait_for_requests(16, 40, 3000));

    ConsoleCapture log;
    h->destroy_window();
    QTest::qWait(200);
    const int frames_at_end = peer.request_count(16);
    QTest::qWait(100);
    EXPECT_EQ(peer.request_count(16), frames_at_end) << "a stream kept running after the window was gone";

    // The last streamed frames are the all-zero targets of the two senders.
    const auto targets = peer.requests(16);
    ASSERT_GE(targets.size(), 3u);
    auto all_zero = [](const SerialDriverPeer::Request& r) {
        if (r.values.size() != 5) return false;
        for (float v : r.values)
            if (v != 0.0f) return false;
        return true;
    };
    int trailing_zero = 0;
    for (auto it = targets.rbegin(); it != targets.rend() && all_zero(*it); ++it) ++trailing_zero;
    EXPECT_GE(trailing_zero, 2);
    EXPECT_TRUE(std::any_of(targets.begin(), targets.end(), [](const SerialDriverPeer::Request& r) {
        return r.values.size() == 5 && r.values[0] == 1.25f;
    }));

    const std::vector<std::string> expected = {
        "[INFO] Destruct MainWindow",   "[INFO] Dectruct SetParam",    "[INFO] Destruct Save",
        "[INFO] Dectruct SetCurve",     "[INFO] Destruct CurveSender", "[INFO] Destruct StepSender",
        "[INFO] Destruct SerialManager", "[INFO] Destruct CanManager", "[INFO] Destruct CsvFiles4Check",
        "[INFO] Destruct PvtPoints",    "[INFO] Destruct PvtPoints",   "[INFO] Destruct CsvFile",
    };
    std::vector<std::string> seen;
    for (const std::string& line : log.lines())
        if (std::find(expected.begin(), expected.end(), line) != expected.end()) seen.push_back(line);
    EXPECT_EQ(seen, expected);
    EXPECT_FALSE(log.contains("Destruct config manager"));  // main still holds the configuration
    h.reset();
}

TEST(MainWindowLanguage, AcceptWritesConfigThenRestarts) {
    WindowHarness h("zh");
    ConsoleCapture log;
    int launches = 0;
    QByteArray file_at_launch;
    QString program;
    QStringList arguments;
    QString directory;
    ProcessLauncher::set_launch([&](const QString& p, const QStringList& a, const QString& d) {
        ++launches;
        file_at_launch = read_file(h.dir() + QStringLiteral("/config.json"));
        program = p;
        arguments = a;
        directory = d;
        return true;
    });

    QString question;
    QString title;
    on_next_modal(
        [](QWidget* w) { return w->findChild<QDialogButtonBox*>() != nullptr; },
        [&](QWidget* w) {
            title = w->windowTitle();
            question = w->findChild<QLabel*>()->text();
            w->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
        });
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    guard.start(10000);
    QTimer::singleShot(0, [&] { h.find<QAction>("actionEnglish")->trigger(); });
    const int rc = QApplication::exec();
    guard.stop();
    ProcessLauncher::set_launch({});

    EXPECT_EQ(rc, 0);  // the restart ends the event loop normally
    EXPECT_EQ(launches, 1);
    EXPECT_EQ(title, QString::fromUtf8("提示"));
    EXPECT_EQ(question, QString::fromUtf8("将把语言设置为英语，程序自动重启后生效，确认设置？"));
    EXPECT_EQ(file_at_launch, QByteArray("{\n    \"lan\": \"en\"\n}"));
    EXPECT_EQ(program, QCoreApplication::applicationFilePath());
    EXPECT_EQ(arguments, QCoreApplication::arguments());
    EXPECT_EQ(directory, QDir::currentPath());
    EXPECT_EQ(h.config()->get_value("lan"), "en");
    const auto lines = log.lines();
    const auto slot_line = std::find(lines.begin(), lines.end(), "on_actionEnglish_triggered");
    ASSERT_NE(slot_line, lines.end());
    ASSERT_NE(slot_line + 1, lines.end());
    EXPECT_EQ(*(slot_line + 1), "result 1");
}

TEST(MainWindowLanguage, CancelOrCloseChangesNothing) {
    WindowHarness h("en");
    ConsoleCapture log;
    int launches = 0;
    ProcessLauncher::set_launch([&](const QString&, const QStringList&, const QString&) {
        ++launches;
        return true;
    });
    const QByteArray before = read_file(QStringLiteral("config.json"));

    QString title;
    QString question;
    on_next_modal([](QWidget* w) { return w->findChild<QDialogButtonBox*>() != nullptr; },
                  [&](QWidget* w) {
                      title = w->windowTitle();
                      question = w->findChild<QLabel*>()->text();
                      w->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Cancel)->click();
                  });
    h.find<QAction>("actionChinese")->trigger();
    EXPECT_EQ(title, QStringLiteral("Tips"));
    EXPECT_EQ(question, QString::fromUtf8("Setting language to chinese，enable after restart, comfirmed？"));

    // Closing the question window counts as not accepted.
    on_next_modal([](QWidget* w) { return w->findChild<QDialogButtonBox*>() != nullptr; },
                  [](QWidget* w) { w->close(); });
    h.find<QAction>("actionEnglish")->trigger();
    ProcessLauncher::set_launch({});

    EXPECT_EQ(launches, 0);
    EXPECT_EQ(read_file(QStringLiteral("config.json")), before);
    EXPECT_EQ(h.config()->get_value("lan"), "en");
    const auto lines = log.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), std::string("result 0")), 2);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "on_actionChinese_triggered"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "on_actionEnglish_triggered"), lines.end());
    // The window keeps running: a later modal dialog still works.
    EXPECT_TRUE(h.window()->isVisible());
}
