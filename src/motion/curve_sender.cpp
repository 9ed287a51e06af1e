#include "curve_sender.h"

#include <cmath>

#include "console_log.h"

CurveSender::CurveSender(std::shared_ptr<SerialManager> serial_manager,
                         std::shared_ptr<CanManager> can_manager)
    : TargetSender(std::move(serial_manager), std::move(can_manager)) {}

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
        if (rate_hz != 0) store_rate(rate_hz);
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
    log_rate(rate_hz, interval_ns, sleep_us);
}

// Called with mutex_ held; the sample time is read before the point is computed.
void CurveSender::send_point() {
    const float t = seconds_since_start();
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
    record_point(t, target);
}
