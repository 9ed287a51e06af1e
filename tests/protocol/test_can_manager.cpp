// The CAN link end to end: CanManager with its dialog, CandleCan and the gs_usb library
// down to the USB layer, against an emulated adapter with a simulated driver on its bus.
#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <random>

#include "can_driver_peer.h"
#include "can_manager.h"
#include "console_capture.h"
#include "crc32.h"
#include "emulated_usb_backend.h"
#include "set_can.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

SetCan* find_set_can() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* d = qobject_cast<SetCan*>(w)) return d;
    return nullptr;
}

// Runs `step` every 10 ms from the event loop until it returns true or `stop` is set.
// The next run is armed before `step` runs, so polling goes on inside a modal dialog
// that `step` opens.
void poll_gui(std::function<bool()> step, std::shared_ptr<bool> stop) {
    QTimer::singleShot(10, [step, stop] {
        if (*stop) return;
        poll_gui(step, stop);
        if (step()) *stop = true;
    });
}

struct Dialogs {
    // What the test saw of the modal dialogs, in order.
    std::vector<std::string> seen;
    QString file_caption;
    QStringList file_filters;
    QString box_title;
    QString box_text;
};

class CanManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        qRegisterMetaType<uint16_t>("uint16_t");
        backend = EmulatedUsbBackend::install();
        adapter = backend->add_adapter();
        auto a = adapter;
        peer = std::make_shared<CanDriverPeer>([a](const CanFrame& f) { a->deliver(f); });
        peer->set_motor_id(3);
        auto p = peer;
        adapter->set_bus_listener([p](const CanFrame& f) { p->on_host_frame(f); });
        peer->start();
        manager = std::make_unique<CanManager>("en");
        // The main window's direct connection for the calibration judgement.
        QObject::connect(manager->can_receiver().get(), &CanReceiver::calibration_start_signal, manager.get(),
                         &CanManager::calibrate_start_slot, Qt::DirectConnection);
        QObject::connect(manager.get(), &CanManager::update_firmware_start_signal, manager.get(),
                         [this] { events.push_back("start"); }, Qt::DirectConnection);
        QObject::connect(manager.get(), &CanManager::update_firmware_failed_signal, manager.get(),
                         [this] { events.push_back("failed"); });
        QObject::connect(manager.get(), &CanManager::update_firmware_success_signal, manager.get(), [this] {
            events.push_back("success");
            success_at = Clock::now();
            for (const auto& f : adapter->host_frames())
                if (((f.frame.id >> 5) & 0x3F) == 21) ++dfu_sent_before_success;
        });
        QObject::connect(manager.get(), &CanManager::calibrate_failed_signal, manager.get(),
                         [this] { events.push_back("calibrate_failed"); });
    }
    void TearDown() override {
        *stop_dialogs = true;
        manager.reset();
        adapter->set_bus_listener(nullptr);
        peer->stop();
        EmulatedUsbBackend::uninstall();
    }

    // Opens (or closes) the link through the dialog as an operator would: waits for the
    // adapter list, types the id, presses the button, waits for the new state, closes.
    bool toggle_via_dialog(const QString& id, bool expect_open) {
        bool done = false;
        const QString want = expect_open ? QStringLiteral("Close") : QStringLiteral("Open");
        auto stop = std::make_shared<bool>(false);
        int phase = 0;
        const auto deadline = Clock::now() + milliseconds(5000);
        poll_gui(
            [&, stop] {
                SetCan* d = find_set_can();
                if (!d || !d->isVisible()) return false;
                auto* combo = d->findChild<QComboBox*>("device_select_comboBox");
                auto* edit = d->findChild<QLineEdit*>("can_id_lineEdit");
                auto* button = d->findChild<QPushButton*>("open_close_pushButton");
                if (Clock::now() > deadline) {
                    d->close();
                    return true;
                }
                if (phase == 0) {
                    // An adapter in use is not listed, so only opening waits for the list.
                    if (expect_open && combo->count() == 0) return false;
                    edit->setText(id);
                    button->click();
                    phase = 1;
                    return false;
                }
                if (button->text() != want) return false;
                done = true;
                d->findChild<QPushButton*>("cancle_pushButton")->click();
                return true;
            },
            stop);
        manager->show_set_can_dialog();
        *stop = true;
        return done;
    }

    // Answers the file dialog with `path` (empty: cancel) and the confirmation with
    // `confirm`; records what they showed.
    void answer_firmware_dialogs(const QString& path, bool confirm) {
        poll_gui(
            [this, path, confirm] {
                QWidget* w = QApplication::activeModalWidget();
                if (auto* fd = qobject_cast<QFileDialog*>(w)) {
                    dialogs.seen.push_back("file");
                    dialogs.file_caption = fd->windowTitle();
                    dialogs.file_filters = fd->nameFilters();
                    if (path.isEmpty()) {
                        fd->reject();
                    } else {
                        fd->selectFile(path);
                        QMetaObject::invokeMethod(fd, "accept", Qt::DirectConnection);
                    }
                    return false;  // a box may follow
                }
                if (auto* box = qobject_cast<QMessageBox*>(w)) {
                    dialogs.seen.push_back("box");
                    dialogs.box_title = box->windowTitle();
                    dialogs.box_text = box->text();
                    QAbstractButton* b = box->button(confirm ? QMessageBox::Ok : QMessageBox::Cancel);
                    if (!b) b = box->buttons().value(0);
                    b->click();
                    return false;
                }
                return false;
            },
            stop_dialogs);
    }

    QString write_image(const QByteArray& bytes, const QString& name = "fw.bin") {
        const QString path = dir.filePath(name);
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
        f.close();
        return path;
    }

    static QByteArray random_bytes(int n, unsigned seed) {
        std::mt19937 rng(seed);
        QByteArray b(n, '\0');
        for (int i = 0; i < n; ++i) b[i] = static_cast<char>(rng() & 0xFF);
        return b;
    }

    ConsoleCapture console;
    std::shared_ptr<EmulatedUsbBackend> backend;
    std::shared_ptr<EmulatedGsUsbAdapter> adapter;
    std::shared_ptr<CanDriverPeer> peer;
    std::unique_ptr<CanManager> manager;
    std::vector<std::string> events;
    Clock::time_point success_at{};
    int dfu_sent_before_success = 0;
    Dialogs dialogs;
    std::shared_ptr<bool> stop_dialogs = std::make_shared<bool>(false);
    QTemporaryDir dir;
};

