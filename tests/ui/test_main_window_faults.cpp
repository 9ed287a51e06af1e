// The main window when something goes wrong under the operator: a port that does
// not open, a link lost in the middle of work, records that cannot be written and
// a working folder where nothing can be saved. Serial link to the simulated driver
// behind a pseudo-terminal (and, for a lost link, CAN through the emulated gs_usb
// adapter); the real managers, dialogs and widgets.
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSpinBox>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QRegularExpression>
#include <QTest>
#include <algorithm>
#include <array>
#include <functional>
#include <gtest/gtest.h>
#include <iterator>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "can_codec.h"
#include "can_driver_on_adapter.h"
#include "config_manager.h"
#include "console_capture.h"
#include "emulated_usb_backend.h"
#include "file_contents.h"
#include "file_modes_hold.h"
#include "file_size_limit.h"
#include "main_window_harness.h"
#include "param_check.h"
#include "qt_serial.h"
#include "resources_init.h"
#include "serial_driver_peer.h"
#include "serial_manager.h"
#include "serial_receiver.h"
#include "wait_until.h"

namespace {

constexpr uint8_t kVersion = 25;

// Title and text of each visible box.
QStringList boxes(MainWindow* w) {
    QStringList out;
    for (QMessageBox* box : w->findChildren<QMessageBox*>())
        if (box->isVisible()) out << box->windowTitle() + ": " + box->text();
    return out;
}

// The warning boxes the operator must answer.
QList<QMessageBox*> warnings(MainWindow* w) {
    QList<QMessageBox*> out;
    for (QMessageBox* box : w->findChildren<QMessageBox*>())
        if (box->isVisible() && box->icon() == QMessageBox::Warning) out << box;
    return out;
}

// Whether this process has `path` open.
bool held_open(const QString& path) {
    const QString file = QFileInfo(path).canonicalFilePath();
    for (const QFileInfo& fd : QDir("/proc/self/fd").entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot))
        if (fd.symLinkTarget() == file) return true;
    return false;
}

class FaultWindow : public ::testing::Test {
protected:
    void open() {
        ASSERT_TRUE(peer.start());
        h = std::make_unique<WindowHarness>("en");
        ASSERT_TRUE(h->serial_link(&peer));
        ASSERT_TRUE(peer.wait_for_requests(kVersion, 1, 2000));
    }

    SerialDriverPeer peer;
    std::unique_ptr<WindowHarness> h;
};

}  // namespace

// The port is lost while the driver has not confirmed a calibration start: the
// failure is still shown, but nothing of the closed link is unlocked.
TEST_F(FaultWindow, CalibrationTimeOutAfterLinkLossUnlocksNothing) {
    open();
    h->window()->serial_manager()->set_intervals(100, 900);  // longer than noticing the loss
    peer.stop();  // the driver hears nothing from now on
    on_serial_number_prompt([](QDialog*, QSpinBox* box, QPushButton* ok) { box->setValue(7), ok->click(); });
    h->button("calibration_pushButton")->click();
    peer.unplug();
    ASSERT_TRUE(wait_until([&] { return h->find("open_can_pushButton")->isEnabled(); }, 3000));
    ASSERT_TRUE(boxes(h->window()).isEmpty());  // the verdict comes after the loss
    ASSERT_TRUE(wait_until([&] { return boxes(h->window()).contains("Tips: Calibration failed!"); }, 3000));
    for (const char* name : {"vision_tab", "calibrate_tab", "send_pushButton", "target_param_groupBox",
                             "save_checkBox", "motor_enable_disable_pushButton", "clear_curve_pushButton"})
        EXPECT_FALSE(h->find(name)->isEnabled()) << name;
}

