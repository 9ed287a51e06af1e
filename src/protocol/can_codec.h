#pragma once
// CAN identifiers and the fixed-point codecs of the driver's CAN protocol.
#include <cstdint>

#include "can_frame.h"

// Command codes, bits 10-5 of the identifier.
namespace CanCommand {
constexpr uint8_t kDisableMotor = 1;
constexpr uint8_t kEnableMotor = 2;
constexpr uint8_t kCalibrateMotor = 3;
constexpr uint8_t kMotionControl = 4;
constexpr uint8_t kResetMotor = 5;
constexpr uint8_t kSetHome = 6;
constexpr uint8_t kSetGearRatio = 7;
constexpr uint8_t kSetId = 8;
constexpr uint8_t kSetCanTimeout = 9;
constexpr uint8_t kSetBandwidth = 10;
constexpr uint8_t kSetLimitCurrent = 11;
constexpr uint8_t kSaveConfig = 16;
constexpr uint8_t kErrorReset = 17;
constexpr uint8_t kWriteAppBackStart = 18;
constexpr uint8_t kWriteAppBack = 19;
constexpr uint8_t kCheckAppBack = 20;
constexpr uint8_t kDfuStart = 21;
constexpr uint8_t kGetFwVersion = 22;
constexpr uint8_t kGetStatusWord = 23;
constexpr uint8_t kGetConfig = 24;
constexpr uint8_t kStateReport = 31;  // sent only by the driver
}  // namespace CanCommand

// Identifier bit the driver sets in its replies.
constexpr uint32_t kCanReplyFlag = 0x10;

// One decoded motion reply.
struct CanMotionState {
    float position = 0.0f;     // rad, -40..40
    float velocity = 0.0f;     // rad/s, -40..40
    float torque = 0.0f;       // N·m, -40..40
    uint8_t temp_type = 0;     // 1 motor temperature, 0 driver temperature
    float temperature = 0.0f;  // °C, -20..200
};

// cmd << 5 | motor id. Only the low 4 bits of the id are used, so an id of 16 or more
// can never touch the reply flag or the command bits.
uint16_t make_can_id(uint8_t cmd, uint8_t motor_id);

// Field value of x on `bits` bits over [min, max]. x is clamped into [min, max] first so
// an out-of-range value saturates instead of wrapping; NaN gives 0 (callers refuse it).
int64_t float_to_uint(const float& x, const float& min, const float& max, const uint8_t& bits);

float uint_to_float(const int32_t& raw, const float& min, const float& max, const uint8_t& bits);

// Ranges of the motion command's fields: position (rad), velocity (rad/s) and
// torque (N·m) within ±kCanMotionLimit, Kp up to kCanKpMax, Kd up to kCanKdMax.
constexpr float kCanMotionLimit = 40.0f;
constexpr float kCanKpMax = 1023.0f;
constexpr float kCanKdMax = 51.0f;

// in: position, velocity, torque, kp, kd. Each value is clamped to its field's range.
// Returns false, leaving `out` untouched, when any value is NaN.
bool pack_motion_command(uint8_t out[8], const float in[5]);

// Reads all eight payload bytes whatever the DLC.
CanMotionState unpack_motion_state(const CanFrame& frame);
