// The main window over the CAN link: the gs_usb library down to the USB layer,
// an emulated adapter and the simulated driver on its bus; a serial peer for the
// switch between the links.
#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QRegularExpression>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <fstream>
#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include "can_codec.h"
#include "can_driver_on_adapter.h"
#include "can_frame_maker.h"
#include "can_manager.h"
#include "candle_can.h"
#include "console_capture.h"
#include "emulated_usb_backend.h"
#include "file_modes_hold.h"
#include "main_window_harness.h"
#include "serial_driver_peer.h"
#include "serial_sender.h"
#include "wait_until.h"

namespace {

bool is_motion(const CanDriverPeer::Request& r) { return r.cmd == CanCommand::kMotionControl; }
bool is_image_step(const CanDriverPeer::Request& r) {
    return r.cmd >= CanCommand::kWriteAppBackStart && r.cmd <= CanCommand::kDfuStart;
}

class CanWindow : public CanWindowTest {
protected:
    void SetUp() override {
        CanWindowTest::SetUp();
        ASSERT_TRUE(serial.start());
        h = std::make_unique<WindowHarness>("en");
    }

    SerialDriverPeer serial;
};

}  // namespace

// Serial, then CAN, then serial again: commands, controls and the curve follow
// the open link.
TEST_F(CanWindow, LinkSwitching) {
    auto* tabs = h->find<QTabWidget>("tabWidget");
    auto reset_reaches = [&](int can, int on_serial) {
        const int can_before = peer->request_count(CanCommand::kResetMotor), serial_before = serial.request_count(20);
        h->button("motor_reset_pushButton")->click();
        QTest::qWait(150);
        wait_until([&] {  // a busy machine may take longer
            return peer->request_count(CanCommand::kResetMotor) - can_before == can &&
                   serial.request_count(20) - serial_before == on_serial;
        }, 3000);
        EXPECT_EQ(peer->request_count(CanCommand::kResetMotor) - can_before, can);
        EXPECT_EQ(serial.request_count(20) - serial_before, on_serial);
    };
    ASSERT_TRUE(h->serial_link(&serial));
    reset_reaches(0, 1);
    ASSERT_TRUE(h->serial_link(nullptr));
    ASSERT_TRUE(h->can_link(true));
    EXPECT_FALSE(tabs->isTabEnabled(2) || h->find("open_serial_pushButton")->isEnabled());
    reset_reaches(1, 0);
    curve_start(1, {{"position_A_doubleSpinBox", 1.0}, {"position_f_doubleSpinBox", 1.0}});
    ASSERT_TRUE(peer->wait_for_requests(CanCommand::kMotionControl, 200, 3000));
    curve_stop();
    ASSERT_TRUE(h->can_link(false));
    ASSERT_TRUE(h->serial_link(&serial));
    reset_reaches(0, 1);
    EXPECT_TRUE(tabs->isTabEnabled(2));
}

// Send streams the step at the rate of its link: 1000 targets a second over CAN,
// 100 over serial. Judged by the median spacing of the targets where the link's far
// end recorded them (the adapter as the tool wrote each, the driver's pty as each
// arrived), between half and five times the period, so a busy machine cannot flip it.
TEST_F(CanWindow, SendStreamsAtTheRateOfTheLink) {
    using Times = std::vector<std::chrono::steady_clock::time_point>;
    struct Row {
        const char* link;
        std::function<bool(bool)> link_to;  // opens or closes the link
        std::function<Times()> target_times;
        int hz, timed;  // the rate, and how many targets are timed
    } rows[] = {
        {"serial", [this](bool open) { return h->serial_link(open ? &serial : nullptr); },
         [this] {
             Times times;
             for (const auto& r : serial.requests(SerialSender::kMotionTarget)) times.push_back(r.at);
             return times;
         },
         100, 40},
        {"CAN", [this](bool open) { return h->can_link(open); },
         [this] {
             Times times;
             for (const auto& w : adapter->host_write_times())
                 if ((w.can_id >> 5 & 0x3F) == CanCommand::kMotionControl) times.push_back(w.at);
             return times;
         },
         1000, 300},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.link);
        ASSERT_TRUE(row.link_to(true));
        ASSERT_TRUE(h->toggle_motor("DISABLE"));
        set_spins(h->window(), {{"exp_angle_doubleSpinBox", 1.0}, {"kp_doubleSpinBox", 5.0}});
        const std::size_t before = row.target_times().size();
        h->button("send_motion_param_pushButton")->click();
        const bool streamed =
            wait_until([&] { return row.target_times().size() >= before + row.timed; }, 5000 + 10000 * row.timed / row.hz);
        h->button("stop_step_send_pushButton")->click();
        ASSERT_TRUE(streamed);
        const Times times = row.target_times();
        std::vector<double> gaps_ms;
        for (std::size_t i = before + 1; i < times.size(); ++i)
            gaps_ms.push_back(std::chrono::duration<double, std::milli>(times[i] - times[i - 1]).count());
        std::nth_element(gaps_ms.begin(), gaps_ms.begin() + gaps_ms.size() / 2, gaps_ms.end());
        const double median_ms = gaps_ms[gaps_ms.size() / 2], period_ms = 1000.0 / row.hz;
        EXPECT_GT(median_ms, period_ms / 2);
        EXPECT_LT(median_ms, period_ms * 5);
        ASSERT_TRUE(row.link_to(false));
    }
}

