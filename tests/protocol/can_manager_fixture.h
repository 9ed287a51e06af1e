#pragma once
// CanManager with its own dialog, CandleCan and the gs_usb library down to the USB
// layer, against an emulated adapter with a simulated driver (motor id 3) on its bus.
#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "can_driver_on_adapter.h"
#include "can_manager.h"
#include "console_capture.h"
#include "emulated_usb_backend.h"
#include "set_can.h"
#include "wait_until.h"

class CanManagerTest : public ::testing::Test {
protected:
    // Firmware chunk pause, firmware poll and calibration window, shortened.
    static constexpr int kPollMs = 10, kCalibrationMs = 300;

    void SetUp() override {
        qRegisterMetaType<uint16_t>("uint16_t");  // as the main window does
        adapter = EmulatedUsbBackend::install()->add_adapter();
        peer = start_can_driver_on(adapter, 3);
        make_manager("en");
    }
    void TearDown() override {
        manager.reset();
        adapter->set_bus_listener(nullptr);
        peer->stop();
        EmulatedUsbBackend::uninstall();
    }
    // (Re)builds the manager in `lan` with the connections the main window makes.
    void make_manager(const std::string& lan) {
        manager.reset();
        manager = std::make_unique<CanManager>(lan);
        manager->set_intervals(0, kPollMs, kCalibrationMs);
        QObject::connect(manager->can_receiver(), &CanReceiver::calibration_start_signal, manager.get(),
                         &CanManager::calibrate_start_slot, Qt::DirectConnection);
        const std::pair<void (CanManager::*)(), const char*> outcomes[] = {
            {&CanManager::update_firmware_start_signal, "start"},
            {&CanManager::update_firmware_failed_signal, "failed"},
            {&CanManager::update_firmware_success_signal, "success"},
            {&CanManager::calibrate_failed_signal, "calibrate_failed"}};
        for (const auto& o : outcomes)
            QObject::connect(manager.get(), o.first, manager.get(), [this, name = o.second] {
                events.push_back(name);
                if (events.back() == "success") dfu_before_success = peer->request_count(CanCommand::kDfuStart);
            });
    }

    // Opens or closes the link through the manager's dialog as an operator does: once
    // the adapter is listed (to open), types `id`, presses open/close, then cancel. True once
    // the adapter is in the wanted state.
    bool toggle_link(bool open, const QString& id = "3") {
        QTimer operator_;
        int polls = 0;
        QObject::connect(&operator_, &QTimer::timeout, [&] {
            SetCan* dialog = nullptr;
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* d = qobject_cast<SetCan*>(w); d && d->isVisible()) dialog = d;
            if (!dialog) return;
            if (++polls > 600) return dialog->close(), void();  // never listed
            // An adapter in use is not listed, so only opening waits for the list.
            if (open && dialog->findChild<QComboBox*>("device_select_comboBox")->count() == 0) return;
            operator_.stop();
            dialog->findChild<QLineEdit*>("can_id_lineEdit")->setText(id);
            dialog->findChild<QPushButton*>("open_close_pushButton")->click();
            dialog->findChild<QPushButton*>("cancle_pushButton")->click();
        });
        operator_.start(5);
        manager->show_set_can_dialog();
        return adapter->is_open() == open;
    }

    // What the firmware dialogs showed, in order, and how the test answered them.
    struct Dialogs {
        std::vector<std::string> seen;  // "file", "box"
        QString file_caption, box_title, box_text;
        QStringList file_filters;
    };
    // Answers the file dialog with `path` (empty: cancel) and the confirmation with
    // `confirm` while the returned timer lives.
    std::unique_ptr<QTimer> answer_firmware_dialogs(const QString& path, bool confirm) {
        auto timer = std::make_unique<QTimer>();
        QObject::connect(timer.get(), &QTimer::timeout, [this, path, confirm] {
            QWidget* modal = QApplication::activeModalWidget();
            if (!modal || !modal->isVisible() || modal->property("answered").toBool()) return;
            modal->setProperty("answered", true);
            if (auto* chooser = qobject_cast<QFileDialog*>(modal)) {
                dialogs.seen.push_back("file");
                dialogs.file_caption = chooser->windowTitle();
                dialogs.file_filters = chooser->nameFilters();
                if (path.isEmpty()) return chooser->reject();
                chooser->selectFile(path);
                // selectFile() leaves a focused name field alone; fill it in as a user would.
                chooser->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(path);
                QMetaObject::invokeMethod(chooser, "accept");
            } else if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                dialogs.seen.push_back("box");
                dialogs.box_title = box->windowTitle();
                dialogs.box_text = box->text();
                QAbstractButton* button = box->button(confirm ? QMessageBox::Ok : QMessageBox::Cancel);
                (button ? button : box->buttons().value(0))->click();
            }
        });
        timer->start(5);
        return timer;
    }

    ConsoleCapture console;
    std::shared_ptr<EmulatedGsUsbAdapter> adapter;
    std::unique_ptr<CanDriverPeer> peer;
    std::unique_ptr<CanManager> manager;
    std::vector<std::string> events;
    int dfu_before_success = -1;
    Dialogs dialogs;
};
