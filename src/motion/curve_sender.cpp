#include "curve_sender.h"

#include <algorithm>
#include <cmath>

#include "can_manager.h"
#include "console_log.h"
#include "serial_manager.h"

#ifdef __linux__
#include <sys/prctl.h>
#endif

CurveSender::CurveSender(std::shared_ptr<SerialManager> serial_manager,
                         std::shared_ptr<CanManager> can_manager)
    : QObject(nullptr),
      serial_manager_(std::move(serial_manager)),
      can_manager_(std::move(can_manager)) {
    send_timer_.setInterval(20);
    connect(&send_timer_, &QTimer::timeout, this, &CurveSender::send_timer_slot);
    send_timer_.start();
}

CurveSender::~CurveSender() {
    hv::log_info("Destruct CurveSender");
    stop();
}

void CurveSender::set_param(const uint8_t& curve_type, const float params[5],
                            const std::chrono::steady_clock::time_point& start_time,
                            const uint8_t& device, const uint32_t& rate_hz) {
    uint32_t interval_ns = 0;
    int64_t sleep_us = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        curve_type_ = curve_type;
        amplitude_ = params[0];
        frequency_ = params[1];
        offset_ = params[2];
        kp_ = params[3];
        kd_ = params[4];
        start_time_ = start_time;
        device_ = device;
        if (rate_hz != 0) {
            send_interval_ns_ = 1000000000u / rate_hz;
            sleep_interval_us_ = static_cast<int64_t>((send_interval_ns_ / 1000) * 0.2);
        }
        interval_ns = send_interval_ns_;
        sleep_us = sleep_interval_us_;
    }
    if (curve_type > 1) {
        hv::log_warn("Unknown curve type ", static_cast<int>(curve_type), ", no target will be sent");
    }
    if (rate_hz == 0) {
        hv::log_error("Send rate of 0 Hz refused, keeping Send_interval_ns_: ", interval_ns);
        return;
    }
    hv::log_info("Send_hz: ", rate_hz);
    hv::log_info("Send_interval_ns_: ", interval_ns);
    hv::log_info("Sleep_interval_us_: ", sleep_us);
}

void CurveSender::set_start_time(const std::chrono::steady_clock::time_point& start_time) {
    std::lock_guard<std::mutex> lock(mutex_);
    start_time_ = start_time;
}

void CurveSender::start() {
    if (send_thread_) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_flag_ = false;
    }
    send_thread_ = std::make_unique<std::thread>(&CurveSender::run, this);
}

void CurveSender::stop() {
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

void CurveSender::send_timer_slot() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (sent_targets_.isEmpty()) return;
    emit target_motion_state_signal(sent_targets_);
    sent_targets_.resize(0);  // keeps the capacity
}

void CurveSender::run() {
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
void CurveSender::send_point() {
    using namespace std::chrono;
    const int64_t t_us = duration_cast<microseconds>(steady_clock::now() - start_time_).count();
    const float t = static_cast<float>(t_us) / 1000000.0f;
    // Single-precision 2*pi as the driver tooling has always used it.
    const float w = 6.283185f * frequency_;
    const float x = t * w;

    float target[5] = {0.0f, 0.0f, 0.0f, kp_, kd_};
    if (curve_type_ == 0) {
        target[2] = static_cast<float>(std::sin(static_cast<double>(x)) * amplitude_ + offset_);
    } else if (curve_type_ == 1) {
        const float peak_velocity = amplitude_ * w;
        target[0] = static_cast<float>(std::sin(static_cast<double>(x)) * amplitude_ + offset_);
        target[1] = static_cast<float>(std::cos(static_cast<double>(x)) *
                                       static_cast<double>(peak_velocity));
    } else {
        return;  // unknown curve: nothing to send or record
    }
    send_to_device(device_, target);

    StampedMoitonState point;
    point.time = t;
    point.position = target[0];
    point.velocity = target[1];
    point.torque = target[2];
    sent_targets_.append(point);
}

void CurveSender::send_to_device(uint8_t device, const float target[5]) {
    if (device == 1 && serial_manager_) {
        serial_manager_->send_motion_target(target);
    } else if (device == 2 && can_manager_) {
        can_manager_->send_motion_command(target);
    }
}
