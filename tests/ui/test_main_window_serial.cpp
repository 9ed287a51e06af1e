// The main window over the serial link (a pseudo-terminal with the simulated
// driver behind it, the real managers, dialogs and widgets) and the language switch.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QRadioButton>
#include <QTest>
#include <QTextBrowser>
#include <QTextEdit>
#include <QTimer>
#include <gtest/gtest.h>
#include <unistd.h>
#include <qcustomplot.h>

#include "config_manager.h"
#include "console_capture.h"
#include "file_contents.h"
#include "main_window_harness.h"
#include "param_check.h"
#include "process_launcher.h"
#include "qt_serial.h"
#include "resources_init.h"
#include "save.h"
#include "serial_driver_peer.h"
#include "serial_manager.h"
#include "serial_receiver.h"
#include "wait_until.h"

namespace {

constexpr uint8_t kTarget = 16, kEnable = 18, kDisable = 19, kVersion = 25;
const std::vector<float> kZero(5, 0.0f);

QStringList tips(MainWindow* w) {
    QStringList out;
    for (QMessageBox* box : w->findChildren<QMessageBox*>())
        if (box->isVisible()) out << box->windowTitle() + ": " + box->text();
    out.sort();
    return out;
}

class SerialWindow : public ::testing::Test {
protected:
    void open(const std::string& lan = "en") {
        ASSERT_TRUE(peer.start());
        h = std::make_unique<WindowHarness>(lan);
        size = h->window()->size();
        ASSERT_TRUE(h->serial_link(&peer));
        ASSERT_TRUE(peer.wait_for_requests(kVersion, 1, 2000));
    }
    void stream_step(float position, float kp) {
        set_spins(h->window(), {{"exp_angle_doubleSpinBox", position}, {"kp_doubleSpinBox", kp}});
        const int before = peer.request_count(kTarget);
        h->button("send_motion_param_pushButton")->click();
        ASSERT_TRUE(peer.wait_for_requests(kTarget, before + 10, 3000));
    }
    // Nothing more arrives, and the last target was all zero.
    void expect_quiet() {
        QTest::qWait(60);
        const int settled = peer.request_count(kTarget);
        QTest::qWait(150);
        EXPECT_EQ(peer.request_count(kTarget), settled);
        EXPECT_EQ(peer.requests(kTarget).back().values, kZero);
    }

    SerialDriverPeer peer;
    std::unique_ptr<WindowHarness> h;
    QSize size;
};

}  // namespace

// Open, close (button and lost port) and reopen: controls, texts and the streams;
// nothing is written on the closed link.
TEST_F(SerialWindow, LinkOpenCloseAndLossStopTheStreams) {
    open("zh");
    auto expect_link_state = [&](bool open) {
        for (const char* name : {"set_param_pushButton", "calibrate_tab", "send_pushButton",
                                 "motor_enable_disable_pushButton"})
            EXPECT_EQ(h->find(name)->isEnabled(), open) << name;
        EXPECT_FALSE(h->find("update_firmware_pushButton")->isEnabled() ||
                     h->find("target_param_groupBox")->isEnabled());
        EXPECT_EQ(h->button("open_serial_pushButton")->text(), QString::fromUtf8(open ? "关闭串口" : "打开串口"));
        EXPECT_EQ(h->find("open_can_pushButton")->isEnabled(), !open);
        EXPECT_EQ(h->button("motor_enable_disable_pushButton")->text(), QString::fromUtf8("电机使能"));
    };
    expect_link_state(true);

    // Closed with the button while a step streams: one zero target while the link
    // is still open, then nothing; the controls are those of a closed link.
    ASSERT_TRUE(h->toggle_motor("电机失能"));
    stream_step(0.5f, 5.0f);
    ConsoleCapture log;
    ASSERT_TRUE(h->serial_link(nullptr));
    expect_link_state(false);
    expect_quiet();
    QTest::qWait(150);  // a status period (shortened)
    EXPECT_FALSE(log.contains("Write error")) << log.text();
    const int streamed = peer.request_count(kTarget);
    ASSERT_TRUE(h->serial_link(&peer));
    ASSERT_TRUE(peer.wait_for_requests(kVersion, 2, 2000));
    expect_link_state(true);
    QTest::qWait(200);
    EXPECT_EQ(peer.request_count(kTarget), streamed);  // nothing streams until asked

    // The port is lost while a step streams: the same, and nothing on the next link.
    ASSERT_TRUE(h->toggle_motor("电机失能"));
    stream_step(0.5f, 5.0f);
    peer.unplug();
    ASSERT_TRUE(wait_until([&] { return h->find("open_can_pushButton")->isEnabled(); }, 3000));
    expect_link_state(false);
    SerialDriverPeer next;
    ASSERT_TRUE(next.start() && h->serial_link(&next));
    QTest::qWait(300);
    EXPECT_EQ(next.request_count(kTarget) + next.request_count(kEnable), 0);
}

