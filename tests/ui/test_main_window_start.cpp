// Start-up, close and the language question of the main window.
#include <QAction>
#include <QApplication>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QTabWidget>
#include <QTest>
#include <gtest/gtest.h>
#include <qcustomplot.h>

#include <cmath>
#include <sys/stat.h>
#include <limits>

#include "config_manager.h"
#include "console_capture.h"
#include "file_contents.h"
#include "file_modes_hold.h"
#include "main_window_harness.h"
#include "process_launcher.h"
#include "serial_driver_peer.h"
#include "wait_until.h"

namespace {

// The widgets that the initial lock turns off.
const char* const kLockedAtStart[] = {
    "set_param_pushButton",  "calibration_pushButton", "set_zero_point_pushButton", "motor_reset_pushButton",
    "vision_tab",            "calibrate_tab",          "send_pushButton",           "target_param_groupBox",
    "save_checkBox",         "motor_enable_disable_pushButton", "clear_curve_pushButton", "clear_error_pushButton",
    "set_curve_pushButton",  "send_motion_param_pushButton", "update_firmware_pushButton",
};

QString axis(WindowHarness& h, const char* plot, bool y) {
    auto* p = h.find<QCustomPlot>(plot);
    return (y ? p->yAxis : p->xAxis)->label();
}

}  // namespace

