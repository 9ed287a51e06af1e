#include "serial_receiver.h"

#include <QString>
#include <cmath>
#include <cstring>
#include <limits>
#include <thread>

#include "console_log.h"
#include "param_check.h"

namespace {

uint32_t payload_bits(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof(bits));
    return bits;
}

// Truncation toward zero that stays defined for NaN and out-of-range values.
int truncate_to_int(float value) {
    if (std::isnan(value)) return 0;
    if (value >= static_cast<float>(std::numeric_limits<int>::max())) return std::numeric_limits<int>::max();
    if (value <= static_cast<float>(std::numeric_limits<int>::min())) return std::numeric_limits<int>::min();
    return static_cast<int>(value);
}

}  // namespace

SerialReceiver::SerialReceiver(std::shared_ptr<SerialInterface> serial) : serial_(std::move(serial)) {
    qRegisterMetaType<CommonState>("CommonState");
    qRegisterMetaType<QVector<StampedMoitonState>>("QVector<StampedMoitonState>");
    qRegisterMetaType<FirmwareState>("FirmwareState");
    qRegisterMetaType<DriverVersion>("DriverVersion");
    read_timer_.setInterval(1);
    connect(&read_timer_, &QTimer::timeout, this, &SerialReceiver::read_serial_slot, Qt::DirectConnection);
    read_timer_.start();
}

SerialReceiver::~SerialReceiver() {
    hv::log_info("Dectruct SerialReceiver");
    stop_receive_thread();
}

