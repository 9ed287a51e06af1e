#include "target_sender.h"

#include <algorithm>

#include "can_manager.h"
#include "console_log.h"
#include "serial_manager.h"

#ifdef __linux__
#include <sys/prctl.h>
#endif

TargetSender::TargetSender(std::shared_ptr<SerialManager> serial_manager,
                           std::shared_ptr<CanManager> can_manager)
    : QObject(nullptr),
      serial_manager_(std::move(serial_manager)),
      can_manager_(std::move(can_manager)) {
    send_timer_.setInterval(20);
    connect(&send_timer_, &QTimer::timeout, this, &TargetSender::send_timer_slot);
    send_timer_.start();
}

TargetSender::~TargetSender() = default;

void TargetSender::set_start_time(const std::chrono::steady_clock::time_point& start_time) {
    std::lock_guard<std::mutex> lock(mutex_);
    start_time_ = start_time;
}

void TargetSender::start() {
    if (send_thread_) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_flag_ = false;
    }
    send_thread_ = std::make_unique<std::thread>(&TargetSender::run, this);
}

void TargetSender::halt() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_flag_ = true;
    }
    if (send_thread_) {
        if (send_thread_->joinable()) send_thread_->join();
        send_thread_.reset();
    }
}

void TargetSender::stop() {
    halt();
    const uint8_t device = this->device();
    const float zero[5] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    send_to_device(device, zero);
}

uint8_t TargetSender::device() {
    std::lock_guard<std::mutex> lock(mutex_);
    return device_;
}

void TargetSender::store_rate(uint32_t rate_hz) {
    send_interval_ns_ = 1000000000u / rate_hz;
    sleep_interval_us_ = static_cast<int64_t>((send_interval_ns_ / 1000) * 0.2);
}

void TargetSender::log_rate(uint32_t rate_hz, uint32_t interval_ns, int64_t sleep_us) {
    hv::log_info("Send_hz: ", rate_hz);
    hv::log_info("Send_interval_ns_: ", interval_ns);
    hv::log_info("Sleep_interval_us_: ", sleep_us);
}

float TargetSender::seconds_since_start() const {
    using namespace std::chrono;
    const int64_t t_us = duration_cast<microseconds>(steady_clock::now() - start_time_).count();
    return static_cast<float>(t_us) / 1000000.0f;
}

void TargetSender::record_point(float time, const float target[5]) {
    StampedMoitonState point;
    point.time = time;
    point.position = target[0];
    point.velocity = target[1];
    point.torque = target[2];
    sent_targets_.append(point);
}

void TargetSender::send_to_device(uint8_t device, const float target[5]) {
    if (device == 1 && serial_manager_) {
        serial_manager_->send_motion_target(target);
    } else if (device == 2 && can_manager_) {
        can_manager_->send_motion_command(target);
    }
}

void TargetSender::send_timer_slot() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (sent_targets_.isEmpty()) return;
    emit target_motion_state_signal(sent_targets_);
    sent_targets_.resize(0);  // keeps the capacity
}

void TargetSender::run() {
    using namespace std::chrono;
#ifdef __linux__
    // The default 50 us timer slack would stretch every 200 us slice at 1000 Hz.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
    last_send_time_ = steady_clock::now();
    while (true) {
        int64_t due_us = 0;
        int64_t sleep_us = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stop_flag_) return;
            due_us = send_interval_ns_ / 1000;
            sleep_us = sleep_interval_us_;
        }
        const int64_t elapsed_us =
            duration_cast<microseconds>(steady_clock::now() - last_send_time_).count();
        int64_t remaining_us = due_us - elapsed_us;
        if (remaining_us <= 0) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                send_point();
            }
            last_send_time_ = steady_clock::now();
            remaining_us = due_us;
        }
        // The last slice before a due point is cut short, so a coarse wake-up does
        // not add a whole slice to the period.
        if (sleep_us > 0) std::this_thread::sleep_for(microseconds(std::min(sleep_us, remaining_us)));
    }
}