// A step stream; an error stops it with one zero target, then the motor is off.
TEST_F(CanWindow, StreamStopsOnError) {
    ASSERT_TRUE(h->can_link(true));
    ASSERT_TRUE(h->toggle_motor("DISABLE"));
    set_spins(h->window(), {{"exp_angle_doubleSpinBox", 2.0}, {"kp_doubleSpinBox", 20.0}, {"kd_doubleSpinBox", 1.5}});
    const int before = motion();
    h->button("send_motion_param_pushButton")->click();
    ASSERT_TRUE(peer->wait_for_requests(CanCommand::kMotionControl, before + 300, 3000));
    peer->driver().set_error_bits(0x0030);
    ASSERT_TRUE(wait_until([&] { return h->button("motor_enable_disable_pushButton")->text() == "ENABLE"; }, 3000));
    EXPECT_EQ(peer->request_count(CanCommand::kDisableMotor), 1);
    peer->driver().set_error_bits(0);
    QTest::qWait(100);
    wait_until([&] { return payload(peer->requests(CanCommand::kMotionControl).back()) == motion_payload({}); }, 3000);
    auto frames = peer->requests(CanCommand::kMotionControl);
    EXPECT_EQ(payload(frames.back()), motion_payload({}));
    for (size_t i = before; i + 1 < frames.size(); ++i) ASSERT_EQ(payload(frames[i]), motion_payload({2, 0, 0, 20, 1.5f}));
}

// Records the texts a label had when it was painted: the update blocks the event
// loop, so what it shows must be painted at once.
class PaintedTexts : public QObject {
public:
    explicit PaintedTexts(QWidget* label) : label_(label) { label->installEventFilter(this); }
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint && (texts.isEmpty() || texts.last() != label_->property("text")))
            texts << label_->property("text").toString();
        return false;
    }
    QStringList texts;

private:
    QWidget* label_;
};

