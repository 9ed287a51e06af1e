#pragma once
#include <cstdint>
#include <memory>

#include "target_sender.h"

// Streams one constant motion target at a fixed rate from its own thread, through
// the manager of the selected link, and hands the sent targets on every 20 ms.
class StepSender : public TargetSender {
    Q_OBJECT
public:
    StepSender(std::shared_ptr<SerialManager> serial_manager, std::shared_ptr<CanManager> can_manager);
    ~StepSender() override;

    // device: 0 none, 1 serial, 2 CAN. Ignored when the device is already selected.
    void set_param(const uint8_t& device, const uint32_t& rate_hz);
    // position, velocity, torque, Kp, Kd
    void set_target(const float target[5]);

private:
    void send_point() override;

    float target_[5] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
};
