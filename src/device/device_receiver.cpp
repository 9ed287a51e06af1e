#include "device_receiver.h"

#include <cstdint>

DeviceReceiver::DeviceReceiver() : QObject(nullptr) {
    flush_timer_.setInterval(20);
    connect(&flush_timer_, &QTimer::timeout, this, &DeviceReceiver::send_buffer_timer_slot);
    flush_timer_.start();
    connect(&counter_timer_, &QTimer::timeout, this, &DeviceReceiver::fps_timer_slot);
    counter_timer_.setInterval(1000);
    counter_timer_.start();
}

DeviceReceiver::~DeviceReceiver() {
    // Derived destructors stop first; this only guards against a forgotten join.
    stop_receive_thread();
}

void DeviceReceiver::start_receive_thread() {
    // Samples that come before the first run start count from the link's start,
    // not from the clock's epoch (boot).
    store_start_time(std::chrono::steady_clock::now());
    common_count_ = 0;
    motion_count_ = 0;
    counter_timer_.start();
    if (receive_thread_) return;
    {
        std::lock_guard<std::mutex> lock(stop_mutex_);
        stop_flag_ = false;
    }
    receive_thread_ = std::make_unique<std::thread>([this] { receive_loop(); });
}

void DeviceReceiver::stop_receive_thread() {
    {
        std::lock_guard<std::mutex> lock(stop_mutex_);
        stop_flag_ = true;
    }
    if (receive_thread_ && receive_thread_->joinable()) receive_thread_->join();
    receive_thread_.reset();
}

bool DeviceReceiver::stop_requested() {
    std::lock_guard<std::mutex> lock(stop_mutex_);
    return stop_flag_;
}

void DeviceReceiver::push_motion_state(const StampedMoitonState& state) {
    {
        std::lock_guard<std::mutex> lock(motion_buffer_mutex_);
        motion_buffer_.append(state);
    }
    motion_count_.fetch_add(1, std::memory_order_relaxed);
}

void DeviceReceiver::store_start_time(const std::chrono::steady_clock::time_point& t) {
    std::lock_guard<std::mutex> lock(start_time_mutex_);
    start_time_ = t;
}

float DeviceReceiver::seconds_since_start() {
    std::chrono::steady_clock::time_point start;
    {
        std::lock_guard<std::mutex> lock(start_time_mutex_);
        start = start_time_;
    }
    // Whole microseconds, as f32, then seconds.
    const int64_t ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count();
    return static_cast<float>(static_cast<float>(ns / 1000) / 1000000.0);
}

void DeviceReceiver::send_buffer_timer_slot() {
    std::lock_guard<std::mutex> lock(motion_buffer_mutex_);
    if (motion_buffer_.isEmpty()) return;
    // The directly connected consumer empties the buffer before returning.
    emit motor_motion_state_signal(motion_buffer_);
}

void DeviceReceiver::fps_timer_slot() {
    FrameCount count;
    count.common_count = common_count_.exchange(0);
    count.motion_count = motion_count_.exchange(0);
    emit fps_signal(count);
}
