#include "step_sender.h"

#include "console_log.h"

StepSender::StepSender(std::shared_ptr<SerialManager> serial_manager,
                       std::shared_ptr<CanManager> can_manager)
    : TargetSender(std::move(serial_manager), std::move(can_manager)) {}

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
        store_rate(rate_hz);
        interval_ns = send_interval_ns_;
        sleep_us = sleep_interval_us_;
    }
    log_rate(rate_hz, interval_ns, sleep_us);
}

void StepSender::set_target(const float target[5]) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int i = 0; i < 5; ++i) target_[i] = target[i];
}

// Called with mutex_ held; the sample time is read after the send.
void StepSender::send_point() {
    send_to_device(device_, target_);
    record_point(seconds_since_start(), target_);
}
