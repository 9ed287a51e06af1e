#include "can_driver_peer.h"

#include <QTest>
#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

using K = SimulatedDriver::ReplyKind;

uint32_t to_field(float x, float min, float max, int bits) {
    const double top = std::ldexp(1.0, bits) - 1.0;
    double v = (static_cast<double>(x) - min) / (max - min) * top;
    v = std::min(std::max(v, 0.0), top);
    return static_cast<uint32_t>(std::lround(v));
}

float from_field(uint32_t raw, float min, float max, int bits) {
    return static_cast<float>(min + (max - min) * raw / (std::ldexp(1.0, bits) - 1.0));
}

uint32_t float_bits(float f) {
    uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
}

void put_u16(CanFrame& f, int k, uint32_t v) {
    f.data[k] = static_cast<uint8_t>((v >> 8) & 0xFF);
    f.data[k + 1] = static_cast<uint8_t>(v & 0xFF);
}

uint16_t get_u16(const CanFrame& f, int k) { return static_cast<uint16_t>((f.data[k] << 8) | f.data[k + 1]); }

CanFrame reply_frame(uint8_t cmd, uint8_t motor_id, uint8_t dlc) {
    CanFrame f;
    f.id = (uint32_t{cmd} << 5) | 0x10u | (motor_id & 0x0Fu);
    f.dlc = dlc;
    return f;
}

CanFrame report_frame(uint16_t sub, uint8_t motor_id) {
    CanFrame f = reply_frame(31, motor_id, 8);
    put_u16(f, 0, sub);
    return f;
}

}  // namespace

CanDriverPeer::CanDriverPeer(Deliver deliver, std::shared_ptr<SimulatedDriver> driver)
    : deliver_(std::move(deliver)), driver_(std::move(driver)) {}

CanDriverPeer::~CanDriverPeer() { stop(); }

void CanDriverPeer::start() {
    if (thread_.joinable()) return;
    stop_ = false;
    thread_ = std::thread([this] { run(); });
}

void CanDriverPeer::stop() {
    stop_ = true;
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void CanDriverPeer::on_host_frame(const CanFrame& frame) {
    Request r;
    r.frame = frame;
    r.cmd = static_cast<uint8_t>((frame.id >> 5) & 0x3F);
    r.motor_id = static_cast<uint8_t>(frame.id & 0x0F);
    r.at = Clock::now();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(r);
        inbox_.push_back(r);
    }
    wake_.notify_all();
}

std::vector<CanDriverPeer::Request> CanDriverPeer::requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::vector<CanDriverPeer::Request> CanDriverPeer::requests(uint8_t cmd) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Request> out;
    for (const auto& r : requests_)
        if (r.cmd == cmd) out.push_back(r);
    return out;
}

int CanDriverPeer::request_count(uint8_t cmd) { return static_cast<int>(requests(cmd).size()); }

void CanDriverPeer::clear_requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
}

bool CanDriverPeer::wait_for_requests(uint8_t cmd, int count, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (request_count(cmd) < count) {
        if (Clock::now() >= deadline) return false;
        QTest::qWait(2);
    }
    return true;
}

QByteArray CanDriverPeer::image() {
    std::lock_guard<std::mutex> lock(mutex_);
    return image_;
}

int CanDriverPeer::dfu_count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return dfu_count_;
}

namespace {

// Bit by bit, independent of the tool's table.
uint32_t reference_crc32(const QByteArray& bytes) {
    uint32_t reg = 0;
    for (char c : bytes) {
        reg ^= static_cast<uint32_t>(static_cast<uint8_t>(c)) << 24;
        for (int bit = 0; bit < 8; ++bit) reg = (reg & 0x80000000u) ? (reg << 1) ^ 0x04C11DB7u : (reg << 1);
    }
    return reg;
}

}  // namespace

CanFrame CanDriverPeer::status_reply(uint8_t cmd, uint8_t status) const {
    CanFrame f = reply_frame(cmd, motor_id_, 1);
    f.data[0] = status;
    return f;
}

