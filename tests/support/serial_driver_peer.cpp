#include "serial_driver_peer.h"

#include <cstring>
#include <utility>

#include "serial_frame_buffer.h"
#include "wait_until.h"

namespace {
// Serial command and number of values of each reply, in ReplyKind order.
constexpr struct { uint8_t cmd; int values; } kReplies[] = {
    {1, 0}, {7, 0}, {18, 0}, {8, 0}, {32, 0}, {34, 0}, {21, 0}, {5, 0}, {6, 0}, {9, 1},
    {16, 3}, {17, 1}, {37, 1}, {36, 1}, {2, 3}, {4, 3}, {3, 5}, {19, 5}, {33, 1}};

QByteArray encode(const SimulatedDriver::Reply& r) {
    using K = SimulatedDriver::ReplyKind;
    const auto code = kReplies[static_cast<int>(r.kind)];
    float values[5];
    std::memcpy(values, r.values.data(), sizeof values);
    if (r.kind == K::CheckStep || r.kind == K::StatusWord) std::memcpy(values, &r.word, 4);  // a word, bit for bit
    return build_serial_frame(static_cast<uint8_t>(code.cmd + (r.kind == K::CheckValue ? r.index : 0)), values, code.values);
}
}  // namespace

bool SerialDriverPeer::start() {
    stop();
    pty_ = std::make_unique<PtyPeer>();
    if (!pty_->open()) return false;
    locked([&] { slave_path_ = pty_->slave_path(); });
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

void SerialDriverPeer::run() {
    SerialFrameBuffer in;  // the driver resynchronises as the tool does
    std::vector<SimulatedDriver::Reply> replies;
    while (!stop_) {
        const QByteArray bytes = pty_->read_available();
        locked([&] { raw_.append(bytes); });
        in.append(bytes);
        for (SerialFrame f; in.frame_available();) {
            in.read_frame(f);
            const Request request{f.cmd, f.payload, Clock::now()};
            locked([&] { requests_.push_back(request); });
            handle(request);
        }
        QByteArray out = locked([&] { return std::exchange(outgoing_, QByteArray()); });
        replies.clear();
        driver_->poll(Clock::now(), replies);
        for (const auto& r : replies) out.append(encode(r));
        // A line nobody reads fills up; the bytes are lost as on a real wire.
        if (!out.isEmpty()) pty_->write(out);
        std::this_thread::sleep_until(std::min(driver_->next_due(), Clock::now() + std::chrono::microseconds(250)));
    }
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
    std::vector<Request> out;
    for (const auto& r : locked([&] { return requests_; }))
        if (cmd < 0 || r.cmd == cmd) out.push_back(r);
    return out;
}

bool SerialDriverPeer::wait_for_requests(uint8_t cmd, int count, int timeout_ms) {
    return wait_until([&] { return request_count(cmd) >= count; }, timeout_ms);
}

bool SerialDriverPeer::wait_for_raw(int count, int timeout_ms) {
    return wait_until([&] { return raw_received().size() >= count; }, timeout_ms);
}
