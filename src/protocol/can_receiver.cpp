#include "can_receiver.h"

#include <cstring>
#include <ios>
#include <thread>

#include "console_log.h"
#include "param_check.h"

namespace {

uint16_t u16_at(const uint8_t* d, int k) {
    return static_cast<uint16_t>((d[k] << 8) | d[k + 1]);
}

float bits_to_float(uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, sizeof(f));
    return f;
}

const char* const kCheckValueLabels[12] = {
    "Current sample coff error: ", "current_sample_error_b: ", "motor_temp: ",
    "driver_temp: ",               "phase_R: ",                "phase_L: ",
    "non_load_current_average: ",  "non_load_current_peak: ",  "back_EMF: ",
    "torque_k: ",                  "non_load_torque: ",        "moment_of_inertia: ",
};

}  // namespace

CanReceiver::CanReceiver(std::shared_ptr<CanInterface> can_interface)
    : DeviceReceiver(), can_interface_(std::move(can_interface)) {
    check_step_text(0);  // build the texts outside the receive thread
    qRegisterMetaType<CommonState>("CommonState");
    qRegisterMetaType<QVector<StampedMoitonState>>("QVector<StampedMoitonState>");
    qRegisterMetaType<FirmwareState>("FirmwareState");
    qRegisterMetaType<DriverVersion>("DriverVersion");
}

CanReceiver::~CanReceiver() {
    hv::log_info("Destruct CanReceiver");
    stop_receive_thread();
    can_interface_.reset();
}

void CanReceiver::set_start_time(const std::chrono::steady_clock::time_point& start) {
    store_start_time(start);
}

