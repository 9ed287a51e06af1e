// Start-up, shutdown and the language switch of the main window.
#include <QAction>
#include <QApplication>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QLabel>
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
#include "file_contents.h"
#include "main_window.h"
#include "main_window_harness.h"
#include "process_launcher.h"
#include "serial_driver_peer.h"

namespace {

// Answers the next language question with `answer` (NoButton closes it) and notes
// its title and text.
void answer_next_question(QStringList* seen, QDialogButtonBox::StandardButton answer) {
    on_next_modal([](QWidget* w) { return w->findChild<QDialogButtonBox*>() != nullptr; },
                  [seen, answer](QWidget* w) {
                      if (seen) *seen << w->windowTitle() << w->findChild<QLabel*>()->text();
                      if (answer == QDialogButtonBox::NoButton)
                          w->close();
                      else
                          w->findChild<QDialogButtonBox*>()->button(answer)->click();
                  });
}

// The widgets that the initial lock turns off.
const char* const kLockedAtStart[] = {
    "set_param_pushButton",  "calibration_pushButton", "set_zero_point_pushButton", "motor_reset_pushButton",
    "vision_tab",            "calibrate_tab",          "send_pushButton",           "target_param_groupBox",
    "save_checkBox",         "motor_enable_disable_pushButton", "clear_curve_pushButton", "clear_error_pushButton",
    "set_curve_pushButton",  "send_motion_param_pushButton", "update_firmware_pushButton",
};

}  // namespace

// "zh" shows the form as drawn, "en" its translation (one text keeps the form's
// spelling); any other value keeps the form's texts and gives the English texts
// set in code.
TEST(MainWindowStart, ConstructionInEachLanguage) {
    struct Case {
        const char *lan, *title, *serial, *enable, *torque_axis, *calibrate_axis;
    };
    const Case cases[] = {
        {"zh", "Halvren 关节调试工具 v1.9.3", "打开串口", "电机使能", "扭矩(Nm)", "电机和编码器校准"},
        {"en", "Halvren Motor Tool v1.9.3", "TTL Srial", "ENABLE", "Torque(N·m)", "Cogging Map"},
        {"fr", "Halvren Motor Tool v1.9.3", "打开串口", "电机使能", "Torque(N·m)", "Cogging Map"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lan);
        ConsoleCapture log;
        WindowHarness h(c.lan);
        EXPECT_EQ(h.window()->windowTitle(), QString::fromUtf8(c.title));
        EXPECT_FALSE(h.window()->windowIcon().isNull());
        EXPECT_EQ(h.find<QPushButton>("open_serial_pushButton")->text(), QString::fromUtf8(c.serial));
        EXPECT_EQ(h.find<QPushButton>("motor_enable_disable_pushButton")->text(), QString::fromUtf8(c.enable));
        EXPECT_EQ(h.find<QCustomPlot>("torque_plot")->yAxis->label(), QString::fromUtf8(c.torque_axis));
        EXPECT_EQ(h.find<QCustomPlot>("calibrate_angle_plot")->yAxis->label(), QString::fromUtf8(c.calibrate_axis));
        EXPECT_EQ(h.find<QCustomPlot>("angle_plot")->graphCount(), 2);  // measured and target
        EXPECT_EQ(h.find<QTabWidget>("tabWidget")->currentIndex(), 0);
        for (const char* name : kLockedAtStart) {
            auto* w = h.find<QWidget>(name);
            ASSERT_NE(w, nullptr) << name;
            EXPECT_FALSE(w->isEnabled()) << name;
        }
        EXPECT_TRUE(h.find<QPushButton>("open_serial_pushButton")->isEnabled());
        EXPECT_TRUE(h.find<QPushButton>("open_can_pushButton")->isEnabled());
        EXPECT_TRUE(h.find<QWidget>("down_left_widget")->isEnabled());
        if (std::string(c.lan) == "zh") {
            // No link: the scanners report nothing, so no link-state line appears.
            QTest::qWait(700);
            EXPECT_FALSE(log.contains("Can and serial is both off!"));
        }
    }
}

