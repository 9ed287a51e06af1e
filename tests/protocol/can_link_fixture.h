#pragma once
// CanManager with its dialog, CandleCan and the gs_usb library down to the USB layer, against an
// emulated adapter with a simulated driver on its bus.
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
#include <string>

#include "can_driver_peer.h"
#include "can_frame_maker.h"
#include "can_manager.h"
#include "console_capture.h"
#include "crc32.h"
#include "emulated_usb_backend.h"
#include "set_can.h"

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

inline SetCan* find_set_can() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* d = qobject_cast<SetCan*>(w)) return d;
    return nullptr;
}

// Runs `step` every 10 ms from the event loop until it returns true or `stop` is set.
// The next run is armed before `step` runs, so polling goes on inside a modal dialog
// that `step` opens.
inline void poll_gui(std::function<bool()> step, std::shared_ptr<bool> stop) {
    QTimer::singleShot(10, [step, stop] {
        if (*stop) return;
        poll_gui(step, stop);
        if (step()) *stop = true;
    });
}

// What the test saw of the modal dialogs, in order.
struct Dialogs {
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
        make_manager("en");
    }
    // (Re)builds the manager in `language` with the connections the main window makes.
    void make_manager(const std::string& language) {
        manager.reset();
        lan = language;
        manager = std::make_unique<CanManager>(lan);
        // The main window's direct connection for the calibration judgement.
        QObject::connect(manager->can_receiver(), &CanReceiver::calibration_start_signal, manager.get(),
                         &CanManager::calibrate_start_slot, Qt::DirectConnection);
        QObject::connect(manager.get(), &CanManager::update_firmware_start_signal, manager.get(),
                         [this] { events.push_back("start"); }, Qt::DirectConnection);
        QObject::connect(manager.get(), &CanManager::update_firmware_failed_signal, manager.get(),
                         [this] { events.push_back("failed"); });
        QObject::connect(manager.get(), &CanManager::update_firmware_success_signal, manager.get(), [this] {
            events.push_back("success");
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
    // A refused id is acknowledged, noted in `id_refused`, and ends the dialog.
    bool toggle_via_dialog(const QString& id, bool expect_open) {
        bool done = false;
        id_refused = false;
        const bool zh = lan == "zh";
        const QString want = expect_open ? (zh ? QStringLiteral("关闭设备") : QStringLiteral("Close"))
                                         : (zh ? QStringLiteral("打开设备") : QStringLiteral("Open"));
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
                if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                    id_refused = true;
                    box->done(QMessageBox::Ok);
                    return false;
                }
                if (id_refused || Clock::now() > deadline) {
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

    // From now on answers the file dialog with `path` (empty: cancel) and the confirmation with
    // `confirm`; records what they showed.
    void answer_firmware_dialogs(const QString& path, bool confirm) {
        *stop_dialogs = true;
        stop_dialogs = std::make_shared<bool>(false);
        dialogs = Dialogs();
        poll_gui(
            [this, path, confirm] {
                QWidget* w = QApplication::activeModalWidget();
                if (auto* fd = qobject_cast<QFileDialog*>(w)) {
                    note("file");
                    dialogs.file_caption = fd->windowTitle();
                    dialogs.file_filters = fd->nameFilters();
                    if (path.isEmpty()) {
                        fd->reject();
                    } else {
                        fd->selectFile(path);
                        // selectFile leaves a focused name field alone; fill it in as a user would.
                        if (auto* name = fd->findChild<QLineEdit*>("fileNameEdit")) name->setText(path);
                        QMetaObject::invokeMethod(fd, "accept", Qt::DirectConnection);
                    }
                    return false;  // a box may follow
                }
                if (auto* box = qobject_cast<QMessageBox*>(w)) {
                    note("box");
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

    // A dialog may take more than one poll to close; count it once.
    void note(const std::string& kind) {
        if (dialogs.seen.empty() || dialogs.seen.back() != kind) dialogs.seen.push_back(kind);
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
    std::string lan;
    std::vector<std::string> events;
    int dfu_sent_before_success = 0;
    bool id_refused = false;
    Dialogs dialogs;
    std::shared_ptr<bool> stop_dialogs = std::make_shared<bool>(false);
    QTemporaryDir dir;
};