void CanReceiver::receive_loop() {
    CanFrame frame;
    while (!stop_requested()) {
        const int result = can_interface_ ? can_interface_->receive(frame) : 0;
        if (result > 0) {
            // Our own echoes and other requests: next poll at once.
            if (!(frame.id & kCanReplyFlag)) continue;
            parse_frame(frame);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
}

bool CanReceiver::log_result(uint8_t status, const std::string& name) {
    if (status == 0) {
        hv::log_info(name, " success");
        return true;
    }
    hv::log_info(name, " failed");
    return false;
}

void CanReceiver::parse_frame(const CanFrame& frame) {
    // The driver answers with standard 11-bit data frames only: extended, remote
    // and adapter error frames (flag bits 31, 30, 29) are never its replies.
    if (frame.id > 0x7FFu) return;
    if (!(frame.id & kCanReplyFlag)) hv::log_warn("Receive a frame with receive_flag not set");
    const uint32_t cmd = (frame.id >> 5) & 0x3F;
    if (cmd > 31) return;
    const uint8_t* d = frame.data;
    const uint8_t status = d[0];
    switch (cmd) {
    case CanCommand::kDisableMotor:
        if (log_result(status, "kDisableMotor")) emit disable_sucess_signal();
        break;
    case CanCommand::kEnableMotor:
        if (log_result(status, "kEnableMotor")) emit enable_sucess_signal();
        break;
    case CanCommand::kCalibrateMotor:
        if (!log_result(status, "kCalibrateMotor")) hv::log_error("has error, cannot calibrate");
        break;
    case CanCommand::kMotionControl:
        handle_motion_state(frame);
        break;
    case CanCommand::kResetMotor:
        if (log_result(status, "kResetMotor")) emit reset_success_signal();
        break;
    case CanCommand::kSetHome:
        if (log_result(status, "kSetHome")) emit zero_point_signal();
        break;
    case CanCommand::kSetGearRatio:
        hv::log_info("gear ratio: ", uint_to_float(u16_at(d, 0), 0.0f, 50.0f, 16));
        break;
    case CanCommand::kSetId:
        log_result(status, "kSetId");
        break;
    case CanCommand::kSetCanTimeout:
        log_result(status, "kSetCanTimeout");
        break;
    case CanCommand::kSetBandwidth:
        hv::log_info("into kSetBandwidth");
        if (log_result(status, "kSetBandwidth")) emit set_param_success_signal();
        break;
    case CanCommand::kSetLimitCurrent:
        log_result(status, "kSetLimitCurrent");
        break;
    case CanCommand::kSaveConfig:
        log_result(status, "kSaveConfig");
        break;
    case CanCommand::kErrorReset:
        if (log_result(status, "kErrorReset")) emit error_reset_signal();
        break;
    case CanCommand::kWriteAppBackStart:
        if (log_result(status, "kWriteAppBackStart")) emit write_app_back_start_signal();
        break;
    case CanCommand::kWriteAppBack:
        log_result(status, "kWriteAppBack");
        break;
    case CanCommand::kCheckAppBack:
        if (log_result(status, "kCheckAppBack")) {
            emit check_app_back_ok_signal();
        } else {
            emit check_app_back_failed_signal();
        }
        break;
    case CanCommand::kDfuStart:
        if (!log_result(status, "kDfuStart")) emit dfu_start_failed_signal();
        break;
    case CanCommand::kGetFwVersion: {
        DriverVersion version;
        version.prefix = static_cast<float>(u16_at(d, 0));
        version.suffix = static_cast<float>(u16_at(d, 2));
        hv::log_info("Version info:");
        hv::log_info("Version_symbol_prefix:", version.prefix);
        hv::log_info("Version_symbol_suffix:", version.suffix);
        emit driver_version_signal(version);
        break;
    }
    case CanCommand::kGetStatusWord:
        emit error_frame_signal(u16_at(d, 0));
        break;
    case CanCommand::kGetConfig: {
        FirmwareState state;
        state.gear_ratio = uint_to_float(u16_at(d, 0), 0.0f, 50.0f, 16);
        state.can_id = static_cast<float>(d[2]);
        state.can_timeout = static_cast<float>(d[3]);
        state.current_bandwidth = static_cast<float>(u16_at(d, 4));
        state.current_limit = uint_to_float(u16_at(d, 6), 0.0f, 40.0f, 16);
        hv::log_info("Gear ratio: ", state.gear_ratio);
        hv::log_info("CAN id: ", static_cast<unsigned>(d[2]));
        hv::log_info("CAN timeout: ", static_cast<unsigned>(d[3]));
        hv::log_info("current bandwidth: ", u16_at(d, 4));
        hv::log_info("current limit: ", state.current_limit);
        emit motor_firm_state_signal(state);
        break;
    }
    case CanCommand::kStateReport:
        handle_report(frame);
        break;
    default:
        break;
    }
}

void CanReceiver::handle_motion_state(const CanFrame& frame) {
    const CanMotionState m = unpack_motion_state(frame);
    StampedMoitonState sample;
    sample.time = seconds_since_start();
    sample.position = m.position;
    sample.velocity = m.velocity;
    sample.torque = m.torque;
    count_common_state();
    push_motion_state(sample);  // also counts the motion frame

    CommonState state;
    state.voltage = kCommonStateMissing;
    if (m.temp_type == 1) {
        state.motor_temp = m.temperature;
        state.driver_temp = kCommonStateMissing;
    } else {
        state.motor_temp = kCommonStateMissing;
        state.driver_temp = m.temperature;
    }
    emit motor_common_state_signal(state);
}

void CanReceiver::handle_report(const CanFrame& frame) {
    const uint8_t* d = frame.data;
    const uint16_t sub = u16_at(d, 0);
    switch (sub) {
    case 0:
        emit calibration_start_signal();
        break;
    case 1: {
        const uint16_t value = u16_at(d, 2);
        hv::log_info("phase_sequence_signal: ", value);
        emit phase_sequence_signal(value);
        break;
    }
    case 2: {
        const float value = bits_to_float((uint32_t{u16_at(d, 6)} << 16) | u16_at(d, 4));
        hv::log_info("Cogging_mAP: ", value);
        emit calibrate_angle_data_signal(value);
        break;
    }
    case 3: {
        const uint32_t high = uint32_t{u16_at(d, 6)} << 16;
        const int32_t low = static_cast<int16_t>(u16_at(d, 4));
        const int32_t value = static_cast<int32_t>(high + static_cast<uint32_t>(low));
        hv::log_info("Compensation value: ", value);
        emit calibrate_compensation_data_signal(static_cast<float>(value));
        break;
    }
    case 4: {
        const float fraction = static_cast<float>(u16_at(d, 2)) / 65535.0f;
        const double angle = static_cast<double>(fraction) * 6.2831852;
        hv::log_info("Electrical zero position: ", angle);
        break;
    }
    case 5:
        hv::log_info("Calibrate success");
        emit calibration_sucess_signal();
        break;
    case 6:
        handle_check_step(u16_at(d, 2));
        break;
    default:
        if (sub >= 7 && sub <= 18) {
            const float value = bits_to_float((uint32_t{u16_at(d, 4)} << 16) | u16_at(d, 2));
            check_values_[sub - 7] = value;
            hv::log_info(kCheckValueLabels[sub - 7], value);
        }
        break;
    }
}

void CanReceiver::handle_check_step(uint16_t step) {
    hv::log_info("Into param check step: ", step);
    check_pass_ = (step == 0);
    if (step <= 6) check_result_ = check_step_text(step);
    const CheckData data = make_check_data(check_pass_, check_result_, check_values_);
    emit update_csv_files_signal(data);
    emit param_check_signal(step);
}

void CanReceiver::log_receive_data(const CanFrame& frame) {
    hv::log_info(std::hex, "Receive data", "   {cmd:", ((frame.id >> 5) & 0x3F), "}",
                 "   {motor_id:", (frame.id & 0x0F), "}", "   {can DLC:",
                 static_cast<unsigned>(frame.dlc), "}", "   {payload:", frame.to_hex_string(), "}");
}
