#include "can_driver_peer.h"

#include "can_codec.h"
#include "can_frame_maker.h"
#include "crc32.h"
#include "wait_until.h"

using K = SimulatedDriver::ReplyKind;

bool CanDriverPeer::wait_for_requests(uint8_t cmd, int count, int timeout_ms) {
    return wait_until([&] { return request_count(cmd) >= count; }, timeout_ms);
}

void CanDriverPeer::on_host_frame(const CanFrame& frame) {
    const Request r{frame, static_cast<uint8_t>((frame.id >> 5) & 0x3F), static_cast<uint8_t>(frame.id & 0x0F)};
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(r);
    if (!started_ || (frame.id & kCanReplyFlag) || r.motor_id != motor_id_) return;
    // The request's own answers, then what the driver core has due.
    std::vector<CanFrame> out;
    handle(r, out);
    std::vector<SimulatedDriver::Reply> replies;
    driver_.poll(SimulatedDriver::Clock::now(), replies);
    CanFrame f;
    for (const auto& reply : replies)
        if (encode(reply, f)) out.push_back(f);
    for (const CanFrame& reply : out) deliver_(reply);
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
            const auto* bytes = reinterpret_cast<const uint8_t*>(image_.constData());
            answer(r.cmd, 1, u32(0) == uint32_t(image_.size()) && u32(4) == crc32_calculate(bytes, image_.size()));
            break;
        }
        case CanCommand::kDfuStart: answer(r.cmd, 2, true); break;
        case CanCommand::kGetFwVersion: driver_.request_version(); break;
        case CanCommand::kGetStatusWord: driver_.request_status(); break;
        default: break;
    }
}
