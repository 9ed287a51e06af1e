#include "serial_manager.h"

#include "console_log.h"
#include "qt_serial.h"
#include "set_serial.h"

SerialManager::SerialManager(std::string lan) : QObject(nullptr), lan_(std::move(lan)) {
    serial_interface_ = std::make_shared<QtSerial>();
    set_serial_ = std::make_unique<SetSerial>(serial_interface_, lan_);
    serial_sender_ = std::make_shared<SerialSender>(serial_interface_);
    device_scanner_ = std::make_shared<DeviceScanner>(serial_interface_);
    serial_receiver_ = std::make_shared<SerialReceiver>(serial_interface_);

    connect(device_scanner_.get(), &DeviceScanner::number_changed_signal, set_serial_.get(),
            &SetSerial::device_number_changed_slot);
    connect(device_scanner_.get(), &DeviceScanner::state_changed_signal, set_serial_.get(),
            &SetSerial::device_state_changed_slot);
    connect(set_serial_.get(), &SetSerial::device_open_close_signal, this, &SerialManager::device_open_close_slot,
            Qt::DirectConnection);
    status_timer_.setInterval(1000);
    connect(&status_timer_, &QTimer::timeout, this, &SerialManager::motor_status_checker_slot);
    status_timer_.start();
}

SerialManager::~SerialManager() {
    hv::log_info("Destruct SerialManager");
    serial_interface_.reset();
    // The remaining members go in reverse order; the receiver joins its own thread.
}

int SerialManager::show_set_serial_dialog() {
    set_serial_->setWindowFlags(set_serial_->windowFlags() | Qt::WindowStaysOnTopHint);
    set_serial_->setWindowModality(Qt::ApplicationModal);
    return set_serial_->exec();
}

void SerialManager::motor_status_checker_slot() {
    if (serial_interface_->is_open()) serial_sender_->request_status();
}

void SerialManager::device_open_close_slot(QString device_name) {
    // First, so a parameter write of the old link sends nothing more to it either.
    link_session_.next();
    // A Close never opens another port: pressed on a link lost since the last poll,
    // it only brings the dialog and the window up to date.
    const bool close_pressed = set_serial_->shows_open();
    // A loss the poll has not reported yet is reported before the new open, and each
    // change at once: a close and an open within one poll are both seen, in order.
    device_scanner_->check_now();
    if (!serial_interface_->is_open() && !close_pressed) {
        if (serial_interface_->open(device_name.toUtf8().toStdString()) != 0) {
            emit open_failed_signal(device_name, QString::fromStdString(serial_interface_->open_error()),
                                    serial_interface_->open_denied());
        }
        // An idle thread left by a failed open serves the new link; the sample
        // clock starts again either way.
        serial_receiver_->start_receive_thread();
    } else {
        serial_sender_->cancel_raw();
        serial_receiver_->stop_receive_thread();
        serial_interface_->close();
        // What the closed link said shows before its close does, not after.
        serial_receiver_->flush_motion_buffer();
        // Replies its thread queued before it was joined are stale from here on.
        link_session_.next();
    }
    end_calibration_judgement();
    device_scanner_->check_now();
}

// A calibration waiting for its judgement was started on the link now closed or
// replaced: neither its verdict nor a start its driver reported may act on a later
// link. Called once the closed link's receive thread has been joined.
void SerialManager::end_calibration_judgement() {
    calibration_started_ = false;
    calibration_judging_ = false;
}

bool SerialManager::write_firmware_param(const FirmwareParams& param, unsigned session) {
    const bool done = serial_sender_->write_firmware_param(
        param, [this, session](std::chrono::milliseconds pause, const std::function<void()>& send) {
            return link_session_.run_in(session, pause, send);
        });
    if (!done) hv::log_warn("Parameter write ended: its serial link was closed");
    return done;
}

bool SerialManager::flash_firmware_param(unsigned session) {
    if (link_session_.run_in(session, std::chrono::milliseconds(0), [this] { serial_sender_->flash_firmware_param(); }))
        return true;
    hv::log_warn("Parameter store dropped: its serial link was closed");
    return false;
}

void SerialManager::calibrate_motor() {
    // One judgement at a time: a second one would take the first one's start report.
    if (calibration_judging_) {
        hv::log_warn("Calibration already running");
        return;
    }
    calibration_judging_ = true;
    serial_sender_->start_calibration();
    QTimer::singleShot(calibration_ms_, Qt::CoarseTimer, this, [this, session = link_session()] {
        if (session == link_session()) calibrate_start_timer_slot();
    });
}

void SerialManager::calibrate_start_slot() {
    hv::log_info("Info calibrate_start_slot()");
    calibration_started_ = true;
}

void SerialManager::calibrate_start_timer_slot() {
    if (calibration_started_) {
        hv::log_info("Calibration started");
    } else {
        hv::log_error("Calibration start failed");
        emit calibrate_failed_signal();
    }
    calibration_started_ = false;
    calibration_judging_ = false;
}