// A port that does not open: a box names the port and the system's reason, and the
// dialout group only when the system refused access.
TEST(FaultWindowOpen, BoxNamesThePortAndTheReason) {
    SerialDriverPeer peer;
    ASSERT_TRUE(peer.start());
    QtSerial holder;  // keeps the peer's port busy
    ASSERT_EQ((ConsoleCapture(), holder.open(peer.slave_path())), 0);
    // A port's lock file is named after it: names of this run's own, so that a run
    // beside it never holds them.
    const std::string pid = std::to_string(getpid());
    const std::string missing = "/dev/hv-no-such-port-" + pid;
    QTemporaryDir links;
    const std::string read_only = links.filePath(QString::fromStdString("notes-" + pid)).toStdString();
    // Read-only for everyone, root included: the system answers "Permission denied".
    ASSERT_TRUE(QFile::link(QStringLiteral("/sys/kernel/notes"), QString::fromStdString(read_only)));
    const struct {
        const char* lan;
        std::string port;
        QStringList shown;
        bool dialout;
    } rows[] = {
        {"en", missing, {QString::fromStdString("Cannot open serial port " + missing), "No such file or directory"}, false},
        {"zh", missing, {QString::fromStdString(u8"无法打开串口 " + missing), "No such file or directory"}, false},
        {"en", peer.slave_path(), {QString::fromStdString(peer.slave_path()), "lock"}, false},
        {"en", read_only, {QString::fromStdString(read_only), "Permission denied"}, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.port + " " + row.lan);
        WindowHarness h(row.lan);
        const QString port = QString::fromStdString(row.port);
        on_next_modal([](QWidget* w) { return w->findChild<QComboBox*>("device_select_comboBox") != nullptr; },
                      [port](QWidget* dialog) {
                          auto* combo = dialog->findChild<QComboBox*>("device_select_comboBox");
                          combo->addItem(port);
                          combo->setCurrentText(port);
                          dialog->findChild<QPushButton*>("serial_open_close_pushButton")->click();
                          dialog->findChild<QPushButton*>("cancle_pushButton")->click();
                      });
        ConsoleCapture quiet;
        h.button("open_serial_pushButton")->click();
        ASSERT_TRUE(wait_until([&] { return !h.window()->findChildren<QMessageBox*>().isEmpty(); }, 1000));
        const QList<QMessageBox*> boxes = h.window()->findChildren<QMessageBox*>();
        ASSERT_EQ(boxes.size(), 1);
        EXPECT_TRUE(boxes[0]->isVisible());
        for (const QString& part : row.shown) EXPECT_TRUE(boxes[0]->text().contains(part)) << boxes[0]->text().toStdString();
        EXPECT_EQ(boxes[0]->text().contains("dialout"), row.dialout) << boxes[0]->text().toStdString();
        boxes[0]->close();
    }
}

// A lost link: the status says so in the operator's language, the motor shows
// disabled and no reading of the old session stays; a reopened link to a driver
// that never answers shows none. Serial loses its port, CAN its USB adapter.
TEST_F(FaultWindow, LostLinkClearsWhatNoLongerHolds) {
    auto backend = EmulatedUsbBackend::install();
    auto adapter = backend->add_adapter();
    auto can = start_can_driver_on(adapter, 1);
    SerialDriverPeer silent;
    ASSERT_TRUE(silent.start());
    silent.stop();
    struct Row {
        const char* link;
        std::string lan;
        std::function<bool()> open, lose, reopen_silent;  // reopen: on a driver that never answers
        std::function<void()> stream;
        const char *enabled, *lost, *enable_button, *closed_when;  // closed_when: this button is usable
        std::vector<const char*> readings;
        const char* silent_rate;  // the reopened link's first rate
        bool logged = false;  // the run is logged
    };
    std::vector<Row> rows = {
        {"serial", "en",
         [&] { return peer.start() && h->serial_link(&peer) && peer.wait_for_requests(kVersion, 1, 2000); },
         [&] { return peer.unplug(), true; }, [&] { return h->serial_link(&silent); },
         [&] {
             peer.driver().set_common_state_interval(std::chrono::milliseconds(20));
             ASSERT_TRUE(h->toggle_motor("DISABLE"));
             peer.driver().set_motion_stream(100.0);
             h->window()->fps_slot(FrameCount{1, 100});
         },
         "Motor is enabled.", "Serial port disconnected.", "ENABLE", "open_can_pushButton",
         {"voltage_label", "motor_temp_label", "driver_temp_label", "angle_label", "angle_velocity_label",
          "torque_label", "common_count_label", "motion_count_label", "driver_version_label"},
         "Status Update Rate: 0"},
        // Over CAN the replies carry no voltage nor driver temperature, and one rate.
        {"CAN", "zh",
         [&] { return h->can_link(true) && can->wait_for_requests(CanCommand::kGetFwVersion, 1, 2000); },
         [&] { return adapter->unplug(), true; },
         // The dialog may still list the pulled adapter until the next scan: tried again.
         [&] { return backend->add_adapter(), h->can_link(true) || h->can_link(true); },
         [&] {
             ASSERT_TRUE(h->toggle_motor("电机失能"));
             set_spins(h->window(), {{"exp_angle_doubleSpinBox", 2.0}, {"kp_doubleSpinBox", 20.0}});
             h->button("send_motion_param_pushButton")->click();
             h->window()->fps_slot(FrameCount{100, 0});
         },
         "使能成功", "CAN已断开", "电机使能", "open_serial_pushButton",
         {"motor_temp_label", "angle_label", "angle_velocity_label", "torque_label", "common_count_label",
          "driver_version_label"},
         "刷新率: 0"},
    };
    // The serial row again with its run logged: the loss ends the log, and the rows
    // already written stay.
    rows.push_back(rows[0]);
    rows.back().link = "serial, logged";
    rows.back().logged = true;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.link);
        h = std::make_unique<WindowHarness>(row.lan);
        ASSERT_TRUE(row.open());
        QTemporaryDir folder;
        if (row.logged) {
            h->find<QCheckBox>("save_checkBox")->setChecked(true);
            answer_run_log_dialog(folder.path());
        }
        row.stream();
        QString log;
        QByteArray written;  // before the loss, measured rows among it
        if (row.logged) {
            const QStringList logs = QDir(folder.path()).entryList({QStringLiteral("hv-motor-tool-log-*.csv")});
            ASSERT_EQ(logs.size(), 1);
            log = folder.filePath(logs[0]);
            ASSERT_TRUE(wait_until([&] { return file_bytes(log).contains(",real,"); }, 2000));
            written = file_bytes(log);
        }
        ASSERT_TRUE(wait_until([&] {
            return std::all_of(row.readings.begin(), row.readings.end(), [&](const char* l) { return !h->text(l).isEmpty(); });
        }, 2000));
        ASSERT_EQ(h->text("status_label"), QString::fromUtf8(row.enabled));

        ConsoleCapture quiet;
        ASSERT_TRUE(row.lose());
        ASSERT_TRUE(wait_until([&] { return h->find(row.closed_when)->isEnabled(); }, 3000));
        EXPECT_EQ(h->text("status_label"), QString::fromUtf8(row.lost));
        EXPECT_EQ(h->button("motor_enable_disable_pushButton")->text(), QString::fromUtf8(row.enable_button));
        for (const char* label : row.readings) EXPECT_EQ(h->text(label), "") << label;
        if (row.logged) {
            const QByteArray ended = file_bytes(log);
            EXPECT_TRUE(ended.startsWith(written) && ended.endsWith("Log ended\n")) << ended.right(200).toStdString();
            EXPECT_FALSE(held_open(log));
        }

        ASSERT_TRUE(row.reopen_silent());
        EXPECT_EQ(h->text("status_label"), "");
        for (const char* label : row.readings) EXPECT_EQ(h->text(label), "") << label;
        // The first rate shown counts the new link's frames only: none.
        ASSERT_TRUE(wait_until([&] { return !h->text("common_count_label").isEmpty(); }, 3000));
        EXPECT_EQ(h->text("common_count_label"), QString::fromUtf8(row.silent_rate));
        h.reset();
    }
    adapter->set_bus_listener(nullptr);
    can->stop();
    EmulatedUsbBackend::uninstall();
}