void SerialReceiver::receive_loop() {
    while (!stop_requested()) {
        if (!serial_->frame_available()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        SerialFrame frame;
        serial_->read_frame(frame);
        dispatch_frame(frame);
    }
}

void SerialReceiver::read_serial_slot() {
    if (serial_->is_open()) serial_->read();
}

void SerialReceiver::dispatch_frame(const SerialFrame& frame) {
    // A frame whose payload does not match its length is not decoded, so no handler
    // reads past the values it was given.
    if (!is_serial_frame_length(frame.length) || frame.payload.size() != (frame.length - 11) / 4) return;
    switch (frame.length) {
        case kSimpleFrameLength: handle_simple_frame(frame); break;
        case kComplex1FrameLength: handle_complex1_frame(frame); break;
        case kComplex3FrameLength: handle_complex3_frame(frame); break;
        case kComplex5FrameLength: handle_complex5_frame(frame); break;
        default: break;
    }
}

void SerialReceiver::handle_simple_frame(const SerialFrame& frame) {
    switch (frame.cmd) {
        case kEnableAck: emit enable_sucess_signal(); break;
        case kCalibrationStart: emit calibration_start_signal(); break;
        case kCalibrationSuccess: emit calibration_sucess_signal(); break;
        case kDisableAck: emit disable_sucess_signal(); break;
        case kZeroPointAck: emit zero_point_signal(); break;
        case kResetAck: emit reset_success_signal(); break;
        case kMotionParamAck: emit motion_param_send_success_signal(); break;
        case kErrorResetAck: emit error_reset_signal(); break;
        case kSetParamAck: emit set_param_success_signal(); break;
        default:
            hv::log_warn("frame->cmd not fiiting into any simple command", std::hex,
                         static_cast<unsigned>(frame.cmd));
    }
}

void SerialReceiver::handle_complex1_frame(const SerialFrame& frame) {
    const float value = frame.payload[0];
    switch (frame.cmd) {
        case kPhaseSequence: {
            const int phase = truncate_to_int(value);
            emit phase_sequence_signal(phase);
            hv::log_info("Phase sequence: ", phase);
            break;
        }
        case kCompensationValue:
            emit calibrate_compensation_data_signal(value);
            hv::log_info("Compensation value: ", value);
            break;
        case kErrorBits:
            emit error_frame_signal(static_cast<uint16_t>(payload_bits(value) & 0xFFFF));
            break;
        case kParamCheck: handle_param_check(frame); break;
        case kCurretSampleErrorK: check_values_[0] = value; hv::log_info("kCurretSampleErrorK: ", value); break;
        case kCurretSampleErrorB: check_values_[1] = value; hv::log_info("kCurretSampleErrorB: ", value); break;
        case kMotorTemp: check_values_[2] = value; hv::log_info("kMotorTemp: ", value); break;
        case kDriverTemp: check_values_[3] = value; hv::log_info("kDriverTemp: ", value); break;
        case kPhaseR: check_values_[4] = value; hv::log_info("kPhaseR: ", value); break;
        case kPhaseL: check_values_[5] = value; hv::log_info("kPhaseL: ", value); break;
        case kNonLoadCurrentAverage:
            check_values_[6] = value;
            hv::log_info("kNonLoadCurrentAverage: ", value);
            break;
        case kNonLoadCurrentPeak: check_values_[7] = value; hv::log_info("kNonLoadCurrentPeak: ", value); break;
        case kBackEMF: check_values_[8] = value; hv::log_info("kBackEMF: ", value); break;
        case kTorqueK: check_values_[9] = value; hv::log_info("kTorqueK: ", value); break;
        case kNonLoadTorque: check_values_[10] = value; hv::log_info("kNonLoadTorque: ", value); break;
        case kMomentOfInertia: check_values_[11] = value; hv::log_info("kMomentOfInertia: ", value); break;
        default:
            hv::log_warn("frame->cmd not fiiting into any complex1", std::hex, static_cast<unsigned>(frame.cmd));
    }
}

void SerialReceiver::handle_param_check(const SerialFrame& frame) {
    const float value = frame.payload[0];
    const uint32_t step = payload_bits(value);
    hv::log_info("kParamCheck: ", value, " ", step);
    check_pass_ = step == 0;
    if (step <= 6) check_result_ = check_step_text(step);
    const CheckData data = make_check_data(check_pass_, check_result_, check_values_);
    emit update_csv_files_signal(data);
    emit param_check_signal(static_cast<uint16_t>(step & 0xFFFF));
}

void SerialReceiver::handle_complex3_frame(const SerialFrame& frame) {
    switch (frame.cmd) {
        case kMotionState: {
            StampedMoitonState state;
            state.time = seconds_since_start();
            state.position = frame.payload[0];
            state.velocity = frame.payload[1];
            state.torque = frame.payload[2];
            push_motion_state(state);
            break;
        }
        case kCommonStateReply: {
            CommonState state;
            state.voltage = frame.payload[0];
            state.motor_temp = frame.payload[1];
            state.driver_temp = frame.payload[2];
            emit motor_common_state_signal(state);
            count_common_state();
            break;
        }
        case kCoggingMap:
            emit calibrate_angle_data_signal(frame.payload[0]);
            hv::log_info("Cogging_mAP: ", frame.payload[0]);
            break;
        default:
            hv::log_warn("frame->cmd not fiiting into any complex3", std::hex, static_cast<unsigned>(frame.cmd));
    }
}

void SerialReceiver::handle_complex5_frame(const SerialFrame& frame) {
    const std::vector<float>& v = frame.payload;
    switch (frame.cmd) {
        case kFirmwareInfo: {
            FirmwareState state;
            state.gear_ratio = v[0];
            state.can_id = v[1];
            state.current_bandwidth = v[2];
            state.can_timeout = v[3];
            state.current_limit = v[4];
            emit motor_firm_state_signal(state);
            hv::log_info("Firmware info:");
            hv::log_info("Gear ratio: ", v[0]);
            hv::log_info("Can id: ", v[1]);
            hv::log_info("Current bandwidth: ", v[2]);
            hv::log_info("Can timeout: ", v[3]);
            hv::log_info("Current limit: ", v[4]);
            break;
        }
        case kDriverVersionInfo: {
            hv::log_info("Version info:");
            hv::log_info("Version_symbol_prefix:", v[0]);
            hv::log_info("Version_symbol_suffix:", v[1]);
            DriverVersion version;
            version.prefix = v[0];
            version.suffix = v[1];
            emit driver_version_signal(version);
            break;
        }
        default:
            hv::log_warn("frame->cmd not fiiting into any complex5", std::hex, static_cast<unsigned>(frame.cmd));
    }
}
