#pragma once
#include <QObject>
#include <QTimer>
#include <QVector>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

#include "motor_types.h"

// Base of both reply parsers: the receive thread, its stop flag, the motion buffer
// handed on every 20 ms, and the per-second frame counts.
class DeviceReceiver : public QObject {
    Q_OBJECT
public:
    DeviceReceiver();
    ~DeviceReceiver() override;

    // Restarts the sample clock and the frame counts (the first count after it is a
    // whole period of this link) and starts the receive thread unless one is present.
    void start_receive_thread();
    // Sets the stop flag and joins a present thread.
    void stop_receive_thread();
    bool has_receive_thread() const { return receive_thread_ != nullptr; }
    // Hands on the samples buffered so far now, not at the next period.
    void flush_motion_buffer() { send_buffer_timer_slot(); }

signals:
    void motor_motion_state_signal(QVector<StampedMoitonState>& state);
    void fps_signal(FrameCount frame_count);

private slots:
    void send_buffer_timer_slot();
    void fps_timer_slot();

protected:
    // Body of the receive thread.
    virtual void receive_loop() {}

    bool stop_requested();
    // Appends one decoded sample and counts it.
    void push_motion_state(const StampedMoitonState& state);
    void count_common_state() { common_count_.fetch_add(1, std::memory_order_relaxed); }
    void store_start_time(const std::chrono::steady_clock::time_point& t);
    // Seconds since the run's start time, truncated to whole microseconds.
    float seconds_since_start();

    std::unique_ptr<std::thread> receive_thread_;
    bool stop_flag_ = false;
    std::mutex stop_mutex_;
    QVector<StampedMoitonState> motion_buffer_;
    std::mutex motion_buffer_mutex_;
    QTimer flush_timer_;
    QTimer counter_timer_;
    std::atomic<uint32_t> common_count_{0};
    std::atomic<uint32_t> motion_count_{0};
    std::chrono::steady_clock::time_point start_time_{};
    std::mutex start_time_mutex_;
};