TEST_F(CanManagerTest, OpenViaDialogCarriesMotorIdInEveryIdentifierAndCloses) {
    std::vector<std::string> acks;
    auto* rx = manager->can_receiver().get();
    QObject::connect(rx, &CanReceiver::enable_sucess_signal, manager.get(), [&] { acks.push_back("enable"); });
    QObject::connect(rx, &CanReceiver::zero_point_signal, manager.get(), [&] { acks.push_back("zero"); });
    QObject::connect(rx, &CanReceiver::motor_firm_state_signal, manager.get(),
                     [&](FirmwareState s) { acks.push_back("config " + std::to_string(int(s.current_bandwidth))); });
    QObject::connect(rx, &CanReceiver::driver_version_signal, manager.get(),
                     [&](DriverVersion v) { acks.push_back("version " + std::to_string(int(v.prefix))); });
    std::vector<float> positions;
    QObject::connect(rx, &DeviceReceiver::motor_motion_state_signal, manager.get(),
                     [&](QVector<StampedMoitonState>& buf) {
                         for (const auto& s : buf) positions.push_back(s.position);
                         buf.clear();
                     },
                     Qt::DirectConnection);

    ASSERT_TRUE(toggle_via_dialog("3", true));
    EXPECT_TRUE(adapter->is_open());
    EXPECT_TRUE(adapter->channel_started());
    EXPECT_TRUE(manager->can_receiver()->has_receive_thread());
    EXPECT_TRUE(console.contains("[INFO] can_id_: 3"));

    manager->get_fw_version();
    manager->enable_motor();
    const float target[5] = {1.5f, 0.0f, 0.0f, 10.0f, 1.0f};
    manager->send_motion_command(target);
    manager->set_zero_point();
    manager->get_config();
    QTRY_COMPARE_WITH_TIMEOUT(acks.size(), size_t(4), 3000);
    EXPECT_EQ(acks, (std::vector<std::string>{"version 2", "enable", "zero", "config 1000"}));
    QTRY_COMPARE_WITH_TIMEOUT(positions.size(), size_t(1), 2000);
    EXPECT_NEAR(positions[0], 1.5f, 0.01f);

    const auto requests = peer->requests();
    ASSERT_GE(requests.size(), 5u);
    for (const auto& r : requests) {
        EXPECT_EQ(r.frame.id & 0x0F, 3u) << "cmd " << int(r.cmd);
        EXPECT_EQ(r.frame.id & 0x10, 0u);
    }

    ASSERT_TRUE(toggle_via_dialog("3", false));
    EXPECT_FALSE(manager->can_receiver()->has_receive_thread());
    EXPECT_FALSE(adapter->is_open());
    // Open again: a new receive thread.
    ASSERT_TRUE(toggle_via_dialog("3", true));
    EXPECT_TRUE(manager->can_receiver()->has_receive_thread());
    acks.clear();
    manager->enable_motor();
    QTRY_COMPARE_WITH_TIMEOUT(acks.size(), size_t(1), 3000);
}