// Run log, step stream, per-column plot ranges, disable.
TEST_F(SerialWindow, StepStreamIsLoggedAndPlotted) {
    open();
    QTemporaryDir dir;
    const QString folder = dir.path();
    h->find<QCheckBox>("save_checkBox")->setChecked(true);
    on_next_modal_of<Save>([folder](Save* s) {
        on_next_modal_of<QFileDialog>([folder](QFileDialog* chooser) { choose_in(chooser, folder); });
        s->findChild<QPushButton*>("folder_pushButton")->click();
        s->findChild<QPushButton*>("comfirm_pushButton")->click();
    });
    ASSERT_TRUE(h->toggle_motor("DISABLE"));
    const QStringList logs = QDir(folder).entryList({QStringLiteral("hv-motor-tool-log-*.csv")});
    ASSERT_EQ(logs.size(), 1);

    set_spins(h->window(), {{"exp_angle_velocity_doubleSpinBox", -3.0}, {"torque_doubleSpinBox", 7.0}});
    const int before = peer.request_count(kTarget);
    stream_step(0.5f, 10.0f);
    ASSERT_TRUE(peer.wait_for_requests(kTarget, before + 30, 3000));
    h->button("stop_step_send_pushButton")->click();
    expect_quiet();
    auto targets = peer.requests(kTarget);
    for (size_t i = before; i + 1 < targets.size(); ++i)
        ASSERT_EQ(targets[i].values, (std::vector<float>{0.5f, -3.0f, 7.0f, 10.0f, 0.0f})) << i;

    // Each plot spans its own column of both buffers; the log's rows are the plots' points.
    const QStringList rows = QString::fromUtf8(file_bytes(folder + "/" + logs[0])).split('\n', Qt::SkipEmptyParts);
    ASSERT_GE(rows.size(), 40);
    EXPECT_EQ(rows[1], QStringLiteral("Time(s),Type,,Real,Target,,Real,Target,,Real,Target"));
    std::vector<QStringList> typed[2];
    for (const QString& row : rows.mid(2))
        if (row.count(',') == 10) typed[row.contains(",target,")].push_back(row.split(','));
    int col = 0;
    for (const char* name : {"angle_plot", "angle_velocity_plot", "torque_plot"}) {
        auto* plot = h->find<QCustomPlot>(name);
        double lo = 1e9, hi = -1e9;
        for (int g = 0; g < 2; ++g) {
            ASSERT_EQ(plot->graph(g)->dataCount(), int(typed[g].size())) << name;
            size_t i = 0;
            for (auto it = plot->graph(g)->data()->begin(); it != plot->graph(g)->data()->end(); ++it, ++i) {
                EXPECT_NEAR(typed[g][i][3 + 3 * col + g].toDouble(), it->value, 1e-4) << name;
                lo = std::min(lo, it->value), hi = std::max(hi, it->value);
            }
        }
        EXPECT_EQ(plot->yAxis->range(), QCPRange(lo - 0.5, hi + 0.5)) << name;
        ++col;
    }
}

