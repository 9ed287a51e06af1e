#pragma once
#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "device_scanner.h"
#include "link_replies.h"
#include "link_session.h"
#include "motor_types.h"
#include "serial_interface.h"
#include "serial_receiver.h"
#include "serial_sender.h"

class SetSerial;

// Entry point of the serial side: builds the link, its dialog, sender, scanner and
// receiver, opens and closes the link with its receive thread, polls the status word
// every second and judges a calibration start.
class SerialManager : public QObject {
    Q_OBJECT
public:
    explicit SerialManager(std::string lan);
    ~SerialManager() override;

    // Non-owning; they live as long as the manager.
    DeviceScanner* device_scanner() { return device_scanner_.get(); }
    SerialReceiver* serial_receiver() { return serial_receiver_.get(); }
    SerialInterface* serial_interface() { return serial_interface_.get(); }

    // Runs the device dialog modally; returns when it is closed.
    int show_set_serial_dialog();

    void enable_motor() { serial_sender_->enable_motor(); }
    void disable_motor() { serial_sender_->disable_motor(); }
    void send_motion_target(const float* target) { serial_sender_->send_motion_target(target); }
    void request_firmware_param() { serial_sender_->request_firmware_param(); }
    // Opens and closes counted so far; work armed under one count belongs to that link.
    unsigned link_session() const { return link_session_.current(); }
    // Connects a reply signal of this link's receiver so that it is handled only
    // while the link it came from is still the open one.
    LinkReplies replies() const { return LinkReplies(link_session_); }
    // The write and the store of `session`'s link: a close of that link ends them
    // before their next frame, and nothing of them reaches a later link. False
    // (logged) when they were ended.
    bool write_firmware_param(const FirmwareParams& param, unsigned session);
    bool flash_firmware_param(unsigned session);
    void write_firmware_param(const FirmwareParams& param) { write_firmware_param(param, link_session()); }
    void flash_firmware_param() { serial_sender_->flash_firmware_param(); }
    void request_driver_version() { serial_sender_->request_driver_version(); }
    void set_zero_point() { serial_sender_->set_zero_point(); }
    void reset_motor() { serial_sender_->reset_motor(); }
    void clear_error() { serial_sender_->clear_error(); }
    void send_raw(QByteArray& data) { serial_sender_->send_raw(data); }
    // Starts a calibration and judges a window later (7000 ms) whether the driver
    // reported its start. The judgement belongs to the link: an open or a close in
    // between ends it unjudged.
    void calibrate_motor();
    // A calibration waits for its judgement (GUI thread).
    bool calibration_judging() const { return calibration_judging_; }
    // The status request period and the calibration window; tests shorten them.
    void set_intervals(int status_ms, int calibration_ms) {
        status_timer_.setInterval(status_ms);
        calibration_ms_ = calibration_ms;
    }
    void set_start_time(const std::chrono::steady_clock::time_point& t) { serial_receiver_->set_start_time(t); }

signals:
    void calibrate_failed_signal();
    // The chosen port did not open: its name, the system's reason, and whether
    // access was refused.
    void open_failed_signal(QString device_name, QString reason, bool denied);

public slots:
    void motor_status_checker_slot();
    void device_open_close_slot(QString device_name);
    // Runs in the receive thread (direct connection): only logs and sets the flag.
    void calibrate_start_slot();
    void calibrate_start_timer_slot();

private:
    void end_calibration_judgement();

    QTimer status_timer_;
    std::atomic<bool> calibration_started_{false};
    bool calibration_judging_ = false;  // GUI thread
    int calibration_ms_ = 7000;
    LinkSession link_session_;
    std::unique_ptr<SetSerial> set_serial_;
    std::shared_ptr<DeviceScanner> device_scanner_;
    std::shared_ptr<SerialSender> serial_sender_;
    std::shared_ptr<SerialReceiver> serial_receiver_;
    std::shared_ptr<SerialInterface> serial_interface_;
    std::string lan_;
};
