#include "can_sender.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ios>
#include <thread>

#include "console_log.h"

namespace {

// Truncates toward zero; NaN and values beyond the 64-bit range give 0 instead of
// an undefined conversion.
int64_t truncate_to_integer(float x) {
    if (!std::isfinite(x) || std::fabs(x) >= 9.2e18f) return 0;
    return static_cast<int64_t>(x);
}

}  // namespace

CanSender::CanSender(std::shared_ptr<CanInterface> link) : QObject(nullptr), link_(std::move(link)) {}

CanSender::~CanSender() {
    hv::log_info("Destruct CanSender");
    link_.reset();
}

bool CanSender::write(CanFrame& frame) {
    int result = link_ ? link_->send(frame) : -1;
    if (result < 0 && link_ && link_->bus_silent()) result = link_->send(frame);
    report_failed_write(result);
    return result >= 0;
}

void CanSender::report_failed_write(int result) {
    uint64_t held_back = 0;
    if (result < 0 && write_failure_log_.allow(held_back)) {
        if (held_back == 0)
            hv::log_error("CAN write failed return: ", result);
        else
            hv::log_error("CAN write failed return: ", result, " (", held_back, " more failed writes)");
    }
}

bool CanSender::send_empty(uint8_t cmd) {
    CanFrame frame;
    frame.id = make_can_id(cmd, can_id_.load());
    frame.dlc = 0;
    return write(frame);
}

void CanSender::send_u16(uint8_t cmd, uint16_t value) {
    CanFrame frame;
    frame.id = make_can_id(cmd, can_id_.load());
    frame.dlc = 2;
    frame.data[0] = static_cast<uint8_t>(value >> 8);
    frame.data[1] = static_cast<uint8_t>(value & 0xFF);
    write(frame);
}

void CanSender::disable_motor() {
    hv::log_info("CAN diable motor");
    send_empty(CanCommand::kDisableMotor);
}

void CanSender::enable_motor() {
    hv::log_info("CAN enable motor");
    send_empty(CanCommand::kEnableMotor);
}

void CanSender::calibrate_motor() {
    hv::log_info("CAN calibrate motor");
    send_empty(CanCommand::kCalibrateMotor);
}

void CanSender::send_motion_command(const float targets[5]) {
    CanFrame frame;
    if (!pack_motion_command(frame.data, targets)) {
        hv::log_warn("CAN motion command with a NaN target not sent");
        return;
    }
    frame.id = make_can_id(CanCommand::kMotionControl, can_id_.load());
    frame.dlc = 8;
    const bool zero_target = std::all_of(targets, targets + 5, [](float t) { return t == 0.0f; });
    if (zero_target) {
        write(frame);
        return;
    }
    // Never tried again: by then the target is stale, and a write that timed out
    // has found the bus silent anyway.
    const int result = link_ ? link_->send_while_bus_answers(frame) : -1;
    uint64_t held_back = 0;
    if (result == 0 && skipped_motion_log_.allow(held_back))
        hv::log_warn("CAN bus does not answer: motion target not sent (", held_back + 1,
                     " skipped since the last report)");
    report_failed_write(result);
}

void CanSender::reset_motor() {
    hv::log_info("CAN reset motor");
    send_empty(CanCommand::kResetMotor);
}

void CanSender::save_zero_point() {
    hv::log_info("CAN save zero point");
    send_empty(CanCommand::kSetHome);
}

void CanSender::set_gear_ratio(float gear_ratio) {
    hv::log_info("CAN set gear ratio");
    if (std::isnan(gear_ratio)) {
        hv::log_warn("CAN gear ratio is not a number, not sent");
        return;
    }
    send_u16(CanCommand::kSetGearRatio,
             static_cast<uint16_t>(float_to_uint(gear_ratio, 0.0f, 50.0f, 16) & 0xFFFF));
}

void CanSender::set_id(uint8_t id) {
    hv::log_info("CAN set id");
    CanFrame frame;
    frame.id = make_can_id(CanCommand::kSetId, can_id_.load());
    frame.dlc = 1;
    frame.data[0] = id;
    write(frame);
}