TEST_F(CanManagerTest, RefusedIdOpensNothing) {
    bool refused = false;
    auto stop = std::make_shared<bool>(false);
    int phase = 0;
    poll_gui(
        [&] {
            SetCan* d = find_set_can();
            if (!d || !d->isVisible()) return false;
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                refused = true;
                box->done(QMessageBox::Ok);
                return false;
            }
            if (phase == 0 && d->findChild<QComboBox*>("device_select_comboBox")->count() > 0) {
                d->findChild<QLineEdit*>("can_id_lineEdit")->setText("16");
                phase = 1;
                d->findChild<QPushButton*>("open_close_pushButton")->click();
                return false;
            }
            if (phase == 1 && refused) {
                d->close();
                return true;
            }
            return false;
        },
        stop);
    manager->show_set_can_dialog();
    *stop = true;
    EXPECT_TRUE(refused);
    EXPECT_FALSE(adapter->is_open());
    EXPECT_FALSE(manager->can_receiver()->has_receive_thread());
}

TEST_F(CanManagerTest, FailedOpenStillStartsOneReceiveThread) {
    manager->device_open_close_slot("7");
    EXPECT_FALSE(adapter->is_open());
    EXPECT_TRUE(manager->can_receiver()->has_receive_thread());
    manager->device_open_close_slot("");
    EXPECT_TRUE(manager->can_receiver()->has_receive_thread());
}

TEST_F(CanManagerTest, StatusPollOncePerSecondOnlyWhileOpen) {
    QTest::qWait(1300);
    EXPECT_EQ(peer->request_count(23), 0);

    std::vector<uint16_t> errors;
    QObject::connect(manager->can_receiver().get(), &CanReceiver::error_frame_signal, manager.get(),
                     [&](uint16_t e) { errors.push_back(e); });
    peer->driver().set_error_bits(0x0104);
    ASSERT_TRUE(toggle_via_dialog("3", true));
    const int before = peer->request_count(23);
    QTest::qWait(3300);
    const auto polls = peer->requests(23);
    const int n = static_cast<int>(polls.size()) - before;
    EXPECT_GE(n, 3);
    EXPECT_LE(n, 4);
    for (size_t i = before + 1; i < polls.size(); ++i) {
        const auto gap = std::chrono::duration_cast<milliseconds>(polls[i].at - polls[i - 1].at).count();
        EXPECT_GT(gap, 850);
        EXPECT_LT(gap, 1300);
    }
    QTRY_VERIFY_WITH_TIMEOUT(!errors.empty(), 1000);
    EXPECT_EQ(errors.back(), 0x0104);

    ASSERT_TRUE(toggle_via_dialog("3", false));
    QTest::qWait(200);
    const int after_close = peer->request_count(23);
    QTest::qWait(1300);
    EXPECT_EQ(peer->request_count(23), after_close);
}