// Command buttons; step and curve never stream together; error bits stop the
// stream, and no automatic enable follows a fault.
TEST_F(SerialWindow, CommandsOneStreamAtATimeAndErrors) {
    open();
    const std::tuple<const char*, uint8_t, const char*> commands[] = {
        {"set_zero_point_pushButton", 22, "Origin is set successfully."},
        {"motor_reset_pushButton", 20, "Reset is successful."},
        {"clear_error_pushButton", 32, "Error is cleared."},
        {"set_param_pushButton", 24, "Successfully get parameters."}};
    for (const auto& [name, cmd, status] : commands) {
        h->button(name)->click();
        EXPECT_TRUE(wait_until([&, status = status] { return h->text("status_label") == status; }, 2000)) << name;
        EXPECT_EQ(peer.request_count(cmd), 1) << name;
    }
    EXPECT_TRUE(top_level_named("SetParam")->isVisible());

    ASSERT_TRUE(h->toggle_motor("DISABLE"));
    const size_t first = peer.requests(kTarget).size();
    stream_step(1.0f, 5.0f);
    curve_start(0, {{"torque_A_doubleSpinBox", 2.0}, {"torque_f_doubleSpinBox", 1.0}});
    ASSERT_TRUE(peer.wait_for_requests(kTarget, int(first) + 40, 3000));
    EXPECT_FALSE(h->find("send_motion_param_pushButton")->isEnabled());
    curve_stop();
    stream_step(0.75f, 3.0f);
    QTest::qWait(300);
    // Step (Kp > 0), curve (Kp 0), step: the kind changes twice, never back and forth.
    const auto targets = peer.requests(kTarget);
    int changes = 0, kind = -1;
    for (size_t i = first; i < targets.size(); ++i) {
        if (targets[i].values == kZero) continue;
        changes += kind >= 0 && (targets[i].values[3] == 0.0f) != kind;
        kind = targets[i].values[3] == 0.0f;
    }
    EXPECT_EQ(changes, 2);

    peer.driver().set_error_bits(0x0006);
    ASSERT_TRUE(wait_until([&] { return h->button("motor_enable_disable_pushButton")->text() == "ENABLE"; }, 3000));
    EXPECT_EQ(peer.request_count(kDisable), 1);
    expect_quiet();
    peer.driver().set_error_bits(0);
    peer.driver().set_motion_stream(50.0, 45);  // more than 30 batches after the fault
    ASSERT_TRUE(wait_until([&] { return peer.driver().motion_stream_sent() == 45; }, 3000));
    QTest::qWait(100);
    EXPECT_EQ(peer.request_count(kEnable), 1);

    // With the motor off an error only reports, the lowest bit first, up to the
    // last one; the long text keeps the window's size.
    const std::pair<uint16_t, const char*> errors[] = {{0x0006, "Undervoltage! Motor is disabled."},
                                                       {0x00ff, "Overvoltage! Motor is disabled."},
                                                       {0x0080, "Current offset error! Motor is disabled."},
                                                       {0x0100, "Error code: 0x100"},
                                                       {0x0010, "Driver overtemperature! Motor is disabled."}};
    for (const auto& [bits, message] : errors) {
        h->window()->error_frame_slot(bits);
        EXPECT_EQ(h->text("status_label"), message);
    }
    QTest::qWait(50);
    EXPECT_EQ(h->window()->size(), size);
    EXPECT_EQ(peer.request_count(kDisable), 1);
}

// A flood of replies keeps one box of each kind, with the latest text; a closed
// box gives way to a new one.
TEST_F(SerialWindow, OneVerdictBoxPerKind) {
    open();
    MainWindow* w = h->window();
    for (int i = 0; i < 48; ++i) {
        w->calibration_start_slot();
        w->calibration_sucess_slot();
        w->phase_sequence_slot(i % 2 ? 2 : -1);
        w->param_check_slot(uint16_t(1 + i % 6));
        w->param_check_slot(i % 2 ? 0 : 7);  // no box
    }
    EXPECT_EQ(tips(w), (QStringList{"Tips: Calibration is successful.", "Tips: Calibration start",
                                    "Tips: Constant velocity motion is defective", "Tips: Unknown Phase Sequence!"}));
    for (QMessageBox* box : w->findChildren<QMessageBox*>()) box->close();
    QTest::qWait(50);  // closed boxes are deleted from the event loop
    w->calibration_start_slot();
    EXPECT_EQ(tips(w), QStringList{"Tips: Calibration start"});
    // A reply right after the operator closed the box, before the box is deleted.
    for (QMessageBox* box : w->findChildren<QMessageBox*>()) box->close();
    w->calibration_start_slot();
    EXPECT_EQ(tips(w), QStringList{"Tips: Calibration start"});
}

