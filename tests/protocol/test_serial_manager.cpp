// The serial side (manager, link, sender, receiver) against the simulated driver
// behind a real pseudo-terminal.
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <thread>

#include "console_capture.h"
#include "link_session.h"
#include "param_check.h"
#include "qt_serial.h"
#include "receiver_signals.h"
#include "serial_driver_peer.h"
#include "serial_manager.h"
#include "serial_sender.h"
#include "set_serial.h"

namespace {

QByteArray reply(uint8_t cmd, std::vector<float> v = {}) { return build_serial_frame(cmd, v.data(), int(v.size())); }
// A 32-bit word as the one value, bit for bit.
QByteArray word_reply(uint8_t cmd, uint32_t w) { return build_serial_frame(cmd, reinterpret_cast<float*>(&w), 1); }

class SerialManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer.start());
        manager->set_intervals(3600 * 1000, 300);  // status requested only when a test asks
        manager->device_open_close_slot(QString::fromStdString(peer.slave_path()));
        ASSERT_TRUE(manager->serial_interface()->is_open());
    }
    bool wait_for(const std::vector<std::string>& expected) {
        return wait_until([&] { return events.names().size() >= expected.size(); }, 3000) && events.names() == expected;
    }

    SerialDriverPeer peer;
    std::shared_ptr<SerialManager> manager = std::make_shared<SerialManager>("en");
    ReceiverSignals<SerialReceiver> events{manager->serial_receiver(), Qt::AutoConnection};
};

// The bytes the manager writes: a simple and a long frame, and the requests the
// window tests do not count (replies: see the next test). Nothing once closed.
TEST_F(SerialManagerTest, RequestsGoOutByteExactAndNoneOnceClosed) {
    const float t[5] = {1, 2, 3, 4, 5};
    const std::pair<std::function<void()>, const char*> rows[] = {
        {[&] { manager->enable_motor(); }, "ff318a23010b00000012fb"},
        {[&] { manager->send_motion_target(t); }, "ff318a23011f000000100000803f0000004000004040000080400000a0402c"},
        {[&] { manager->write_firmware_param(FirmwareParams{6, 2, 500, 10, 3}); },
         "ff318a23011f000000110000c040000000400000fa4300002041000040406c" "ff318a23010b0000001801"},  // and re-read
        {[&] { manager->flash_firmware_param(); }, "ff318a23010b0000001700"},
        {[&] { manager->calibrate_motor(); }, "ff318a23010b00000015fe"},
        {[&] { manager->motor_status_checker_slot(); }, "ff318a23010b000000210a"},
    };
    for (const auto& [op, hex] : rows) {
        peer.clear_received();
        op();
        const QByteArray bytes = QByteArray::fromHex(hex);
        EXPECT_TRUE(wait_until([&] { return peer.raw_received().contains(bytes); }, 3000)) << hex;
    }
    manager->device_open_close_slot("");
    ASSERT_FALSE(manager->serial_interface()->is_open());
    ConsoleCapture console;
    manager->motor_status_checker_slot();  // a status request due on the closed link: nothing is written
    EXPECT_FALSE(console.contains("Write error")) << console.text();
}

