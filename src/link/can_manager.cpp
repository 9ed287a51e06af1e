#include "can_manager.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <algorithm>
#include <cstring>

#include "candle_can.h"
#include "console_log.h"
#include "crc32.h"
#include "set_can.h"

CanManager::CanManager(std::string lan) : QObject(nullptr), lan_(std::move(lan)) {
    auto adapter = std::make_shared<CandleCan>();
    adapter->set_bus_silent_handler([this] {
        status_waiting_ = false;
        ++bus_silences_;
        emit bus_silent_signal();
    });
    can_interface_ = adapter;
    set_can_ = std::make_shared<SetCan>(can_interface_, lan_);
    // From the scanning thread; the dialog takes the newest list in the GUI thread.
    adapter->set_unusable_handler([this] {
        QMetaObject::invokeMethod(
            this, [this] { if (set_can_) set_can_->show_unusable_adapters(can_interface_->unusable_adapters()); },
            Qt::QueuedConnection);
    });
    device_scanner_ = std::make_shared<DeviceScanner>(can_interface_);
    can_sender_ = std::make_shared<CanSender>(can_interface_);
    can_receiver_ = std::make_shared<CanReceiver>(can_interface_);

    connect(device_scanner_.get(), &DeviceScanner::number_changed_signal, set_can_.get(),
            &SetCan::device_number_changed_slot);
    connect(device_scanner_.get(), &DeviceScanner::state_changed_signal, set_can_.get(),
            &SetCan::device_state_changed_slot);
    connect(can_receiver_.get(), &CanReceiver::write_app_back_start_signal, this,
            &CanManager::write_app_back_start_slot, Qt::DirectConnection);
    connect(can_receiver_.get(), &CanReceiver::check_app_back_ok_signal, this,
            &CanManager::check_app_back_ok_slot, Qt::DirectConnection);
    connect(can_receiver_.get(), &CanReceiver::check_app_back_failed_signal, this,
            &CanManager::check_app_back_failed_slot, Qt::DirectConnection);
    connect(can_receiver_.get(), &CanReceiver::dfu_start_failed_signal, this,
            &CanManager::dfu_start_failed_slot, Qt::DirectConnection);
    connect(set_can_.get(), &SetCan::set_can_id_signal, can_sender_.get(), &CanSender::set_can_id_slot,
            Qt::DirectConnection);
    connect(set_can_.get(), &SetCan::device_open_close_signal, this, &CanManager::device_open_close_slot,
            Qt::DirectConnection);

    status_timer_.setInterval(1000);
    connect(&status_timer_, &QTimer::timeout, this, &CanManager::motor_status_checker_slot);
    status_timer_.start();

    firmware_progress_timer_.setInterval(kFirmwareProgressMs);
    connect(&firmware_progress_timer_, &QTimer::timeout, this, [this] {
        const int size = firmware_image_.size();
        if (size > 0) emit update_firmware_progress_signal(double(int64_t{firmware_sent_} * 1000 / size) / 10);
    });
}

CanManager::~CanManager() {
    hv::log_info("Destruct CanManager");
    // An update under way stops at its next pause; its steps queued for the GUI
    // thread go with this object.
    firmware_jobs_.cancel();
    firmware_jobs_.drain();
    static_cast<CandleCan*>(can_interface_.get())->set_bus_silent_handler(nullptr);
    static_cast<CandleCan*>(can_interface_.get())->set_unusable_handler(nullptr);
    set_can_.reset();
    can_receiver_.reset();  // stops and joins a running receive thread
    can_sender_.reset();
    device_scanner_.reset();
    can_interface_->close();
    can_interface_.reset();
}

int CanManager::show_set_can_dialog() {
    set_can_->setWindowFlags(set_can_->windowFlags() | Qt::WindowStaysOnTopHint);
    set_can_->setWindowModality(Qt::ApplicationModal);
    return set_can_->exec();
}

