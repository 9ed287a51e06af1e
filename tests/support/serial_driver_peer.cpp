#include "serial_driver_peer.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <utility>

#include "serial_frame_buffer.h"
#include "wait_until.h"

namespace {
using D = SimulatedDriver;

// Serial command and number of values of each reply, in ReplyKind order.
constexpr struct { uint8_t cmd; int values; } kReplies[] = {
    {1, 0}, {7, 0}, {18, 0}, {8, 0}, {32, 0}, {5, 0}, {6, 0}, {2, 3}, {4, 3}, {3, 5}, {19, 5}, {33, 1},
    {34, 0}, {9, 1}, {16, 3}, {17, 1}, {37, 1}, {36, 1}};

// Requests without values, by serial command.
const std::map<uint8_t, void (D::*)()> kRequests{
    {18, &D::enable}, {19, &D::disable}, {20, &D::reset}, {21, &D::start_calibration}, {22, &D::set_zero_point},
    {23, &D::flash_params}, {24, &D::request_params}, {25, &D::request_version}, {32, &D::clear_error},
    {33, &D::request_status}};

QByteArray encode(const D::Reply& r) {
    auto values = r.values;
    if (r.kind == D::K::StatusWord || r.kind == D::K::CheckStep)
        std::memcpy(values.data(), &r.word, 4);  // a word, bit for bit
    const auto code = kReplies[static_cast<int>(r.kind)];
    const int check_index = r.kind == D::K::CheckValue ? int(r.word) : 0;  // 37 + index
    return build_serial_frame(uint8_t(code.cmd + check_index), values.data(), code.values);
}

void handle(D& d, const SerialFrame& f) {
    const auto& v = f.payload;
    if (f.cmd == 16 && v.size() == 5) d.motion_target(v[0], v[1], v[2], v[3], v[4]);
    if (f.cmd == 17 && v.size() == 5) d.write_params({v[0], v[1], v[2], v[3], v[4]});
    const auto op = kRequests.find(f.cmd);
    if (op != kRequests.end()) (d.*op->second)();  // unknown requests are recorded but not answered
}
}  // namespace

bool SerialDriverPeer::start() {
    stop();
    pty_ = std::make_unique<PtyPeer>();
    if (!pty_->open()) return false;
    stop_ = false;
    thread_ = std::thread([this] { run(); });
    return true;
}

void SerialDriverPeer::stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

void SerialDriverPeer::run() {
    SerialFrameBuffer in;  // the driver resynchronises as the tool does
    std::vector<D::Reply> replies;
    double line_budget = 0.0;  // bytes the line has carried and the peer not read yet
    auto last_read = Clock::now();
    while (!stop_) {
        const auto now = Clock::now();
        const int rate = line_rate_;
        // A UART's receive FIFO is all that piles up while the peer looks away.
        line_budget = std::min(line_budget + std::chrono::duration<double>(now - last_read).count() * rate, 64.0);
        last_read = now;
        const QByteArray bytes = pty_->read_available(rate > 0 ? static_cast<int>(line_budget) : 1 << 30);
        line_budget -= bytes.size();
        locked([&] { raw_.append(bytes); });
        in.append(bytes);
        for (SerialFrame f; in.frame_available();) {
            in.read_frame(f);
            locked([&] { requests_.push_back({f.cmd, f.payload, Clock::now()}); });
            if (!locked([&] { return ignored_[f.cmd]; })) handle(driver_, f);
        }
        QByteArray out = locked([&] { return std::exchange(outgoing_, QByteArray()); });
        replies.clear();
        driver_.poll(Clock::now(), replies);
        for (const auto& r : replies) out.append(encode(r));
        // A line nobody reads fills up; the bytes are lost as on a real wire.
        if (!out.isEmpty()) pty_->write(out);
        std::this_thread::sleep_until(std::min(driver_.next_due(), Clock::now() + std::chrono::microseconds(250)));
    }
}

void SerialDriverPeer::send_frame(uint8_t cmd, std::vector<float> values) {
    send_bytes(build_serial_frame(cmd, values.data(), static_cast<int>(values.size())));
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

bool SerialDriverPeer::wait_for_last(uint8_t cmd, const std::vector<float>& values, int timeout_ms) {
    return wait_until([&] {
        const auto got = requests(cmd);
        return !got.empty() && got.back().values == values;
    }, timeout_ms);
}

bool SerialDriverPeer::wait_for_raw(int count, int timeout_ms) {
    return wait_until([&] { return raw_received().size() >= count; }, timeout_ms);
}
