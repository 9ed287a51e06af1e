#pragma once
#include <QByteArray>
#include <QEventLoop>
#include <QObject>
#include <QString>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "can_interface.h"
#include "can_receiver.h"
#include "can_sender.h"
#include "device_scanner.h"
#include "job_thread.h"
#include "link_replies.h"
#include "link_session.h"
#include "motor_types.h"

class SetCan;

// Entry point of the CAN side: owns the adapter, its dialog, scanner, sender and
// receiver; opens and closes the link, polls the status word, runs calibration and
// the firmware update.
class CanManager : public QObject {
    Q_OBJECT
public:
    explicit CanManager(std::string lan);
    ~CanManager() override;

    // Non-owning; they live as long as the manager.
    DeviceScanner* device_scanner() { return device_scanner_.get(); }
    CanReceiver* can_receiver() { return can_receiver_.get(); }
    CanInterface* can_interface() { return can_interface_.get(); }

    int show_set_can_dialog();
    void get_fw_version() { can_sender_->get_fw_version(); }
    void get_firmware_version() { can_sender_->get_firmware_version(); }
    void disable_motor() { can_sender_->disable_motor(); }
    void enable_motor() { can_sender_->enable_motor(); }
    // Sends the request and returns about 7 s later, after the judgement, or when
    // the link is closed or opened again, which ends the judgement unjudged.
    void calibrate_motor();
    // A calibration waits for its judgement (GUI thread).
    bool calibration_judging() const { return event_loop_.isRunning(); }
    // Nothing on the bus acknowledges: what is sent now waits in the adapter.
    bool bus_silent() const { return can_interface_->bus_silent(); }
    void send_motion_command(const float targets[5]) { can_sender_->send_motion_command(targets); }
    void reset_motor() { can_sender_->reset_motor(); }
    void set_zero_point() { can_sender_->save_zero_point(); }
    // Opens and closes counted so far; work armed under one count belongs to that link.
    unsigned link_session() const { return link_session_.current(); }
    // Connects a reply signal of this link's receiver so that it is handled only
    // while the link it came from is still the open one.
    LinkReplies replies() const { return LinkReplies(link_session_); }
    // The write and the store of `session`'s link: a close of that link ends them
    // before their next frame, and nothing of them reaches a later link. False
    // (logged) when they were ended.
    bool write_firmware_param(const FirmwareParams& params, unsigned session);
    bool save_config(unsigned session);
    void clear_error();
    void get_status_word() { can_sender_->get_status_word(); }
    void set_start_time(const std::chrono::steady_clock::time_point& start) {
        can_receiver_->set_start_time(start);
    }
    void get_config() { can_sender_->get_config(); }
    // Chooses and checks the image here; the transfer runs on a thread of its own,
    // so this returns at once. The confirmation box comes up when the driver is ready.
    void update_firmware();
    // An update started by update_firmware() has not ended yet (GUI thread).
    bool firmware_updating() const { return firmware_updating_; }
    // What ended the last failed update, for the operator; empty when nothing more
    // is known (GUI thread; set before update_firmware_failed_signal).
    const QString& firmware_failure() const { return firmware_failure_; }

    // Largest image the driver can hold.
    static constexpr qint64 kMaxFirmwareSize = 1024 * 1024;
    // Polls for the driver's verdict on the image.
    static constexpr int kImageCheckPolls = 50;
    // Polls in which a refusal of the DFU start still counts.
    static constexpr int kDfuVerdictPolls = 5;
    // Polls in which a link that did not take an image chunk may still turn out lost
    // (its receive thread finds a pulled adapter at its next read; a busy host may
    // run that thread late). The update has failed either way.
    static constexpr int kLinkVerdictPolls = 20;

    // Period of the progress report during the image transfer.
    static constexpr int kFirmwareProgressMs = 250;

    // Pause after each firmware chunk, the poll of the firmware waits (100 ms;
    // the pause before the version request is 30 polls) and the calibration
    // window; tests shorten them.
    void set_intervals(int chunk_pause_ms, int poll_ms, int calibration_ms) {
        chunk_pause_ms_ = chunk_pause_ms;
        poll_ms_ = poll_ms;
        calibration_ms_ = calibration_ms;
    }

    // Period of the status-word request (1000 ms); tests shorten it.
    void set_status_interval(int ms) { status_timer_.setInterval(ms); }

signals:
    void update_firmware_start_signal();
    void update_firmware_failed_signal();
    void update_firmware_success_signal();
    void calibrate_failed_signal();
    // Nothing on the bus acknowledges: the link has reset the adapter and sends no
    // motion targets until the bus answers. Emitted from whichever thread found it.
    void bus_silent_signal();
    // True when an update starts to talk to the driver, false once nothing of it runs.
    void update_firmware_running_signal(bool running);
    // Share of the image sent so far, in percent to a tenth: at the product's pace a
    // whole percent of a 1 MiB image takes about 3 s.
    void update_firmware_progress_signal(double percent);

public slots:
    void device_open_close_slot(QString device_name);
    void calibrate_start_slot() { calibration_started_ = true; }
    void calibrate_start_timer_slot();

private slots:
    void write_app_back_start_slot();
    void check_app_back_ok_slot();
    void check_app_back_failed_slot();
    void dfu_start_failed_slot() { dfu_start_failed_ = true; }
    void motor_status_checker_slot();

private:
    bool chinese() const { return lan_ == "zh"; }
    void end_calibration_judgement();
    void show_firmware_tip(const QString& zh_text, const QString& en_text);

    // The update's steps: the driver's side runs on firmware_jobs_, the operator's
    // (confirmation, signals) in the GUI thread.
    void firmware_ready_job();                         // start request and its wait
    void confirm_firmware();                           // GUI
    void firmware_transfer_job(const QByteArray& image);  // chunks, check, DFU start, version
    // GUI: nothing of the update runs after it.
    void end_firmware_update(bool failed, const QString& reason = QString());
    // Worker: hands `step` to the GUI thread.
    void in_gui_thread(std::function<void()> step);
    // Worker: waits `ms`; false when the update must end (link lost, manager going).
    bool firmware_pause(int ms);

    std::atomic<bool> write_app_back_started_{false};
    std::atomic<bool> app_back_check_ok_{false};
    QEventLoop event_loop_;
    std::atomic<bool> calibration_started_{false};
    std::shared_ptr<SetCan> set_can_;
    std::shared_ptr<DeviceScanner> device_scanner_;
    std::shared_ptr<CanSender> can_sender_;
    std::shared_ptr<CanReceiver> can_receiver_;
    std::shared_ptr<CanInterface> can_interface_;
    QTimer status_timer_;
    // A status request sent on a silent bus waits in the adapter; each new silence
    // began with a reset that discarded it.
    std::atomic<bool> status_waiting_{false};
    std::atomic<unsigned> bus_silences_{0};  // times the bus was found silent
    std::string lan_;
    std::atomic<bool> app_back_check_failed_{false};
    std::atomic<bool> dfu_start_failed_{false};
    std::atomic<int> chunk_pause_ms_{2};
    std::atomic<int> poll_ms_{100};
    int calibration_ms_ = 7000;
    LinkSession link_session_;

    // One step at a time, in order; its pauses end early when the manager goes.
    JobThread firmware_jobs_;
    bool firmware_updating_ = false;   // GUI thread
    QByteArray firmware_image_;        // GUI thread, between the choice and the transfer
    QString firmware_failure_;         // GUI thread
    std::atomic<int> firmware_sent_{0};  // bytes of the image sent
    QTimer firmware_progress_timer_;
};