void CanManager::device_open_close_slot(QString device_name) {
    // First, so a parameter write of the old link sends nothing more to it either.
    link_session_.next();
    // A Close never opens another adapter: pressed on a link lost since the last
    // poll, it only brings the dialog and the window up to date.
    const bool close_pressed = set_can_->shows_open();
    // A loss the poll has not reported yet is reported before the new open, and each
    // change at once: a close and an open within one poll are both seen, in order.
    device_scanner_->check_now();
    if (can_interface_->is_open() || close_pressed) {
        can_receiver_->stop_receive_thread();
        can_interface_->close();
        // What the closed link said shows before its close does, not after.
        can_receiver_->flush_motion_buffer();
        // Replies its thread queued before it was joined are stale from here on.
        link_session_.next();
    } else {
        if (can_interface_->open(device_name.toUtf8().toStdString()) != 0)
            set_can_->show_open_failure(device_name, can_interface_->open_problem());
        // Started even when the open failed: the scanner's report tells the real state.
        // A thread left by a failed open serves on; the sample clock starts again.
        can_receiver_->start_receive_thread();
    }
    end_calibration_judgement();
    device_scanner_->check_now();
}

// A calibration waiting for its judgement was started on the link now closed or
// replaced: neither its verdict nor a start its driver reported may act on a later
// link. Its wait ends now, so the calibration button's slot returns.
void CanManager::end_calibration_judgement() {
    calibration_started_ = false;
    if (event_loop_.isRunning()) {
        hv::log_info("Calibration not judged: its link was closed");
        event_loop_.quit();
    }
}

void CanManager::motor_status_checker_slot() {
    // Nothing may come between the image frames.
    if (!can_interface_->is_open() || firmware_updating_) return;
    // On a silent bus each request waits in the adapter; a full adapter gets its
    // channel reset, which would discard the operator's commands waiting there too.
    // One request is enough to be answered once the bus is back.
    const bool silent = can_interface_->bus_silent();
    if (silent && status_waiting_) return;
    status_waiting_ = silent;
    can_sender_->get_status_word();
}

bool CanManager::write_firmware_param(const FirmwareParams& params, unsigned session) {
    const bool done = can_sender_->write_firmware_param(
        params, [this, session](std::chrono::milliseconds pause, const std::function<void()>& send) {
            return link_session_.run_in(session, pause, send);
        });
    if (!done) hv::log_warn("Parameter write ended: its CAN link was closed");
    return done;
}

bool CanManager::save_config(unsigned session) {
    if (link_session_.run_in(session, std::chrono::milliseconds(0), [this] { can_sender_->save_config(); }))
        return true;
    hv::log_warn("Parameter store dropped: its CAN link was closed");
    return false;
}

void CanManager::clear_error() {
    can_sender_->get_status_word();
    can_sender_->clear_error();
}

void CanManager::calibrate_motor() {
    if (event_loop_.isRunning()) {
        hv::log_warn("Calibration already running");
        return;
    }
    can_sender_->calibrate_motor();
    QTimer::singleShot(calibration_ms_, this, [this, session = link_session()] {
        if (session == link_session()) calibrate_start_timer_slot();
    });
    event_loop_.exec();
}

void CanManager::calibrate_start_timer_slot() {
    if (calibration_started_) {
        hv::log_info("Calibration started");
    } else {
        hv::log_error("Calibration start failed");
        emit calibrate_failed_signal();
    }
    calibration_started_ = false;
    event_loop_.quit();
}

void CanManager::write_app_back_start_slot() {
    hv::log_info("Start writing app back");
    write_app_back_started_ = true;
}

void CanManager::check_app_back_ok_slot() {
    hv::log_info("App back check passed");
    app_back_check_ok_ = true;
}

void CanManager::check_app_back_failed_slot() { app_back_check_failed_ = true; }

void CanManager::show_firmware_tip(const QString& zh_text, const QString& en_text) {
    QMessageBox box;
    box.setWindowTitle(chinese() ? QStringLiteral("提示") : QStringLiteral("Tips"));
    box.setText(chinese() ? zh_text : en_text);
    box.addButton(QMessageBox::Ok);
    box.setWindowFlags(box.windowFlags() | Qt::WindowStaysOnTopHint);
    box.exec();
}

