// The main window over the serial link (a pseudo-terminal with the simulated
// driver behind it, the real managers, dialogs and widgets) and the language switch.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QMessageBox>
#include <QProcess>
#include <QRadioButton>
#include <QSpinBox>
#include <QTest>
#include <QTextBrowser>
#include <QTextEdit>
#include <QTimer>
#include <gtest/gtest.h>
#include <qcustomplot.h>

#include <algorithm>

#include "console_capture.h"
#include "file_contents.h"
#include "main_window_harness.h"
#include "config_manager.h"
#include "process_launcher.h"
#include "serial_driver_peer.h"
#include "serial_manager.h"
#include "wait_until.h"

namespace {

constexpr uint8_t kTarget = 16, kWriteParam = 17, kEnable = 18, kDisable = 19, kFlashParam = 23, kRequestParam = 24,
                  kVersion = 25;
const std::vector<float> kZero(5, 0.0f);

class SerialWindow : public SerialWindowTest {
protected:
    // Targets with this position and Kp the driver got so far.
    int sent(float position, float kp) {
        int n = 0;
        for (const auto& r : peer.requests(kTarget)) n += r.values[0] == position && r.values[3] == kp;
        return n;
    }
    void stream_step(float position, float kp) {
        set_spins(h->window(), {{"exp_angle_doubleSpinBox", position}, {"kp_doubleSpinBox", kp}});
        const int before = sent(position, kp);
        h->button("send_motion_param_pushButton")->click();
        ASSERT_TRUE(wait_until([&] { return sent(position, kp) >= before + 10; }, 5000));
    }
    // Nothing more arrives, and the last target was all zero.
    void expect_quiet() {
        // A stop's zero goes out last.
        EXPECT_TRUE(peer.wait_for_last(kTarget, kZero, 5000));
        const int settled = peer.request_count(kTarget);
        QTest::qWait(150);
        EXPECT_EQ(peer.request_count(kTarget), settled);
        EXPECT_EQ(peer.requests(kTarget).back().values, kZero);
    }
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

    // Closed during a parameter write and opened again: the new link gets neither
    // the write's request nor its store.
    QWidget* dialog = h->param_dialog_reported();
    ASSERT_TRUE(dialog);  // the driver's answer is shown
    dialog->findChild<QPushButton*>("flash_pushButton")->click();
    ASSERT_TRUE(next.wait_for_requests(kWriteParam, 1, 2000));
    ASSERT_TRUE(h->serial_link(nullptr));
    ASSERT_EQ(next.request_count(kRequestParam), 1) << "closed during the write";
    ASSERT_TRUE(h->serial_link(&next));
    QTest::qWait(1300);
    EXPECT_EQ(next.request_count(kRequestParam) + next.request_count(kFlashParam), 1);
}

// Run log, step stream, per-column plot ranges, disable.
TEST_F(SerialWindow, StepStreamIsLoggedAndPlotted) {
    open();
    QTemporaryDir dir;
    const QString folder = dir.path();
    h->find<QCheckBox>("save_checkBox")->setChecked(true);
    answer_run_log_dialog(folder);
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
    // The test asks for the status: two replies on their way before the DISABLE's
    // ack would both ask for it.
    SerialManager* serial = h->window()->serial_manager();
    serial->set_intervals(3600 * 1000, 300);
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
    const auto curve_sent = [&] {
        const auto got = peer.requests(kTarget);
        return std::count_if(got.begin(), got.end(), [](const auto& r) { return r.values[3] == 0.0f && r.values != kZero; });
    };
    ASSERT_TRUE(wait_until([&] { return curve_sent() >= 30; }, 5000));
    EXPECT_FALSE(h->find("send_motion_param_pushButton")->isEnabled());
    curve_stop();
    stream_step(0.75f, 3.0f);  // the line keeps the order: all before it is in
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
    serial->motor_status_checker_slot();
    ASSERT_TRUE(wait_until([&] { return h->button("motor_enable_disable_pushButton")->text() == "ENABLE"; }, 5000));
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
    EXPECT_EQ(visible_tips(w), (QStringList{"Tips: Calibration is successful.", "Tips: Calibration start",
                                    "Tips: Constant velocity motion is defective", "Tips: Unknown Phase Sequence!"}));
    for (QMessageBox* box : w->findChildren<QMessageBox*>()) box->close();
    QTest::qWait(50);  // closed boxes are deleted from the event loop
    w->calibration_start_slot();
    EXPECT_EQ(visible_tips(w), QStringList{"Tips: Calibration start"});
    // A reply right after the operator closed the box, before the box is deleted.
    for (QMessageBox* box : w->findChildren<QMessageBox*>()) box->close();
    w->calibration_start_slot();
    EXPECT_EQ(visible_tips(w), QStringList{"Tips: Calibration start"});
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
    EXPECT_TRUE(wait_until([&] { return view->document()->blockCount() == 5000; }, 2000))
        << view->document()->blockCount();
}

// Accepted: the file holds the new value before the restart, which passes the
// arguments without the program path. A new instance that cannot start (its program
// moved away) leaves this one running and saying so in its language; the value
// stays saved for the next start.
TEST(MainWindowStart, LanguageSwitchRestartsOnlyWhenAccepted) {
    for (const bool starts : {true, false}) {
        SCOPED_TRACE(starts);
        WindowHarness h("zh");
        QStringList launches;  // each launch: program, working directory's config.json, arguments
        ProcessLauncher::set_launch([&](const QString& p, const QStringList& a, const QString& d) {
            launches << p << QString::fromUtf8(file_bytes(d + QStringLiteral("/config.json"))) << a.join('|');
            return starts || QProcess::startDetached(d + QStringLiteral("/moved-away"), a, d);
        });
        on_next_modal([](QWidget* w) { return w->findChild<QDialogButtonBox*>() != nullptr; },
                      [](QWidget* w) { w->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click(); });
        QTimer::singleShot(0, [&] { h.find<QAction>("actionEnglish")->trigger(); });
        QTimer said;  // still running once the box shows
        QObject::connect(&said, &QTimer::timeout, [&] {
            if (!visible_tips(h.window()).isEmpty()) QCoreApplication::exit(7);
        });
        said.start(10);
        QTimer::singleShot(10000, h.window(), [] { QCoreApplication::exit(99); });  // a guard, gone with the window
        EXPECT_EQ(QApplication::exec(), starts ? 0 : 7);
        ProcessLauncher::set_launch({});
        EXPECT_EQ(launches, (QStringList{QCoreApplication::applicationFilePath(), "{\n    \"lan\": \"en\"\n}",
                                         QCoreApplication::arguments().mid(1).join('|')}));
        EXPECT_EQ(h.config()->get_value("lan"), "en");
        const QString failed = QStringLiteral("警告: 程序无法重启：%1 无法启动。新的语言将在下次启动时生效。")
                                   .arg(QCoreApplication::applicationFilePath());
        EXPECT_EQ(visible_tips(h.window()), starts ? QStringList{} : QStringList{failed});
    }
}