// Firmware images through the window's button: size limits, the driver's verdicts
// and the status line, the version request after success; the progress never shows
// more than went out, and a chunk that cannot go out ends the update; a running curve stops
// before the first firmware frame (it is restarted for every row). While a paced
// image is sent the window answers: it shows the progress, keeps every control that
// reaches the driver or the link off and refuses to close; a link lost mid-image
// ends the update at once. Only a regular file is read: a pipe would block the window.
TEST_F(CanWindow, FirmwareUpdate) {
    ASSERT_TRUE(h->can_link(true));
    CanManager* manager = h->window()->can_manager();
    manager->set_status_interval(20);
    std::vector<std::string> events;
    QObject::connect(manager, &CanManager::update_firmware_failed_signal, [&] { events.push_back("failed"); });
    QObject::connect(manager, &CanManager::update_firmware_success_signal, [&] { events.push_back("success"); });
    QTemporaryDir dir;
    QString path;
    QStringList boxes;
    QTimer answer;  // the file dialog picks `path`; every box is read and confirmed
    QObject::connect(&answer, &QTimer::timeout, [&] {
        if (auto* chooser = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
            choose_in(chooser, path);
        } else if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            boxes << box->text();
            box->button(QMessageBox::Ok)->click();
        }
    });
    answer.start(10);
    using A = CanDriverPeer::Answer;
    const char* const kNotBin = "Only a .bin firmware image can be burned; %1 is not one";
    struct Row {
        int size;
        A start, check, dfu;
        std::vector<std::string> outcome;
        int chunks;  // -1: not even the start request went out
        QString box;
        const char* status;  // at the end; empty: as it was
        int chunk_ms = 0;    // the pause after each chunk
        int cut_at = 0;      // `cut` happens once this many chunks arrived
        const char* name = nullptr;  // of the file chosen; default fw<size>.bin
        bool unreadable = false;
        bool fifo = false;  // a named pipe, which nothing ever writes to
        enum { kUnplug, kSilence, kHostStall } cut = kUnplug;  // the bus stops acknowledging; no write gets through
    } rows[] = {
        {100, A::Ack, A::Ack, A::Ack, {"success"}, 13, "", "Firmware is updated.", 0, 0, "FW100.BIN"},
        {16, A::Ack, A::Ack, A::Reject, {"failed"}, 2, "", "Failed to update firmware!"},
        {13, A::Ack, A::Reject, A::Ack, {"failed"}, 2, "", "Failed to update firmware!"},
        {0, A::Ack, A::Ack, A::Ack, {}, -1, "The firmware file is empty", ""},
        {1024 * 1024, A::Silent, A::Ack, A::Ack, {"failed"}, 0, "", "Failed to update firmware!"},
        {1024 * 1024 + 1, A::Ack, A::Ack, A::Ack, {}, -1, "The firmware file is too large, at most 1 MiB", ""},
        // Typed into the dialog's name field, and a file of mode 0200; %1: the path.
        {100, A::Ack, A::Ack, A::Ack, {}, -1, kNotBin, "", 0, 0, "fw.hex"},
        {100, A::Ack, A::Ack, A::Ack, {}, -1, kNotBin, "", 0, 0, "notes.txt"},
        {100, A::Ack, A::Ack, A::Ack, {}, -1, kNotBin, "", 0, 0, "fw.bin.bak"},
        {0, A::Ack, A::Ack, A::Ack, {}, -1, "%1 is not a regular file: only a firmware image file can be burned", "",
         0, 0, "pipe.bin", false, true},
        {100, A::Ack, A::Ack, A::Ack, {}, -1, "Cannot read the firmware file %1: Permission denied", "", 0, 0, 0, true},
        {4096, A::Ack, A::Ack, A::Ack, {"success"}, 512, "", "Firmware is updated.", 2},
        {40000, A::Ack, A::Ack, A::Ack, {"failed"}, 5000, "", "Failed to update firmware! The CAN bus does not answer.",
         2, 1000, nullptr, false, false, Row::kSilence},
        {4096, A::Ack, A::Ack, A::Ack, {"failed"}, 512, "", "Failed to update firmware! An image chunk could not be sent.",
         2, 100, nullptr, false, false, Row::kHostStall},
        // Last: the link is gone after it.
        {8192, A::Ack, A::Ack, A::Ack, {"failed"}, 1024, "", "Failed to update firmware!", 2, 64},
    };
    auto* status = h->find<QLabel>("status_label");
    const char* const reach_driver_or_link[] = {
        "open_can_pushButton",   "open_serial_pushButton",    "update_firmware_pushButton",
        "motor_reset_pushButton", "motor_enable_disable_pushButton", "set_zero_point_pushButton",
        "calibration_pushButton", "set_param_pushButton",      "clear_error_pushButton",
        "menuBar"};  // its language menu restarts the tool
    QWidget* curve_start_button = top_level_named("SetCurve")->findChild<QWidget*>("start_pushButton");
    const QRegularExpression progress_text("^Updating\\.\\.\\.Please wait\\. (\\d+\\.\\d)%$");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.size);
        manager->set_intervals(row.chunk_ms, 30, 300);
        adapter->set_acknowledged(true);  // after a row that silenced the bus, its status poll finds it again
        ASSERT_TRUE(wait_until([&] { return !manager->bus_silent(); }, 3000));
        // Thirty batches from a disabled motor enable it, and an enabled motor takes no
        // update: every row counts afresh (a busy machine gets there over the rows).
        if (h->button("motor_enable_disable_pushButton")->text() == "ENABLE") ASSERT_TRUE(h->toggle_motor("DISABLE"));
        ASSERT_TRUE(h->toggle_motor("ENABLE"));
        curve_start(0, {{"torque_A_doubleSpinBox", 1.0}, {"torque_f_doubleSpinBox", 1.0}});
        ASSERT_TRUE(peer->wait_for_requests(CanCommand::kMotionControl, motion() + 50, 3000));
        peer->clear_requests();
        status->setText(QStringLiteral("before"));
        PaintedTexts painted(status);
        QByteArray image(row.size, char(row.size | 1));
        path = dir.filePath(row.name ? QString(row.name) : QString("fw%1.bin").arg(row.size));
        if (row.fifo) {
            QFile::remove(path);
            ASSERT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        } else {
            ASSERT_TRUE(std::ofstream(path.toStdString(), std::ios::binary).write(image.constData(), image.size()));
        }
        ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), row.unreadable ? 0200 : 0600), 0);
        FileModesHold modes;  // mode 0200 is readable to root otherwise
        peer->set_answers(row.start, row.check, row.dfu);
        events.clear(), boxes.clear();
        // What a window timer sees while the image is part sent.
        int ticks_during = 0, all_off_during = 0;
        QStringList on_during, texts_during;
        bool closed_during = false;
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            const int sent = peer->request_count(CanCommand::kWriteAppBack);
            if (sent == 0 || sent >= row.chunks || !adapter->plugged() || !manager->firmware_updating()) return;
            if (++ticks_during == 1) closed_during = h->window()->close();
            const int on_before = on_during.size();
            for (const char* name : reach_driver_or_link)
                if (h->find(name)->isEnabled() && !on_during.contains(name)) on_during << name;
            if (curve_start_button->isEnabled() && !on_during.contains("curve start")) on_during << "curve start";
            if (on_during.size() == on_before && on_before == 0) ++all_off_during;
            texts_during << status->text();
        });
        watch.start(5);
        std::atomic<bool> row_over{false}, fifo_opened{false};
        std::thread cutter([&] {
            const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            while ((row.cut_at || row.fifo) && !row_over && std::chrono::steady_clock::now() < give_up) {
                if (row.fifo) {
                    // Opens only while a reader has it open (or waits in its open): then it lets that reader go.
                    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_NONBLOCK);
                    if (fd >= 0) fifo_opened = true, ::close(fd);
                } else if (peer->request_count(CanCommand::kWriteAppBack) >= row.cut_at) {
                    if (row.cut == Row::kHostStall) return adapter->stall_host_writes({}, CandleCan::kWriteTries);
                    return row.cut == Row::kSilence ? adapter->set_acknowledged(false) : adapter->unplug();
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        ConsoleCapture console;
        ASSERT_TRUE(h->button("update_firmware_pushButton")->isEnabled());
        h->button("update_firmware_pushButton")->click();
        auto* open_can = h->button("open_can_pushButton");
        const bool ended = wait_until([&] {
            return h->button("update_firmware_pushButton")->isEnabled() || (open_can->isEnabled() && open_can->text() == "CAN");
        }, 120000);
        row_over = true;
        cutter.join();
        ASSERT_TRUE(ended);
        EXPECT_FALSE(fifo_opened) << "the window waited on a pipe";
        watch.stop();
        const int attempts = int(console.lines_starting("[INFO] Write app back").size());
        EXPECT_EQ(events, row.outcome);
        EXPECT_EQ(status->text(), *row.status ? QString(row.status) : QStringLiteral("before"));
        EXPECT_EQ(painted.texts.contains("Updating...Please wait."), row.chunks > 0) << painted.texts.join('|').toStdString();
        EXPECT_EQ(boxes.contains(QString(row.box).replace("%1", path)), !row.box.isEmpty())
            << boxes.join("|").toStdString();
        EXPECT_EQ(peer->request_count(CanCommand::kWriteAppBackStart), row.chunks < 0 ? 0 : 1);
        const int chunks = peer->request_count(CanCommand::kWriteAppBack);
        // What the adapter took for a bus that does not acknowledge (3 mailboxes and 64
        // more) has gone out from the tool; beyond that the progress must not run.
        double shown = 0;
        for (const QString& text : texts_during + painted.texts) {
            const auto match = progress_text.match(text);
            if (match.hasMatch()) shown = std::max(shown, match.captured(1).toDouble());
        }
        if (row.size > 0) EXPECT_LE(shown, 100.0 * (chunks + 67) * 8 / row.size);
        if (row.cut_at) {
            EXPECT_GE(chunks, row.cut_at);
            EXPECT_LT(chunks, row.chunks);
            // Nothing goes on after the loss: no image check, no more chunks tried.
            EXPECT_FALSE(console.contains("CAN check app back"));
            EXPECT_EQ(peer->request_count(CanCommand::kCheckAppBack), 0);
            QTest::qWait(300);
            EXPECT_EQ(int(console.lines_starting("[INFO] Write app back").size()), attempts);
            EXPECT_EQ(status->text(), QString(row.status));
            EXPECT_EQ(h->button("update_firmware_pushButton")->isEnabled(), row.cut != Row::kUnplug);
        } else {
            EXPECT_EQ(chunks, std::max(row.chunks, 0));
        }
        EXPECT_EQ(peer->request_count(CanCommand::kDfuStart), row.check == A::Ack && row.chunks > 0 && !row.cut_at ? 1 : 0);
        const bool success = row.outcome == std::vector<std::string>{"success"};
        EXPECT_EQ(peer->wait_for_requests(CanCommand::kGetFwVersion, 1, success ? 1000 : 0), success);
        if (success) EXPECT_EQ(peer->image(), image + QByteArray((8 - row.size % 8) % 8, '\0'));
        const auto all = peer->requests();
        const auto start = std::find_if(all.begin(), all.end(),
                                        [](const auto& r) { return r.cmd == CanCommand::kWriteAppBackStart; });
        EXPECT_EQ(start == all.end(), row.chunks < 0);
        EXPECT_TRUE(std::none_of(start, all.end(), is_motion));
        // The status poll (every 20 ms here) stays off the bus from the start request to the DFU start.
        const auto image_end = std::find_if(all.rbegin(), all.rend(), is_image_step).base();
        if (start != all.end()) {
            EXPECT_TRUE(std::all_of(start, image_end, is_image_step)) << "a request between the image frames";
        }
        EXPECT_TRUE(std::any_of(all.begin(), all.end(), is_motion)) << "the curve's final target";
        if (row.chunk_ms == 0) continue;
        EXPECT_GT(ticks_during, 0) << "the window did not answer during the transfer";
        EXPECT_GT(all_off_during, 0);
        EXPECT_TRUE(on_during.isEmpty()) << on_during.join(' ').toStdString();
        EXPECT_FALSE(closed_during);
        EXPECT_TRUE(h->window()->isVisible());
        EXPECT_TRUE(boxes.contains("A firmware update is under way: the window cannot be closed until it ends."))
            << boxes.join('|').toStdString();
        if (row.cut_at && row.cut == Row::kUnplug) continue;
        EXPECT_TRUE(std::any_of(texts_during.begin(), texts_during.end(),
                                [&](const QString& t) { return progress_text.match(t).hasMatch(); }))
            << texts_during.join('|').toStdString();
        // Back as for an open CAN link with the motor disabled (the serial link stays closed).
        for (const char* name : reach_driver_or_link) {
            if (std::string(name) != "open_serial_pushButton") EXPECT_TRUE(h->find(name)->isEnabled()) << name;
        }
        EXPECT_TRUE(curve_start_button->isEnabled());
    }
}

// The motor loses power during a 1 kHz step stream: the stream stops, the status
// line says why, and when power returns the motor gets none of the targets sent
// meanwhile, and the DISABLE given meanwhile is its last command. Control requests
// take as long as on a real adapter, so the channel reset is a window the stream
// can fall into.
TEST_F(CanWindow, SilentBusNeverMovesTheMotorLate) {
    adapter->set_control_latency(std::chrono::milliseconds(1));
    ASSERT_TRUE(h->can_link(true));
    ASSERT_TRUE(h->toggle_motor("DISABLE"));
    set_spins(h->window(), {{"exp_angle_doubleSpinBox", 2.0}, {"kp_doubleSpinBox", 20.0}, {"kd_doubleSpinBox", 1.5}});
    h->button("send_motion_param_pushButton")->click();
    ASSERT_TRUE(peer->wait_for_requests(CanCommand::kMotionControl, motion() + 100, 3000));
    adapter->set_acknowledged(false);  // power off
    EXPECT_TRUE(wait_until([&] {
        return h->text("status_label") == "The CAN bus does not answer: is the motor powered and connected?";
    }, 2000)) << h->text("status_label").toStdString();
    EXPECT_FALSE(h->button("stop_step_send_pushButton")->isEnabled());
    h->button("motor_enable_disable_pushButton")->click();  // DISABLE, while the bus is silent
    QTest::qWait(300);
    const std::size_t silent = peer->requests().size();
    adapter->set_acknowledged(true);  // power back
    EXPECT_TRUE(wait_until([&] { return h->button("motor_enable_disable_pushButton")->text() == "ENABLE"; }, 3000));
    const auto all = peer->requests();
    std::vector<uint8_t> commands;
    for (std::size_t i = silent; i < all.size(); ++i) {
        const auto& r = all[i];
        if (is_motion(r)) EXPECT_EQ(payload(r), motion_payload({})) << "a streamed target arrived late";
        if (is_motion(r) || r.cmd == CanCommand::kEnableMotor || r.cmd == CanCommand::kDisableMotor)
            commands.push_back(r.cmd);
    }
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(commands.back(), CanCommand::kDisableMotor);
}

// While an update runs only its end releases what it locked. A motor command still
// waiting for a silent bus would reach the driver, and its reply the window, in the
// middle of the image: the update is refused then, before the file is chosen. A
// reply that comes during the update (the driver's late ENABLE or DISABLE) shows once it ends.
TEST_F(CanWindow, OnlyTheUpdatesEndReleasesWhatItLocked) {
    ASSERT_TRUE(h->can_link(true));
    CanManager* manager = h->window()->can_manager();
    manager->set_intervals(0, 30, 300);
    manager->set_status_interval(20);  // the poll that finds the bus silent
    QTemporaryDir dir;
    const QString path = dir.filePath("fw.bin");
    ASSERT_TRUE(std::ofstream(path.toStdString(), std::ios::binary).write("12345678", 8));
    int file_dialogs = 0;
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        if (auto* chooser = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
            ++file_dialogs;
            choose_in(chooser, path);
        } else if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            box->reject();  // an update that should not have started goes no further
        }
    });
    answer.start(10);
    auto* toggle = h->button("motor_enable_disable_pushButton");
    const auto enabled_shown = [&] { return wait_until([&] { return toggle->text() == "DISABLE"; }, 3000); };
    // 0: an ENABLE waiting on a silent bus; else the late reply.
    for (uint8_t late : {uint8_t{0}, CanCommand::kEnableMotor, CanCommand::kDisableMotor}) {
        SCOPED_TRACE(int(late));
        ASSERT_EQ(toggle->text(), "ENABLE");
        peer->clear_requests();
        file_dialogs = 0;
        h->find<QLabel>("status_label")->clear();
        if (late == 0) {
            adapter->set_acknowledged(false);
            ASSERT_TRUE(wait_until([&] {
                return h->text("status_label") == "The CAN bus does not answer: is the motor powered and connected?";
            }, 3000));
            toggle->click();
            h->button("update_firmware_pushButton")->click();
            EXPECT_EQ(file_dialogs, 0);
            EXPECT_EQ(visible_tips(h->window()),
                      QStringList{"Tips: The CAN bus does not answer: update the firmware once the motor is powered "
                                  "and answers."});
            adapter->set_acknowledged(true);  // power back: the ENABLE goes out, and no image
            ASSERT_TRUE(enabled_shown());
            QTest::qWait(100);
            EXPECT_EQ(peer->request_count(CanCommand::kWriteAppBackStart), 0);
            ASSERT_TRUE(h->toggle_motor("ENABLE"));
        } else {
            peer->set_answers(CanDriverPeer::Answer::Silent, CanDriverPeer::Answer::Ack, CanDriverPeer::Answer::Ack);
            h->button("update_firmware_pushButton")->click();
            ASSERT_TRUE(peer->wait_for_requests(CanCommand::kWriteAppBackStart, 1, 3000));
            peer->send_frame(make_can_frame(make_can_id(late, 1) | kCanReplyFlag, 1, {0}));
            const bool enable = late == CanCommand::kEnableMotor;
            ASSERT_TRUE(wait_until([&] {
                return h->text("status_label") == (enable ? "Motor is enabled." : "Motor is disabled.");
            }, 3000));
            EXPECT_EQ(toggle->text(), enable ? "DISABLE" : "ENABLE");
            EXPECT_TRUE(manager->firmware_updating());
            for (const char* name : {"send_motion_param_pushButton", "target_param_groupBox", "down_left_widget",
                                     "update_firmware_pushButton"})
                EXPECT_FALSE(h->find(name)->isEnabled()) << name;
            ASSERT_TRUE(wait_until([&] { return !manager->firmware_updating(); }, 5000));
            // Those of the motor the driver enabled or disabled.
            EXPECT_EQ(h->button("send_motion_param_pushButton")->isEnabled(), enable);
            EXPECT_EQ(h->button("update_firmware_pushButton")->isEnabled(), !enable);
            if (enable) ASSERT_TRUE(h->toggle_motor("ENABLE"));
        }
    }
}