void CanManager::update_firmware() {
    if (firmware_updating_) {
        hv::log_warn("Firmware update already running");
        return;
    }
    // The image is chosen and checked before anything goes to the driver, so a
    // file that cannot be flashed never leaves it waiting for an image.
    const QString path = QFileDialog::getOpenFileName(
        nullptr, chinese() ? QStringLiteral("请选择固件") : QStringLiteral("Please choose the firmware"),
        QDir::homePath(), chinese() ? QStringLiteral("bin文件 (*.bin)") : QStringLiteral("bin file (*.bin)"));
    if (path.isEmpty()) {
        hv::log_info("User cancel file selection");
        return;
    }
    hv::log_plain("file path: ", path.toUtf8().toStdString());
    // The dialog's name field takes any name; only a .bin image is ever flashed.
    if (!QFileInfo(path).fileName().endsWith(QLatin1String(".bin"), Qt::CaseInsensitive)) {
        hv::log_error("Firmware file refused, not a .bin image: ", path.toUtf8().toStdString());
        show_firmware_tip(QStringLiteral("只能烧录.bin固件文件，%1 不是").arg(path),
                          QStringLiteral("Only a .bin firmware image can be burned; %1 is not one").arg(path));
        return;
    }

    // Opening a pipe or a device would wait on its writer for good, with the window
    // frozen: only a regular file is taken, and stat() tells without opening it.
    const QFileInfo info(path);
    if (info.exists() && !info.isFile()) {
        hv::log_error("Firmware file refused, not a regular file: ", path.toUtf8().toStdString());
        show_firmware_tip(QStringLiteral("%1 不是普通文件，只能烧录固件镜像文件").arg(path),
                          QStringLiteral("%1 is not a regular file: only a firmware image file can be burned").arg(path));
        return;
    }

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        hv::log_plain("can`t open file");
        show_firmware_tip(QStringLiteral("无法读取固件文件 %1：%2").arg(path, file.errorString()),
                          QStringLiteral("Cannot read the firmware file %1: %2").arg(path, file.errorString()));
        return;
    }
    if (file.size() > kMaxFirmwareSize) {
        hv::log_error("Firmware file too large: ", file.size(), " bytes, the driver holds at most ",
                      kMaxFirmwareSize);
        show_firmware_tip(QStringLiteral("固件文件过大，最大1 MiB"),
                          QStringLiteral("The firmware file is too large, at most 1 MiB"));
        return;
    }
    if (file.size() == 0) {
        hv::log_error("Firmware file is empty");
        show_firmware_tip(QStringLiteral("固件文件为空"), QStringLiteral("The firmware file is empty"));
        return;
    }
    firmware_image_ = file.read(kMaxFirmwareSize);
    if (firmware_image_.size() != file.size()) {
        hv::log_error("Firmware file read failed after ", std::max(firmware_image_.size(), 0), " bytes");
        firmware_image_.clear();
        firmware_failure_.clear();
        emit update_firmware_failed_signal();
        return;
    }

    firmware_updating_ = true;
    emit update_firmware_running_signal(true);
    firmware_jobs_.post([this] { firmware_ready_job(); });
}

void CanManager::in_gui_thread(std::function<void()> step) {
    QMetaObject::invokeMethod(this, std::move(step), Qt::QueuedConnection);
}

bool CanManager::firmware_pause(int ms) {
    if (!firmware_jobs_.pause(std::chrono::milliseconds(ms))) return false;
    if (can_interface_->is_open()) return true;
    hv::log_error("CAN link lost during the firmware update");
    return false;
}

void CanManager::firmware_ready_job() {
    write_app_back_started_ = false;
    can_sender_->write_app_back_start();
    int sleeps = 0;
    while (!write_app_back_started_) {
        if (!firmware_pause(poll_ms_)) return in_gui_thread([this] { end_firmware_update(true); });
        if (++sleeps >= 30) {
            hv::log_info("Can start write app back");
            return in_gui_thread([this] { end_firmware_update(true); });
        }
    }
    in_gui_thread([this] { confirm_firmware(); });
}

