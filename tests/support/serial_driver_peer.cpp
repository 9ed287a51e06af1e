#include "serial_driver_peer.h"

#include <QTest>
#include <cstring>

#include "serial_frame.h"

namespace {

float bits_as_float(uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, sizeof(f));
    return f;
}

uint32_t read_u32(const char* p) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(p[i]);
    return v;
}

}  // namespace

SerialDriverPeer::SerialDriverPeer(std::shared_ptr<SimulatedDriver> driver) : driver_(std::move(driver)) {}

SerialDriverPeer::~SerialDriverPeer() { stop(); }

bool SerialDriverPeer::start() {
    stop();
    pty_ = std::make_unique<PtyPeer>();
    if (!pty_->open()) return false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        slave_path_ = pty_->slave_path();
        rx_.clear();
    }
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
    outgoing_.push_back(bytes);
}

void SerialDriverPeer::send_frame(uint8_t cmd, const std::vector<float>& values) {
    send_bytes(build_serial_frame(cmd, values.data(), static_cast<int>(values.size())));
}

QByteArray SerialDriverPeer::encode_reply(const SimulatedDriver::Reply& r) {
    using K = SimulatedDriver::ReplyKind;
    const float* v = r.values.data();
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
        case K::CheckStep: {
            const float step = bits_as_float(r.word);
            return build_serial_frame(36, &step, 1);
        }
        case K::MotionState: return build_serial_frame(2, v, 3);
        case K::CommonState: return build_serial_frame(4, v, 3);
        case K::FirmwareParams: return build_serial_frame(3, v, 5);
        case K::Version: return build_serial_frame(19, v, 5);
        case K::StatusWord: {
            const float word = bits_as_float(r.word);
            return build_serial_frame(33, &word, 1);
        }
    }
    return {};
}

void SerialDriverPeer::run() {
    std::vector<SimulatedDriver::Reply> replies;
    while (!stop_) {
        const QByteArray in = pty_->read_available();
        if (!in.isEmpty()) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                raw_.append(in);
            }
            rx_.append(in);
            parse_requests();
        }
        QByteArray out;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (const QByteArray& b : outgoing_) out.append(b);
            outgoing_.clear();
        }
        replies.clear();
        driver_->poll(Clock::now(), replies);
        for (const auto& r : replies) out.append(encode_reply(r));
        // A line nobody reads fills up; the bytes are lost as on a real wire.
        if (!out.isEmpty() && pty_->write(out)) bytes_sent_ += static_cast<uint64_t>(out.size());
        const auto next = driver_->next_due();
        const auto wake = Clock::now() + std::chrono::microseconds(250);
        std::this_thread::sleep_until(next < wake ? next : wake);
    }
}

void SerialDriverPeer::parse_requests() {
    for (;;) {
        const int start = rx_.indexOf(static_cast<char>(0xFF));
        if (start < 0) {
            rx_.clear();
            return;
        }
        if (start > 0) rx_.remove(0, start);
        if (rx_.size() < 10) return;
        if (static_cast<uint8_t>(rx_[1]) != 0x31 || static_cast<uint8_t>(rx_[2]) != 0x8A ||
            static_cast<uint8_t>(rx_[3]) != 0x23) {
            rx_.remove(0, 1);
            continue;
        }
        const uint32_t length = read_u32(rx_.constData() + 5);
        if (!is_serial_frame_length(length)) {
            rx_.remove(0, 1);
            continue;
        }
        if (static_cast<uint32_t>(rx_.size()) < length) return;
        const QByteArray bytes = rx_.left(static_cast<int>(length));
        const auto* p = reinterpret_cast<const uint8_t*>(bytes.constData());
        if (byte_sum_checksum(p, static_cast<uint8_t>(length)) != p[length - 1]) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                ++bad_frames_;
            }
            rx_.remove(0, 4);
            continue;
        }
        rx_.remove(0, static_cast<int>(length));
        SerialFrame frame;
        decode_serial_frame(bytes, frame);
        Request request;
        request.bytes = bytes;
        request.cmd = frame.cmd;
        request.values = frame.payload;
        request.at = Clock::now();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(request);
        }
        handle_request(request);
    }
}

void SerialDriverPeer::handle_request(const Request& r) {
    SimulatedDriver& d = *driver_;
    const bool five = r.values.size() == 5;
    switch (r.cmd) {
        case 16:
            if (five) d.motion_target(r.values[0], r.values[1], r.values[2], r.values[3], r.values[4]);
            break;
        case 17:
            if (five) d.write_params({r.values[0], r.values[1], r.values[2], r.values[3], r.values[4]});
            break;
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

std::vector<SerialDriverPeer::Request> SerialDriverPeer::requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::vector<SerialDriverPeer::Request> SerialDriverPeer::requests(uint8_t cmd) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Request> out;
    for (const auto& r : requests_)
        if (r.cmd == cmd) out.push_back(r);
    return out;
}

int SerialDriverPeer::request_count(uint8_t cmd) {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (const auto& r : requests_)
        if (r.cmd == cmd) ++n;
    return n;
}

QByteArray SerialDriverPeer::raw_received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return raw_;
}

int SerialDriverPeer::bad_frame_count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return bad_frames_;
}

void SerialDriverPeer::clear_received() {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
    raw_.clear();
    bad_frames_ = 0;
}

uint64_t SerialDriverPeer::bytes_sent() { return bytes_sent_; }

bool SerialDriverPeer::wait_for_requests(uint8_t cmd, int count, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (request_count(cmd) < count) {
        if (Clock::now() >= deadline) return false;
        QTest::qWait(2);
    }
    return true;
}

bool SerialDriverPeer::wait_for_raw(int count, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (raw_received().size() < count) {
        if (Clock::now() >= deadline) return false;
        QTest::qWait(2);
    }
    return true;
}
