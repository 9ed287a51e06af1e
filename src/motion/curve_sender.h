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

// Streams a sine curve of torque (type 0) or position (type 1) at a fixed rate from
// its own thread, through the manager of the selected link, and hands the sent
// targets on every 20 ms.
class CurveSender : public QObject {
    Q_OBJECT
public:
    CurveSender(std::shared_ptr<SerialManager> serial_manager, std::shared_ptr<CanManager> can_manager);
    ~CurveSender() override;

    // params: amplitude, frequency (Hz), offset, Kp, Kd; device: 0 none, 1 serial, 2 CAN.
    void set_param(const uint8_t& curve_type, const float params[5],
                   const std::chrono::steady_clock::time_point& start_time, const uint8_t& device,
                   const uint32_t& rate_hz);
    void set_start_time(const std::chrono::steady_clock::time_point& start_time);
    void start();
    // Joins the thread, then sends one all-zero target to the selected link.
    void stop();

signals:
    void target_motion_state_signal(QVector<StampedMoitonState> state);

private slots:
    void send_timer_slot();

private:
    void run();
    void send_point();
    void send_to_device(uint8_t device, const float target[5]);

    std::shared_ptr<SerialManager> serial_manager_;
    std::shared_ptr<CanManager> can_manager_;
    uint8_t curve_type_ = 0;
    float amplitude_ = 0.0f;
    float frequency_ = 0.0f;
    float offset_ = 0.0f;
    float kp_ = 0.0f;
    float kd_ = 0.0f;
    std::chrono::steady_clock::time_point start_time_{};
    uint8_t device_ = 0;
    uint32_t send_interval_ns_ = 1000000;
    int64_t sleep_interval_us_ = 300;
    std::chrono::steady_clock::time_point last_send_time_{};
    std::unique_ptr<std::thread> send_thread_;
    std::mutex mutex_;
    bool stop_flag_ = false;
    QVector<StampedMoitonState> sent_targets_;
    QTimer send_timer_;
};