// The version fields are truncated toward zero; a reply whose fields hold no
// integer (noise on the line) leaves the label as it was.
TEST(MainWindowStart, DriverVersionLabel) {
    WindowHarness h("zh");
    auto* label = h.find<QLabel>("driver_version_label");
    h.window()->driver_version_slot(DriverVersion{1.9f, 3.0f});
    EXPECT_EQ(label->text(), QStringLiteral("V1-3"));
    EXPECT_TRUE(label->isEnabled());

    ConsoleCapture log;
    for (float bad : {std::nanf(""), std::numeric_limits<float>::infinity(), -1.0e30f}) {
        h.window()->driver_version_slot(DriverVersion{2.0f, bad});
        h.window()->driver_version_slot(DriverVersion{bad, 2.0f});
        EXPECT_EQ(label->text(), QStringLiteral("V1-3")) << bad;
    }
    EXPECT_EQ(log.lines_starting("[WARN] Driver version ignored: ").size(), 6u);
}

TEST(MainWindowStart, ResizeScalesImages) {
    WindowHarness h("zh");
    h.window()->resize(1300, 760);
    QTest::qWait(50);
    auto pixmap = [&h](const char* name) { return h.find<QLabel>(name)->pixmap(Qt::ReturnByValue); };
    for (const char* name : {"logo_label", "p_text_label", "kd_text_label", "indicator_label"})
        EXPECT_FALSE(pixmap(name).isNull()) << name;
    EXPECT_LE(pixmap("logo_label").width(), h.find<QLabel>("logo_label")->width());
    EXPECT_EQ(pixmap("kd_text_label").size(), pixmap("p_text_label").size());
    EXPECT_LE(pixmap("indicator_label").width(), h.find<QLabel>("indicator_label")->width() - 18);
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
    QWidget* curve = top_level_named("SetCurve");
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
    auto all_zero = [](const SerialDriverPeer::Request& r) { return r.values == std::vector<float>(5, 0.0f); };
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
    QString program, directory;
    QStringList arguments, question;
    ProcessLauncher::set_launch([&](const QString& p, const QStringList& a, const QString& d) {
        ++launches;
        file_at_launch = file_bytes(h.dir() + QStringLiteral("/config.json"));
        program = p;
        arguments = a;
        directory = d;
        return true;
    });
    answer_next_question(&question, QDialogButtonBox::Ok);
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
    EXPECT_EQ(question, (QStringList{QString::fromUtf8("提示"),
                                     QString::fromUtf8("将把语言设置为英语，程序自动重启后生效，确认设置？")}));
    EXPECT_EQ(file_at_launch, QByteArray("{\n    \"lan\": \"en\"\n}"));
    EXPECT_EQ(program, QCoreApplication::applicationFilePath());
    EXPECT_EQ(arguments, QCoreApplication::arguments());
    EXPECT_EQ(directory, QDir::currentPath());
    EXPECT_EQ(h.config()->get_value("lan"), "en");
    const auto lines = log.lines();
    const auto slot_line = std::find(lines.begin(), lines.end(), "on_actionEnglish_triggered");
    ASSERT_LT(slot_line + 1, lines.end());
    EXPECT_EQ(*(slot_line + 1), "result 1");
}

TEST(MainWindowLanguage, CancelOrCloseChangesNothing) {
    WindowHarness h("en");
    ConsoleCapture log;
    int launches = 0;
    ProcessLauncher::set_launch([&](const QString&, const QStringList&, const QString&) { return ++launches, true; });
    const QByteArray before = file_bytes(QStringLiteral("config.json"));

    QStringList question;
    answer_next_question(&question, QDialogButtonBox::Cancel);
    h.find<QAction>("actionChinese")->trigger();
    EXPECT_EQ(question, (QStringList{QStringLiteral("Tips"), QString::fromUtf8("Setting language to chinese，enable "
                                                                               "after restart, comfirmed？")}));
    // Closing the question window counts as not accepted.
    answer_next_question(nullptr, QDialogButtonBox::NoButton);
    h.find<QAction>("actionEnglish")->trigger();
    ProcessLauncher::set_launch({});

    EXPECT_EQ(launches, 0);
    EXPECT_EQ(file_bytes(QStringLiteral("config.json")), before);
    EXPECT_EQ(h.config()->get_value("lan"), "en");
    const auto lines = log.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), std::string("result 0")), 2);
    EXPECT_TRUE(h.window()->isVisible());
}