bool CanDriverPeer::encode_reply(const SimulatedDriver::Reply& r, CanFrame& f) const {
    const uint8_t motor_id = motor_id_;
    const float temperature = 35.0f;  // reported as the motor's
    auto ack = [&](uint8_t cmd) {
        f = reply_frame(cmd, motor_id, 1);
        f.data[0] = 0;
        return true;
    };
    switch (r.kind) {
        case K::EnableAck: return ack(2);
        case K::DisableAck: return ack(1);
        case K::ResetAck: return ack(5);
        case K::ZeroPointAck: return ack(6);
        case K::ErrorResetAck: return ack(17);
        case K::SetParamAck: return ack(10);
        case K::CalibrationStart: f = report_frame(0, motor_id); return true;
        case K::CalibrationSuccess: f = report_frame(5, motor_id); return true;
        case K::PhaseSequence:
            f = report_frame(1, motor_id);
            put_u16(f, 2, static_cast<uint32_t>(std::lround(r.values[0])) & 0xFFFF);
            return true;
        case K::CoggingMapValue: {
            f = report_frame(2, motor_id);
            const uint32_t bits = float_bits(r.values[0]);
            put_u16(f, 4, bits & 0xFFFF);
            put_u16(f, 6, bits >> 16);
            return true;
        }
        case K::CompensationValue: {
            f = report_frame(3, motor_id);
            const int32_t v = static_cast<int32_t>(std::lround(r.values[0]));
            const int16_t low = static_cast<int16_t>(static_cast<uint32_t>(v) & 0xFFFF);
            const uint32_t high = static_cast<uint32_t>(v - low) >> 16;
            put_u16(f, 4, static_cast<uint16_t>(low));
            put_u16(f, 6, high & 0xFFFF);
            return true;
        }
        case K::CheckValue: {
            f = report_frame(static_cast<uint16_t>(7 + r.index), motor_id);
            const uint32_t bits = float_bits(r.values[0]);
            put_u16(f, 2, bits & 0xFFFF);
            put_u16(f, 4, bits >> 16);
            return true;
        }
        case K::CheckStep:
            f = report_frame(6, motor_id);
            put_u16(f, 2, r.word & 0xFFFF);
            return true;
        case K::MotionState: {
            f = reply_frame(4, motor_id, 8);
            const uint32_t p = to_field(r.values[0], -40.0f, 40.0f, 20);
            const uint32_t v = to_field(r.values[1], -40.0f, 40.0f, 20);
            const uint32_t t = to_field(r.values[2], -40.0f, 40.0f, 16);
            const uint32_t temp = to_field(temperature, -20.0f, 200.0f, 7);
            f.data[0] = p & 0xFF;
            f.data[1] = (p >> 8) & 0xFF;
            f.data[2] = static_cast<uint8_t>(((p >> 16) & 0x0F) | ((v & 0x0F) << 4));
            f.data[3] = (v >> 4) & 0xFF;
            f.data[4] = (v >> 12) & 0xFF;
            f.data[5] = t & 0xFF;
            f.data[6] = (t >> 8) & 0xFF;
            f.data[7] = static_cast<uint8_t>((temp << 1) | 1);
            return true;
        }
        case K::FirmwareParams: {
            f = reply_frame(24, motor_id, 8);
            put_u16(f, 0, to_field(r.values[0], 0.0f, 50.0f, 16));
            f.data[2] = static_cast<uint8_t>(std::lround(r.values[1]));
            f.data[3] = static_cast<uint8_t>(std::lround(r.values[3]));
            put_u16(f, 4, static_cast<uint32_t>(std::lround(r.values[2])) & 0xFFFF);
            put_u16(f, 6, to_field(r.values[4], 0.0f, 40.0f, 16));
            return true;
        }
        case K::Version:
            f = reply_frame(22, motor_id, 4);
            put_u16(f, 0, static_cast<uint32_t>(std::lround(r.values[0])) & 0xFFFF);
            put_u16(f, 2, static_cast<uint32_t>(std::lround(r.values[1])) & 0xFFFF);
            return true;
        case K::StatusWord:
            f = reply_frame(23, motor_id, 2);
            put_u16(f, 0, r.word & 0xFFFF);
            return true;
        case K::MotionParamAck:
        case K::CommonState:
            return false;  // not part of the CAN protocol
    }
    return false;
}