void CanSender::set_can_timeout(uint8_t timeout) {
    hv::log_info("CAN set can timeout point");
    CanFrame frame;
    frame.id = make_can_id(CanCommand::kSetCanTimeout, can_id_.load());
    frame.dlc = 1;
    frame.data[0] = timeout;
    write(frame);
}

void CanSender::set_bandwidth(uint16_t bandwidth) {
    hv::log_info("CAN set bandwidth point");
    send_u16(CanCommand::kSetBandwidth, bandwidth);
}

void CanSender::set_limit_current(float current) {
    hv::log_info("CAN set limit current");
    if (std::isnan(current)) {
        hv::log_warn("CAN current limit is not a number, not sent");
        return;
    }
    send_u16(CanCommand::kSetLimitCurrent,
             static_cast<uint16_t>(float_to_uint(current, 0.0f, 40.0f, 16) & 0xFFFF));
}

void CanSender::save_config() {
    hv::log_info("CAN save config");
    send_empty(CanCommand::kSaveConfig);
}

void CanSender::clear_error() {
    hv::log_info("CAN clear error");
    send_empty(CanCommand::kErrorReset);
}

void CanSender::write_app_back_start() {
    hv::log_info("Write app back start");
    send_empty(CanCommand::kWriteAppBackStart);
}

bool CanSender::write_app_back(const uint8_t bytes[8]) {
    hv::log_info("Write app back");
    CanFrame frame;
    frame.id = make_can_id(CanCommand::kWriteAppBack, can_id_.load());
    frame.dlc = 8;
    frame.set_data(bytes);
    const int result = link_ ? link_->send_while_bus_answers(frame) : -1;
    report_failed_write(result);
    return result > 0;
}

void CanSender::check_app_back(uint32_t size, uint32_t crc32) {
    hv::log_info("CAN check app back");
    hv::log_info("size: ", std::hex, size, " crc32: ", crc32);
    CanFrame frame;
    frame.id = make_can_id(CanCommand::kCheckAppBack, can_id_.load());
    frame.dlc = 8;
    for (int i = 0; i < 4; ++i) {
        frame.data[i] = static_cast<uint8_t>(size >> (24 - 8 * i));
        frame.data[4 + i] = static_cast<uint8_t>(crc32 >> (24 - 8 * i));
    }
    write(frame);
}

bool CanSender::dfu_start() {
    hv::log_info("CAN dfu start");
    return send_empty(CanCommand::kDfuStart);
}

void CanSender::get_fw_version() {
    hv::log_info("CAN kGetFwVersion");
    send_empty(CanCommand::kGetFwVersion);
}

void CanSender::get_firmware_version() {
    hv::log_info("CAN get firmware version");
    send_empty(CanCommand::kGetFwVersion);
}

void CanSender::get_status_word() {
    hv::log_info("CAN get status word");
    send_empty(CanCommand::kGetStatusWord);
}

void CanSender::get_config() {
    hv::log_info("CAN get config");
    send_empty(CanCommand::kGetConfig);
}

bool CanSender::write_firmware_param(const FirmwareParams& p, const ParamWriteStep& step) {
    using ms = std::chrono::milliseconds;
    hv::log_info("CAN write firmware param");
    const auto id = static_cast<uint8_t>(truncate_to_integer(p.can_id) & 0xFF);
    const auto timeout = static_cast<uint8_t>(truncate_to_integer(p.can_timeout) & 0xFF);
    const auto bandwidth = static_cast<uint16_t>(truncate_to_integer(p.current_bandwidth) & 0xFFFF);
    return step(ms(0), [&] { set_limit_current(p.current_limit); }) &&
           step(ms(200), [&] { set_gear_ratio(p.gear_ratio); }) && step(ms(200), [&] { set_id(id); }) &&
           step(ms(200), [&] { set_can_timeout(timeout); }) && step(ms(200), [&] { set_bandwidth(bandwidth); }) &&
           step(ms(1000), [this] { get_config(); });
}

void CanSender::log_send_data(const CanFrame& frame) {
    hv::log_info(std::hex, "Send data", "   {can ID:", frame.id, "}", "   {can cmd:",
                 ((frame.id >> 5) & 63), "}", "   {motor_id: ", (frame.id & 15), "}",
                 "   {can DLC:", static_cast<unsigned>(frame.dlc), "}", "   {payload:",
                 frame.to_hex_string(), "}");
}
