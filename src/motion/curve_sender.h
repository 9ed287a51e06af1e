#pragma once
#include <chrono>
#include <cstdint>
#include <memory>

#include "target_sender.h"

// Streams a sine curve of torque (type 0) or position (type 1) at a fixed rate from
// its own thread, through the manager of the selected link, and hands the sent
// targets on every 20 ms.
class CurveSender : public TargetSender {
    Q_OBJECT
public:
    CurveSender(std::shared_ptr<SerialManager> serial_manager, std::shared_ptr<CanManager> can_manager);
    ~CurveSender() override;

    // params: amplitude, frequency (Hz), offset, Kp, Kd; device: 0 none, 1 serial, 2 CAN.
    void set_param(const uint8_t& curve_type, const float params[5],
                   const std::chrono::steady_clock::time_point& start_time, const uint8_t& device,
                   const uint32_t& rate_hz);

private:
    void send_point() override;

    uint8_t curve_type_ = 0;
    float amplitude_ = 0.0f;
    float frequency_ = 0.0f;
    float offset_ = 0.0f;
    float kp_ = 0.0f;
    float kd_ = 0.0f;
};
