#include "can_driver_peer.h"

#include <algorithm>

#include "can_codec.h"
#include "can_frame_maker.h"
#include "wait_until.h"

using K = SimulatedDriver::ReplyKind;

bool CanDriverPeer::wait_for_requests(uint8_t cmd, int count, int timeout_ms) {
    return wait_until([&] { return request_count(cmd) >= count; }, timeout_ms);
}

void CanDriverPeer::start() {
    started_ = true;
    if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
}

void CanDriverPeer::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        started_ = false;
    }
    if (thread_.joinable()) thread_.join();
}

void CanDriverPeer::run() {
    while (started_) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (started_) deliver_due_locked();
        }
        std::this_thread::sleep_until(std::min(driver_.next_due(), Clock::now() + std::chrono::milliseconds(2)));
    }
}

void CanDriverPeer::deliver_due_locked() {
    std::vector<SimulatedDriver::Reply> replies;
    driver_.poll(Clock::now(), replies);
    CanFrame f;
    for (const auto& reply : replies)
        if (encode(reply, f)) deliver_(f);
}

void CanDriverPeer::on_host_frame(const CanFrame& frame) {
    const Request r{frame, static_cast<uint8_t>((frame.id >> 5) & 0x3F), static_cast<uint8_t>(frame.id & 0x0F),
                    Clock::now()};
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(r);
    if (!started_ || (frame.id & kCanReplyFlag) || r.motor_id != motor_id_) return;
    // The request's own answers, then what the driver core has due.
    std::vector<CanFrame> out;
    handle(r, out);
    for (const CanFrame& reply : out) deliver_(reply);
    deliver_due_locked();
}

uint32_t CanDriverPeer::reference_crc32(const QByteArray& bytes) {
    uint32_t reg = 0;
    for (char c : bytes) {
        reg ^= uint32_t(uint8_t(c)) << 24;
        for (int bit = 0; bit < 8; ++bit) reg = (reg & 0x80000000u) ? (reg << 1) ^ 0x04C11DB7u : reg << 1;
    }
    return reg;
}

std::vector<CanDriverPeer::Request> CanDriverPeer::requests(int cmd) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Request> out;
    for (const auto& r : requests_)
        if (cmd < 0 || r.cmd == cmd) out.push_back(r);
    return out;
}

CanFrame CanDriverPeer::reply(uint8_t cmd, uint8_t dlc, const std::vector<uint8_t>& bytes) const {
    return make_can_frame(make_can_id(cmd, motor_id_) | kCanReplyFlag, dlc, bytes);
}

// The CAN frame of a core reply; false for what the CAN protocol lacks.
bool CanDriverPeer::encode(const SimulatedDriver::Reply& r, CanFrame& f) const {
    const auto field = [](float x, float min, float max, int bits) {
        return static_cast<uint32_t>(float_to_uint(x, min, max, static_cast<uint8_t>(bits)));
    };
    const std::pair<K, uint8_t> acks[] = {{K::EnableAck, 2}, {K::DisableAck, 1}, {K::ResetAck, 5},
                                          {K::ZeroPointAck, 6}, {K::ErrorResetAck, 17}};
    for (const auto& a : acks)
        if (a.first == r.kind) return f = reply(a.second, 1), true;
    switch (r.kind) {
        case K::MotionState:
            f = make_motion_reply(motor_id_, field(r.values[0], -40, 40, 20), field(r.values[1], -40, 40, 20),
                                  field(r.values[2], -40, 40, 16), field(35.0f, -20, 200, 7), 1);
            return true;
        case K::Version: {  // prefix and suffix, 16 bits each
            const auto v0 = uint16_t(r.values[0]), v1 = uint16_t(r.values[1]);
            f = reply(CanCommand::kGetFwVersion, 4, {uint8_t(v0 >> 8), uint8_t(v0), uint8_t(v1 >> 8), uint8_t(v1)});
            return true;
        }
        case K::StatusWord:
            f = reply(CanCommand::kGetStatusWord, 2, {uint8_t(r.word >> 8), uint8_t(r.word)});
            return true;
        case K::CalibrationStart:
        case K::CalibrationSuccess:  // report sub-codes 0 and 5
            f = reply(CanCommand::kStateReport, 8, {0, uint8_t(r.kind == K::CalibrationStart ? 0 : 5)});
            return true;
        case K::FirmwareParams: {  // gear ratio, id, timeout, bandwidth, current limit
            const auto gear = field(r.values[0], 0, 50, 16), current = field(r.values[4], 0, 40, 16);
            const auto bandwidth = uint16_t(r.values[2]);
            f = reply(CanCommand::kGetConfig, 8,
                      {uint8_t(gear >> 8), uint8_t(gear), uint8_t(r.values[1]), uint8_t(r.values[3]),
                       uint8_t(bandwidth >> 8), uint8_t(bandwidth), uint8_t(current >> 8), uint8_t(current)});
            return true;
        }
        default:
            return false;
    }
}

void CanDriverPeer::handle(const Request& r, std::vector<CanFrame>& out) {
    const uint8_t* b = r.frame.data;
    auto status = [&](uint8_t cmd, bool ok) { out.push_back(reply(cmd, 1, {uint8_t(ok ? 0 : 1)})); };
    auto answer = [&](uint8_t cmd, int step, bool ok) {
        if (answers_[step] != Answer::Silent) status(cmd, ok && answers_[step] == Answer::Ack);
    };
    switch (r.cmd) {
        case CanCommand::kDisableMotor: driver_.disable(); break;
        case CanCommand::kCalibrateMotor:
            if (calibration_answer_ != Answer::Silent) status(r.cmd, true), driver_.start_calibration();
            break;
        case CanCommand::kEnableMotor: driver_.enable(); break;
        case CanCommand::kMotionControl: {
            const auto raw = motion_command_fields(b);
            auto value = [&](int k, float min, float max, int bits) {
                return uint_to_float(static_cast<int32_t>(raw[k]), min, max, static_cast<uint8_t>(bits));
            };
            driver_.motion_target(value(0, -40, 40, 16), value(1, -40, 40, 14), value(2, -40, 40, 16),
                                  value(3, 0, 1023, 10), value(4, 0, 51, 8));
            break;
        }
        case CanCommand::kResetMotor: driver_.reset(); break;
        case CanCommand::kSetHome: driver_.set_zero_point(); break;
        case CanCommand::kErrorReset: driver_.clear_error(); break;
        case CanCommand::kWriteAppBackStart: image_.clear(), answer(r.cmd, 0, true); break;
        case CanCommand::kWriteAppBack: image_.append(reinterpret_cast<const char*>(b), 8), status(r.cmd, true); break;
        case CanCommand::kCheckAppBack: {
            auto u32 = [&](int k) { return uint32_t{b[k]} << 24 | b[k + 1] << 16 | b[k + 2] << 8 | b[k + 3]; };
            answer(r.cmd, 1, u32(0) == uint32_t(image_.size()) && u32(4) == reference_crc32(image_));
            break;
        }
        case CanCommand::kDfuStart: answer(r.cmd, 2, true); break;
        case CanCommand::kGetFwVersion: driver_.request_version(); break;
        case CanCommand::kGetStatusWord: driver_.request_status(); break;
        case CanCommand::kGetConfig: driver_.request_params(); break;
        default: break;
    }
}
