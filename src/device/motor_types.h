#pragma once
// Records shared by the links, the parsers, the streamers and the window.
#include <QMetaType>
#include <QVector>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

// One motion sample: seconds since the run's start, rad, rad/s, N·m.
struct StampedMoitonState {
    float time = 0.0f;
    float position = 0.0f;
    float velocity = 0.0f;
    float torque = 0.0f;
};

// Driver telemetry; -100.0 marks a value the reply did not carry.
struct CommonState {
    float voltage = 0.0f;
    float motor_temp = 0.0f;
    float driver_temp = 0.0f;
};
constexpr float kCommonStateMissing = -100.0f;

// Reported by the driver.
struct FirmwareState {
    float gear_ratio = 0.0f;
    float can_id = 0.0f;
    float current_bandwidth = 0.0f;
    float can_timeout = 0.0f;
    float current_limit = 0.0f;
};

// One frame of a parameter write: waits `pause`, then calls `send`; false, with
// nothing sent, ends the write (its link was closed meanwhile).
using ParamWriteStep = std::function<bool(std::chrono::milliseconds pause, const std::function<void()>& send)>;
// The plain step: sleeps, then sends.
inline bool param_write_sleep_step(std::chrono::milliseconds pause, const std::function<void()>& send) {
    std::this_thread::sleep_for(pause);
    send();
    return true;
}

// Built by the parameter dialog to be written to the driver.
struct FirmwareParams {
    float gear_ratio = 0.0f;
    float can_id = 0.0f;
    float current_bandwidth = 0.0f;
    float can_timeout = 0.0f;
    float current_limit = 0.0f;
};

struct DriverVersion {
    float prefix = 0.0f;
    float suffix = 0.0f;
};

// One parameter self-check result; `result` holds GBK bytes.
struct CheckData {
    bool pass = false;
    std::string result;
    float current_sample_error_k = 0.0f;
    float current_sample_error_b = 0.0f;
    float motor_temp = 0.0f;
    float driver_temp = 0.0f;
    float phase_R = 0.0f;
    float phase_L = 0.0f;
    float non_load_current_average = 0.0f;
    float non_load_current_peak = 0.0f;
    float back_EMF = 0.0f;
    float torque_k = 0.0f;
    float non_load_torque = 0.0f;
    float moment_of_inertia = 0.0f;
};

// Frames decoded since the last once-a-second tick.
struct FrameCount {
    uint32_t common_count = 0;
    uint32_t motion_count = 0;
};

// A bare position/velocity/torque triple; registered but carried by no signal.
struct motor_motion_state {
    float position = 0.0f;
    float velocity = 0.0f;
    float torque = 0.0f;
};

Q_DECLARE_METATYPE(StampedMoitonState)
Q_DECLARE_METATYPE(CommonState)
Q_DECLARE_METATYPE(FirmwareState)
Q_DECLARE_METATYPE(DriverVersion)
Q_DECLARE_METATYPE(CheckData)
Q_DECLARE_METATYPE(FrameCount)
Q_DECLARE_METATYPE(motor_motion_state)
