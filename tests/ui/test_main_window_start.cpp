// Start-up, shutdown and the language switch of the main window.
#include <QAction>
#include <QApplication>
#include <QDialogButtonBox>
#include <QLabel>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <cmath>
#include <gtest/gtest.h>
#include <qcustomplot.h>

#include "config_manager.h"
#include "console_capture.h"
#include "file_contents.h"
#include "main_window_harness.h"
#include "process_launcher.h"
#include "serial_driver_peer.h"

namespace {

// Answers the next language question with `answer` (NoButton closes it).
void answer_next_question(QStringList* seen, QDialogButtonBox::StandardButton answer) {
    on_next_modal([](QWidget* w) { return w->findChild<QDialogButtonBox*>() != nullptr; },
                  [seen, answer](QWidget* w) {
                      *seen << w->windowTitle() << w->findChild<QLabel*>()->text();
                      if (answer == QDialogButtonBox::NoButton)
                          w->close();
                      else
                          w->findChild<QDialogButtonBox*>()->button(answer)->click();
                  });
}

const char* const kLockedAtStart[] = {
    "set_param_pushButton", "calibration_pushButton", "set_zero_point_pushButton", "motor_reset_pushButton",
    "vision_tab", "calibrate_tab", "send_pushButton", "target_param_groupBox", "save_checkBox",
    "motor_enable_disable_pushButton", "clear_curve_pushButton", "clear_error_pushButton", "set_curve_pushButton",
    "send_motion_param_pushButton", "update_firmware_pushButton"};

}  // namespace

// "zh" shows the form as drawn, "en" its translation; any other value keeps the
// form's texts and gives the English texts set in code.
TEST(MainWindowStart, ConstructionInEachLanguage) {
    const std::array<const char*, 5> cases[] = {
        {"zh", "Halvren 关节调试工具 v1.9.3", "打开串口", "扭矩(Nm)", "电机和编码器校准"},
        {"en", "Halvren Motor Tool v1.9.3", "TTL Srial", "Torque(N·m)", "Cogging Map"},
        {"fr", "Halvren Motor Tool v1.9.3", "打开串口", "Torque(N·m)", "Cogging Map"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c[0]);
        WindowHarness h(c[0]);
        EXPECT_EQ(h.window()->windowTitle(), QString::fromUtf8(c[1]));
        EXPECT_EQ(h.button("open_serial_pushButton")->text(), QString::fromUtf8(c[2]));
        EXPECT_EQ(h.find<QCustomPlot>("torque_plot")->yAxis->label(), QString::fromUtf8(c[3]));
        EXPECT_EQ(h.find<QCustomPlot>("calibrate_angle_plot")->yAxis->label(), QString::fromUtf8(c[4]));
        for (const char* name : kLockedAtStart) EXPECT_FALSE(h.find<QWidget>(name)->isEnabled()) << name;
        EXPECT_TRUE(h.button("open_serial_pushButton")->isEnabled() && h.button("open_can_pushButton")->isEnabled());
    }
}

// Version fields are truncated toward zero; fields that hold no integer leave the label.
TEST(MainWindowStart, DriverVersion) {
    WindowHarness h("zh");
    for (DriverVersion v : {DriverVersion{1.9f, 3.0f}, {2.0f, std::nanf("")}, {INFINITY, 2.0f}, {-1.0e30f, 2.0f}})
        h.window()->driver_version_slot(v);
    EXPECT_EQ(h.find<QLabel>("driver_version_label")->text(), QStringLiteral("V1-3"));
}

// Closing the window stops the running stream with its all-zero target.
TEST(MainWindowStart, DestructionStopsTheStream) {
    SerialDriverPeer peer;
    ASSERT_TRUE(peer.start());
    WindowHarness h("en");
    ASSERT_TRUE(h.serial_link(&peer) && h.toggle_motor("DISABLE"));
    set_spins(h.window(), {{"exp_angle_doubleSpinBox", 1.25}});
    h.button("send_motion_param_pushButton")->click();
    ASSERT_TRUE(peer.wait_for_requests(16, 10, 3000));
    h.destroy_window();
    QTest::qWait(200);
    const auto targets = peer.requests(16);
    QTest::qWait(100);
    EXPECT_EQ(peer.request_count(16), int(targets.size()));
    EXPECT_EQ(targets.back().values, std::vector<float>(5, 0.0f));
    EXPECT_EQ(targets.rbegin()[1].values[0], 1.25f);
}

// Accepted: the file holds the new value before the restart, which passes the
// arguments without the program path. Cancelled or closed: nothing changes.
TEST(MainWindowLanguage, AcceptRestartsCancelChangesNothing) {
    WindowHarness h("zh");
    ConsoleCapture log;
    QStringList question, launches;  // each launch: program, working directory's config.json, arguments
    ProcessLauncher::set_launch([&](const QString& p, const QStringList& a, const QString& d) {
        launches << p << QString::fromUtf8(file_bytes(d + QStringLiteral("/config.json"))) << a.join('|');
        return true;
    });
    answer_next_question(&question, QDialogButtonBox::Cancel);
    h.find<QAction>("actionChinese")->trigger();
    answer_next_question(&question, QDialogButtonBox::NoButton);
    h.find<QAction>("actionEnglish")->trigger();
    EXPECT_TRUE(launches.isEmpty());
    EXPECT_EQ(h.config()->get_value("lan"), "zh");

    answer_next_question(&question, QDialogButtonBox::Ok);
    QTimer::singleShot(0, [&] { h.find<QAction>("actionEnglish")->trigger(); });
    QTimer guard;
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    guard.start(10000);
    EXPECT_EQ(QApplication::exec(), 0);
    ProcessLauncher::set_launch({});
    EXPECT_EQ(launches, (QStringList{QCoreApplication::applicationFilePath(), "{\n    \"lan\": \"en\"\n}",
                                     QCoreApplication::arguments().mid(1).join('|')}));
    EXPECT_EQ(question.mid(0, 2), (QStringList{QString::fromUtf8("提示"),
                                               QString::fromUtf8("Setting language to chinese，enable after "
                                                                 "restart, comfirmed？")}));
    EXPECT_EQ(question.last(), QString::fromUtf8("将把语言设置为英语，程序自动重启后生效，确认设置？"));
    const auto lines = log.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), std::string("result 0")), 2);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), std::string("result 1")), 1);
}