// The port is lost while the driver has not confirmed a calibration start: the
// failure is still shown, but nothing of the closed link is unlocked.
TEST_F(SerialWindow, CalibrationTimeOutAfterLinkLossUnlocksNothing) {
    open();
    h->window()->serial_manager()->set_intervals(100, 900);  // longer than noticing the loss
    peer.stop();  // the driver hears nothing from now on
    on_next_modal_of<QInputDialog>([](QInputDialog* d) { d->setIntValue(7), d->accept(); });
    h->button("calibration_pushButton")->click();
    peer.unplug();
    ASSERT_TRUE(wait_until([&] { return h->find("open_can_pushButton")->isEnabled(); }, 3000));
    ASSERT_TRUE(tips(h->window()).isEmpty());  // the verdict comes after the loss
    ASSERT_TRUE(wait_until([&] { return tips(h->window()).contains("Tips: Calibration failed!"); }, 3000));
    for (const char* name : {"vision_tab", "calibrate_tab", "send_pushButton", "target_param_groupBox",
                             "save_checkBox", "motor_enable_disable_pushButton", "clear_curve_pushButton"})
        EXPECT_FALSE(h->find(name)->isEnabled()) << name;
}

// A port that does not open: a box names the port and the system's reason, and the
// dialout group only when the system refused access.
TEST(SerialWindowOpenFailure, BoxNamesThePortAndTheReason) {
    SerialDriverPeer peer;
    ASSERT_TRUE(peer.start());
    QtSerial holder;  // keeps the peer's port busy
    ASSERT_EQ((ConsoleCapture(), holder.open(peer.slave_path())), 0);
    const struct {
        const char* lan;
        std::string port;
        QStringList shown;
        bool dialout;
    } rows[] = {
        {"en", "/dev/hv-no-such-port", {"Cannot open serial port /dev/hv-no-such-port", "No such file or directory"}, false},
        {"zh", "/dev/hv-no-such-port", {QString::fromUtf8("无法打开串口 /dev/hv-no-such-port"), "No such file or directory"}, false},
        {"en", peer.slave_path(), {QString::fromStdString(peer.slave_path()), "lock"}, false},
        // Read-only for everyone, root included: the system answers "Permission denied".
        {"en", "/sys/kernel/notes", {"/sys/kernel/notes", "Permission denied"}, true},
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

// A lost link: the status says so, the motor shows disabled and no reading of the
// old session stays; a reopened link to a driver that never answers shows none.
TEST_F(SerialWindow, LostLinkClearsWhatNoLongerHolds) {
    open();
    const char* const readings[] = {"voltage_label", "motor_temp_label", "driver_temp_label", "angle_label",
                                    "angle_velocity_label", "torque_label", "common_count_label",
                                    "motion_count_label", "driver_version_label"};
    peer.driver().set_common_state_interval(std::chrono::milliseconds(20));
    ASSERT_TRUE(h->toggle_motor("DISABLE"));
    stream_step(0.5f, 5.0f);
    h->window()->fps_slot(FrameCount{1, 100});
    ASSERT_TRUE(wait_until([&] {
        return std::all_of(std::begin(readings), std::end(readings), [&](const char* l) { return !h->text(l).isEmpty(); });
    }, 2000));
    ASSERT_EQ(h->text("status_label"), "Motor is enabled.");

    peer.unplug();
    ASSERT_TRUE(wait_until([&] { return h->find("open_can_pushButton")->isEnabled(); }, 3000));
    EXPECT_EQ(h->text("status_label"), "Serial port disconnected.");
    EXPECT_EQ(h->button("motor_enable_disable_pushButton")->text(), "ENABLE");
    for (const char* label : readings) EXPECT_EQ(h->text(label), "") << label;

    SerialDriverPeer silent;
    ASSERT_TRUE(silent.start());
    silent.stop();
    ASSERT_TRUE(h->serial_link(&silent));
    QTest::qWait(100);
    EXPECT_EQ(h->text("status_label"), "");
    for (const char* label : readings) EXPECT_EQ(h->text(label), "") << label;
}

// The boxes the operator must answer: warnings only.
static QList<QMessageBox*> warnings(MainWindow* w) {
    QList<QMessageBox*> out;
    for (QMessageBox* box : w->findChildren<QMessageBox*>())
        if (box->isVisible() && box->icon() == QMessageBox::Warning) out << box;
    return out;
}

// A run log whose folder is gone and a check result whose file cannot be written
// are shown in a box; the save tick does not stay on without a file.
TEST_F(SerialWindow, RecordsThatCannotBeWrittenAreShown) {
    open();
    QString folder;
    {
        QTemporaryDir dir;
        folder = dir.path();
        h->find<QCheckBox>("save_checkBox")->setChecked(true);
        on_next_modal_of<Save>([folder](Save* s) {
            on_next_modal_of<QFileDialog>([folder](QFileDialog* chooser) { choose_in(chooser, folder); });
            s->findChild<QPushButton*>("folder_pushButton")->click();
            QDir(folder).removeRecursively();  // deleted while the dialog was open
            s->findChild<QPushButton*>("comfirm_pushButton")->click();
        });
        ConsoleCapture quiet;
        ASSERT_TRUE(h->toggle_motor("DISABLE"));
    }
    ASSERT_TRUE(wait_until([&] { return warnings(h->window()).size() == 1; }, 1000));
    QMessageBox* box = warnings(h->window())[0];
    EXPECT_TRUE(box->text().contains(folder + "/hv-motor-tool-log-")) << box->text().toStdString();
    EXPECT_TRUE(box->text().contains("No such file or directory")) << box->text().toStdString();
    EXPECT_FALSE(h->find<QCheckBox>("save_checkBox")->isChecked());
    box->close();

    ASSERT_TRUE(h->toggle_motor("ENABLE"));
    ASSERT_TRUE(QDir().mkdir("pass.csv"));  // in the working folder
    on_next_modal_of<QInputDialog>([](QInputDialog* d) { d->setIntValue(12), d->accept(); });
    h->button("calibration_pushButton")->click();
    std::string text = "\xd0\xa3\xd1\xe9\xb3\xc9\xb9\xa6";  // GBK
    std::array<float, 12> values{};
    emit h->window()->serial_manager()->serial_receiver()->update_csv_files_signal(make_check_data(true, text, values));
    ASSERT_TRUE(wait_until([&] { return warnings(h->window()).size() == 1; }, 1000));
    box = warnings(h->window())[0];
    for (const QString& part : {QStringLiteral("pass.csv"), QStringLiteral("serial number 12,"), QStringLiteral("passed"),
                                QString::fromUtf8("校验成功")})
        EXPECT_TRUE(box->text().contains(part)) << box->text().toStdString();
}

// HEX and text sending, the one-pass filter of typed and pasted HEX, received
// chunks shown (the newest 5000).
TEST_F(SerialWindow, TerminalSendsHexAndTextAndShowsReceivedChunks) {
    open();
    h->window()->serial_manager()->set_intervals(3600 * 1000, 300);  // no status requests in between
    QTest::qWait(100);  // one already on the line reaches the driver before the first clear
    auto* input = h->find<QTextEdit>("input_textEdit");
    auto* view = h->find<QTextBrowser>("textBrowser");
    auto send = [&](const QString& typed, const QByteArray& bytes) {
        peer.clear_received();
        input->setPlainText(typed);
        h->button("send_pushButton")->click();
        EXPECT_TRUE(peer.wait_for_raw(bytes.size(), 2000));
        QTest::qWait(30);
        EXPECT_EQ(peer.raw_received(), bytes) << typed.toStdString();
    };
    send("01 02 ff", QByteArray("\x01\x02\xff", 3));
    send("ABC", QByteArray("\xab\x0c", 2));
    input->setPlainText(QStringLiteral("0a ") + QStringLiteral("0x01, ").repeated(3000));
    EXPECT_EQ(input->toPlainText(), QStringLiteral("0a 0"));
    input->setPlainText(QString(16000, QChar('f')) + QStringLiteral("z"));
    EXPECT_EQ(input->toPlainText(), QString(16000, QChar('f')));
    h->find<QRadioButton>("send_ascii_radioButton")->setChecked(true);
    EXPECT_TRUE(input->toPlainText().isEmpty());
    send(QString::fromUtf8("hé"), QByteArray("h\xc3\xa9", 3));

    peer.send_bytes(QByteArray("\xff\x31\x0a", 3));
    ASSERT_TRUE(wait_until([&] { return view->toPlainText().contains(QStringLiteral("ff 31 0a ")); }, 2000));
    QByteArray chunk("\x05");
    for (int i = 0; i < 5100; ++i) h->window()->append_textBrowser_slot(chunk);
    EXPECT_EQ(view->document()->blockCount(), 5000);
}

// Accepted: the file holds the new value before the restart, which passes the
// arguments without the program path.
TEST(MainWindowStart, LanguageSwitchRestartsOnlyWhenAccepted) {
    WindowHarness h("zh");
    QStringList launches;  // each launch: program, working directory's config.json, arguments
    ProcessLauncher::set_launch([&](const QString& p, const QStringList& a, const QString& d) {
        launches << p << QString::fromUtf8(file_bytes(d + QStringLiteral("/config.json"))) << a.join('|');
        return true;
    });
    on_next_modal([](QWidget* w) { return w->findChild<QDialogButtonBox*>() != nullptr; },
                  [](QWidget* w) { w->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click(); });
    QTimer::singleShot(0, [&] { h.find<QAction>("actionEnglish")->trigger(); });
    QTimer::singleShot(10000, h.window(), [] { QCoreApplication::exit(99); });  // a guard, gone with the window
    EXPECT_EQ(QApplication::exec(), 0);
    ProcessLauncher::set_launch({});
    EXPECT_EQ(launches, (QStringList{QCoreApplication::applicationFilePath(), "{\n    \"lan\": \"en\"\n}",
                                     QCoreApplication::arguments().mid(1).join('|')}));
}

// A working folder where settings or check results cannot be saved: the window is
// in one language (the forms' Chinese) and says so once; a good folder says nothing.
TEST(MainWindowStart, UnsavableWorkingFolderIsSaidOnceInOneLanguage) {
    hv_init_resources();
    const QString old_cwd = QDir::currentPath();
    const struct {
        const char* name;
        std::function<bool()> make;
        bool said;
    } rows[] = {
        {"good folder", [] { return true; }, false},
        {"config.json a link to itself", [] { return ::symlink("config.json", "config.json") == 0; }, true},
        {"pass.csv a folder", [] { return QDir().mkdir("pass.csv"); }, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        QTemporaryDir dir;
        ASSERT_TRUE(QDir::setCurrent(dir.path()) && row.make());
        {
            ConsoleCapture out, err(std::cerr);
            auto config = std::make_shared<ConfigManager>("./config.json");
            config->load();
            MainWindow w(config);
            w.show();
            QTest::qWait(50);
            EXPECT_EQ(w.windowTitle(), QString::fromUtf8("Halvren 关节调试工具 v1.9.3"));
            const QList<QMessageBox*> boxes = w.findChildren<QMessageBox*>();
            ASSERT_EQ(boxes.size(), row.said ? 1 : 0);
            if (row.said) {
                EXPECT_TRUE(boxes[0]->isVisible());
                EXPECT_TRUE(boxes[0]->text().contains(dir.path())) << boxes[0]->text().toStdString();
                EXPECT_TRUE(boxes[0]->text().contains(QString::fromUtf8("设置和检测结果无法保存")))
                    << boxes[0]->text().toStdString();
            }
        }
        QDir::setCurrent(old_cwd);
    }
}
