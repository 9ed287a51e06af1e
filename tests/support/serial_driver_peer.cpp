#include "serial_driver_peer.h"

#include <cstring>

#include "serial_frame.h"
#include "wait_until.h"

namespace {
using K = SimulatedDriver::ReplyKind;

QByteArray encode(const SimulatedDriver::Reply& r) {
    const float* v = r.values.data();
    float word;
    std::memcpy(&word, &r.word, 4);
    switch (r.kind) {
        case K::EnableAck: return build_serial_frame(1);
        case K::DisableAck: return build_serial_frame(7);
        case K::ResetAck: return build_serial_frame(18);
        case K::ZeroPointAck: return build_serial_frame(8);
        case K::ErrorResetAck: return build_serial_frame(32);
        case K::SetParamAck: return build_serial_frame(34);
        case K::MotionParamAck: return build_serial_frame(21);
        case K::CalibrationStart: return build_serial_frame(5);
        case K::CalibrationSuccess: return build_serial_frame(6);
        case K::PhaseSequence: return build_serial_frame(9, v, 1);
        case K::CoggingMapValue: return build_serial_frame(16, v, 3);
        case K::CompensationValue: return build_serial_frame(17, v, 1);
        case K::CheckValue: return build_serial_frame(static_cast<uint8_t>(37 + r.index), v, 1);
        case K::CheckStep: return build_serial_frame(36, &word, 1);
        case K::MotionState: return build_serial_frame(2, v, 3);
        case K::CommonState: return build_serial_frame(4, v, 3);
        case K::FirmwareParams: return build_serial_frame(3, v, 5);
        case K::Version: return build_serial_frame(19, v, 5);
        case K::StatusWord: return build_serial_frame(33, &word, 1);
    }
    return {};
}
}  // namespace

bool SerialDriverPeer::start() {
    stop();
    pty_ = std::make_unique<PtyPeer>();
    if (!pty_->open()) return false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        slave_path_ = pty_->slave_path();
    }
    rx_.clear();
    stop_ = false;
    thread_ = std::thread([this] { run(); });
    return true;
}

void SerialDriverPeer::stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

void SerialDriverPeer::unplug() {
    stop();
    if (pty_) pty_->close_master();
}

std::string SerialDriverPeer::slave_path() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return slave_path_;
}

void SerialDriverPeer::send_bytes(const QByteArray& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    outgoing_.append(bytes);
}

void SerialDriverPeer::send_frame(uint8_t cmd, const std::vector<float>& values) {
    send_bytes(build_serial_frame(cmd, values.data(), static_cast<int>(values.size())));
}

void SerialDriverPeer::send_odd_head(uint32_t length, uint8_t then_cmd) {
    QByteArray bytes = QByteArray::fromHex("FF318A2301") + QByteArray(4, '\0') + QByteArray(1, '\0');
    std::memcpy(bytes.data() + 5, &length, 4);  // little-endian host
    bytes += build_serial_frame(then_cmd);
    uint8_t sum = 0;
    for (uint32_t i = 0; i + 1 < length && i < static_cast<uint32_t>(bytes.size()); ++i)
        sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(bytes[static_cast<int>(i)]));
    bytes[9] = static_cast<char>(-sum);
    send_bytes(bytes);
}

void SerialDriverPeer::run() {
    std::vector<SimulatedDriver::Reply> replies;
    while (!stop_) {
        const QByteArray in = pty_->read_available();
        if (!in.isEmpty()) {
            std::lock_guard<std::mutex> lock(mutex_);
            raw_.append(in);
        }
        rx_.append(in);
        take_requests();
        QByteArray out;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            out.swap(outgoing_);
        }
        replies.clear();
        driver_->poll(Clock::now(), replies);
        for (const auto& r : replies) out.append(encode(r));
        // A line nobody reads fills up; the bytes are lost as on a real wire.
        if (!out.isEmpty()) pty_->write(out);
        std::this_thread::sleep_until(std::min(driver_->next_due(), Clock::now() + std::chrono::microseconds(250)));
    }
}

// The driver's own parser: resynchronises on the next FF, takes frames whose sum is right.
void SerialDriverPeer::take_requests() {
    for (int at; (at = rx_.indexOf('\xFF')) >= 0;) {
        rx_.remove(0, at);
        if (rx_.size() < 10) return;
        SerialFrame frame;
        uint32_t length;
        std::memcpy(&length, rx_.constData() + 5, 4);
        const bool head = rx_.startsWith(QByteArray::fromHex("FF318A23")) && is_serial_frame_length(length);
        if (head && static_cast<uint32_t>(rx_.size()) < length) return;
        const QByteArray bytes = rx_.left(head ? static_cast<int>(length) : 0);
        const auto* p = reinterpret_cast<const uint8_t*>(bytes.constData());
        if (!head || byte_sum_checksum(p, static_cast<uint8_t>(length)) != p[length - 1] ||
            !decode_serial_frame(bytes, frame)) {
            rx_.remove(0, 1);
            continue;
        }
        rx_.remove(0, bytes.size());
        const Request request{bytes, frame.cmd, frame.payload, Clock::now()};
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(request);
        }
        handle(request);
    }
    rx_.clear();
}

void SerialDriverPeer::handle(const Request& r) {
    SimulatedDriver& d = *driver_;
    const auto& v = r.values;
    switch (r.cmd) {
        case 16: if (v.size() == 5) d.motion_target(v[0], v[1], v[2], v[3], v[4]); break;
        case 17: if (v.size() == 5) d.write_params({v[0], v[1], v[2], v[3], v[4]}); break;
        case 18: d.enable(); break;
        case 19: d.disable(); break;
        case 20: d.reset(); break;
        case 21: d.start_calibration(); break;
        case 22: d.set_zero_point(); break;
        case 23: d.flash_params(); break;
        case 24: d.request_params(); break;
        case 25: d.request_version(); break;
        case 32: d.clear_error(); break;
        case 33: d.request_status(); break;
        default: break;  // unknown requests are recorded but not answered
    }
}

std::vector<SerialDriverPeer::Request> SerialDriverPeer::requests(int cmd) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Request> out;
    for (const auto& r : requests_)
        if (cmd < 0 || r.cmd == cmd) out.push_back(r);
    return out;
}

QByteArray SerialDriverPeer::raw_received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return raw_;
}

void SerialDriverPeer::clear_received() {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
    raw_.clear();
}

bool SerialDriverPeer::wait_for_requests(uint8_t cmd, int count, int timeout_ms) {
    return wait_until([&] { return request_count(cmd) >= count; }, timeout_ms);
}

bool SerialDriverPeer::wait_for_raw(int count, int timeout_ms) {
    return wait_until([&] { return raw_received().size() >= count; }, timeout_ms);
}
