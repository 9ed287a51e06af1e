#pragma once
#include <QObject>
#include <QTimer>
#include <QVector>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "motor_types.h"

class SerialManager;
class CanManager;

// What the step and curve senders share: the send rate, the sender thread with its
// timing loop, the 20 ms hand-over of the sent targets and the stop that ends with
// one all-zero target. A derived class says what one point is, and its destructor
// must call stop() while its own part still exists (the loop calls send_point).
class TargetSender : public QObject {
    Q_OBJECT
public:
    ~TargetSender() override;

    void set_start_time(const std::chrono::steady_clock::time_point& start_time);
    void start();
    // Joins the thread, then sends one all-zero target to the selected link.
    void stop();
    // Joins the thread without the all-zero target, for a link that is gone.
    void halt();
    bool is_streaming() const { return send_thread_ != nullptr; }
    // The link of the stream: 0 none, 1 serial, 2 CAN.
    uint8_t device();

signals:
    void target_motion_state_signal(QVector<StampedMoitonState> state);

protected:
    TargetSender(std::shared_ptr<SerialManager> serial_manager, std::shared_ptr<CanManager> can_manager);

    // Sends and records one point; called on the sender thread with mutex_ held.
    virtual void send_point() = 0;

    // With mutex_ held; rate_hz must not be 0.
    void store_rate(uint32_t rate_hz);
    // The three rate lines, written once mutex_ is released.
    static void log_rate(uint32_t rate_hz, uint32_t interval_ns, int64_t sleep_us);
    // Seconds since start_time_, read now; mutex_ held.
    float seconds_since_start() const;
    // Appends {time, position, velocity, torque} for the next publication; mutex_ held.
    void record_point(float time, const float target[5]);
    // device: 1 serial, 2 CAN, anything else sends nothing.
    void send_to_device(uint8_t device, const float target[5]);

    std::shared_ptr<SerialManager> serial_manager_;
    std::shared_ptr<CanManager> can_manager_;
    std::chrono::steady_clock::time_point start_time_{};
    uint8_t device_ = 0;
    uint32_t send_interval_ns_ = 1000000;
    int64_t sleep_interval_us_ = 300;

private:
    std::chrono::steady_clock::time_point last_send_time_{};
    std::unique_ptr<std::thread> send_thread_;

protected:
    std::mutex mutex_;

private slots:
    void send_timer_slot();

private:
    void run();

    bool stop_flag_ = false;
    QVector<StampedMoitonState> sent_targets_;
    QTimer send_timer_;
};