TEST_F(CanManagerTest, ClearErrorAsksStatusThenClears) {
    int resets = 0;
    QObject::connect(manager->can_receiver().get(), &CanReceiver::error_reset_signal, manager.get(),
                     [&] { ++resets; });
    peer->driver().set_error_bits(0x0002);
    ASSERT_TRUE(toggle_via_dialog("3", true));
    peer->clear_requests();
    manager->clear_error();
    ASSERT_TRUE(peer->wait_for_requests(17, 1, 2000));
    // Both go out back to back from the GUI thread, so nothing comes between them.
    const auto requests = peer->requests();
    size_t clear = 0;
    while (clear < requests.size() && requests[clear].cmd != 17) ++clear;
    ASSERT_GE(clear, 1u);
    EXPECT_EQ(requests[clear - 1].cmd, 23);
    QTRY_COMPARE_WITH_TIMEOUT(resets, 1, 2000);
    EXPECT_EQ(peer->driver().error_bits(), 0);
}

TEST_F(CanManagerTest, CalibrationJudgedStarted) {
    ASSERT_TRUE(toggle_via_dialog("3", true));
    const auto t0 = Clock::now();
    manager->calibrate_motor();
    const auto waited = std::chrono::duration_cast<milliseconds>(Clock::now() - t0).count();
    EXPECT_GE(waited, 6900);
    EXPECT_LT(waited, 8500);
    EXPECT_EQ(peer->request_count(3), 1);
    EXPECT_TRUE(console.contains("[INFO] Calibration started"));
    EXPECT_FALSE(console.contains("Calibration start failed"));
    EXPECT_TRUE(events.empty());
}

TEST_F(CanManagerTest, CalibrationJudgedFailedWithoutStartReport) {
    SimulatedDriver::CalibrationScript script;
    script.silent = true;
    peer->driver().set_calibration_script(script);
    ASSERT_TRUE(toggle_via_dialog("3", true));
    manager->calibrate_motor();
    EXPECT_TRUE(console.contains("[ERROR] Calibration start failed"));
    QTest::qWait(50);
    EXPECT_EQ(events, std::vector<std::string>{"calibrate_failed"});
}

TEST(Crc32, CheckVectorAndTable) {
    const char* text = "123456789";
    EXPECT_EQ(crc32_calculate(reinterpret_cast<const uint8_t*>(text), 9), 0x89A1897Fu);
    EXPECT_EQ(crc32_calculate(nullptr, 0), 0u);
    EXPECT_EQ(kCrc32Table[0], 0u);
    EXPECT_EQ(kCrc32Table[1], 0x04C11DB7u);
    EXPECT_EQ(kCrc32Table[255], 0xB1F740B4u);
    // Running over chunks equals one pass, and agrees with a bit-by-bit reference.
    const QByteArray data = QByteArray("The quick brown fox jumps over the lazy dog").repeated(37);
    uint32_t running = 0;
    for (int i = 0; i < data.size(); i += 8)
        running = crc32_update(running, reinterpret_cast<const uint8_t*>(data.constData()) + i,
                               static_cast<uint32_t>(std::min(8, data.size() - i)));
    EXPECT_EQ(running, crc32_calculate(reinterpret_cast<const uint8_t*>(data.constData()), data.size()));
    EXPECT_EQ(running, CanDriverPeer::reference_crc32(data));
}

