#include "serial_frame_buffer.h"

#include <cstring>

#include "console_log.h"

namespace {
// Consumed bytes are compacted away once there are at least this many of them
// and they make up at least half of the buffer.
constexpr int kCompactThreshold = 4096;
// Header (4) + type (1) + length field (4) + cmd (1).
constexpr int kMinHeadLength = 10;
}  // namespace

SerialFrameBuffer::SerialFrameBuffer(int headerless_limit, int backlog_limit)
    : headerless_limit_(headerless_limit), backlog_limit_(backlog_limit) {
    buffer_.reserve(kCompactThreshold * 2);
}

void SerialFrameBuffer::append(const char* data, int size) {
    if (size <= 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    compact();
    // Only the consumer may move the head, so an overflowing backlog drops the
    // newest bytes instead of the oldest.
    const int room = backlog_limit_ - unread();
    if (size > room) {
        if (!backlog_reported_) {
            hv::log_warn("Receive buffer full (", unread(), " bytes unread), dropping ",
                         size - (room > 0 ? room : 0), " received bytes");
            backlog_reported_ = true;
        }
        if (room <= 0) return;
        size = room;
    } else if (unread() + size < backlog_limit_ / 2) {
        backlog_reported_ = false;
    }
    buffer_.append(data, size);
}

bool SerialFrameBuffer::frame_available() {
    bool found = false;
    NoiseReport report;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        NoiseReport& noise = noise_;
        for (;;) {
            const int n = unread();
            const void* ff = n > 0 ? std::memchr(head_ptr(), 0xFF, static_cast<size_t>(n)) : nullptr;
            if (ff == nullptr) {
                // Nothing here can start a frame. A short remnant is kept as it is, but a
                // backlog that never forms a frame must not grow without bound.
                if (n > headerless_limit_) {
                    noise.headerless += n;
                    head_ += n;
                    compact();
                }
                break;
            }
            const int k = static_cast<int>(static_cast<const uint8_t*>(ff) - head_ptr());
            noise.skipped += k;
            head_ += k;
            if (unread() < kMinHeadLength) break;
            const uint8_t* p = head_ptr();
            if (p[1] != kSerialHeader[1] || p[2] != kSerialHeader[2] || p[3] != kSerialHeader[3]) {
                head_ += 1;
                continue;
            }
            const uint32_t length = head_length_field();
            if (!is_serial_frame_length(length)) {
                // Taking such a head would swallow the start of the next frame.
                if (noise.odd_heads++ == 0) noise.odd_length = length;
                head_ += 1;
                continue;
            }
            if (static_cast<uint32_t>(unread()) < length) break;
            if (byte_sum_checksum(p, static_cast<uint8_t>(length)) != p[length - 1]) {
                ++noise.bad_sums;
                head_ += 4;
                continue;
            }
            found = true;
            break;
        }
        // A noisy line is reported at most once a second, with what was dropped since.
        const auto now = std::chrono::steady_clock::now();
        const bool any = noise.skipped || noise.headerless || noise.odd_heads || noise.bad_sums;
        if (any && now - last_noise_report_ >= std::chrono::seconds(1)) {
            report = noise;
            noise = NoiseReport();
            last_noise_report_ = now;
        }
    }
    if (report.odd_heads > 0)
        hv::log_warn("Frame length field ", report.odd_length, " fits no frame, header discarded.");
    if (report.bad_sums > 0) hv::log_warn("A simple command frame with incorrect check_sum is discarded.");
    if (report.skipped > 0) hv::log_warn("Disgarding buffer of size:", report.skipped);
    if (report.headerless > 0)
        hv::log_warn("No frame header in ", report.headerless, " buffered bytes, disgarding them");
    return found;
}

void SerialFrameBuffer::read_frame(SerialFrame& frame) {
    char bytes[kMaxSerialFrameLength];
    const int taken = take_frame(bytes);
    if (!decode_serial_frame(QByteArray::fromRawData(bytes, taken), frame)) {
        hv::log_warn("Bytearray.size() is: ", taken, " ,not fitting into any size");
    }
}

int SerialFrameBuffer::size() {
    std::lock_guard<std::mutex> lock(mutex_);
    return unread();
}

QByteArray SerialFrameBuffer::contents() {
    std::lock_guard<std::mutex> lock(mutex_);
    return buffer_.mid(head_);
}

void SerialFrameBuffer::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    buffer_.resize(0);
    head_ = 0;
    noise_ = NoiseReport();
    backlog_reported_ = false;
}

uint32_t SerialFrameBuffer::head_length_field() const {
    const uint8_t* p = head_ptr() + 5;
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

int SerialFrameBuffer::take_frame(char* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    // Guard against a call without a preceding successful frame_available().
    if (unread() < kMinHeadLength) return 0;
    const uint32_t length = head_length_field();
    if (!is_serial_frame_length(length) || static_cast<uint32_t>(unread()) < length)
        return 0;
    std::memcpy(out, head_ptr(), length);
    head_ += static_cast<int>(length);
    return static_cast<int>(length);
}

void SerialFrameBuffer::compact() {
    if (head_ == 0) return;
    if (head_ == buffer_.size()) {
        buffer_.resize(0);
        head_ = 0;
    } else if (head_ >= kCompactThreshold && head_ >= buffer_.size() - head_) {
        buffer_.remove(0, head_);
        head_ = 0;
    }
}