// A link switched at once while its driver streams: the first rates shown count
// the new link's frames only, and its driver streams nothing.
TEST_F(FaultWindow, RatesAfterASwitchCountOnlyTheNewLink) {
    open();
    SerialDriverPeer quiet;
    ASSERT_TRUE(quiet.start());
    peer.driver().set_motion_stream(100.0);
    ASSERT_TRUE(h->toggle_motor("DISABLE"));
    ASSERT_TRUE(wait_until([&] { return h->text("motion_count_label").contains(QRegularExpression(": [1-9]")); }, 3000));
    ASSERT_TRUE(h->relink_at_once(&quiet));
    ASSERT_TRUE(wait_until([&] { return !h->text("motion_count_label").isEmpty(); }, 3000));
    EXPECT_EQ(h->text("motion_count_label"), "Waveform Update Rate: 0");
}

// A run log whose folder is gone, that fills up mid-run or that has no room left for
// its end line at the disable, and a check result whose file cannot be written are
// shown in a box with the file and the reason; the save tick does not stay on without a file.
TEST_F(FaultWindow, RecordsThatCannotBeWrittenAreShown) {
    open();
    enum class Fault { kFolderGone, kFullWhileStreaming, kFullAtDisable };
    const struct {
        const char* name;
        Fault fault;
        const char* reason;
    } rows[] = {{"folder gone", Fault::kFolderGone, "No such file or directory"},
                {"full while streaming", Fault::kFullWhileStreaming, "File too large"},
                {"full at the disable", Fault::kFullAtDisable, "File too large"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        QTemporaryDir dir;
        const QString folder = dir.path();
        h->find<QCheckBox>("save_checkBox")->setChecked(true);
        // Deleted while the dialog was open.
        answer_run_log_dialog(folder, [folder, gone = row.fault == Fault::kFolderGone] {
            if (gone) QDir(folder).removeRecursively();
        });
        {
            ConsoleCapture quiet;
            ASSERT_TRUE(h->toggle_motor("DISABLE"));
        }
        const qint64 size = QDir(folder).entryInfoList(QDir::Files).value(0).size();
        std::unique_ptr<FileSizeLimit> limit;
        if (row.fault == Fault::kFullWhileStreaming) {
            limit = std::make_unique<FileSizeLimit>(size + 1000);  // a nearly full disk
            h->button("send_motion_param_pushButton")->click();
        } else if (row.fault == Fault::kFullAtDisable) {
            limit = std::make_unique<FileSizeLimit>(size + 5);  // no room for "Log ended"
            h->button("motor_enable_disable_pushButton")->click();
        }
        const bool shown = wait_until([&] { return warnings(h->window()).size() == 1; }, 5000);
        limit.reset();  // before any failure is printed
        ASSERT_TRUE(shown);
        QMessageBox* box = warnings(h->window())[0];
        EXPECT_TRUE(box->text().contains(folder + "/hv-motor-tool-log-")) << box->text().toStdString();
        EXPECT_TRUE(box->text().contains(row.reason)) << box->text().toStdString();
        EXPECT_FALSE(h->find<QCheckBox>("save_checkBox")->isChecked());
        box->close();
        if (row.fault == Fault::kFullWhileStreaming) h->button("stop_step_send_pushButton")->click();
        if (row.fault == Fault::kFullAtDisable) {
            ASSERT_TRUE(wait_until([&] { return h->button("motor_enable_disable_pushButton")->text() == "ENABLE"; }, 3000));
        } else {
            ASSERT_TRUE(h->toggle_motor("ENABLE"));
        }
    }

    ASSERT_TRUE(QDir().mkdir("pass.csv"));  // in the working folder
    on_serial_number_prompt([](QDialog*, QSpinBox* box, QPushButton* ok) { box->setValue(12), ok->click(); });
    h->button("calibration_pushButton")->click();
    std::string text = "\xd0\xa3\xd1\xe9\xb3\xc9\xb9\xa6";  // GBK
    std::array<float, 12> values{};
    emit h->window()->serial_manager()->serial_receiver()->update_csv_files_signal(make_check_data(true, text, values));
    ASSERT_TRUE(wait_until([&] { return warnings(h->window()).size() == 1; }, 1000));
    QMessageBox* box = warnings(h->window())[0];
    for (const QString& part : {QStringLiteral("pass.csv"), QStringLiteral("serial number 12,"), QStringLiteral("passed"),
                                QString::fromUtf8("校验成功")})
        EXPECT_TRUE(box->text().contains(part)) << box->text().toStdString();
}

// A working folder where settings or check results cannot be saved: the window is
// in one language (the forms' Chinese) and says so once; a good folder says nothing.
// Settings that cannot be read are said to be neither read nor saved, and the file
// keeps them.
TEST(FaultWindowStart, UnsavableWorkingFolderIsSaidOnceInOneLanguage) {
    hv_init_resources();
    const QString old_cwd = QDir::currentPath();
    const std::string settings = "{\"lan\":\"en\",\"operator\":\"kim\"}";
    const struct {
        const char* name;
        std::function<bool()> make;
        const char* said;
    } rows[] = {
        {"good folder", [] { return true; }, nullptr},
        {"config.json a link to itself", [] { return ::symlink("config.json", "config.json") == 0; },
         "设置和检测结果无法保存"},
        {"pass.csv a folder", [] { return QDir().mkdir("pass.csv"); }, "设置和检测结果无法保存"},
        {"config.json write-only",
         [&] { return write_file("config.json", settings) && ::chmod("config.json", 0200) == 0; },
         "config.json：使用默认设置，设置不会保存。"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        QTemporaryDir dir;
        ASSERT_TRUE(QDir::setCurrent(dir.path()) && row.make());
        {
            ConsoleCapture out, err(std::cerr);
            auto config = std::make_shared<ConfigManager>("./config.json");
            {
                FileModesHold modes;  // mode 0200 is readable to root otherwise
                ASSERT_TRUE(modes.held());
                config->load();
            }
            MainWindow w(config);
            w.show();
            QTest::qWait(50);
            EXPECT_EQ(w.windowTitle(), QString::fromUtf8("Halvren 关节调试工具 v1.9.3"));
            const QList<QMessageBox*> boxes = w.findChildren<QMessageBox*>();
            ASSERT_EQ(boxes.size(), row.said ? 1 : 0);
            if (row.said) {
                EXPECT_TRUE(boxes[0]->isVisible());
                EXPECT_TRUE(boxes[0]->text().contains(dir.path())) << boxes[0]->text().toStdString();
                EXPECT_TRUE(boxes[0]->text().contains(QString::fromUtf8(row.said))) << boxes[0]->text().toStdString();
            }
        }
        if (std::string(row.name) == "config.json write-only") {
            ASSERT_EQ(::chmod("config.json", 0600), 0);
            EXPECT_EQ(file_text("config.json"), settings);
        }
        QDir::setCurrent(old_cwd);
    }
}