void CanDriverPeer::handle(const Request& r, std::vector<CanFrame>& out) {
    if (r.frame.id & 0x10u) return;           // another driver's reply
    if (r.motor_id != motor_id_) return;      // addressed to someone else
    SimulatedDriver& d = *driver_;
    const CanFrame& f = r.frame;
    switch (r.cmd) {
        case 1: d.disable(); break;
        case 2: d.enable(); break;
        case 3:
            if (d.error_bits() != 0) {
                out.push_back(status_reply(3, 1));
            } else {
                out.push_back(status_reply(3, 0));
                d.start_calibration();
            }
            break;
        case 4: {
            const uint32_t p = f.data[0] | (f.data[1] << 8);
            const uint32_t v = f.data[2] | ((f.data[3] & 0x3F) << 8);
            const uint32_t kp = (f.data[3] >> 6) | (f.data[4] << 2);
            const uint32_t kd = f.data[5];
            const uint32_t t = f.data[6] | (f.data[7] << 8);
            d.motion_target(from_field(p, -40, 40, 16), from_field(v, -40, 40, 14), from_field(t, -40, 40, 16),
                            from_field(kp, 0, 1023, 10), from_field(kd, 0, 51, 8));
            break;
        }
        case 5: d.reset(); break;
        case 6: d.set_zero_point(); break;
        case 7: {
            auto p = d.params();
            p[0] = from_field(get_u16(f, 0), 0.0f, 50.0f, 16);
            d.set_params(p);
            CanFrame echo = reply_frame(7, motor_id_, 2);
            put_u16(echo, 0, get_u16(f, 0));
            out.push_back(echo);
            break;
        }
        case 8: {
            auto p = d.params();
            p[1] = f.data[0];
            d.set_params(p);
            out.push_back(status_reply(8, 0));
            break;
        }
        case 9: {
            auto p = d.params();
            p[3] = f.data[0];
            d.set_params(p);
            out.push_back(status_reply(9, 0));
            break;
        }
        case 10: {
            auto p = d.params();
            p[2] = get_u16(f, 0);
            d.write_params(p);  // acknowledges with reply 10, then reports the parameters
            break;
        }
        case 11: {
            auto p = d.params();
            p[4] = from_field(get_u16(f, 0), 0.0f, 40.0f, 16);
            d.set_params(p);
            out.push_back(status_reply(11, 0));
            break;
        }
        case 16:
            d.flash_params();
            out.push_back(status_reply(16, 0));
            break;
        case 17: d.clear_error(); break;
        case 18: {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                image_.clear();
            }
            const Answer a = start_answer_;
            if (a != Answer::Silent) out.push_back(status_reply(18, a == Answer::Ack ? 0 : 1));
            break;
        }
        case 19: {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                image_.append(reinterpret_cast<const char*>(f.data), 8);
            }
            out.push_back(status_reply(19, 0));
            break;
        }
        case 20: {
            auto u32 = [&](int k) { return uint32_t{f.data[k]} << 24 | f.data[k + 1] << 16 | f.data[k + 2] << 8 | f.data[k + 3]; };
            bool matches;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                matches = u32(0) == static_cast<uint32_t>(image_.size()) && u32(4) == reference_crc32(image_);
            }
            const Answer a = check_answer_;
            if (a != Answer::Silent) out.push_back(status_reply(20, a == Answer::Ack && matches ? 0 : 1));
            break;
        }
        case 21: {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                ++dfu_count_;
            }
            if (dfu_answer_ != Answer::Silent) out.push_back(status_reply(21, dfu_answer_ == Answer::Ack ? 0 : 1));
            break;
        }
        case 22: d.request_version(); break;
        case 23: d.request_status(); break;
        case 24: d.request_params(); break;
        default: break;
    }
}

void CanDriverPeer::run() {
    std::vector<SimulatedDriver::Reply> replies;
    std::vector<CanFrame> out;
    while (!stop_) {
        std::deque<Request> inbox;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            inbox.swap(inbox_);
        }
        auto drain_core = [&] {
            replies.clear();
            driver_->poll(Clock::now(), replies);
            for (const auto& r : replies) {
                CanFrame f;
                if (encode_reply(r, f)) out.push_back(f);
            }
        };
        // Each request's replies follow it before the next request is looked at.
        for (const Request& r : inbox) {
            handle(r, out);
            drain_core();
        }
        drain_core();
        for (const CanFrame& f : out) deliver_(f);
        out.clear();

        std::unique_lock<std::mutex> lock(mutex_);
        const auto next = driver_->next_due();
        const auto wake = Clock::now() + std::chrono::microseconds(500);
        wake_.wait_until(lock, next < wake ? next : wake,
                         [this] { return stop_.load() || !inbox_.empty(); });
    }
}