// Texts by language ("fr" has no translation: form texts stay Chinese, code texts
// are English), the plots' set-up and the initial lock.
TEST(MainWindowStart, ConstructionByLanguage) {
    struct Row {
        const char* lan;
        const char* title;
        const char* serial_button;  // from the form, translated
        const char* enable_button;
        const char* tab0;
        std::vector<const char*> labels;  // angle x/y, velocity y, torque y, calibrate x/y, compensation y
    } rows[] = {
        {"zh", "Halvren 关节调试工具 v1.9.3", "打开串口", "电机使能", "可视化调试",
         {"时间(s)", "角度(rad)", "角速度(rad/s)", "扭矩(Nm)", "时间", "电机和编码器校准", "电机齿槽转矩补偿校准"}},
        {"en", "Halvren Motor Tool v1.9.3", "TTL Srial", "ENABLE", "Oscilloscope",
         {"Time(s)", "Position(rad)", "Velocity(rad/s)", "Torque(N·m)", "Time", "Cogging Map", "Offset Lut"}},
        {"fr", "Halvren Motor Tool v1.9.3", "打开串口", "电机使能", "可视化调试",
         {"Time(s)", "Position(rad)", "Velocity(rad/s)", "Torque(N·m)", "Time", "Cogging Map", "Offset Lut"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.lan);
        ConsoleCapture log;
        WindowHarness h(row.lan);
        EXPECT_EQ(h.window()->windowTitle(), QString::fromUtf8(row.title));
        EXPECT_EQ(h.button("open_serial_pushButton")->text(), QString::fromUtf8(row.serial_button));
        EXPECT_EQ(h.button("motor_enable_disable_pushButton")->text(), QString::fromUtf8(row.enable_button));
        auto* tabs = h.find<QTabWidget>("tabWidget");
        EXPECT_EQ(tabs->tabText(0), QString::fromUtf8(row.tab0));
        EXPECT_EQ(tabs->currentIndex(), 0);
        const QStringList labels = {axis(h, "angle_plot", false), axis(h, "angle_plot", true),
                                    axis(h, "angle_velocity_plot", true), axis(h, "torque_plot", true),
                                    axis(h, "calibrate_angle_plot", false), axis(h, "calibrate_angle_plot", true),
                                    axis(h, "calibrate_compensation_plot", true)};
        QStringList expected;
        for (const char* l : row.labels) expected << QString::fromUtf8(l);
        EXPECT_EQ(labels, expected);
        // The language menu reads the same in every language.
        EXPECT_EQ(h.find<QMenu>("menu_Language")->title(), QString::fromUtf8("设置/Settings"));
        EXPECT_EQ(h.find<QAction>("actionChinese")->text(), QString::fromUtf8("简体中文"));
        if (std::string(row.lan) == "zh") {
            EXPECT_EQ(h.find<QGroupBox>("groupBox")->title(), QString::fromUtf8("通讯设置"));
            EXPECT_EQ(h.button("open_can_pushButton")->text(), QString::fromUtf8("打开CAN"));
        } else if (std::string(row.lan) == "en") {
            EXPECT_EQ(h.find<QGroupBox>("groupBox")->title(), QStringLiteral("Communication"));
            EXPECT_EQ(h.button("open_can_pushButton")->text(), QStringLiteral("CAN"));
            EXPECT_EQ(tabs->tabText(1), QStringLiteral("Calibration"));
            EXPECT_EQ(tabs->tabText(2), QStringLiteral("Serial Port Terminal"));
        }

        auto* angle = h.find<QCustomPlot>("angle_plot");
        ASSERT_EQ(angle->graphCount(), 2);
        EXPECT_EQ(angle->graph(0)->pen().color(), QColor(Qt::green));
        EXPECT_EQ(angle->graph(1)->pen().color(), QColor(Qt::blue));
        EXPECT_EQ(angle->xAxis->range(), QCPRange(0.0, double(3.3f)));
        EXPECT_EQ(angle->interactions(), QCP::Interactions(QCP::iRangeDrag | QCP::iRangeZoom));
        auto* cal_angle = h.find<QCustomPlot>("calibrate_angle_plot");
        auto* cal_comp = h.find<QCustomPlot>("calibrate_compensation_plot");
        EXPECT_EQ(cal_angle->graphCount(), 1);
        EXPECT_EQ(cal_angle->interactions(), QCP::Interactions());
        EXPECT_DOUBLE_EQ(cal_comp->xAxis->range().upper, 130.0);
        EXPECT_EQ(cal_comp->graph(0)->lineStyle(), QCPGraph::lsNone);
        EXPECT_EQ(cal_comp->graph(0)->scatterStyle().shape(), QCPScatterStyle::ssCircle);

        for (const char* name : kLockedAtStart) EXPECT_FALSE(h.find(name)->isEnabled()) << name;
        for (const char* name : {"open_serial_pushButton", "open_can_pushButton", "down_left_widget"})
            EXPECT_TRUE(h.find(name)->isEnabled()) << name;
        // No link: the scanners report nothing, so the link state does not change.
        QTest::qWait(std::string(row.lan) == "zh" ? 700 : 0);
        EXPECT_FALSE(log.contains("Can and serial is both off!"));
        EXPECT_EQ(h.button("open_serial_pushButton")->text(), QString::fromUtf8(row.serial_button));
    }
}

// The version fields are truncated toward zero; a reply whose fields hold no
// integer (noise on the line) leaves the label as it was.
TEST(MainWindowStart, DriverVersionLabel) {
    WindowHarness h("zh");
    auto* label = h.find<QLabel>("driver_version_label");
    h.window()->driver_version_slot({1.9f, 3.0f});
    EXPECT_EQ(label->text(), QStringLiteral("V1-3"));
    EXPECT_TRUE(label->isEnabled());
    for (float bad : {std::nanf(""), std::numeric_limits<float>::infinity(), -1.0e30f}) {
        h.window()->driver_version_slot({2.0f, bad});
        EXPECT_EQ(label->text(), QStringLiteral("V1-3")) << bad;
        h.window()->driver_version_slot({bad, 2.0f});
        EXPECT_EQ(label->text(), QStringLiteral("V1-3")) << bad;
    }
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

// Closing the window while a step or a curve streams: the sender's all-zero
// target still reaches the open link, then nothing more.
TEST(MainWindowStart, ClosingWhileStreamingSendsFinalZeroTargets) {
    constexpr uint8_t kTarget = 16;
    for (const bool curve : {false, true}) {
        SCOPED_TRACE(curve ? "curve" : "step");
        SerialDriverPeer peer;
        ASSERT_TRUE(peer.start());
        WindowHarness h("en");
        ASSERT_TRUE(h.serial_link(&peer));
        ASSERT_TRUE(h.toggle_motor("DISABLE"));
        set_spins(h.window(), {{"exp_angle_doubleSpinBox", 1.25}, {"kp_doubleSpinBox", 5.0}});
        h.button("send_motion_param_pushButton")->click();
        ASSERT_TRUE(peer.wait_for_requests(kTarget, 10, 3000));
        // The curve dialog learnt the serial link from the scanner; it takes over.
        if (curve) curve_start(0, {{"torque_A_doubleSpinBox", 2.0}, {"torque_f_doubleSpinBox", 1.0}});
        ASSERT_TRUE(peer.wait_for_requests(kTarget, 40, 3000));

        h.destroy_window();
        QTest::qWait(200);
        const int at_end = peer.request_count(kTarget);
        QTest::qWait(100);
        EXPECT_EQ(peer.request_count(kTarget), at_end) << "a stream kept running after the window was gone";
        const auto targets = peer.requests(kTarget);
        EXPECT_EQ(targets.back().values, std::vector<float>(5, 0.0f));
        EXPECT_EQ(targets[targets.size() - 2].values[0], curve ? 0.0f : 1.25f);  // the stream ran to the end
        if (curve)
            EXPECT_TRUE(std::any_of(targets.begin(), targets.end(),
                                    [](const auto& r) { return r.values[0] == 0.0f && r.values[2] != 0.0f; }));
    }
}

// The question's title and text; Cancel and closing it restart nothing and leave
// the configuration (memory and file) as it was. So does OK where the settings
// cannot be saved, and a box says so with the file.
TEST(MainWindowLanguage, QuestionCancelOrCloseChangesNothing) {
    struct Row {
        const char* lan;
        const char* action;
        bool close;  // close the question instead of Cancel
        const char* title;
        const char* question;
        const char* unsavable = nullptr;  // OK is pressed, where config.json is: write-only, read-only, folder
        const char* said = nullptr;       // the box; %1: the file
    } rows[] = {
        {"en", "actionChinese", false, "Tips", "Setting language to chinese，enable after restart, comfirmed？"},
        {"en", "actionEnglish", true, "Tips", "将把语言设置为英语，程序自动重启后生效，确认设置？"},
        {"zh", "actionEnglish", false, "提示", "将把语言设置为英语，程序自动重启后生效，确认设置？"},
        {"zh", "actionChinese", true, "提示", "Setting language to chinese，enable after restart, comfirmed？"},
        // Unreadable settings are the defaults (Chinese) whatever they hold.
        {"zh", "actionEnglish", false, "提示", "将把语言设置为英语，程序自动重启后生效，确认设置？", "write-only",
         "警告: 设置无法保存到 %1：Permission denied。语言未更改。"},
        {"en", "actionChinese", false, "Tips", "Setting language to chinese，enable after restart, comfirmed？",
         "read-only", "Warning: The settings cannot be saved to %1: Permission denied. The language is not changed."},
        {"en", "actionEnglish", false, "Tips", "将把语言设置为英语，程序自动重启后生效，确认设置？", "folder",
         "Warning: The settings cannot be saved to %1: Permission denied. The language is not changed."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.lan) + " " + row.action);
        WindowHarness h(row.lan);
        int launches = 0;
        ProcessLauncher::set_launch([&](const QString&, const QStringList&, const QString&) { return ++launches, true; });
        const QString file = QDir::current().filePath(QStringLiteral("config.json"));
        const std::string how = row.unsavable ? row.unsavable : "";
        if (how == "folder") QFile::remove(file);  // in a read-only folder: none can be made
        const QByteArray before = file_bytes(file);
        const QByteArray made_unsavable = QFile::encodeName(how == "folder" ? QDir::currentPath() : file);
        ASSERT_EQ(::chmod(made_unsavable.constData(), how == "write-only" ? 0200 : how.empty() ? 0600 : 0500), 0);
        QString title, question;
        {
            FileModesHold modes;  // root reads and writes past the modes otherwise
            if (how == "write-only") h.config()->load();
            on_next_modal([](QWidget* w) { return w->findChild<QDialogButtonBox*>() != nullptr; },
                          [&](QWidget* w) {
                              title = w->windowTitle();
                              question = w->findChild<QLabel*>()->text();
                              if (row.close)
                                  w->close();
                              else
                                  w->findChild<QDialogButtonBox*>()
                                      ->button(row.unsavable ? QDialogButtonBox::Ok : QDialogButtonBox::Cancel)
                                      ->click();
                          });
            h.find<QAction>(row.action)->trigger();
        }
        ::chmod(made_unsavable.constData(), how == "folder" ? 0700 : 0600);
        ProcessLauncher::set_launch({});
        EXPECT_EQ(title, QString::fromUtf8(row.title));
        EXPECT_EQ(question, QString::fromUtf8(row.question));
        EXPECT_EQ(launches, 0);
        EXPECT_EQ(file_bytes(file), before);
        EXPECT_EQ(h.config()->get_value("lan"), row.lan);
        EXPECT_TRUE(h.window()->isVisible());
        EXPECT_EQ(visible_tips(h.window()), row.said ? QStringList{QString::fromUtf8(row.said).replace("%1", file)}
                                                     : QStringList{});
    }
}