TEST_F(SerialManagerTest, EveryReplyDecodesThroughNoise) {
    ConsoleCapture quiet;
    QByteArray bytes = QByteArray(25600, '\xFF') + reply(1);  // a second of a floating line, then at once a reply
    // A head of 13 bytes whose sum is right: taken as a frame, it would swallow the next reply's head.
    bytes += QByteArray::fromHex("FF318A23010D0000006F") + reply(7);
    for (uint8_t cmd : {18, 8, 5, 6, 21, 32, 34}) bytes += reply(cmd);
    bytes += reply(9, {2.9f}) + reply(9, {-1.5f}) + reply(17, {0.25f}) + word_reply(33, 0x00010005);
    bytes += reply(4, {24.5f, 36.25f, -100.0f}) + reply(16, {0.125f, 7.0f, 8.0f});
    bytes += reply(3, {8.0f, 1.0f, 1000.0f, 0.5f, 12.5f}) + reply(19, {1.0f, 9.0f, 0.0f, 0.0f, 0.0f});
    bytes += reply(2) + reply(10, {1}) + reply(42, {1, 2, 3}) + reply(20, {1, 2, 3, 4, 5});  // none is known
    for (int i = 0; i < 12; ++i) bytes += reply(static_cast<uint8_t>(37 + i), {1.0f + i});
    for (uint32_t step : {0u, 3u, 9u, 0x10004u}) bytes += word_reply(36, step);
    peer.send_bytes(bytes);
    EXPECT_TRUE(wait_for({"enable_sucess", "disable_sucess", "reset_success", "zero_point", "calibration_start",
                          "calibration_sucess", "motion_param_send_success", "error_reset", "set_param_success",
                          "phase_sequence(2)", "phase_sequence(-1)", "compensation(0.25)", "error_frame(5)",
                          "common(24.5,36.25,-100)", "angle(0.125)", "firm(8,1,1000,0.5,12.5)", "version(1,9)",
                          "csv(1)", "param_check(0)", "csv(0)", "param_check(3)", "csv(0)", "param_check(9)",
                          "csv(0)", "param_check(4)"}))
        << ::testing::PrintToString(events.names());
    const auto checks = events.checks();
    ASSERT_EQ(checks.size(), 4u);
    EXPECT_EQ(check_values(checks[0]), (std::array<float, 12>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
    EXPECT_EQ(check_values(checks[1]), (std::array<float, 12>{}));  // each check starts from cleared values
    for (int i = 0; i < 4; ++i) EXPECT_EQ(checks[i].result, check_step_text(std::array<uint32_t, 4>{0, 3, 7, 7}[i])) << i;
    EXPECT_EQ(check_step_text(3), QByteArray::fromHex("b5e7b8d0b2bbbacfb8f1").toStdString());  // GBK 电感不合格
}

int thread_count() { return QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(); }

// The manager from closed, opened and closed through its device dialog, with a
// 100 ms status period and a 200 ms calibration window.
class SerialManagerDialogTest : public ::testing::Test {
protected:
    static constexpr int kCalibrationMs = 200;
    void SetUp() override {
        ASSERT_TRUE(peer.start());
        manager->set_intervals(100, kCalibrationMs);
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* d = qobject_cast<SetSerial*>(w)) dialog = d;
        ASSERT_NE(dialog, nullptr);
        button = dialog->findChild<QPushButton*>("serial_open_close_pushButton");
        ASSERT_NE(button, nullptr);
        // The main window's connections.
        QObject::connect(rx, &SerialReceiver::calibration_start_signal, manager.get(), &SerialManager::calibrate_start_slot,
                         Qt::DirectConnection);
        QObject::connect(manager->device_scanner(), &DeviceScanner::state_changed_signal, manager.get(),
                         [this](bool s) { states.push_back(s); });
        QObject::connect(manager.get(), &SerialManager::calibrate_failed_signal, manager.get(), [this] {
            ++failed;
            failed_at = std::chrono::steady_clock::now();
        });
    }
    // Chooses `path` in the dialog (the scanner never lists ptys) and presses its button.
    void press_open_close(const std::string& path) {
        std::vector<std::string> names{path};
        if (!path.empty()) dialog->device_number_changed_slot(names);
        QTest::mouseClick(button, Qt::LeftButton);
    }
    bool link_open() { return manager->serial_interface()->is_open(); }

    ConsoleCapture quiet;
    SerialDriverPeer peer;
    std::shared_ptr<SerialManager> manager = std::make_shared<SerialManager>("en");
    SerialReceiver* rx = manager->serial_receiver();
    ReceiverSignals<SerialReceiver> events{rx, Qt::AutoConnection};
    SetSerial* dialog = nullptr;
    QPushButton* button = nullptr;
    std::vector<bool> states;
    int failed = 0;
    std::chrono::steady_clock::time_point failed_at;
};

// One receive thread while open, the status polled only then and answered with
// the error bits; closing joins the thread and stops the polls; reopening starts
// one fresh thread.
TEST_F(SerialManagerDialogTest, OpenPollsStatusOnlyWhileOpenAndCloseJoins) {
    EXPECT_FALSE(rx->has_receive_thread());
    peer.driver().set_error_bits(0x0010);
    const int threads_before = thread_count();
    press_open_close(peer.slave_path());
    ASSERT_TRUE(link_open());
    EXPECT_TRUE(rx->has_receive_thread());
    EXPECT_EQ(thread_count(), threads_before + 1);
    ASSERT_TRUE(peer.wait_for_requests(33, 3, 2000));
    ASSERT_TRUE(wait_until([&] { return !events.names().empty(); }, 1000));
    EXPECT_EQ(events.names()[0], "error_frame(16)");
    ASSERT_TRUE(wait_until([&] { return states.size() == 1; }, 1500));
    EXPECT_TRUE(states[0]);
    EXPECT_EQ(button->text(), "Close");

    press_open_close("");
    EXPECT_FALSE(link_open());
    EXPECT_FALSE(rx->has_receive_thread());
    EXPECT_EQ(thread_count(), threads_before);
    ASSERT_TRUE(wait_until([&] { return states.size() == 2; }, 1500));
    EXPECT_FALSE(states[1]);
    EXPECT_EQ(button->text(), "Open");
    const int polled = peer.request_count(33);
    QTest::qWait(350);
    EXPECT_EQ(peer.request_count(33), polled);

    press_open_close(peer.slave_path());
    EXPECT_TRUE(link_open());
    EXPECT_EQ(thread_count(), threads_before + 1);
    EXPECT_TRUE(peer.wait_for_requests(33, polled + 1, 1000));
}

// The device dialog is shown application-modal on top, and the call returns when it closes.
TEST_F(SerialManagerDialogTest, DeviceDialogRunsModalUntilCancelled) {
    bool shown = false, on_top = false;
    QWidget* modal = nullptr;
    QTimer::singleShot(50, dialog, [&] {
        shown = dialog->isVisible();
        on_top = dialog->windowFlags() & Qt::WindowStaysOnTopHint;
        modal = QApplication::activeModalWidget();
        QTest::mouseClick(dialog->findChild<QPushButton*>("cancle_pushButton"), Qt::LeftButton);
    });
    manager->show_set_serial_dialog();
    EXPECT_TRUE(shown);
    EXPECT_TRUE(on_top);
    EXPECT_EQ(modal, dialog);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_FALSE(link_open());
}

// Each forwarder reaches the driver, in call order and with its values; the
// start time handed over stamps the samples.
TEST_F(SerialManagerDialogTest, EveryForwarderReachesTheDriver) {
    std::vector<StampedMoitonState> samples;
    QObject::connect(rx, &DeviceReceiver::motor_motion_state_signal, rx, [&](QVector<StampedMoitonState>& b) {
        samples.insert(samples.end(), b.begin(), b.end());
        b.clear();
    }, Qt::DirectConnection);
    manager->set_intervals(3600 * 1000, kCalibrationMs);
    press_open_close(peer.slave_path());
    ASSERT_TRUE(link_open());
    manager->request_driver_version();
    manager->set_start_time(std::chrono::steady_clock::now() - std::chrono::seconds(5));
    manager->enable_motor();
    const float target[5] = {1.0f, 2.0f, 3.0f, 4.0f, 5.0f};
    manager->send_motion_target(target);
    manager->request_firmware_param();
    manager->write_firmware_param(FirmwareParams{6, 2, 500, 10, 3});
    manager->flash_firmware_param();
    manager->set_zero_point();
    manager->reset_motor();
    manager->clear_error();
    manager->disable_motor();
    QByteArray raw = QByteArray::fromHex("a5a5");
    manager->send_raw(raw);
    ASSERT_TRUE(peer.wait_for_raw(11 * 9 + 31 * 2 + 2, 2000));
    std::vector<int> cmds;
    for (const auto& r : peer.requests()) cmds.push_back(r.cmd);
    EXPECT_EQ(cmds, (std::vector<int>{25, 18, 16, 24, 17, 24, 23, 22, 20, 32, 19}));
    EXPECT_EQ(peer.requests(16).at(0).values, (std::vector<float>{1, 2, 3, 4, 5}));
    EXPECT_EQ(peer.requests(17).at(0).values, (std::vector<float>{6, 2, 500, 10, 3}));
    EXPECT_TRUE(peer.raw_received().endsWith(QByteArray::fromHex("ff318a23010b00000013fc") + raw));
    ASSERT_TRUE(wait_until([&] { return samples.size() == 1; }, 2000));
    EXPECT_EQ(samples[0].position, 1.0f);
    EXPECT_GE(samples[0].time, 5.0f);
    EXPECT_LT(samples[0].time, 7.0f);
    const std::vector<std::string> replies{"version(2,3)", "enable_sucess", "firm(8,1,1000,0,10)", "set_param_success",
                                           "firm(6,2,500,10,3)", "zero_point", "reset_success", "error_reset",
                                           "disable_sucess"};
    EXPECT_TRUE(wait_until([&] { return events.names().size() >= replies.size(); }, 2000));
    EXPECT_EQ(events.names(), replies);
}

// A failed open (also with no port chosen) leaves an idle receive thread, which
// the next open reuses.
TEST_F(SerialManagerDialogTest, FailedOpenLeavesAnIdleThreadThatTheNextOpenReuses) {
    const int threads_before = thread_count();
    press_open_close("/nonexistent/ttyNothing");
    EXPECT_FALSE(link_open());
    EXPECT_TRUE(rx->has_receive_thread());
    EXPECT_EQ(thread_count(), threads_before + 1);
    std::vector<std::string> none;
    dialog->device_number_changed_slot(none);
    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_FALSE(link_open());
    EXPECT_EQ(thread_count(), threads_before + 1);
    press_open_close(peer.slave_path());
    EXPECT_TRUE(link_open());
    EXPECT_EQ(thread_count(), threads_before + 1);
    manager->enable_motor();
    EXPECT_TRUE(wait_until([&] { return !events.names().empty(); }, 2000));
    EXPECT_EQ(events.names().at(0), "enable_sucess");
}

// The adapter pulled while replies stream in and requests go out: the scanner sees
// the link closed, polls stop, and a new port opens on the same idle thread.
TEST_F(SerialManagerDialogTest, UnpluggingWhileOpenIsSurvivedAndTheLinkReopens) {
    peer.driver().set_motion_stream(500.0);
    press_open_close(peer.slave_path());
    ASSERT_TRUE(link_open());
    ASSERT_TRUE(wait_until([&] { return states.size() == 1; }, 1500));
    const int threads_open = thread_count();
    peer.unplug();
    manager->enable_motor();
    const float target[5] = {0, 0, 0, 0, 0};
    manager->send_motion_target(target);
    ASSERT_TRUE(wait_until([&] { return states.size() == 2; }, 3000)) << "the scanner never saw the loss";
    EXPECT_FALSE(states[1]);
    EXPECT_FALSE(link_open());
    EXPECT_EQ(thread_count(), threads_open - 1);  // only the peer's own thread has gone

    peer.driver().set_motion_stream(0.0);
    ASSERT_TRUE(peer.start());
    press_open_close(peer.slave_path());
    ASSERT_TRUE(link_open());
    EXPECT_EQ(thread_count(), threads_open);
    events.clear();
    manager->request_driver_version();
    EXPECT_TRUE(wait_until([&] {
        const auto n = events.names();
        return std::find(n.begin(), n.end(), "version(2,3)") != n.end();
    }, 2000));
    press_open_close("");
    EXPECT_FALSE(link_open());
    EXPECT_FALSE(rx->has_receive_thread());
}

// Runs the event loop without its timers, reading the port as the receiver's 1 ms
// timer does, until `done` holds: a window a timer keeps cannot run out before
// what it waits for came in, however slow the machine.
bool wait_with_timers_held(SerialInterface* port, const std::function<bool()>& done, int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        QCoreApplication::processEvents(QEventLoop::X11ExcludeTimers);
        if (port->is_open()) port->read();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The verdict a window after each start: confirmed, then a silent driver fails
// once, and a start report that comes after its window counts for the next one,
// but not for one on a link opened after it.
TEST_F(SerialManagerDialogTest, CalibrationVerdictStartedFailedOnceAndLateReport) {
    // Recorded in the receive thread after the manager's slot: once a start is
    // here, the manager has taken it.
    ReceiverSignals<SerialReceiver> taken{rx, Qt::DirectConnection};
    auto starts_taken = [&] {
        const auto n = taken.names();
        return std::count(n.begin(), n.end(), "calibration_start");
    };
    auto judged = [&] { return wait_until([&] { return !manager->calibration_judging(); }, 5000); };
    press_open_close(peer.slave_path());
    ASSERT_TRUE(link_open());
    manager->calibrate_motor();
    EXPECT_TRUE(manager->calibration_judging());  // nothing blocks until the verdict
    // The driver answers at once; the window waits for it however slow the machine.
    ASSERT_TRUE(wait_with_timers_held(manager->serial_interface(), [&] { return starts_taken() == 1; }, 5000));
    EXPECT_EQ(peer.request_count(21), 1);
    ASSERT_TRUE(judged());
    EXPECT_EQ(failed, 0);

    peer.set_ignored(21, true);  // silent from now on
    const auto called = std::chrono::steady_clock::now();
    manager->calibrate_motor();
    ASSERT_TRUE(wait_until([&] { return failed == 1; }, 5000));
    // Not judged before the window ends (a coarse timer may fire 5 % early).
    EXPECT_GE(failed_at - called, std::chrono::milliseconds(kCalibrationMs * 9 / 10));
    QTest::qWait(kCalibrationMs);
    EXPECT_EQ(failed, 1);

    peer.send_frame(5);  // late: no calibration waits for it
    ASSERT_TRUE(wait_until([&] { return starts_taken() == 2; }, 5000));
    manager->calibrate_motor();
    ASSERT_TRUE(judged());
    EXPECT_EQ(failed, 1);
    manager->calibrate_motor();
    EXPECT_TRUE(wait_until([&] { return failed == 2; }, 5000));
    EXPECT_TRUE(peer.wait_for_requests(21, 4, 5000));
    QTest::qWait(50);
    EXPECT_EQ(peer.request_count(21), 4);

    // A start reported on a link that is then closed counts for nothing on the next.
    peer.send_frame(5);
    ASSERT_TRUE(wait_until([&] { return starts_taken() == 3; }, 5000));
    press_open_close("");
    press_open_close(peer.slave_path());
    ASSERT_TRUE(link_open());
    manager->calibrate_motor();
    EXPECT_TRUE(wait_until([&] { return failed == 3; }, 5000));
}

// Destroyed while open: the receive thread is joined at once through the receiver.
TEST_F(SerialManagerDialogTest, DestroyingWhileOpenJoinsTheReceiveThread) {
    peer.driver().set_motion_stream(1000.0);
    press_open_close(peer.slave_path());
    ASSERT_TRUE(link_open());
    QTest::qWait(100);
    const int threads_open = thread_count();
    const auto t0 = std::chrono::steady_clock::now();
    manager.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
    // The receive thread and the device scanner's own thread end with it.
    EXPECT_EQ(thread_count(), threads_open - 2);
    peer.driver().set_motion_stream(0.0);
}

// Work armed on one serial link, then the link closed and the port opened at once
// on the next driver, as the managers switch links: the work never runs when the
// close comes in its pause, and a close that comes while it acts waits for it, so
// what it sends reaches only the driver it was armed for.
TEST(LinkSession, WorkOfAClosedLinkNeverReachesTheNext) {
    using std::chrono::milliseconds;
    struct Row {
        const char* close_comes;
        milliseconds pause;
        bool ran;
        int on_first, on_next;  // enables each driver got
    } rows[] = {
        {"in the pause", milliseconds(5000), false, 0, 0},
        {"while it acts", milliseconds(0), true, 1, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.close_comes);
        ConsoleCapture quiet;
        SerialDriverPeer first, next;
        ASSERT_TRUE(first.start() && next.start());
        auto port = std::make_shared<QtSerial>();
        ASSERT_EQ(port->open(first.slave_path()), 0);
        SerialSender sender(port);
        LinkSession session;
        std::atomic<bool> acting{false}, reopened{false};
        const auto armed_at = std::chrono::steady_clock::now();
        auto work = std::async(std::launch::async, [&, armed = session.current()] {
            return session.run_in(armed, row.pause, [&] {
                acting = true;
                // Sends once the next link is open, or after 500 ms: a close that
                // does not wait for the act lets the frame reach the next driver.
                const auto give_up = std::chrono::steady_clock::now() + milliseconds(500);
                while (!reopened && std::chrono::steady_clock::now() < give_up)
                    std::this_thread::sleep_for(milliseconds(1));
                sender.enable_motor();
            });
        });
        if (row.ran) ASSERT_TRUE(wait_until([&] { return acting.load(); }, 3000));
        session.next();
        port->close();
        ASSERT_EQ(port->open(next.slave_path()), 0);
        reopened = true;
        EXPECT_EQ(work.get(), row.ran);
        if (!row.ran) EXPECT_LT(std::chrono::steady_clock::now() - armed_at, row.pause / 2) << "the pause ran on";
        constexpr uint8_t kEnable = SerialSender::kEnableMotor;
        wait_until([&] { return first.request_count(kEnable) + next.request_count(kEnable) >= row.on_first + row.on_next; },
                   2000);
        QTest::qWait(100);  // a frame on the wrong link would be there by now
        EXPECT_EQ(first.request_count(kEnable), row.on_first);
        EXPECT_EQ(next.request_count(kEnable), row.on_next);
    }
}

}  // namespace
