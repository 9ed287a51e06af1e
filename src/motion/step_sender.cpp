#include "step_sender.h"

#include <algorithm>

#include "can_manager.h"
#include "console_log.h"
#include "serial_manager.h"

#ifdef __linux__
#include <sys/prctl.h>
#endif

StepSender::StepSender(std::shared_ptr<SerialManager> serial_manager,
                       std::shared_ptr<CanManager> can_manager)
    : QObject(nullptr),
      serial_manager_(std::move(serial_manager)),
      can_manager_(std::move(can_manager)) {
    send_timer_.setInterval(20);
    connect(&send_timer_, &QTimer::timeout, this, &StepSender::send_timer_slot);
    send_timer_.start();
}

StepSender::~StepSender() {
    hv::log_info("Destruct StepSender");
    stop();
}

void StepSender::set_param(const uint8_t& device, const uint32_t& rate_hz) {
    if (device == device_) return;
    if (rate_hz == 0) {
        // Refused as a whole, so a later call with a valid rate still selects the link.
        hv::log_error("Send rate of 0 Hz refused, link and rate left unchanged");
        return;
    }
    uint32_t interval_ns = 0;
    int64_t sleep_us = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        device_ = device;
        send_interval_ns_ = 1000000000u / rate_hz;
        sleep_interval_us_ = static_cast<int64_t>((send_interval_ns_ / 1000) * 0.2);
        interval_ns = send_interval_ns_;
        sleep_us = sleep_interval_us_;
    }
    hv::log_info("Send_hz: ", rate_hz);
    hv::log_info("Send_interval_ns_: ", interval_ns);
    hv::log_info("Sleep_interval_us_: ", sleep_us);
}

void StepSender::set_target(const float target[5]) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int i = 0; i < 5; ++i) target_[i] = target[i];
}

void StepSender::set_start_time(const std::chrono::steady_clock::time_point& start_time) {
    std::lock_guard<std::mutex> lock(mutex_);
    start_time_ = start_time;
}

void StepSender::start() {
    if (send_thread_) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_flag_ = false;
    }
    send_thread_ = std::make_unique<std::thread>(&StepSender::run, this);
}

void StepSender::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_flag_ = true;
    }
    if (send_thread_) {
        if (send_thread_->joinable()) send_thread_->join();
        send_thread_.reset();
    }
    uint8_t device = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        device = device_;
    }
    const float zero[5] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    send_to_device(device, zero);
}

void StepSender::send_timer_slot() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (sent_targets_.isEmpty()) return;
    emit target_motion_state_signal(sent_targets_);
    sent_targets_.resize(0);  // keeps the capacity
}

void StepSender::run() {
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

// Called with mutex_ held.
void StepSender::send_point() {
    using namespace std::chrono;
    send_to_device(device_, target_);
    const int64_t t_us = duration_cast<microseconds>(steady_clock::now() - start_time_).count();
    StampedMoitonState point;
    point.time = static_cast<float>(t_us) / 1000000.0f;
    point.position = target_[0];
    point.velocity = target_[1];
    point.torque = target_[2];
    sent_targets_.append(point);
}

void StepSender::send_to_device(uint8_t device, const float target[5]) {
    if (device == 1 && serial_manager_) {
        serial_manager_->send_motion_target(target);
    } else if (device == 2 && can_manager_) {
        can_manager_->send_motion_command(target);
    }
}