void CanManager::confirm_firmware() {
    QMessageBox confirm;
    confirm.setWindowTitle(chinese() ? QStringLiteral("提示") : QStringLiteral("Tips"));
    confirm.setText(chinese() ? QStringLiteral("点击OK开始烧录固件") : QStringLiteral("Click OK to burn the firmware"));
    confirm.addButton(QMessageBox::Cancel);
    confirm.addButton(QMessageBox::Ok);
    confirm.setWindowFlags(confirm.windowFlags() | Qt::WindowStaysOnTopHint);
    if (confirm.exec() != QMessageBox::Ok) {
        hv::log_info("Cancel clicked");
        end_firmware_update(false);
        return;
    }
    hv::log_info("OK clicked");
    firmware_sent_ = 0;
    emit update_firmware_start_signal();
    firmware_progress_timer_.start();
    firmware_jobs_.post([this, image = firmware_image_] { firmware_transfer_job(image); });
}

void CanManager::firmware_transfer_job(const QByteArray& image) {
    auto fail = [this](QString reason = QString()) {
        in_gui_thread([this, reason] { end_firmware_update(true, reason); });
    };
    // The reset that finds the bus silent discards the chunks waiting in the adapter.
    const unsigned silences = bus_silences_;
    uint32_t size = 0;
    uint32_t crc = 0;
    for (int at = 0; at < image.size(); at += 8) {
        uint8_t chunk[8] = {0, 0, 0, 0, 0, 0, 0, 0};
        const int got = std::min(8, image.size() - at);
        std::memcpy(chunk, image.constData() + at, size_t(got));
        crc = crc32_update(crc, chunk, 8);
        size += 8;
        hv::log_plain("");
        const bool sent = can_sender_->write_app_back(chunk);
        // The image has a gap then: the rest would go out for nothing.
        if (bus_silences_ != silences || can_interface_->bus_silent()) {
            hv::log_error("Firmware update ended: the CAN bus does not answer");
            return fail(chinese() ? QStringLiteral("CAN总线无应答。") : QStringLiteral("The CAN bus does not answer."));
        }
        if (!sent) {
            // A pulled adapter closes the link at its next read; that is then the reason.
            for (int polls = 0; polls < kLinkVerdictPolls; ++polls)
                if (!firmware_pause(poll_ms_)) return fail();
            hv::log_error("Firmware update ended: an image chunk could not be sent");
            return fail(chinese() ? QStringLiteral("固件数据帧发送失败。")
                                  : QStringLiteral("An image chunk could not be sent."));
        }
        firmware_sent_ = at + got;
        if (!firmware_pause(chunk_pause_ms_)) return fail();
    }

    app_back_check_ok_ = false;
    app_back_check_failed_ = false;
    can_sender_->check_app_back(size, crc);
    // A driver verifies an image in milliseconds; do not poll forever.
    for (int polls = 0; !app_back_check_ok_; ++polls) {
        if (app_back_check_failed_) {
            hv::log_error("Firmware image rejected by the driver");
            return fail();
        }
        if (polls >= kImageCheckPolls) {
            hv::log_error("No answer to the firmware image check");
            return fail();
        }
        if (!firmware_pause(poll_ms_)) return fail();
    }

    // Success only once the DFU start is out and the driver has not refused it.
    dfu_start_failed_ = false;
    const bool started = can_sender_->dfu_start();
    for (int polls = 0; started && polls < kDfuVerdictPolls && !dfu_start_failed_; ++polls)
        if (!firmware_pause(poll_ms_)) return fail();
    if (!started || dfu_start_failed_) {
        hv::log_error(started ? "The driver refused the DFU start" : "The DFU start was not sent");
        return fail();
    }
    in_gui_thread([this] {
        firmware_progress_timer_.stop();
        emit update_firmware_success_signal();
    });
    // The driver runs its new image by now; without a link there is no version to ask.
    if (firmware_pause(30 * poll_ms_)) can_sender_->get_firmware_version();
    in_gui_thread([this] { end_firmware_update(false); });
}

void CanManager::end_firmware_update(bool failed, const QString& reason) {
    firmware_progress_timer_.stop();
    firmware_image_.clear();
    firmware_updating_ = false;
    if (failed) {
        // A lost link is shown first, so the status line ends on the failed update.
        if (!can_interface_->is_open()) device_scanner_->check_now();
        firmware_failure_ = reason;
        emit update_firmware_failed_signal();
    }
    emit update_firmware_running_signal(false);
}