TEST_F(CanManagerTest, FirmwareUpdateOf64KiBMatchesDriversOwnCrc) {
    const QByteArray image = random_bytes(64 * 1024, 7);
    const QString path = write_image(image);
    ASSERT_TRUE(toggle_via_dialog("3", true));
    answer_firmware_dialogs(path, true);
    manager->update_firmware();
    const auto returned = Clock::now();

    EXPECT_EQ(dialogs.seen, (std::vector<std::string>{"file", "box"}));
    EXPECT_EQ(dialogs.file_caption, QStringLiteral("Please choose the firmware"));
    EXPECT_TRUE(dialogs.file_filters.contains(QStringLiteral("bin file (*.bin)")));
    EXPECT_EQ(dialogs.box_title, QStringLiteral("Tips"));
    EXPECT_EQ(dialogs.box_text, QStringLiteral("Click OK to burn the firmware"));
    EXPECT_EQ(events, (std::vector<std::string>{"start", "success"}));

    EXPECT_EQ(peer->request_count(19), 8192);
    EXPECT_EQ(peer->image(), image);
    const auto check = peer->last_check();
    ASSERT_TRUE(check.done);
    EXPECT_EQ(check.claimed_size, 65536u);
    EXPECT_EQ(check.own_crc, check.claimed_crc);
    EXPECT_EQ(check.claimed_crc, CanDriverPeer::reference_crc32(image));
    EXPECT_TRUE(check.accepted);
    EXPECT_EQ(peer->dfu_count(), 1);

    // DFU start, then the success signal, then the version request about 3 s later.
    ASSERT_TRUE(peer->wait_for_requests(22, 1, 2000));
    const auto dfu = peer->requests(21);
    const auto version = peer->requests(22);
    ASSERT_EQ(dfu.size(), 1u);
    EXPECT_EQ(dfu_sent_before_success, 1);
    const auto pause = std::chrono::duration_cast<milliseconds>(version[0].at - dfu[0].at).count();
    EXPECT_GE(pause, 2950);
    EXPECT_LT(pause, 4000);
    EXPECT_LE(version[0].at, returned + milliseconds(100));
    EXPECT_TRUE(console.contains("[INFO] App back check passed"));
    EXPECT_TRUE(console.contains("[INFO] CAN get firmware version"));
}

TEST_F(CanManagerTest, LastChunkIsPaddedWithZeros) {
    const QByteArray image = random_bytes(13, 11);
    ASSERT_TRUE(toggle_via_dialog("3", true));
    answer_firmware_dialogs(write_image(image), true);
    manager->update_firmware();
    const auto chunks = peer->requests(19);
    ASSERT_EQ(chunks.size(), 2u);
    for (const auto& c : chunks) EXPECT_EQ(c.frame.dlc, 8);
    EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(chunks[1].frame.data), 8),
              image.mid(8) + QByteArray(3, '\0'));
    const auto check = peer->last_check();
    EXPECT_EQ(check.claimed_size, 16u);
    EXPECT_EQ(check.claimed_crc, CanDriverPeer::reference_crc32(image + QByteArray(3, '\0')));
    EXPECT_TRUE(check.accepted);
    EXPECT_EQ(events, (std::vector<std::string>{"start", "success"}));
    EXPECT_TRUE(console.contains("[INFO] size: 10 crc32: "));
}

TEST_F(CanManagerTest, NoStartAcknowledgementFailsWithoutDialogs) {
    peer->set_start_answer(CanDriverPeer::Answer::Silent);
    ASSERT_TRUE(toggle_via_dialog("3", true));
    answer_firmware_dialogs(write_image("abc"), true);
    const auto t0 = Clock::now();
    manager->update_firmware();
    const auto waited = std::chrono::duration_cast<milliseconds>(Clock::now() - t0).count();
    EXPECT_GE(waited, 2900);
    EXPECT_LT(waited, 4000);
    EXPECT_TRUE(console.contains("[INFO] Can start write app back"));
    QTest::qWait(50);
    EXPECT_EQ(events, std::vector<std::string>{"failed"});
    EXPECT_TRUE(dialogs.seen.empty());
    EXPECT_EQ(peer->request_count(19), 0);
}

TEST_F(CanManagerTest, RejectedImageEndsAtOnce) {
    peer->set_check_answer(CanDriverPeer::Answer::Reject);
    ASSERT_TRUE(toggle_via_dialog("3", true));
    answer_firmware_dialogs(write_image(random_bytes(64, 3)), true);
    manager->update_firmware();
    ASSERT_TRUE(peer->last_check().done);
    const auto checks = peer->requests(20);
    ASSERT_EQ(checks.size(), 1u);
    const auto after_check = std::chrono::duration_cast<milliseconds>(Clock::now() - checks[0].at).count();
    EXPECT_LT(after_check, 1000);
    QTest::qWait(50);
    EXPECT_EQ(events, (std::vector<std::string>{"start", "failed"}));
    EXPECT_EQ(peer->request_count(21), 0);
    EXPECT_EQ(peer->request_count(22), 0);
}

TEST_F(CanManagerTest, SilentImageCheckIsBounded) {
    peer->set_check_answer(CanDriverPeer::Answer::Silent);
    ASSERT_TRUE(toggle_via_dialog("3", true));
    answer_firmware_dialogs(write_image(random_bytes(16, 5)), true);
    manager->update_firmware();
    const auto checks = peer->requests(20);
    ASSERT_EQ(checks.size(), 1u);
    const auto waited = std::chrono::duration_cast<milliseconds>(Clock::now() - checks[0].at).count();
    EXPECT_GE(waited, 4500);
    EXPECT_LT(waited, 7000);
    QTest::qWait(50);
    EXPECT_EQ(events, (std::vector<std::string>{"start", "failed"}));
    EXPECT_EQ(peer->request_count(21), 0);
}

TEST_F(CanManagerTest, CancelledFileChoiceSendsNothing) {
    ASSERT_TRUE(toggle_via_dialog("3", true));
    answer_firmware_dialogs(QString(), true);
    manager->update_firmware();
    EXPECT_EQ(dialogs.seen, std::vector<std::string>{"file"});
    EXPECT_TRUE(console.contains("[INFO] User cancel file selection"));
    QTest::qWait(50);
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(peer->request_count(19), 0);
    EXPECT_EQ(peer->request_count(20), 0);
}

TEST_F(CanManagerTest, CancelledConfirmationSendsNothing) {
    ASSERT_TRUE(toggle_via_dialog("3", true));
    answer_firmware_dialogs(write_image(random_bytes(40, 9)), false);
    manager->update_firmware();
    EXPECT_EQ(dialogs.seen, (std::vector<std::string>{"file", "box"}));
    EXPECT_TRUE(console.contains("[INFO] Cancel clicked"));
    QTest::qWait(50);
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(peer->request_count(19), 0);
}

TEST_F(CanManagerTest, ImageLargerThanOneMiBIsRefusedBeforeSending) {
    ASSERT_TRUE(toggle_via_dialog("3", true));
    answer_firmware_dialogs(write_image(QByteArray(1024 * 1024 + 1, '\x5A')), true);
    manager->update_firmware();
    EXPECT_EQ(dialogs.seen, (std::vector<std::string>{"file", "box"}));
    EXPECT_EQ(dialogs.box_title, QStringLiteral("Tips"));
    EXPECT_NE(dialogs.box_text, QStringLiteral("Click OK to burn the firmware"));
    QTest::qWait(50);
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(peer->request_count(19), 0);
    EXPECT_EQ(peer->request_count(20), 0);
}

TEST_F(CanManagerTest, DestroyingWithLinkOpenStopsThreadAndClosesAdapter) {
    ASSERT_TRUE(toggle_via_dialog("3", true));
    console.clear();
    manager.reset();
    const auto lines = console.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "[INFO] Destruct CanManager");
    EXPECT_FALSE(adapter->is_open());
}

}  // namespace
